// The three physical ports behind the transport-neutral operations. Each is
// one object created in main; Transport routes to it by the link kind.
#pragma once

#include <cstdint>

namespace kavro {

class SerialPortOps {
 public:
  virtual ~SerialPortOps() = default;
  virtual int32_t OpenV24(const char* portName, const char* rateText, uint32_t controlLines) = 0;
  virtual int32_t InitV24(const char* rateText) = 0;
  virtual int32_t CloseV24() = 0;
  virtual int32_t SendV24(const uint8_t* data, uint32_t length) = 0;
  virtual int32_t ReceiveV24(uint8_t* buffer, uint32_t size) = 0;
  virtual int32_t IsV24Closed() = 0;
};

class UsbPortOps {
 public:
  virtual ~UsbPortOps() = default;
  virtual int32_t OpenUsb(const char* linkName) = 0;
  virtual int32_t SendUsb(const uint8_t* data, uint32_t length) = 0;
  virtual int32_t ReceiveUsb(uint8_t* buffer, uint32_t size) = 0;
  virtual int32_t CloseUsb() = 0;
  // 1 once a read or write found the device unplugged, or the port was
  // closed: the link then counts as disconnected, so the receive thread
  // releases it and stops at once instead of failing reads until the link
  // timers give up or the shutdown stops waiting for it.
  virtual int32_t IsUsbGone() { return 0; }
};

class SocketPortOps {
 public:
  virtual ~SocketPortOps() = default;
  virtual int32_t OpenSocket(const char* address, uint16_t port) = 0;
  virtual int32_t CloseSocket() = 0;
  virtual int32_t SendSocket(const uint8_t* data, uint32_t length) = 0;
  virtual int32_t ReceiveSocket(uint8_t* buffer, uint32_t size) = 0;
};

}  // namespace kavro
