// LinkConfig: the link's configuration, loaded once from the registry file.
#pragma once

#include <cstdint>
#include <string>

namespace kavro {

namespace platform {
class Registry;
}
class TraceLog;

struct LinkConfig {
  char Link[8] = {};           // at most 7 characters and a terminator
  char LinkSpeed[8] = {};      // serial rate as decimal text
  uint32_t ControlLines = 0;   // 1: use DTR/RTS and check DSR
  char TapiSvrIpAddr[16] = {}; // dotted IPv4, at most 15 characters
  uint32_t TapiSvrIpPort = 0;  // only the low 16 bits are used
  uint32_t Keepalive = 0;      // bit 0: keepalive on a TCP link
};

// The registry key the configuration lives under.
constexpr const char* KAVRO_REGISTRY_KEY = "SOFTWARE\\Tovik\\Tovik TK-Anlage";

// Its sub-key "Ports", where link names are mapped to devices.
inline std::string PortsKeyPath() { return std::string(KAVRO_REGISTRY_KEY) + "\\Ports"; }

class Configuration {
 public:
  Configuration(platform::Registry& registry, TraceLog& trace)
      : registry_(registry), trace_(trace) {}

  int LoadConfiguration(LinkConfig& config);
  int SetDefaultConfiguration(LinkConfig& config);
  bool IsUsbEnabled();

 private:
  platform::Registry& registry_;
  TraceLog& trace_;
};

}  // namespace kavro
