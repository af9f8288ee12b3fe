// The dynamic loader behind LibraryLoader: dlopen, dlsym and /proc/self/exe.
#pragma once

#include "platform/library_loader.h"

namespace kavro::platform {

class PosixLibraryLoader : public LibraryLoader {
 public:
  std::unique_ptr<Library> Open(const std::string& path, std::string& reason) override;
  std::string ExecutableDirectory() override;
  bool FileExists(const std::string& path) override;
};

}  // namespace kavro::platform
