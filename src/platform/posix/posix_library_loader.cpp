#include "platform/posix/posix_library_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <vector>

namespace kavro::platform {

namespace {

class PosixLibrary : public Library {
 public:
  explicit PosixLibrary(void* handle) : handle_(handle) {}
  ~PosixLibrary() override { dlclose(handle_); }
  PosixLibrary(const PosixLibrary&) = delete;
  PosixLibrary& operator=(const PosixLibrary&) = delete;

  void* Symbol(const char* name) override { return dlsym(handle_, name); }

 private:
  void* handle_;
};

}  // namespace

std::unique_ptr<Library> PosixLibraryLoader::Open(const std::string& path, std::string& reason) {
  // RTLD_NOW: a library whose own dependencies are missing is reported at
  // start, not by a crash on the first received payload. RTLD_LOCAL keeps its
  // symbols out of the way of anything loaded later.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    reason = text != nullptr ? text : "unknown error";
    return nullptr;
  }
  return std::make_unique<PosixLibrary>(handle);
}

std::string PosixLibraryLoader::ExecutableDirectory() {
  // readlink does not terminate the text and truncates silently: grow the
  // buffer until the link fits with room to spare.
  std::vector<char> buffer(PATH_MAX);
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) {
      std::string path(buffer.data(), static_cast<size_t>(n));
      size_t slash = path.rfind('/');
      if (slash == std::string::npos) return {};
      return slash == 0 ? std::string("/") : path.substr(0, slash);
    }
    buffer.resize(buffer.size() * 2);
  }
}

bool PosixLibraryLoader::FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

}  // namespace kavro::platform
