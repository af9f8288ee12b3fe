// Loading a shared library at run time and finding its functions by name, as
// the link driver does with its companion library. The POSIX layer uses the
// dynamic loader (posix/posix_library_loader); a Win32 layer would use its own.
#pragma once

#include <memory>
#include <string>

namespace kavro::platform {

// A library loaded into the process; it stays loaded while this lives.
class Library {
 public:
  virtual ~Library() = default;
  // The address of the exported function `name`, or null when the library
  // does not export it.
  virtual void* Symbol(const char* name) = 0;
};

class LibraryLoader {
 public:
  virtual ~LibraryLoader() = default;
  // Loads `path` and resolves all its references at once, so that a library
  // with a missing dependency fails here rather than on its first call. A
  // name without a directory is searched the way the system searches for
  // shared libraries. Null on failure, with the loader's reason in `reason`.
  virtual std::unique_ptr<Library> Open(const std::string& path, std::string& reason) = 0;
  // The directory the running executable was started from, without a
  // trailing separator; empty when it cannot be told.
  virtual std::string ExecutableDirectory() = 0;
  // True when `path` names an existing file.
  virtual bool FileExists(const std::string& path) = 0;
};

}  // namespace kavro::platform
