// The USB device through libusb-1.0. Every transfer is asynchronous under
// the hood, so that Close can cancel what another thread waits for: a read
// on the IN pipe has no time limit of its own and would otherwise hold
// shutdown for ever.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/usb_device.h"

struct libusb_context;
struct libusb_device_handle;
struct libusb_transfer;

namespace kavro::platform {

class LibusbDevice : public UsbDevice {
 public:
  LibusbDevice() = default;
  ~LibusbDevice() override;
  LibusbDevice(const LibusbDevice&) = delete;
  LibusbDevice& operator=(const LibusbDevice&) = delete;

  int Discover(const UsbFilter& filter, std::vector<UsbDeviceInfo>& found) override;
  int Open(const UsbDeviceInfo& device, int32_t* handle) override;
  int ClaimInterface() override;
  int QueryDevice() override;
  int QueryInterface() override;
  int Write(const uint8_t* data, uint32_t length, uint32_t* written) override;
  int Read(uint8_t* buffer, uint32_t size, uint32_t* read) override;
  void Close() override;

  // A write the device does not take within this time fails: the writer may
  // be the main thread, which must never hang on a stuck device.
  static constexpr unsigned WRITE_TIMEOUT_MS = 2000;

 private:
  int EnsureContext();
  int Transfer(uint8_t endpoint, uint8_t* data, uint32_t length, unsigned timeoutMs, uint32_t* transferred);

  libusb_context* context_ = nullptr;
  std::mutex mutex_;
  std::condition_variable idle_;
  libusb_device_handle* handle_ = nullptr;
  int interface_ = -1;
  bool claimed_ = false;
  bool closing_ = false;
  bool gone_ = false;
  std::vector<libusb_transfer*> inFlight_;
};

}  // namespace kavro::platform
