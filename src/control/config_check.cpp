#include "control/config_check.h"

#include <cstring>

#include "platform/registry.h"

namespace kavro {

std::string ConfigCheckLine(const char* name, const std::string& value) {
  std::string line = name;
  line.resize(line.size() < 16 ? 16 : line.size() + 1, ' ');
  return line + value;
}

bool StoredRegistryText(platform::Registry& registry, const char* valueName, std::string* text) {
  auto key = registry.OpenKey(KAVRO_REGISTRY_KEY);
  if (!key) return false;
  uint8_t data[512] = {};
  uint32_t type = platform::REG_NONE;
  uint32_t size = sizeof data - 1;
  if (key->QueryValue(valueName, &type, data, &size) != platform::ERROR_SUCCESS) return false;
  if (type == platform::REG_SZ || type == platform::REG_EXPAND_SZ) {
    *text = reinterpret_cast<const char*>(data);
    return true;
  }
  if (size == 4) {
    *text = std::to_string(data[0] | data[1] << 8 | data[2] << 16 | static_cast<uint32_t>(data[3]) << 24);
    return true;
  }
  *text = "(" + std::to_string(size) + " bytes of type " + std::to_string(type) + ")";
  return true;
}

ConfigCheck CheckConfiguration(const LinkConfig& config, bool fromCommandLine, ConfigCheckProbe& probe) {
  ConfigCheck check;
  auto add = [&check](const char* name, const std::string& value) {
    check.lines.push_back(ConfigCheckLine(name, value));
  };
  auto sourced = [&probe](const std::string& value, const char* name) {
    return value + " (" + probe.SourceOf(name) + ")";
  };
  // A text value as the start took it: what is stored, or the default when
  // the stored one was refused.
  auto sourcedText = [&probe, &sourced](const std::string& value, const char* name) {
    std::string stored;
    if (probe.StoredText(name, &stored) && stored != value) {
      return value + " (default): the stored \"" + stored + "\" is refused";
    }
    return sourced(value, name);
  };
  const char* link = config.Link;
  add("Link",
      std::string(link) + " (" + (fromCommandLine ? std::string("command line") : probe.SourceOf("Link")) + ")");
  bool openable = true;
  if (strncmp(link, "COM", 3) == 0) {
    add("LinkSpeed", sourcedText(config.LinkSpeed, "LinkSpeed"));
    add("ControlLines", sourced(std::to_string(config.ControlLines), "ControlLines"));
    add("device", probe.SerialDevice(link, &openable));
  } else if (strncmp(link, "USB", 3) == 0) {
    for (const std::string& line : probe.UsbDevice(&openable)) check.lines.push_back(line);
  } else if (strncmp(link, "TCP", 3) == 0 || strncmp(link, "LAN/USB", 7) == 0) {
    const bool valid = probe.IsAddress(config.TapiSvrIpAddr);
    add("TapiSvrIpAddr",
        sourcedText(config.TapiSvrIpAddr, "TapiSvrIpAddr") + (valid ? "" : ": not a dotted IPv4 address"));
    // The connect takes the low 16 bits, as the link always has: the check
    // says which port that is rather than refusing what the start opens.
    const uint32_t port = config.TapiSvrIpPort & 0xFFFF;
    add("TapiSvrIpPort", sourced(std::to_string(config.TapiSvrIpPort), "TapiSvrIpPort") +
                             (config.TapiSvrIpPort > 0xFFFF
                                  ? ": more than 16 bits; the link uses the low 16 bits, port " + std::to_string(port)
                                  : std::string()) +
                             (port == 0 ? ": port 0 cannot be connected to" : ""));
    add("Keepalive",
        sourced(std::to_string(config.Keepalive), "Keepalive") + ": " + ((config.Keepalive & 1) ? "on" : "off"));
    openable = valid && port != 0;
  } else {
    add("kind", "none: not COMn, USB, TCP or LAN/USB");
    openable = false;
  }
  add("result", openable ? "a link can be opened" : "no link can be opened");
  check.openable = openable;
  return check;
}

}  // namespace kavro
