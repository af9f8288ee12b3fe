// The configuration check an administrator runs before starting a link
// (kavro --check-config): every value the link would use, where it came
// from, the device or address it would open, and whether that can be
// opened. The wording is the same on every platform; what only the platform
// can tell (where a value came from, whether a device opens) it asks the
// probe.
#pragma once

#include <string>
#include <vector>

#include "core/link_config.h"

namespace kavro::platform {
class Registry;
}

namespace kavro {

class ConfigCheckProbe {
 public:
  virtual ~ConfigCheckProbe() = default;
  // Where the named value came from ("file", "32-bit view", "default").
  virtual std::string SourceOf(const char* valueName) = 0;
  // The device line of a COM link (what follows "device"), and whether the
  // port can be opened.
  virtual std::string SerialDevice(const char* link, bool* openable) = 0;
  // The line(s) that tell which USB device a USB link would take.
  virtual std::vector<std::string> UsbDevice(bool* openable) = 0;
  // A dotted IPv4 address.
  virtual bool IsAddress(const char* text) = 0;
  // The value stored under `valueName` as text (a number in decimal), when
  // there is one: a stored value that the start refused (too long, of the
  // wrong type) is told as refused, not as the default it left in place.
  virtual bool StoredText(const char* /*valueName*/, std::string* /*text*/) { return false; }
};

struct ConfigCheck {
  std::vector<std::string> lines;  // "Link            COM1 (file)"
  bool openable = false;
};

// `config` as the start takes it: the command-line tail already applied
// when it replaced the configured link (`fromCommandLine`).
ConfigCheck CheckConfiguration(const LinkConfig& config, bool fromCommandLine, ConfigCheckProbe& probe);

// What a probe's StoredText answers from the configuration key: a text
// value as stored (up to its first zero), a 4-byte number in decimal.
bool StoredRegistryText(platform::Registry& registry, const char* valueName, std::string* text);

// One line of the check: the name padded to 16 columns, then the value.
std::string ConfigCheckLine(const char* name, const std::string& value);

}  // namespace kavro
