// The registry read from a registry editor export file, so that a key
// exported on a Windows PC works unchanged on Linux.
//
// Only HKEY_LOCAL_MACHINE is reachable through OpenKey; keys of the other
// roots are parsed (an export may hold them) but kept apart. Names of keys and
// values compare case-insensitively, as in the registry itself.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace kavro::platform {

class RegistryFile : public Registry {
 public:
  struct Value {
    uint32_t type = REG_NONE;
    std::vector<uint8_t> data;  // as the ANSI query returns it
  };
  // Values by lower-cased name; the default value ("@") has the name "".
  using Values = std::map<std::string, Value>;

  RegistryFile() = default;

  // Reads `path`. A missing file is an empty registry in which no key can be
  // opened. A file that cannot be read or parsed is reported with one line on
  // standard error and then treated the same way.
  // With `report` false nothing is written: the caller reports Error().
  static std::unique_ptr<RegistryFile> Load(const std::string& path, bool report = true);

  // Parses the bytes of an export file; `name` stands for the file in the
  // error text. Nothing is written to standard error.
  static std::unique_ptr<RegistryFile> Parse(std::string_view bytes, const std::string& name);

  std::unique_ptr<RegistryKey> OpenKey(const char* path) override;

  // Keys and values that are probably misspelt: a key under HKLM whose path
  // is a few letters away from one of `knownKeys`, or a value of the first
  // known key a few letters away from one of `knownValues` (both as paths
  // below HKLM and value names, any case). One line of text each, naming
  // what was found and what it looks like.
  std::vector<std::string> NearMisses(const std::vector<std::string>& knownKeys,
                                      const std::vector<std::string>& knownValues) const;

  // True when a file was read and parsed.
  bool IsLoaded() const { return loaded_; }
  // The problem found, as reported: "kavro: FILE:LINE: what is wrong".
  const std::string& Error() const { return error_; }

 private:
  class Parser;
  class Key;

  bool loaded_ = false;
  std::string error_;
  // Keys by full lower-cased path, root included ("hkey_local_machine\\software").
  std::map<std::string, std::shared_ptr<Values>> keys_;
};

}  // namespace kavro::platform
