// LinkConfig: the link's configuration record, filled once at start by the
// configuration loader and read by the transports; and where it lives in
// the registry.
#pragma once

#include <cstdint>
#include <string>

namespace kavro {

struct LinkConfig {
  char Link[8] = {};            // at most 7 characters and a terminator
  char LinkSpeed[8] = {};       // serial rate as decimal text
  uint32_t ControlLines = 0;    // 1: use DTR/RTS and check DSR
  char TapiSvrIpAddr[16] = {};  // dotted IPv4, at most 15 characters
  uint32_t TapiSvrIpPort = 0;   // only the low 16 bits are used
  uint32_t Keepalive = 0;       // bit 0: keepalive on a TCP link
};

// The registry key the configuration lives under.
constexpr const char* KAVRO_REGISTRY_KEY = "SOFTWARE\\Tovik\\Tovik TK-Anlage";

// Its sub-key "Ports", where link names are mapped to devices.
inline std::string PortsKeyPath() { return std::string(KAVRO_REGISTRY_KEY) + "\\Ports"; }

}  // namespace kavro
