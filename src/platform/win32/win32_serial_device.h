// A COM port on Windows: opened exclusively with overlapped I/O, so that a
// write from the window thread proceeds while the receive thread waits for
// a port event, and so that closing the port can end that wait at once.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/serial_device.h"

namespace kavro::platform {

class Win32SerialDevice : public SerialDevice {
 public:
  // Opens `path` (\\.\COMn) for exclusive use; null with `*error` set to
  // the system's error code on failure.
  static std::shared_ptr<Win32SerialDevice> Open(const std::string& path, int* error);

  ~Win32SerialDevice() override;
  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

  int32_t Handle() const override { return handleNumber_.load(); }
  int SetQueues(uint32_t inputSize, uint32_t outputSize) override;
  int Purge() override;
  int ApplySettings(const SerialSettings& settings) override;
  int ApplyTimeouts(const SerialTimeouts& timeouts) override;
  int SetDtr(bool on) override;
  int SetRts(bool on) override;
  int GetDsr(bool* dsrOn) override;
  uint32_t ReadBurst(uint8_t* buffer, uint32_t size, bool* failed) override;
  int Write(const uint8_t* data, uint32_t length) override;
  void Interrupt() override;
  int Close() override;

 private:
  Win32SerialDevice(void* port, void* readEvent, void* writeEvent, void* closeEvent);
  // Waits for an overlapped operation started on the port; a close ends the
  // wait at once by cancelling it. False when it failed or was cancelled.
  bool Await(void* overlapped, unsigned long* transferred, unsigned long timeoutMs);
  int ReadSome(uint8_t* buffer, uint32_t size, uint32_t* got);
  int SetLine(bool dtr, bool on);
  void PauseAfterFailure();

  void* port_;
  std::atomic<int32_t> handleNumber_;
  // Manual-reset completion events, one per direction as each direction has
  // its own overlapped record; unnamed, so that two links on one PC never
  // complete each other's I/O. The close event stays set once set.
  void* readEvent_;
  void* writeEvent_;
  void* closeEvent_;
  std::atomic<bool> interrupted_{false};
  // Held for the whole of a read or a write, so that Close can wait until
  // neither touches the port before the handle is released.
  std::mutex readMutex_;
  std::mutex writeMutex_;
  std::mutex controlMutex_;
  std::atomic<uint32_t> readGapMs_{34};
  std::atomic<uint32_t> writeMultiplierMs_{2};
  std::atomic<uint32_t> writeConstantMs_{1000};
  // The modem lines as last set: a DCB written with the line controls off
  // drops both lines, so they are raised again after every settings change.
  bool dtrOn_ = false;
  bool rtsOn_ = false;
};

class Win32SerialDeviceFactory : public SerialDeviceFactory {
 public:
  std::shared_ptr<SerialDevice> OpenDevice(const std::string& path, int* error) override {
    return Win32SerialDevice::Open(path, error);
  }
  // COMn opens \\.\COMn: the device namespace also reaches COM10 and above.
  // Windows opens every port by its own name, and through the device
  // namespace so that COM10 and above open as well; there is no mapping to
  // consult.
  std::string DevicePathFor(const std::string& portName, const std::string& /*configured*/) override {
    return portName.empty() ? std::string() : "\\\\.\\" + portName;
  }
};

}  // namespace kavro::platform
