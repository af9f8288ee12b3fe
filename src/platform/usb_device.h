// The PBX's USB device as the USB port needs it: find the present devices
// that carry the link's bulk pipe pair, open one, take its interface over,
// write to the OUT pipe, read from the IN pipe without a time limit, and
// release it so that a pending read returns. On Linux it is libusb-1.0
// (posix/posix_usb_device).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavro::platform {

// The pipes the PBX exposes: endpoint 4 in each direction.
constexpr uint8_t USB_OUT_PIPE = 0x04;
constexpr uint8_t USB_IN_PIPE = 0x84;

// Results are 0 for success or a negative error code. The codes are
// libusb's, so that a trace line shows the number its documentation lists.
constexpr int USB_SUCCESS = 0;
constexpr int USB_ERROR_IO = -1;
constexpr int USB_ERROR_ACCESS = -3;
constexpr int USB_ERROR_NO_DEVICE = -4;  // unplugged: no later call can succeed
constexpr int USB_ERROR_NOT_FOUND = -5;
constexpr int USB_ERROR_BUSY = -6;
constexpr int USB_ERROR_TIMEOUT = -7;
constexpr int USB_ERROR_PIPE = -9;     // the endpoint stalled
constexpr int USB_ERROR_CLOSED = -10;  // ended because the device was closed
constexpr int USB_ERROR_NO_MEM = -11;
constexpr int USB_ERROR_OTHER = -99;

// Narrows discovery to one vendor:product pair when `active` is set. A
// filter that could not be parsed sets `matchNothing`, so that a typing
// error never lets the driver take over some other device.
struct UsbFilter {
  bool active = false;
  bool matchNothing = false;
  uint16_t vendor = 0;
  uint16_t product = 0;
};

struct UsbDeviceInfo {
  uint8_t bus = 0;
  uint8_t address = 0;
  uint16_t vendor = 0;
  uint16_t product = 0;
  uint8_t interfaceNumber = 0;  // the interface that holds the pipe pair
  std::string path;             // the device node, e.g. /dev/bus/usb/001/004
};

class UsbDevice {
 public:
  virtual ~UsbDevice() = default;

  // Lists the present devices that have an interface (alternate setting 0)
  // with a bulk OUT endpoint 0x04 and a bulk IN endpoint 0x84 and that pass
  // the filter, in the bus's order. Fails only when the device list cannot
  // be had at all; no match is success with an empty list.
  virtual int Discover(const UsbFilter& filter, std::vector<UsbDeviceInfo>& found) = 0;

  // Opens the device found by Discover. `*handle` becomes a non-negative
  // number that names the open device; nothing stays open on failure.
  virtual int Open(const UsbDeviceInfo& device, int32_t* handle) = 0;
  // Takes the interface over: a kernel driver bound to it is detached first.
  virtual int ClaimInterface() = 0;
  // Asks the device for its active configuration: proves it answers.
  virtual int QueryDevice() = 0;
  // Checks alternate setting 0 of the claimed interface for the pipe pair.
  virtual int QueryInterface() = 0;

  // Writes to USB_OUT_PIPE; `*written` is what the device took, also on
  // failure.
  virtual int Write(const uint8_t* data, uint32_t length, uint32_t* written) = 0;
  // Reads one transfer from USB_IN_PIPE; waits until the device completes
  // it, the device goes away (USB_ERROR_NO_DEVICE) or Close is called from
  // another thread (USB_ERROR_CLOSED).
  virtual int Read(uint8_t* buffer, uint32_t size, uint32_t* read) = 0;

  // Releases the interface and the device; a read or write in progress on
  // another thread returns first. Harmless when nothing is open.
  virtual void Close() = 0;
};

}  // namespace kavro::platform
