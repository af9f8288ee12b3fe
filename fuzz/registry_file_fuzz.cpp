// Feeds arbitrary bytes to the registry export reader as a whole file, then
// reads the link's configuration from what it parsed, as kavro does at start.
//
// What must hold, whatever the file:
// - a query copies only into the buffer it is given, and nothing when the
//   value does not fit; it reports the same type and size whether or not
//   it is given a buffer, and the same bytes whatever buffer fits;
// - every text field of LinkConfig is terminated within its field and holds
//   no more than the field's rule allows, and no byte of what the record held
//   before survives the load;
// - the serial device a link name maps to and the USB filter are read
//   within their buffers;
// - the whole runs in bounded time (the fuzzer's -timeout watches it).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "control/configuration.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "platform/posix/posix_registry_file.h"
#include "platform/serial_device.h"
#include "platform/virtual/virtual_event_hub.h"
#include "transport/serial_port.h"
#include "transport/usb_port.h"

namespace {

using namespace kavro;
using platform::ERROR_FILE_NOT_FOUND;
using platform::ERROR_MORE_DATA;
using platform::ERROR_SUCCESS;

class SilentBackend : public platform::LogBackend {
 public:
  bool CanOpenExisting(const std::string&) override { return true; }
  bool AppendExisting(const std::string&, const char*, size_t) override { return true; }
  void DebugOutput(const char*, size_t) override {}
  platform::LocalTime Now() override { return {}; }
  std::string ExecutableBaseName() override { return "fuzz"; }
};

class NoDevices : public platform::SerialDeviceFactory {
 public:
  std::shared_ptr<platform::SerialDevice> OpenDevice(const std::string&, int* error) override {
    if (error) *error = 2;
    return nullptr;
  }
  std::string DevicePathFor(const std::string&, const std::string& configured) override { return configured; }
};

// The value names to try: the ones kavro reads and every quoted name in the
// file (ASCII or UTF-8 exports; a UTF-16 one still gets the fixed names).
std::set<std::string> NamesToTry(std::string_view text) {
  std::set<std::string> names = {"",          "Link",          "LinkSpeed",     "ControlLines", "USBEnabled",
                                 "Keepalive", "TapiSvrIpAddr", "TapiSvrIpPort", "USB",          "COM1"};
  for (size_t at = text.find('"'); at != std::string_view::npos && names.size() < 64; at = text.find('"', at + 1)) {
    const size_t end = text.find('"', at + 1);
    if (end == std::string_view::npos || end - at > 300) break;
    names.emplace(text.substr(at + 1, end - at - 1));
    at = end;
  }
  return names;
}

// Queries `name` with buffers of exactly `limit` bytes (so that the address
// checker sees any byte written past them) and checks the answers agree.
void CheckQueries(platform::RegistryKey& key, const std::string& name) {
  uint32_t type = 0xDEAD;
  uint32_t size = 0;
  const long probe = key.QueryValue(name.c_str(), &type, nullptr, &size);
  if (probe == ERROR_FILE_NOT_FOUND) return;
  if (probe != ERROR_SUCCESS) abort();
  const uint32_t needed = size;

  std::vector<uint8_t> whole;
  for (uint32_t limit : {0u, 1u, 4u, 6u, 16u, 255u, needed > 0 ? needed - 1 : 0u, needed, needed + 1}) {
    auto buffer = std::make_unique<uint8_t[]>(limit ? limit : 1);
    std::memset(buffer.get(), 0xEE, limit);
    uint32_t t = 0xDEAD;
    uint32_t s = limit;
    const long r = key.QueryValue(name.c_str(), &t, buffer.get(), &s);
    if (t != type || s != needed) abort();
    if (limit < needed) {
      if (r != ERROR_MORE_DATA) abort();
      for (uint32_t i = 0; i < limit; ++i) {
        if (buffer[i] != 0xEE) abort();  // a value that does not fit copies nothing
      }
    } else {
      if (r != ERROR_SUCCESS) abort();
      std::vector<uint8_t> got(buffer.get(), buffer.get() + needed);
      if (whole.empty()) whole = got;
      if (got != whole) abort();
      for (uint32_t i = needed; i < limit; ++i) {
        if (buffer[i] != 0xEE) abort();  // nothing beyond the value's size
      }
    }
  }
}

template <size_t N>
size_t TextLength(const char (&field)[N]) {
  const void* end = std::memchr(field, 0, N);
  if (end == nullptr) abort();  // not terminated within the field
  return static_cast<size_t>(static_cast<const char*>(end) - field);
}

LinkConfig Load(platform::Registry& registry, TraceLog& trace, uint8_t fill) {
  // What the record held before must not matter.
  LinkConfig config;
  std::memset(static_cast<void*>(&config), fill, sizeof config);
  Configuration configuration(registry, trace);
  if (configuration.LoadConfiguration(config) != 1) abort();
  if (TextLength(config.Link) > 7) abort();
  if (TextLength(config.LinkSpeed) > 5) abort();
  if (TextLength(config.TapiSvrIpAddr) > 15) abort();
  if (config.ControlLines > 1) abort();
  return config;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto registry = platform::RegistryFile::Parse(bytes, "fuzz.reg");
  if (registry->IsLoaded() != registry->Error().empty()) abort();

  SilentBackend backend;
  TraceLog trace(backend);
  trace.InitTraceLog("/fuzz");
  trace.TraceMask = 0xFF;  // every message formatted, with the values it names

  if (registry->IsLoaded()) {
    const std::set<std::string> names = NamesToTry(bytes);
    for (const char* path : {KAVRO_REGISTRY_KEY, "SOFTWARE\\Tovik\\Tovik TK-Anlage\\Ports", ""}) {
      auto key = registry->OpenKey(path);
      if (!key) continue;
      for (const std::string& name : names) CheckQueries(*key, name);
      // A null name is the default value, as "" is.
      uint32_t a = 0, b = 0;
      if (key->QueryValue(nullptr, nullptr, nullptr, &a) != key->QueryValue("", nullptr, nullptr, &b) || a != b) {
        abort();
      }
    }
  }

  const LinkConfig first = Load(*registry, trace, 0xA5);
  const LinkConfig second = Load(*registry, trace, 0x5A);
  if (std::memcmp(&first, &second, sizeof first) != 0) abort();

  // The device the link name maps to, as the serial port opens it.
  platform::VirtualEventHub hub;
  LinkControl control(trace, hub);
  NoDevices devices;
  SerialPort serial(control, trace, *registry, devices, hub);
  const std::string device = serial.DevicePathFor(first.Link);
  if (device.find('\0') != std::string::npos) abort();
  ReadUsbFilter(*registry, trace);
  return 0;
}
