// The PBX's USB device on Windows: found by its device interface class
// through SetupAPI, opened as a file and taken over with WinUSB; writes go to
// pipe 0x04, reads wait on pipe 0x84. The system calls sit behind
// WinUsbCalls, so that the logic here runs against a fake in the unit tests
// (and under Wine, whose WinUSB is not implemented and never called: Wine
// has no USB device to find).
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/usb_device.h"

namespace kavro::platform {

// One method per SetupAPI or WinUSB call (or fixed sequence of calls).
// Results are the system's error codes, 0 for success. Handles are opaque.
class WinUsbCalls {
 public:
  virtual ~WinUsbCalls() = default;
  // SetupDiGetClassDevsA for the present devices exposing the link's
  // interface class; null with `*error` set when the list cannot be had.
  virtual void* GetClassDevices(uint32_t* error) = 0;
  // SetupDiEnumDeviceInterfaces at `index`, then the interface's device
  // path from SetupDiGetDeviceInterfaceDetailA. ERROR_NO_MORE_ITEMS (259)
  // past the last interface.
  virtual uint32_t InterfacePath(void* list, uint32_t index, std::string* path) = 0;
  virtual void DestroyList(void* list) = 0;
  // CreateFileA for reading and writing, shared, overlapped.
  virtual uint32_t OpenDevice(const std::string& path, void** file) = 0;
  virtual void CloseDevice(void* file) = 0;
  virtual uint32_t Initialize(void* file, void** usb) = 0;
  virtual uint32_t QueryDeviceSpeed(void* usb) = 0;
  virtual uint32_t QueryInterfaceSettings(void* usb) = 0;
  // One overlapped transfer at a time per direction; the record is the
  // system's (an OVERLAPPED with its event), made once per open device.
  virtual void* NewTransfer() = 0;
  virtual void FreeTransfer(void* transfer) = 0;
  // Starts a transfer on `pipe` (a read of up to `length` bytes on the IN
  // pipe, a write on the OUT pipe): 0 when it completed at once,
  // ERROR_IO_PENDING (997) while it is under way, else the error.
  virtual uint32_t StartTransfer(void* usb, uint8_t pipe, uint8_t* buffer, uint32_t length, void* transfer) = 0;
  // Waits until the transfer completes (true), `stop` is set or `timeoutMs`
  // pass (false; 0xFFFFFFFF: no limit).
  virtual bool AwaitTransfer(void* transfer, void* stop, uint32_t timeoutMs) = 0;
  // The transfer's outcome, once it has ended (aborted ones included): 0
  // with the bytes moved in `*count`, or the error.
  virtual uint32_t FinishTransfer(void* usb, void* transfer, uint32_t* count) = 0;
  // Ends the transfers pending on `pipe`, on any thread.
  virtual uint32_t AbortPipe(void* usb, uint8_t pipe) = 0;
  // A manual-reset event that ends every AwaitTransfer once set.
  virtual void* NewStopEvent() = 0;
  virtual void SetStopEvent(void* stop) = 0;
  virtual void FreeStopEvent(void* stop) = 0;
  virtual void Free(void* usb) = 0;
};

// The real calls: SetupAPI with the interface class
// bbecb87c-b337-4655-a692-c13b97b61a0f, CreateFileA, winusb.dll.
class SystemWinUsbCalls : public WinUsbCalls {
 public:
  void* GetClassDevices(uint32_t* error) override;
  uint32_t InterfacePath(void* list, uint32_t index, std::string* path) override;
  void DestroyList(void* list) override;
  uint32_t OpenDevice(const std::string& path, void** file) override;
  void CloseDevice(void* file) override;
  uint32_t Initialize(void* file, void** usb) override;
  uint32_t QueryDeviceSpeed(void* usb) override;
  uint32_t QueryInterfaceSettings(void* usb) override;
  void* NewTransfer() override;
  void FreeTransfer(void* transfer) override;
  uint32_t StartTransfer(void* usb, uint8_t pipe, uint8_t* buffer, uint32_t length, void* transfer) override;
  bool AwaitTransfer(void* transfer, void* stop, uint32_t timeoutMs) override;
  uint32_t FinishTransfer(void* usb, void* transfer, uint32_t* count) override;
  uint32_t AbortPipe(void* usb, uint8_t pipe) override;
  void* NewStopEvent() override;
  void SetStopEvent(void* stop) override;
  void FreeStopEvent(void* stop) override;
  void Free(void* usb) override;
};

// The vendor and product ids in a device path (...#vid_1a2b&pid_3c4d#...);
// false when the path names none.
bool ParseVendorProduct(const std::string& path, uint16_t* vendor, uint16_t* product);

class Win32UsbDevice : public UsbDevice {
 public:
  explicit Win32UsbDevice(WinUsbCalls& calls) : calls_(calls) {}
  ~Win32UsbDevice() override { Close(); }
  Win32UsbDevice(const Win32UsbDevice&) = delete;
  Win32UsbDevice& operator=(const Win32UsbDevice&) = delete;

  // Every interface of the class, in SetupAPI's order. The results are the
  // interface's codes, mapped from the system's errors: the link logic acts
  // on an unplugged device and a close alike on every platform.
  int Discover(const UsbFilter& filter, std::vector<UsbDeviceInfo>& found) override;
  int Open(const UsbDeviceInfo& device, int32_t* handle) override;
  int ClaimInterface() override;
  int QueryDevice() override;
  int QueryInterface() override;
  int Write(const uint8_t* data, uint32_t length, uint32_t* written) override;
  int Read(uint8_t* buffer, uint32_t size, uint32_t* read) override;
  void Close() override;

  // The system's error code behind the last failed call, for the trace.
  uint32_t LastSystemError() const { return lastError_.load(); }

 private:
  int Result(uint32_t error);
  // One transfer on `pipe`, ended by its completion, by Close (the stop
  // event, which stays set) or by `timeoutMs`; the pipe is aborted and the
  // transfer waited for when it does not complete.
  uint32_t Transfer(uint8_t pipe, uint8_t* buffer, uint32_t length, void* transfer, uint32_t timeoutMs,
                    uint32_t* count);

  WinUsbCalls& calls_;
  void* file_ = nullptr;
  void* usb_ = nullptr;
  std::atomic<bool> closing_{false};
  // Set by Close and kept set: a transfer started after it ends at once.
  void* stop_ = nullptr;
  void* readTransfer_ = nullptr;
  void* writeTransfer_ = nullptr;
  std::atomic<uint32_t> lastError_{0};
  // Held for the whole of a read or write, so that Close frees the WinUSB
  // handle only after the ended transfers have returned.
  std::mutex readMutex_;
  std::mutex writeMutex_;
};

}  // namespace kavro::platform
