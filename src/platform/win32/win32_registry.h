// The registry on Windows, read only: RegOpenKeyExA under HKEY_LOCAL_MACHINE
// and RegQueryValueExA. The 32-bit build reads the 32-bit view (WOW6432Node
// on 64-bit Windows), where installations of this 32-bit program keep their
// values; the 64-bit build reads the 64-bit view.
#pragma once

#include <string>

#include "platform/registry.h"

namespace kavro::platform {

class Win32Registry : public Registry {
 public:
  std::unique_ptr<RegistryKey> OpenKey(const char* path) override;

  // "32-bit view" or "64-bit view": the one this build reads.
  static const char* ViewName();
  // Whether Windows has a second view (a 32-bit program on 64-bit Windows,
  // or any 64-bit program), and its name.
  static bool HasOtherView();
  static const char* OtherViewName();
  // The key as the registry editor shows it in this build's view, or in
  // the other one: HKLM\SOFTWARE\WOW6432Node\... for the 32-bit view on
  // 64-bit Windows.
  static std::string FullPath(const char* path, bool otherView = false);
  // The key can be opened in the other view.
  static bool ExistsInOtherView(const char* path);
};

}  // namespace kavro::platform
