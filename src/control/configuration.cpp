#include "control/configuration.h"

#include <cstdio>
#include <cstring>

#include "diag/trace_log.h"
#include "platform/registry.h"

namespace kavro {

namespace {

using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_SUCCESS;
using platform::REG_DWORD;
using platform::REG_NONE;
using platform::REG_SZ;

// Where the PBX is looked for on a TCP link when the registry names no
// address: a private address, so that a forgotten setting never sends call
// traffic out of the site.
constexpr const char* DEFAULT_TAPI_SVR_IP_ADDR = "192.168.0.250";
constexpr uint32_t DEFAULT_TAPI_SVR_IP_PORT = 5002;
constexpr uint32_t DEFAULT_KEEPALIVE = 3;
constexpr const char* DEFAULT_LINK_SPEED = "9600";

// Text values are read into this work buffer; one byte more than the largest
// limit keeps every value read terminated, whatever its type.
constexpr uint32_t WORK_SIZE = 256;

// Copies `text` into a fixed field, cut to fit and always terminated: the
// rest of the system relies on each field holding a terminated name.
template <size_t N>
void CopyText(char (&field)[N], const char* text) {
  size_t length = strnlen(text, N - 1);
  std::memcpy(field, text, length);
  std::memset(field + length, 0, N - length);
}

// Link kinds are told by their leading characters, case-sensitively.
bool BeginsWith(const char* text, const char* prefix) { return std::strncmp(text, prefix, std::strlen(prefix)) == 0; }

// RegQueryValueExA into the zeroed work buffer with a size limit; a value
// larger than the limit is refused.
bool ReadValue(platform::RegistryKey& key, const char* name, uint32_t limit, char (&work)[WORK_SIZE], uint32_t& type) {
  std::memset(work, 0, sizeof work);
  type = REG_NONE;
  uint32_t size = limit;
  return key.QueryValue(name, &type, reinterpret_cast<uint8_t*>(work), &size) == ERROR_SUCCESS;
}

bool ReadNumber(platform::RegistryKey& key, const char* name, uint32_t& field, TraceLog& trace) {
  // The value's 4 bytes are the field, whatever its type: registry numbers
  // are little-endian. A value of another size is kept out of the field
  // entirely (a shorter one would mix with the default's upper bytes) and
  // the default stays, with a warning since it is surely a mistake.
  uint8_t bytes[4] = {};
  uint32_t size = sizeof bytes;
  long result = key.QueryValue(name, nullptr, bytes, &size);
  if (result == ERROR_FILE_NOT_FOUND) return false;
  if (result == ERROR_SUCCESS && size == sizeof bytes) {
    field = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
    return true;
  }
  trace.TraceMessage(LOG_WARNING, "LoadConfiguration  RegQueryValue %s is not 4 bytes, using %u\n\r", name, field);
  return false;
}

}  // namespace

int Configuration::SetDefaultConfiguration(LinkConfig& config) {
  CopyText(config.LinkSpeed, DEFAULT_LINK_SPEED);
  config.ControlLines = 0;
  CopyText(config.Link, IsUsbEnabled() ? "USB" : "COM2");
  CopyText(config.TapiSvrIpAddr, DEFAULT_TAPI_SVR_IP_ADDR);
  config.TapiSvrIpPort = DEFAULT_TAPI_SVR_IP_PORT;
  config.Keepalive = DEFAULT_KEEPALIVE;
  return 1;
}

bool Configuration::IsUsbEnabled() {
  auto key = registry_.OpenKey(KAVRO_REGISTRY_KEY);
  if (!key) return false;
  uint32_t type = REG_NONE;
  uint8_t data[4] = {};
  uint32_t size = sizeof data;
  if (key->QueryValue("USBEnabled", &type, data, &size) != ERROR_SUCCESS) return false;
  return type == REG_DWORD && (data[0] | data[1] | data[2] | data[3]) != 0;
}

int Configuration::LoadConfiguration(LinkConfig& config, const char* linkOverride) {
  SetDefaultConfiguration(config);
  taken_.clear();
  auto key = registry_.OpenKey(KAVRO_REGISTRY_KEY);
  if (!key) {
    trace_.TraceMessage(LOG_WARNING, "LoadConfiguration failed!\n\r");
    SetDefaultConfiguration(config);
    return 1;
  }

  char work[WORK_SIZE];
  uint32_t type;

  // The groups below are chosen by the "Link" value as it was read, not by
  // `Link`: "TCP/IP" becomes "LAN/USB" but still reads the TCP values. Without
  // a "Link" value the default link's own kind chooses, so a key that only
  // sets "LinkSpeed" still configures the default serial port.
  char linkValue[WORK_SIZE];
  CopyText(linkValue, config.Link);
  if (ReadValue(*key, "Link", 255, work, type)) {
    taken_.insert("Link");
    CopyText(linkValue, work);
    if (BeginsWith(work, "TCP")) {
      CopyText(config.Link, "LAN/USB");
    } else {
      CopyText(config.Link, work);
      // Cut rather than refused, so that the link keeps the kind its groups
      // were read for; the cut name rarely opens anything, hence the warning.
      if (std::strlen(work) >= sizeof config.Link) {
        trace_.TraceMessage(LOG_WARNING, "LoadConfiguration  Link %s too long, using %s\n\r", work, config.Link);
      }
    }
  }

  if (BeginsWith(linkValue, "COM")) {
    // At most five digits: a longer rate such as "115200" is refused whole
    // (the limit of 6 bytes) rather than cut into another rate.
    if (ReadValue(*key, "LinkSpeed", 6, work, type)) {
      if (type == REG_DWORD) {
        // A rate entered as a number means that number; its text obeys the
        // same five-character limit as a rate entered as text.
        uint32_t rate = static_cast<uint8_t>(work[0]) | static_cast<uint8_t>(work[1]) << 8 |
                        static_cast<uint8_t>(work[2]) << 16 |
                        static_cast<uint32_t>(static_cast<uint8_t>(work[3])) << 24;
        char text[16];
        std::snprintf(text, sizeof text, "%u", rate);
        if (std::strlen(text) <= 5) {
          CopyText(config.LinkSpeed, text);
          taken_.insert("LinkSpeed");
        }
      } else {
        CopyText(config.LinkSpeed, work);
        taken_.insert("LinkSpeed");
      }
    }
    // Only the least significant byte counts: a DWORD of 256 leaves the
    // modem lines alone.
    bool read = ReadValue(*key, "ControlLines", 255, work, type);
    config.ControlLines = (read && type == REG_DWORD && work[0] != 0) ? 1 : 0;
    if (read) taken_.insert("ControlLines");
  }

  // A TCP link named on the command line (kavro@TCP) reads the TCP values
  // too: before, it dialled the default address whenever the file's "Link"
  // was a serial port. Only added reading: a file whose "Link" is TCP reads
  // exactly what it read before.
  const bool tcpOverride =
      linkOverride != nullptr && (BeginsWith(linkOverride, "TCP") || BeginsWith(linkOverride, "LAN/USB"));
  if (BeginsWith(linkValue, "TCP") || BeginsWith(linkValue, "LAN/USB") || tcpOverride) {
    if (ReadValue(*key, "TapiSvrIpAddr", 16, work, type) && type == REG_SZ) {
      CopyText(config.TapiSvrIpAddr, work);
      taken_.insert("TapiSvrIpAddr");
    } else {
      trace_.TraceMessage(LOG_WARNING, "LoadConfiguration  RegQueryValue %s failed using %s\n\r", "TapiSvrIpAddr",
                          config.TapiSvrIpAddr);
    }
    if (ReadNumber(*key, "TapiSvrIpPort", config.TapiSvrIpPort, trace_)) taken_.insert("TapiSvrIpPort");
    if (ReadNumber(*key, "Keepalive", config.Keepalive, trace_)) taken_.insert("Keepalive");
  }
  return 1;
}

}  // namespace kavro
