#include "platform/win32/win32_registry.h"

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

}  // namespace

std::unique_ptr<RegistryKey> Win32Registry::OpenKey(const char* path) {
  REGSAM access = KEY_READ;
#if !defined(_WIN64)
  // What WOW64 does for a 32-bit process anyway, said once more so that the
  // view never depends on how the program was started.
  access |= KEY_WOW64_32KEY;
#endif
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, access, &key) != ERROR_SUCCESS) return nullptr;
  return std::make_unique<Win32RegistryKey>(key);
}

}  // namespace kavro::platform
