#include "transport/usb_port.h"

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "core/link_config.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "platform/event_hub.h"
#include "platform/registry.h"

namespace kavro {

namespace {

bool ParseHex16(const std::string& text, uint16_t* value) {
  if (text.empty() || text.size() > 4) return false;
  uint32_t v = 0;
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    v = v * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                           ? c - '0'
                                           : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
  }
  *value = static_cast<uint16_t>(v);
  return true;
}

std::string Describe(const platform::UsbDeviceInfo& info) {
  char text[64];
  std::snprintf(text, sizeof text, " (%04x:%04x)", info.vendor, info.product);
  return info.path + text;
}

}  // namespace

platform::UsbFilter ParseUsbFilter(const char* text) {
  platform::UsbFilter filter;
  std::string s = text != nullptr ? text : "";
  size_t first = s.find_first_not_of(" \t");
  if (first == std::string::npos) return filter;
  size_t last = s.find_last_not_of(" \t");
  s = s.substr(first, last - first + 1);
  filter.active = true;
  size_t colon = s.find(':');
  if (colon == std::string::npos || !ParseHex16(s.substr(0, colon), &filter.vendor) ||
      !ParseHex16(s.substr(colon + 1), &filter.product)) {
    filter.matchNothing = true;
  }
  return filter;
}

platform::UsbFilter ReadUsbFilter(platform::Registry& registry, TraceLog& trace) {
  std::unique_ptr<platform::RegistryKey> key = registry.OpenKey(PortsKeyPath().c_str());
  if (!key) return {};
  uint8_t value[64] = {};
  uint32_t size = sizeof value - 1;
  uint32_t type = platform::REG_NONE;
  long r = key->QueryValue("USB", &type, value, &size);
  if (r == platform::ERROR_FILE_NOT_FOUND) return {};
  platform::UsbFilter filter;
  if (r != platform::ERROR_SUCCESS || type != platform::REG_SZ) {
    filter.active = true;
    filter.matchNothing = true;
    trace.TraceMessage(LOG_WARNING, "Ports value USB unreadable: no USB device will match");
    return filter;
  }
  const char* text = reinterpret_cast<const char*>(value);
  filter = ParseUsbFilter(text);
  if (filter.matchNothing) {
    trace.TraceMessage(LOG_WARNING, "Ports value USB \"%s\" is not vendor:product: no USB device will match", text);
  }
  return filter;
}

namespace {

// The portable USB codes in words, for the operator's start failure line.
const char* UsbErrorText(int code) {
  switch (code) {
    case platform::USB_ERROR_ACCESS: return "access denied (see the udev rule in the USB page)";
    case platform::USB_ERROR_NO_DEVICE: return "device gone";
    case platform::USB_ERROR_NOT_FOUND: return "not found";
    case platform::USB_ERROR_BUSY: return "busy (claimed by another program)";
    case platform::USB_ERROR_TIMEOUT: return "timed out";
    case platform::USB_ERROR_PIPE: return "endpoint stalled";
    case platform::USB_ERROR_NO_MEM: return "out of memory";
    case platform::USB_ERROR_IO: return "input/output error";
    default: return "USB error";
  }
}

}  // namespace

int32_t UsbPort::OpenUsb(const char* /*linkName: every USB link opens the one device*/) {
  if (control_.Block.DeviceHandle != INVALID_HANDLE) return 0;
  if (filterSource_) filter_ = filterSource_();
  int32_t file = -1;
  if (!FindUsbDevice(LINK_DEVICE_INTERFACE, &file)) return 0;
  fileHandle_ = file;
  if (!InitUsb()) {
    // Closing the device releases a claimed interface with it, so nothing
    // is left held by a failed open.
    device_.Close();
    fileHandle_ = -1;
    interfaceHeld_ = false;
    return 0;
  }
  gone_ = false;
  closed_ = false;
  control_.Lifecycle().Notice(platform::NoticeLevel::Info, "opened USB link on " + openedDevice_);
  control_.Block.DeviceHandle = file;
  return 1;
}

int32_t UsbPort::FindUsbDevice(const char* /*interfaceClass*/, int32_t* deviceFile) {
  *deviceFile = -1;
  std::vector<platform::UsbDeviceInfo> found;
  int r = device_.Discover(filter_, found);
  if (r != platform::USB_SUCCESS) {
    // The original text carries "%n", which would make a formatter write
    // to memory; the error code takes its place.
    trace_.TraceMessage(LOG_DETAIL, "Error SetupDiGetClassDevs:%i", r);
    control_.Lifecycle().Notice(platform::NoticeLevel::Error,
                                std::string("cannot search for a USB link device: ") + UsbErrorText(r));
    return 0;
  }
  if (found.empty()) {
    trace_.TraceMessage(LOG_DETAIL, "Error: lpDevicePath == NULL");
    control_.Lifecycle().Notice(platform::NoticeLevel::Error,
                                "cannot open USB link: no device with bulk endpoints 0x04 and 0x84" +
                                    std::string(filter_.active ? " matching the Ports value USB" : "") + " is present");
    return 0;
  }
  // Several PBX devices on one PC: the first on the bus is the link's, the
  // others are named so that the administrator can narrow the choice.
  trace_.TraceMessage(LOG_DETAIL, "Device path:%s", Describe(found[0]).c_str());
  for (size_t i = 1; i < found.size(); ++i) {
    trace_.TraceMessage(LOG_DETAIL, "USB device not used:%s", Describe(found[i]).c_str());
  }
  int32_t handle = -1;
  r = device_.Open(found[0], &handle);
  if (r != platform::USB_SUCCESS) {
    trace_.TraceMessage(LOG_DETAIL, "CreateFile - Error:%i", r);
    control_.Lifecycle().Notice(platform::NoticeLevel::Error,
                                "cannot open USB link device " + Describe(found[0]) + ": " + UsbErrorText(r));
    return 0;
  }
  *deviceFile = handle;
  openedDevice_ = Describe(found[0]);
  control_.OpenedDevice = openedDevice_;
  return 1;
}

int32_t UsbPort::InitUsb() {
  // A failing step reports its own line and those of every later step, all
  // with the same error, as the later queries cannot run without it.
  int r = device_.ClaimInterface();
  if (r != platform::USB_SUCCESS) {
    trace_.TraceMessage(LOG_DETAIL, "WinUsb_Initialize failed:%i", r);
    trace_.TraceMessage(LOG_DETAIL, "WinUsb_QueryDeviceInformation failed:%i", r);
    trace_.TraceMessage(LOG_DETAIL, "WinUsb_QueryInterfaceSettings failed:%i", r);
    return 0;
  }
  interfaceHeld_ = true;
  r = device_.QueryDevice();
  if (r != platform::USB_SUCCESS) {
    trace_.TraceMessage(LOG_DETAIL, "WinUsb_QueryDeviceInformation failed:%i", r);
    trace_.TraceMessage(LOG_DETAIL, "WinUsb_QueryInterfaceSettings failed:%i", r);
    return 0;
  }
  r = device_.QueryInterface();
  if (r != platform::USB_SUCCESS) {
    trace_.TraceMessage(LOG_DETAIL, "WinUsb_QueryInterfaceSettings failed:%i", r);
    return 0;
  }
  // The pipes are fixed by the PBX's firmware, not taken from the
  // descriptor.
  inPipe_ = platform::USB_IN_PIPE;
  outPipe_ = platform::USB_OUT_PIPE;
  return 1;
}

int32_t UsbPort::SendUsb(const uint8_t* data, uint32_t length) {
  uint32_t written = 0;
  int r = device_.Write(data, length, &written);
  if (r != platform::USB_SUCCESS) {
    trace_.TraceMessage(LOG_DETAIL, "WinUsb_WritePipe failed:%i", r);
    if (r == platform::USB_ERROR_NO_DEVICE) gone_ = true;
  }
  if (written == 0) {
    trace_.TraceMessage(LOG_DETAIL, "0 Bytes Written!");
    return 0;
  }
  return static_cast<int32_t>(written);
}

int32_t UsbPort::ReceiveUsb(uint8_t* buffer, uint32_t size) {
  uint32_t read = 0;
  int r = device_.Read(buffer, size, &read);
  if (r == platform::USB_SUCCESS) return static_cast<int32_t>(read);
  trace_.TraceMessage(LOG_DETAIL, "WinUsb_ReadPipe failed:%i", r);
  if (r == platform::USB_ERROR_NO_DEVICE) {
    // Unplugged: no read will ever succeed again, and the link counts as
    // disconnected from now on, so the receive loop ends instead of
    // spinning.
    gone_ = true;
  } else if (r != platform::USB_ERROR_CLOSED) {
    // The receive loop reads again at once; a device that keeps failing
    // would otherwise turn it into a busy loop. A read ended by CloseUsb
    // returns at once: shutdown is waiting for the thread.
    clock_.Sleep(USB_READ_RETRY_PAUSE_MS);
  }
  return 0;
}

int32_t UsbPort::IsUsbClosed() { return (control_.Block.DeviceHandle == INVALID_HANDLE || IsUsbGone()) ? 1 : 0; }

int32_t UsbPort::CloseUsb() {
  if (interfaceHeld_ || fileHandle_ != -1) {
    // Marked first, so that the receive thread, woken by the close, finds
    // the link gone and stops reading.
    closed_ = true;
    // Ends a read pending on the receive thread before the handles go.
    device_.Close();
    interfaceHeld_ = false;
    fileHandle_ = -1;
  }
  return 1;
}

}  // namespace kavro
