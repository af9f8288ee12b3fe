#include "platform/win32/win32_registry.h"

#include <cstring>

#include <windows.h>

namespace kavro::platform {

namespace {

class Win32RegistryKey : public RegistryKey {
 public:
  explicit Win32RegistryKey(HKEY key) : key_(key) {}
  ~Win32RegistryKey() override { RegCloseKey(key_); }
  Win32RegistryKey(const Win32RegistryKey&) = delete;
  Win32RegistryKey& operator=(const Win32RegistryKey&) = delete;

  long QueryValue(const char* name, uint32_t* type, uint8_t* data, uint32_t* size) override {
    DWORD valueType = REG_NONE;
    DWORD valueSize = size != nullptr ? *size : 0;
    // A value larger than the buffer fails with ERROR_MORE_DATA, which is
    // how the configuration's size limits refuse a value.
    const LONG result = RegQueryValueExA(key_, name, nullptr, &valueType, data, size != nullptr ? &valueSize : nullptr);
    if (type != nullptr) *type = valueType;
    if (size != nullptr) *size = valueSize;
    return result;
  }

 private:
  HKEY key_;
};

constexpr bool IS_64_BIT_BUILD = sizeof(void*) == 8;

// A 32-bit program on 64-bit Windows.
bool UnderWow64() {
  BOOL wow64 = FALSE;
  return !IS_64_BIT_BUILD && IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
}

// The view flag of this build's view, or of the other one.
REGSAM ViewFlag(bool other) {
  const bool want64 = IS_64_BIT_BUILD != other;
  return want64 ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
}

}  // namespace

std::unique_ptr<RegistryKey> Win32Registry::OpenKey(const char* path) {
  // For the own view the flag is what Windows does anyway, said once more
  // so that the view never depends on how the program was started.
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | ViewFlag(false), &key) != ERROR_SUCCESS) return nullptr;
  return std::make_unique<Win32RegistryKey>(key);
}

const char* Win32Registry::ViewName() { return IS_64_BIT_BUILD ? "64-bit view" : "32-bit view"; }

bool Win32Registry::HasOtherView() { return IS_64_BIT_BUILD || UnderWow64(); }

const char* Win32Registry::OtherViewName() { return IS_64_BIT_BUILD ? "32-bit view" : "64-bit view"; }

std::string Win32Registry::FullPath(const char* path, bool otherView) {
  // The 32-bit view of 64-bit Windows lives under SOFTWARE\WOW6432Node.
  const bool thirtyTwoView = IS_64_BIT_BUILD == otherView;
  std::string shown = std::string("HKLM\\") + path;
  const size_t software = std::strlen("SOFTWARE\\");
  if (thirtyTwoView && HasOtherView() && _strnicmp(path, "SOFTWARE\\", software) == 0) {
    shown = std::string("HKLM\\SOFTWARE\\WOW6432Node\\") + (path + software);
  }
  return shown;
}

bool Win32Registry::ExistsInOtherView(const char* path) {
  if (!HasOtherView()) return false;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ | ViewFlag(true), &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

}  // namespace kavro::platform
