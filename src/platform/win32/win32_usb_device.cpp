#include "platform/win32/win32_usb_device.h"

#include <cctype>

#include <windows.h>
#include <setupapi.h>
#include <winusb.h>

namespace kavro::platform {

namespace {

// The device interface class the PBX's USB function announces.
const GUID LINK_DEVICE_INTERFACE_GUID = {0xbbecb87c, 0xb337, 0x4655, {0xa6, 0x92, 0xc1, 0x3b, 0x97, 0xb6, 0x1a, 0x0f}};

// SetupAPI numbers the interfaces from 0 with no gaps; a list this long is
// a broken driver, not a PC with that many PBXs.
constexpr uint32_t MAX_INTERFACES = 64;

// ERROR_NO_SUCH_DEVICE, which not every SDK's headers name.
constexpr uint32_t NO_SUCH_DEVICE = 433;

constexpr uint32_t NO_TIME_LIMIT = 0xFFFFFFFF;
// A write ends within the serial port's bound: 2 ms a byte and a second,
// so that a device that stops taking data cannot hold the sending thread
// (and the link lock) for ever.
constexpr uint32_t WRITE_MS_PER_BYTE = 2;
constexpr uint32_t WRITE_MS_BASE = 1000;

bool ParseHex4(const std::string& text, size_t at, uint16_t* value) {
  if (at + 4 > text.size()) return false;
  uint16_t v = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const int c = std::tolower(static_cast<unsigned char>(text[i]));
    if (!std::isxdigit(c)) return false;
    v = static_cast<uint16_t>(v * 16 + (std::isdigit(c) ? c - '0' : c - 'a' + 10));
  }
  *value = v;
  return true;
}

}  // namespace

bool ParseVendorProduct(const std::string& path, uint16_t* vendor, uint16_t* product) {
  std::string lower(path);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const size_t vid = lower.find("vid_");
  const size_t pid = lower.find("pid_");
  return vid != std::string::npos && pid != std::string::npos && ParseHex4(lower, vid + 4, vendor) &&
         ParseHex4(lower, pid + 4, product);
}

int Win32UsbDevice::Result(uint32_t error) {
  if (error == 0) return USB_SUCCESS;
  lastError_ = error;
  switch (error) {
    case ERROR_OPERATION_ABORTED:
      return closing_ ? USB_ERROR_CLOSED : USB_ERROR_IO;
    case ERROR_DEVICE_NOT_CONNECTED:
    case NO_SUCH_DEVICE:
    case ERROR_BAD_COMMAND:
      // What WinUSB answers once the device has been unplugged.
      return USB_ERROR_NO_DEVICE;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return USB_ERROR_NOT_FOUND;
    case ERROR_ACCESS_DENIED:
      return USB_ERROR_ACCESS;
    case ERROR_SHARING_VIOLATION:
    case ERROR_BUSY:
      return USB_ERROR_BUSY;
    case ERROR_SEM_TIMEOUT:
      return USB_ERROR_TIMEOUT;
    case ERROR_GEN_FAILURE:
      // A stalled endpoint.
      return USB_ERROR_PIPE;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return USB_ERROR_NO_MEM;
    default:
      return USB_ERROR_IO;
  }
}

int Win32UsbDevice::Discover(const UsbFilter& filter, std::vector<UsbDeviceInfo>& found) {
  found.clear();
  uint32_t error = 0;
  void* list = calls_.GetClassDevices(&error);
  if (list == nullptr) return error != 0 ? Result(error) : USB_ERROR_OTHER;
  for (uint32_t index = 0; index < MAX_INTERFACES; ++index) {
    std::string path;
    const uint32_t r = calls_.InterfacePath(list, index, &path);
    if (r == ERROR_NO_MORE_ITEMS) break;
    // An interface whose path cannot be had is passed over, not taken for
    // the end of the list.
    if (r != 0 || path.empty()) continue;
    UsbDeviceInfo info;
    info.path = path;
    ParseVendorProduct(path, &info.vendor, &info.product);
    if (filter.matchNothing) continue;
    if (filter.active && (info.vendor != filter.vendor || info.product != filter.product)) continue;
    found.push_back(info);
  }
  calls_.DestroyList(list);
  return USB_SUCCESS;
}

int Win32UsbDevice::Open(const UsbDeviceInfo& device, int32_t* handle) {
  if (file_ != nullptr) return USB_ERROR_BUSY;
  void* file = nullptr;
  const int r = Result(calls_.OpenDevice(device.path, &file));
  if (r != USB_SUCCESS) return r;
  stop_ = calls_.NewStopEvent();
  readTransfer_ = calls_.NewTransfer();
  writeTransfer_ = calls_.NewTransfer();
  if (stop_ == nullptr || readTransfer_ == nullptr || writeTransfer_ == nullptr) {
    file_ = file;
    Close();
    return USB_ERROR_NO_MEM;
  }
  file_ = file;
  closing_ = false;
  // Kernel handles have 32 significant bits on 64-bit Windows as well.
  *handle = static_cast<int32_t>(reinterpret_cast<intptr_t>(file));
  return USB_SUCCESS;
}

int Win32UsbDevice::ClaimInterface() {
  if (file_ == nullptr) return USB_ERROR_NO_DEVICE;
  void* usb = nullptr;
  const int r = Result(calls_.Initialize(file_, &usb));
  if (r == USB_SUCCESS) usb_ = usb;
  return r;
}

int Win32UsbDevice::QueryDevice() {
  if (usb_ == nullptr) return USB_ERROR_NO_DEVICE;
  return Result(calls_.QueryDeviceSpeed(usb_));
}

int Win32UsbDevice::QueryInterface() {
  if (usb_ == nullptr) return USB_ERROR_NO_DEVICE;
  return Result(calls_.QueryInterfaceSettings(usb_));
}

uint32_t Win32UsbDevice::Transfer(uint8_t pipe, uint8_t* buffer, uint32_t length, void* transfer,
                                   uint32_t timeoutMs, uint32_t* count) {
  const uint32_t started = calls_.StartTransfer(usb_, pipe, buffer, length, transfer);
  if (started != 0 && started != ERROR_IO_PENDING) return started;
  if (started == ERROR_IO_PENDING && !calls_.AwaitTransfer(transfer, stop_, timeoutMs)) {
    // Closing, or the time limit: the transfer is ended, and waited for to
    // its end, since it writes into the caller's buffer.
    calls_.AbortPipe(usb_, pipe);
    const uint32_t ended = calls_.FinishTransfer(usb_, transfer, count);
    if (closing_) return ERROR_OPERATION_ABORTED;
    return ended == 0 || ended == ERROR_OPERATION_ABORTED ? ERROR_SEM_TIMEOUT : ended;
  }
  return calls_.FinishTransfer(usb_, transfer, count);
}

int Win32UsbDevice::Write(const uint8_t* data, uint32_t length, uint32_t* written) {
  *written = 0;
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (closing_ || usb_ == nullptr) return USB_ERROR_CLOSED;
  const uint32_t limit = WRITE_MS_PER_BYTE * length + WRITE_MS_BASE;
  return Result(Transfer(USB_OUT_PIPE, const_cast<uint8_t*>(data), length, writeTransfer_, limit, written));
}

int Win32UsbDevice::Read(uint8_t* buffer, uint32_t size, uint32_t* read) {
  *read = 0;
  std::lock_guard<std::mutex> lock(readMutex_);
  if (closing_ || usb_ == nullptr) return USB_ERROR_CLOSED;
  // No time limit: the PBX may say nothing for long. A Close that comes
  // after the test above has set the stop event, which ends the wait even
  // when the read starts only after it.
  return Result(Transfer(USB_IN_PIPE, buffer, size, readTransfer_, NO_TIME_LIMIT, read));
}

void Win32UsbDevice::Close() {
  closing_ = true;
  if (stop_ != nullptr) calls_.SetStopEvent(stop_);
  if (usb_ != nullptr) {
    // Ends a read pending on the receive thread (and a write on the other
    // thread) before the handles go.
    calls_.AbortPipe(usb_, USB_IN_PIPE);
    calls_.AbortPipe(usb_, USB_OUT_PIPE);
  }
  std::scoped_lock lock(readMutex_, writeMutex_);
  if (usb_ != nullptr) {
    calls_.Free(usb_);
    usb_ = nullptr;
  }
  if (file_ != nullptr) {
    calls_.CloseDevice(file_);
    file_ = nullptr;
  }
  for (void** transfer : {&readTransfer_, &writeTransfer_}) {
    if (*transfer != nullptr) calls_.FreeTransfer(*transfer);
    *transfer = nullptr;
  }
  if (stop_ != nullptr) calls_.FreeStopEvent(stop_);
  stop_ = nullptr;
}

// The system calls.

void* SystemWinUsbCalls::GetClassDevices(uint32_t* error) {
  HDEVINFO list = SetupDiGetClassDevsA(&LINK_DEVICE_INTERFACE_GUID, nullptr, nullptr,
                                       DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (list == INVALID_HANDLE_VALUE) {
    *error = GetLastError();
    return nullptr;
  }
  *error = 0;
  return list;
}

uint32_t SystemWinUsbCalls::InterfacePath(void* list, uint32_t index, std::string* path) {
  SP_DEVICE_INTERFACE_DATA interfaceData{};
  interfaceData.cbSize = sizeof interfaceData;
  if (!SetupDiEnumDeviceInterfaces(list, nullptr, &LINK_DEVICE_INTERFACE_GUID, index, &interfaceData)) {
    return GetLastError();
  }
  DWORD required = 0;
  if (SetupDiGetDeviceInterfaceDetailA(list, &interfaceData, nullptr, 0, &required, nullptr) ||
      GetLastError() != ERROR_INSUFFICIENT_BUFFER || required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
    return GetLastError() != 0 ? GetLastError() : ERROR_INVALID_DATA;
  }
  std::vector<uint8_t> buffer(required + 1, 0);
  auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(buffer.data());
  // The size of the record's fixed part, not of the buffer: 5 on the 32-bit
  // build, 8 on the 64-bit one.
  detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
  if (!SetupDiGetDeviceInterfaceDetailA(list, &interfaceData, detail, required, nullptr, nullptr)) {
    return GetLastError();
  }
  const size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);
  *path = std::string(detail->DevicePath, strnlen(detail->DevicePath, required - offset));
  return 0;
}

void SystemWinUsbCalls::DestroyList(void* list) { SetupDiDestroyDeviceInfoList(list); }

uint32_t SystemWinUsbCalls::OpenDevice(const std::string& path, void** file) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return GetLastError();
  *file = h;
  return 0;
}

void SystemWinUsbCalls::CloseDevice(void* file) { CloseHandle(file); }

uint32_t SystemWinUsbCalls::Initialize(void* file, void** usb) {
  WINUSB_INTERFACE_HANDLE handle = nullptr;
  if (!WinUsb_Initialize(file, &handle)) return GetLastError();
  *usb = handle;
  return 0;
}

uint32_t SystemWinUsbCalls::QueryDeviceSpeed(void* usb) {
  UCHAR speed = 0;
  ULONG length = sizeof speed;
  return WinUsb_QueryDeviceInformation(usb, DEVICE_SPEED, &length, &speed) ? 0 : GetLastError();
}

uint32_t SystemWinUsbCalls::QueryInterfaceSettings(void* usb) {
  USB_INTERFACE_DESCRIPTOR descriptor{};
  return WinUsb_QueryInterfaceSettings(usb, 0, &descriptor) ? 0 : GetLastError();
}

namespace {

struct SystemTransfer {
  OVERLAPPED overlapped{};
  HANDLE done = nullptr;
};

}  // namespace

void* SystemWinUsbCalls::NewTransfer() {
  auto* transfer = new SystemTransfer;
  transfer->done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (transfer->done == nullptr) {
    delete transfer;
    return nullptr;
  }
  return transfer;
}

void SystemWinUsbCalls::FreeTransfer(void* transfer) {
  auto* t = static_cast<SystemTransfer*>(transfer);
  CloseHandle(t->done);
  delete t;
}

uint32_t SystemWinUsbCalls::StartTransfer(void* usb, uint8_t pipe, uint8_t* buffer, uint32_t length,
                                          void* transfer) {
  auto* t = static_cast<SystemTransfer*>(transfer);
  t->overlapped = OVERLAPPED{};
  t->overlapped.hEvent = t->done;
  ResetEvent(t->done);
  const BOOL done = (pipe & 0x80) != 0 ? WinUsb_ReadPipe(usb, pipe, buffer, length, nullptr, &t->overlapped)
                                       : WinUsb_WritePipe(usb, pipe, buffer, length, nullptr, &t->overlapped);
  return done ? 0 : GetLastError();
}

bool SystemWinUsbCalls::AwaitTransfer(void* transfer, void* stop, uint32_t timeoutMs) {
  HANDLE events[2] = {static_cast<SystemTransfer*>(transfer)->done, static_cast<HANDLE>(stop)};
  return WaitForMultipleObjects(2, events, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

uint32_t SystemWinUsbCalls::FinishTransfer(void* usb, void* transfer, uint32_t* count) {
  ULONG moved = 0;
  const BOOL ok = WinUsb_GetOverlappedResult(usb, &static_cast<SystemTransfer*>(transfer)->overlapped, &moved, TRUE);
  *count = moved;
  return ok ? 0 : GetLastError();
}

uint32_t SystemWinUsbCalls::AbortPipe(void* usb, uint8_t pipe) {
  return WinUsb_AbortPipe(usb, pipe) ? 0 : GetLastError();
}

void* SystemWinUsbCalls::NewStopEvent() { return CreateEventA(nullptr, TRUE, FALSE, nullptr); }

void SystemWinUsbCalls::SetStopEvent(void* stop) { SetEvent(static_cast<HANDLE>(stop)); }

void SystemWinUsbCalls::FreeStopEvent(void* stop) { CloseHandle(static_cast<HANDLE>(stop)); }

void SystemWinUsbCalls::Free(void* usb) { WinUsb_Free(usb); }

}  // namespace kavro::platform
