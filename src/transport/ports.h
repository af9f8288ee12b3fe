// The three physical ports behind the transport-neutral operations. Each is
// one object created in main; the transport picks the one the link name
// names, once, and forwards to it.
#pragma once

#include <cstdint>

namespace kavro {

// What every port offers the transport-neutral operations: SendConnection,
// ReceiveConnection, IsDisconnected and CloseConnection forward here, to the
// port of the link, with the port's own results unconverted.
class Port {
 public:
  virtual ~Port() = default;
  virtual int32_t Send(const uint8_t* data, uint32_t length) = 0;
  virtual int32_t Receive(uint8_t* buffer, uint32_t size) = 0;
  // 1 when a read that came back empty means the link is gone.
  virtual int32_t IsClosed() = 0;
  virtual int32_t Close() = 0;
};

class SerialPortOps : public Port {
 public:
  virtual int32_t OpenV24(const char* portName, const char* rateText, uint32_t controlLines) = 0;
  virtual int32_t InitV24(const char* rateText) = 0;
  virtual int32_t CloseV24() = 0;
  virtual int32_t SendV24(const uint8_t* data, uint32_t length) = 0;
  virtual int32_t ReceiveV24(uint8_t* buffer, uint32_t size) = 0;
  virtual int32_t IsV24Closed() = 0;

  int32_t Send(const uint8_t* data, uint32_t length) override { return SendV24(data, length); }
  int32_t Receive(uint8_t* buffer, uint32_t size) override { return ReceiveV24(buffer, size); }
  int32_t IsClosed() override { return IsV24Closed(); }
  int32_t Close() override { return CloseV24(); }
};

class UsbPortOps : public Port {
 public:
  virtual int32_t OpenUsb(const char* linkName) = 0;
  virtual int32_t SendUsb(const uint8_t* data, uint32_t length) = 0;
  virtual int32_t ReceiveUsb(uint8_t* buffer, uint32_t size) = 0;
  virtual int32_t CloseUsb() = 0;
  // The USB link's closed test: 1 while no device is open (the USB open
  // keeps its device in DeviceHandle, as the serial open does), and once a
  // read or write found the device unplugged or the port was closed, so
  // that the receive thread releases the link and stops at once instead of
  // failing reads until the link timers give up or the shutdown stops
  // waiting for it.
  virtual int32_t IsUsbClosed() = 0;

  int32_t Send(const uint8_t* data, uint32_t length) override { return SendUsb(data, length); }
  int32_t Receive(uint8_t* buffer, uint32_t size) override { return ReceiveUsb(buffer, size); }
  int32_t IsClosed() override { return IsUsbClosed(); }
  int32_t Close() override { return CloseUsb(); }
};

class SocketPortOps : public Port {
 public:
  virtual int32_t OpenSocket(const char* address, uint16_t port) = 0;
  virtual int32_t CloseSocket() = 0;
  virtual int32_t SendSocket(const uint8_t* data, uint32_t length) = 0;
  virtual int32_t ReceiveSocket(uint8_t* buffer, uint32_t size) = 0;

  int32_t Send(const uint8_t* data, uint32_t length) override { return SendSocket(data, length); }
  int32_t Receive(uint8_t* buffer, uint32_t size) override { return ReceiveSocket(buffer, size); }
  // A TCP read comes back empty only when the connection has ended.
  int32_t IsClosed() override { return 1; }
  int32_t Close() override { return CloseSocket(); }
};

}  // namespace kavro
