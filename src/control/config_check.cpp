#include "control/config_check.h"

#include <cstring>

namespace kavro {

std::string ConfigCheckLine(const char* name, const std::string& value) {
  std::string line = name;
  line.resize(line.size() < 16 ? 16 : line.size() + 1, ' ');
  return line + value;
}

ConfigCheck CheckConfiguration(const LinkConfig& config, bool fromCommandLine, ConfigCheckProbe& probe) {
  ConfigCheck check;
  auto add = [&check](const char* name, const std::string& value) {
    check.lines.push_back(ConfigCheckLine(name, value));
  };
  auto sourced = [&probe](const std::string& value, const char* name) {
    return value + " (" + probe.SourceOf(name) + ")";
  };
  const char* link = config.Link;
  add("Link",
      std::string(link) + " (" + (fromCommandLine ? std::string("command line") : probe.SourceOf("Link")) + ")");
  bool openable = true;
  if (strncmp(link, "COM", 3) == 0) {
    add("LinkSpeed", sourced(config.LinkSpeed, "LinkSpeed"));
    add("ControlLines", sourced(std::to_string(config.ControlLines), "ControlLines"));
    add("device", probe.SerialDevice(link, &openable));
  } else if (strncmp(link, "USB", 3) == 0) {
    for (const std::string& line : probe.UsbDevice(&openable)) check.lines.push_back(line);
  } else if (strncmp(link, "TCP", 3) == 0 || strncmp(link, "LAN/USB", 7) == 0) {
    const bool valid = probe.IsAddress(config.TapiSvrIpAddr);
    add("TapiSvrIpAddr", sourced(config.TapiSvrIpAddr, "TapiSvrIpAddr") + (valid ? "" : ": not a dotted IPv4 address"));
    add("TapiSvrIpPort", sourced(std::to_string(config.TapiSvrIpPort), "TapiSvrIpPort"));
    add("Keepalive",
        sourced(std::to_string(config.Keepalive), "Keepalive") + ": " + ((config.Keepalive & 1) ? "on" : "off"));
    openable = valid && config.TapiSvrIpPort != 0 && config.TapiSvrIpPort <= 65535;
  } else {
    add("kind", "none: not COMn, USB, TCP or LAN/USB");
    openable = false;
  }
  add("result", openable ? "a link can be opened" : "no link can be opened");
  check.openable = openable;
  return check;
}

}  // namespace kavro
