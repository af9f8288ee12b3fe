// A read-only registry, as the link driver reads it: keys under
// HKEY_LOCAL_MACHINE holding named values. On Linux it is read from a registry
// export file (posix/posix_registry_file).
#pragma once

#include <cstdint>
#include <memory>

namespace kavro::platform {

constexpr uint32_t REG_NONE = 0;
constexpr uint32_t REG_SZ = 1;
constexpr uint32_t REG_EXPAND_SZ = 2;
constexpr uint32_t REG_BINARY = 3;
constexpr uint32_t REG_DWORD = 4;
constexpr uint32_t REG_MULTI_SZ = 7;
constexpr uint32_t REG_QWORD = 11;

constexpr long ERROR_SUCCESS = 0;
constexpr long ERROR_FILE_NOT_FOUND = 2;
constexpr long ERROR_MORE_DATA = 234;

class RegistryKey {
 public:
  virtual ~RegistryKey() = default;
  // RegQueryValueExA: `name` compares case-insensitively (null or "" is the
  // default value). `*size` is the buffer's size in and the value's size out
  // (text: its bytes plus the terminating zero). A value larger than the
  // buffer fails with ERROR_MORE_DATA and copies nothing. `type` and `data`
  // may be null.
  virtual long QueryValue(const char* name, uint32_t* type, uint8_t* data, uint32_t* size) = 0;
};

class Registry {
 public:
  virtual ~Registry() = default;
  // RegOpenKeyExA under HKEY_LOCAL_MACHINE for reading; null when the key
  // does not exist (or the registry could not be read at all).
  virtual std::unique_ptr<RegistryKey> OpenKey(const char* path) = 0;
};

}  // namespace kavro::platform
