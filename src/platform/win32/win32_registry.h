// The registry on Windows, read only: RegOpenKeyExA under HKEY_LOCAL_MACHINE
// and RegQueryValueExA. The 32-bit build reads the 32-bit view (WOW6432Node
// on 64-bit Windows), where installations of this 32-bit program keep their
// values.
#pragma once

#include "platform/registry.h"

namespace kavro::platform {

class Win32Registry : public Registry {
 public:
  std::unique_ptr<RegistryKey> OpenKey(const char* path) override;
};

}  // namespace kavro::platform
