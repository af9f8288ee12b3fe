// A serial device as the serial port logic drives it: one open port with its
// line settings, modem lines, a blocking burst read and a blocking write. On
// Linux it is a termios device (posix/posix_serial_device); the logic above it never
// sees a descriptor other than as the number it keeps in DeviceHandle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace kavro::platform {

// The line settings the link uses: 8 data bits, no parity, no flow control
// of any kind, raw transfer. Only the rate and the stop bits vary.
struct SerialSettings {
  uint32_t rate = 0;     // bits per second; 0 = no known rate
  uint8_t stopBits = 1;  // 1 or 2
};

// The read and write time limits of the port, in milliseconds. A burst read
// ends once no byte has come for `readMultiplier` + `readConstant` (the limit
// of a one-byte read); a write of n bytes may take writeMultiplier * n +
// writeConstant.
struct SerialTimeouts {
  uint32_t readMultiplier = 2;
  uint32_t readConstant = 32;
  uint32_t writeMultiplier = 2;
  uint32_t writeConstant = 1000;
};

// Results are 0 for success or the platform's error number.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // The number that stands for the open port (its descriptor).
  virtual int32_t Handle() const = 0;

  // Sizes the driver's input and output queues where the platform lets a
  // program choose them.
  virtual int SetQueues(uint32_t inputSize, uint32_t outputSize) = 0;
  // Discards whatever the driver holds in both directions.
  virtual int Purge() = 0;
  // Applies the settings on top of the port's current ones. A rate the
  // platform cannot set (0 included) is refused: the port keeps its rate and
  // stop bits, and only the raw 8-bit transfer is still put in place.
  virtual int ApplySettings(const SerialSettings& settings) = 0;
  virtual int ApplyTimeouts(const SerialTimeouts& timeouts) = 0;

  virtual int SetDtr(bool on) = 0;
  virtual int SetRts(bool on) = 0;
  // Reads the modem status; `dsrOn` tells whether DSR is on.
  virtual int GetDsr(bool* dsrOn) = 0;

  // Waits without a time limit for a byte, then keeps reading while bytes
  // follow each other within the read gap, up to `size` bytes. Returns the
  // count stored; `failed` is set when the wait or a read failed, or the
  // port was interrupted (bytes already stored are still returned).
  virtual uint32_t ReadBurst(uint8_t* buffer, uint32_t size, bool* failed) = 0;
  // Writes all the bytes, waiting as long as the write time limit allows.
  virtual int Write(const uint8_t* data, uint32_t length) = 0;

  // Ends a read or write blocked on another thread at once, and makes every
  // later one fail at once: the first step of closing the port.
  virtual void Interrupt() = 0;
  // Closes the port. A read or write still running on another thread has
  // returned before the device is released.
  virtual int Close() = 0;
};

class SerialDeviceFactory {
 public:
  virtual ~SerialDeviceFactory() = default;
  // Opens the device at `path` for exclusive use; null with `*error` set on
  // failure.
  virtual std::shared_ptr<SerialDevice> OpenDevice(const std::string& path, int* error) = 0;
  // The device a port name (COM1, COM2, ...) stands for: the platform's own
  // naming decides, given the device the configuration maps the name to
  // (empty when it maps it to none). Empty when the name stands for no
  // device.
  virtual std::string DevicePathFor(const std::string& portName, const std::string& configured) = 0;
};

}  // namespace kavro::platform
