// Drives the USB port against whatever libusb finds, one step per argument,
// and prints every result and trace line on standard output for the
// emulated-device tests to check:
//   filter=VID:PID  open  send=HEX  recv  recv-then-close  close  gone
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/link_control.h"
#include "diag/trace_log.h"
#include "platform/log_backend.h"
#include "platform/posix/posix_usb_device.h"
#include "platform/virtual/virtual_event_hub.h"
#include "transport/usb_port.h"

namespace {

class StdoutBackend : public kavro::platform::LogBackend {
 public:
  bool CanOpenExisting(const std::string&) override { return false; }
  bool AppendExisting(const std::string&, const char*, size_t) override { return false; }
  void DebugOutput(const char* data, size_t size) override {
    std::string line(data, size);
    // "[dd.mm.yy hh:mm:ss] kavro: text\r\n" -> "TRACE text"
    size_t start = line.find(": ");
    start = start == std::string::npos ? 0 : start + 2;
    size_t end = line.find_last_not_of("\r\n");
    std::printf("TRACE %s\n", line.substr(start, end + 1 - start).c_str());
    std::fflush(stdout);
  }
  kavro::platform::LocalTime Now() override { return {}; }
  std::string ExecutableBaseName() override { return "kavro"; }
};

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::string ToHex(const uint8_t* data, int32_t count) {
  std::string text;
  char digits[3];
  for (int32_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", data[i]);
    text += digits;
  }
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  StdoutBackend backend;
  kavro::TraceLog trace(backend);
  trace.TraceMask = 0xFF;
  kavro::platform::VirtualEventHub hub;
  kavro::LinkControl control(trace, hub);
  kavro::platform::LibusbDevice device;
  kavro::UsbPort port(device, control, trace, hub);

  for (int i = 1; i < argc; ++i) {
    std::string step = argv[i];
    if (step.rfind("filter=", 0) == 0) {
      port.SetUsbFilter(kavro::ParseUsbFilter(step.c_str() + 7));
    } else if (step == "open") {
      int32_t r = port.OpenUsb("USB");
      std::printf("OpenUsb %d handle %d\n", r, control.Block.DeviceHandle);
    } else if (step.rfind("send=", 0) == 0) {
      std::vector<uint8_t> bytes = FromHex(step.substr(5));
      std::printf("SendUsb %d\n", port.SendUsb(bytes.data(), static_cast<uint32_t>(bytes.size())));
    } else if (step == "recv") {
      uint8_t buffer[4096];
      int32_t n = port.ReceiveUsb(buffer, sizeof buffer);
      std::printf("ReceiveUsb %d %s\n", n, ToHex(buffer, n).c_str());
    } else if (step == "recv-then-close") {
      // The read has nothing to wait for: the peer sends nothing unasked.
      int32_t n = -1;
      std::thread reader([&] {
        uint8_t buffer[4096];
        n = port.ReceiveUsb(buffer, sizeof buffer);
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      std::printf("CloseUsb %d\n", port.CloseUsb());
      reader.join();
      std::printf("ReceiveUsb %d\n", n);
    } else if (step == "close") {
      std::printf("CloseUsb %d\n", port.CloseUsb());
    } else if (step == "gone") {
      std::printf("IsGone %d\n", port.IsGone() ? 1 : 0);
    } else {
      std::fprintf(stderr, "usb_probe: unknown step %s\n", step.c_str());
      return 2;
    }
    std::fflush(stdout);
  }
  return 0;
}
