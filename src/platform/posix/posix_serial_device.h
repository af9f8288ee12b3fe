// The serial device on a POSIX system: a termios character device opened
// for exclusive use, driven non-blocking with poll so that closing the port
// can end a read blocked on another thread at once.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "platform/serial_device.h"

namespace kavro::platform {

class PosixSerialDevice : public SerialDevice {
 public:
  // Opens `path` read-write without making it the controlling terminal,
  // locks it against every other opener and prepares the wake-up descriptor.
  static std::shared_ptr<PosixSerialDevice> Open(const std::string& path, int* error);

  ~PosixSerialDevice() override;
  PosixSerialDevice(const PosixSerialDevice&) = delete;
  PosixSerialDevice& operator=(const PosixSerialDevice&) = delete;

  int32_t Handle() const override { return fd_.load(); }
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
  PosixSerialDevice(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) {}
  int SetModemLine(int line, bool on);

  std::atomic<int> fd_;
  // An eventfd that becomes readable once and stays readable: every poll of
  // a read or write watches it beside the device.
  int wakeFd_;
  std::atomic<bool> interrupted_{false};
  // Held for the whole of a read or a write, so that Close can wait until
  // neither touches the descriptor any more before releasing it.
  std::mutex readMutex_;
  std::mutex writeMutex_;
  // Held by the settings, purge and modem line calls, which may run on the
  // receive thread (the rate change after the handshake) while the window
  // thread closes the port; never held while taking the two above.
  std::mutex controlMutex_;
  std::atomic<uint32_t> readGapMs_{34};
  std::atomic<uint32_t> writeMultiplierMs_{2};
  std::atomic<uint32_t> writeConstantMs_{1000};
};

class PosixSerialDeviceFactory : public SerialDeviceFactory {
 public:
  std::shared_ptr<SerialDevice> OpenDevice(const std::string& path, int* error) override {
    return PosixSerialDevice::Open(path, error);
  }
  // The configured device, else /dev/ttyS{n-1} for COMn.
  std::string DevicePathFor(const std::string& portName, const std::string& configured) override;
};

}  // namespace kavro::platform
