// The USB port: the PBX attached as a USB device with one bulk OUT pipe
// (0x04) and one bulk IN pipe (0x84), over which the layer-2 link runs as
// over the serial port. The device itself is reached through
// platform::UsbDevice; this layer keeps the handles, the trace lines and the
// link control block's DeviceHandle.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/usb_device.h"
#include "transport/ports.h"

namespace kavro {

namespace platform {
class Clock;
class Registry;
}  // namespace platform
class LinkControl;
class TraceLog;

// The device interface class the PBX's USB function announces. Linux finds
// the device by its pipe pair instead; the class stays the name of what is
// searched for.
constexpr const char* LINK_DEVICE_INTERFACE = "bbecb87c-b337-4655-a692-c13b97b61a0f";

// How long a failed read waits before it returns, so that a receive loop
// that reads again at once does not spin on a device that keeps failing.
constexpr uint32_t USB_READ_RETRY_PAUSE_MS = 100;

// Parses a "vendor:product" text (hexadecimal, 1 to 4 digits each, blanks
// around it allowed). An empty text is no filter; a malformed one a filter
// that matches nothing.
platform::UsbFilter ParseUsbFilter(const char* text);

// Reads the value "USB" under the configuration key's sub-key "Ports". A
// missing key or value is no filter; a malformed or non-text value is traced
// as a warning and matches nothing.
platform::UsbFilter ReadUsbFilter(platform::Registry& registry, TraceLog& trace);

class UsbPort : public UsbPortOps {
 public:
  UsbPort(platform::UsbDevice& device, LinkControl& control, TraceLog& trace, platform::Clock& clock,
          platform::UsbFilter filter = {})
      : device_(device), control_(control), trace_(trace), clock_(clock), filter_(filter) {}

  void SetUsbFilter(const platform::UsbFilter& filter) { filter_ = filter; }
  // Where the filter comes from when a USB link opens: read then, and only
  // then, so that a malformed value troubles no serial or TCP link.
  void SetUsbFilterSource(std::function<platform::UsbFilter()> source) { filterSource_ = std::move(source); }

  int32_t OpenUsb(const char* linkName) override;
  int32_t SendUsb(const uint8_t* data, uint32_t length) override;
  int32_t ReceiveUsb(uint8_t* buffer, uint32_t size) override;
  int32_t CloseUsb() override;

  int32_t FindUsbDevice(const char* interfaceClass, int32_t* deviceFile);
  int32_t InitUsb();

  // True once a read or write found the device gone (unplugged). It never
  // comes back in this process; the link is then as good as disconnected.
  bool IsGone() const { return gone_.load(); }
  // Unplugged, or closed by CloseUsb: either way no read can succeed again.
  // DeviceHandle keeps its value after the close, so without this the
  // receive thread would go on failing reads until the link is released,
  // which a shutdown that skips the release never does.
  int32_t IsUsbGone() const { return (IsGone() || closed_.load()) ? 1 : 0; }
  // No device open (DeviceHandle invalid), or gone.
  int32_t IsUsbClosed() override;

  int32_t UsbFileHandle() const { return fileHandle_; }
  bool HoldsInterface() const { return interfaceHeld_; }
  uint8_t UsbOutPipe() const { return outPipe_; }
  uint8_t UsbInPipe() const { return inPipe_; }

 private:
  platform::UsbDevice& device_;
  LinkControl& control_;
  TraceLog& trace_;
  platform::Clock& clock_;
  platform::UsbFilter filter_;
  std::string openedDevice_;
  std::function<platform::UsbFilter()> filterSource_;

  int32_t fileHandle_ = -1;
  bool interfaceHeld_ = false;
  uint8_t outPipe_ = 0;
  uint8_t inPipe_ = 0;
  std::atomic<bool> gone_{false};
  std::atomic<bool> closed_{false};
};

}  // namespace kavro
