#include "platform/posix/posix_usb_device.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>

#include <libusb-1.0/libusb.h>

namespace kavro::platform {

static_assert(USB_ERROR_IO == LIBUSB_ERROR_IO);
static_assert(USB_ERROR_ACCESS == LIBUSB_ERROR_ACCESS);
static_assert(USB_ERROR_NO_DEVICE == LIBUSB_ERROR_NO_DEVICE);
static_assert(USB_ERROR_NOT_FOUND == LIBUSB_ERROR_NOT_FOUND);
static_assert(USB_ERROR_BUSY == LIBUSB_ERROR_BUSY);
static_assert(USB_ERROR_TIMEOUT == LIBUSB_ERROR_TIMEOUT);
static_assert(USB_ERROR_PIPE == LIBUSB_ERROR_PIPE);
static_assert(USB_ERROR_CLOSED == LIBUSB_ERROR_INTERRUPTED);
static_assert(USB_ERROR_NO_MEM == LIBUSB_ERROR_NO_MEM);
static_assert(USB_ERROR_OTHER == LIBUSB_ERROR_OTHER);

namespace {

// How long Close waits for a cancelled transfer to come back. A transfer
// that never does is left to leak with its handle rather than be freed while
// libusb may still write into it.
constexpr auto CANCEL_WAIT = std::chrono::milliseconds(2000);

bool IsBulk(const libusb_endpoint_descriptor& ep) {
  return (ep.bmAttributes & LIBUSB_TRANSFER_TYPE_MASK) == LIBUSB_ENDPOINT_TRANSFER_TYPE_BULK;
}

bool HasPipePair(const libusb_interface_descriptor& alt) {
  bool out = false;
  bool in = false;
  for (int i = 0; i < alt.bNumEndpoints; ++i) {
    const libusb_endpoint_descriptor& ep = alt.endpoint[i];
    if (!IsBulk(ep)) continue;
    if (ep.bEndpointAddress == USB_OUT_PIPE) out = true;
    if (ep.bEndpointAddress == USB_IN_PIPE) in = true;
  }
  return out && in;
}

// The interface number whose alternate setting 0 has the pipe pair, or -1.
int FindPipeInterface(const libusb_config_descriptor* config) {
  for (int i = 0; i < config->bNumInterfaces; ++i) {
    const libusb_interface& itf = config->interface[i];
    for (int a = 0; a < itf.num_altsetting; ++a) {
      const libusb_interface_descriptor& alt = itf.altsetting[a];
      if (alt.bAlternateSetting == 0 && HasPipePair(alt)) return alt.bInterfaceNumber;
    }
  }
  return -1;
}

// An unconfigured device has no active configuration; its first one is what
// it will run once configured.
int ReadConfig(libusb_device* dev, libusb_config_descriptor** config) {
  int r = libusb_get_active_config_descriptor(dev, config);
  if (r == LIBUSB_ERROR_NOT_FOUND) r = libusb_get_config_descriptor(dev, 0, config);
  return r;
}

int StatusToError(int status) {
  switch (status) {
    case LIBUSB_TRANSFER_COMPLETED: return USB_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT: return USB_ERROR_TIMEOUT;
    case LIBUSB_TRANSFER_CANCELLED: return USB_ERROR_CLOSED;
    case LIBUSB_TRANSFER_STALL: return USB_ERROR_PIPE;
    case LIBUSB_TRANSFER_NO_DEVICE: return USB_ERROR_NO_DEVICE;
    case LIBUSB_TRANSFER_OVERFLOW: return LIBUSB_ERROR_OVERFLOW;
    default: return USB_ERROR_IO;
  }
}

void LIBUSB_CALL OnTransferDone(libusb_transfer* transfer) { *static_cast<int*>(transfer->user_data) = 1; }

}  // namespace

LibusbDevice::~LibusbDevice() {
  Close();
  // A context whose transfer never came back is left alone too.
  std::lock_guard<std::mutex> lock(mutex_);
  if (context_ != nullptr && inFlight_.empty() && handle_ == nullptr) libusb_exit(context_);
}

int LibusbDevice::EnsureContext() {
  if (context_ != nullptr) return USB_SUCCESS;
  return libusb_init(&context_);
}

int LibusbDevice::Discover(const UsbFilter& filter, std::vector<UsbDeviceInfo>& found) {
  found.clear();
  int r = EnsureContext();
  if (r != 0) return r;
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context_, &list);
  if (count < 0) return static_cast<int>(count);
  for (ssize_t i = 0; i < count; ++i) {
    libusb_device* dev = list[i];
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(dev, &desc) != 0) continue;
    if (filter.matchNothing) continue;
    if (filter.active && (desc.idVendor != filter.vendor || desc.idProduct != filter.product)) {
      continue;
    }
    libusb_config_descriptor* config = nullptr;
    if (ReadConfig(dev, &config) != 0) continue;
    int itf = FindPipeInterface(config);
    libusb_free_config_descriptor(config);
    if (itf < 0) continue;
    UsbDeviceInfo info;
    info.bus = libusb_get_bus_number(dev);
    info.address = libusb_get_device_address(dev);
    info.vendor = desc.idVendor;
    info.product = desc.idProduct;
    info.interfaceNumber = static_cast<uint8_t>(itf);
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", info.bus, info.address);
    info.path = path;
    found.push_back(info);
  }
  libusb_free_device_list(list, 1);
  // libusb lists in no promised order; the bus's order makes "the first"
  // the same device on every start.
  std::stable_sort(found.begin(), found.end(), [](const UsbDeviceInfo& a, const UsbDeviceInfo& b) {
    return a.bus != b.bus ? a.bus < b.bus : a.address < b.address;
  });
  return USB_SUCCESS;
}

int LibusbDevice::Open(const UsbDeviceInfo& device, int32_t* handle) {
  *handle = -1;
  int r = EnsureContext();
  if (r != 0) return r;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ != nullptr) return USB_ERROR_BUSY;
  }
  libusb_device** list = nullptr;
  ssize_t count = libusb_get_device_list(context_, &list);
  if (count < 0) return static_cast<int>(count);
  libusb_device_handle* opened = nullptr;
  r = USB_ERROR_NO_DEVICE;
  for (ssize_t i = 0; i < count; ++i) {
    if (libusb_get_bus_number(list[i]) == device.bus && libusb_get_device_address(list[i]) == device.address) {
      r = libusb_open(list[i], &opened);
      break;
    }
  }
  libusb_free_device_list(list, 1);
  if (r != 0) return r;
  std::lock_guard<std::mutex> lock(mutex_);
  handle_ = opened;
  interface_ = device.interfaceNumber;
  claimed_ = false;
  closing_ = false;
  gone_ = false;
  *handle = (static_cast<int32_t>(device.bus) << 8) | device.address;
  return USB_SUCCESS;
}

int LibusbDevice::ClaimInterface() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handle_ == nullptr) return USB_ERROR_CLOSED;
  // Not every platform can detach (LIBUSB_ERROR_NOT_SUPPORTED); claiming
  // then tells whether a driver is in the way.
  libusb_set_auto_detach_kernel_driver(handle_, 1);
  int r = libusb_claim_interface(handle_, interface_);
  if (r == 0) claimed_ = true;
  return r;
}

int LibusbDevice::QueryDevice() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handle_ == nullptr) return USB_ERROR_CLOSED;
  int configuration = 0;
  return libusb_get_configuration(handle_, &configuration);
}

int LibusbDevice::QueryInterface() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (handle_ == nullptr) return USB_ERROR_CLOSED;
  libusb_config_descriptor* config = nullptr;
  int r = libusb_get_active_config_descriptor(libusb_get_device(handle_), &config);
  if (r != 0) return r;
  int itf = FindPipeInterface(config);
  libusb_free_config_descriptor(config);
  return itf == interface_ ? USB_SUCCESS : USB_ERROR_NOT_FOUND;
}

int LibusbDevice::Write(const uint8_t* data, uint32_t length, uint32_t* written) {
  // libusb does not write through the buffer of an OUT transfer.
  return Transfer(USB_OUT_PIPE, const_cast<uint8_t*>(data), length, WRITE_TIMEOUT_MS, written);
}

int LibusbDevice::Read(uint8_t* buffer, uint32_t size, uint32_t* read) {
  return Transfer(USB_IN_PIPE, buffer, size, 0, read);
}

int LibusbDevice::Transfer(uint8_t endpoint, uint8_t* data, uint32_t length, unsigned timeoutMs,
                           uint32_t* transferred) {
  *transferred = 0;
  int done = 0;
  libusb_transfer* transfer = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handle_ == nullptr || closing_) return USB_ERROR_CLOSED;
    if (gone_) return USB_ERROR_NO_DEVICE;
    transfer = libusb_alloc_transfer(0);
    if (transfer == nullptr) return USB_ERROR_NO_MEM;
    int size = static_cast<int>(std::min<uint32_t>(length, INT_MAX));
    libusb_fill_bulk_transfer(transfer, handle_, endpoint, data, size, OnTransferDone, &done, timeoutMs);
    int r = libusb_submit_transfer(transfer);
    if (r != 0) {
      libusb_free_transfer(transfer);
      if (r == LIBUSB_ERROR_NO_DEVICE) gone_ = true;
      return r;
    }
    inFlight_.push_back(transfer);
  }
  // Whichever thread handles libusb's events completes the transfer; a
  // cancel from Close ends up here as LIBUSB_TRANSFER_CANCELLED.
  while (done == 0) {
    int r = libusb_handle_events_completed(context_, &done);
    if (r != 0 && r != LIBUSB_ERROR_INTERRUPTED && done == 0) {
      libusb_cancel_transfer(transfer);
    }
  }
  int result = StatusToError(transfer->status);
  *transferred = static_cast<uint32_t>(std::max(transfer->actual_length, 0));
  std::lock_guard<std::mutex> lock(mutex_);
  if (result == USB_ERROR_NO_DEVICE) gone_ = true;
  // A transfer cancelled for another reason than Close is a failure of its
  // own; only Close makes it "closed".
  if (result == USB_ERROR_CLOSED && !closing_) result = USB_ERROR_IO;
  inFlight_.erase(std::find(inFlight_.begin(), inFlight_.end(), transfer));
  libusb_free_transfer(transfer);
  idle_.notify_all();
  return result;
}

void LibusbDevice::Close() {
  std::unique_lock<std::mutex> lock(mutex_);
  if (handle_ == nullptr) return;
  closing_ = true;
  for (libusb_transfer* transfer : inFlight_) libusb_cancel_transfer(transfer);
  if (!inFlight_.empty()) libusb_interrupt_event_handler(context_);
  if (!idle_.wait_for(lock, CANCEL_WAIT, [this] { return inFlight_.empty(); })) return;
  if (claimed_) libusb_release_interface(handle_, interface_);
  libusb_close(handle_);
  handle_ = nullptr;
  claimed_ = false;
}

}  // namespace kavro::platform
