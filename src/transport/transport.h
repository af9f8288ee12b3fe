// Transport selection: the link name decides whether the link runs over the
// serial port, the USB device or a TCP connection. The port is picked once,
// when the connection opens, and the transport-neutral operations forward
// every send, receive, closed test and close to it.
#pragma once

#include <cstdint>

#include "core/connection.h"
#include "core/link_config.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "transport/ports.h"

namespace kavro {

class Transport : public Connection {
 public:
  // `usb` and `socket` may be null while those ports are not available; a
  // link of their kind then fails as a port that cannot be used.
  Transport(const LinkConfig& config, TraceLog& trace, LinkControl& control, SerialPortOps& serial, UsbPortOps* usb,
            SocketPortOps* socket)
      : config_(config), trace_(trace), control_(control), serial_(serial), usb_(usb), socket_(socket) {}

  // Link-kind tests: case-sensitive prefixes of the link name. "LAN/USB" is
  // what the configuration stores for a TCP link, so it is TCP, not USB.
  bool IsComLink() const override;
  bool IsUsbLink() const override;
  bool IsTcpLink() const override;

  // Picks the port of the link name's kind, tested in the order USB, COM,
  // TCP, or none for a name of no kind or a port this build lacks; the
  // operations below go to it from then on. OpenConnection calls it once the
  // link name is final; until then there is no port.
  void SelectTransport();

  // The chosen port's result, unconverted: serial 1/0/-1, USB the bytes
  // written, TCP the length asked for; 0 on a name of no kind.
  int32_t SendConnection(const uint8_t* data, uint32_t length) override;
  // Bytes read; 0 on a name of no kind.
  int32_t ReceiveConnection(uint8_t* buffer, uint32_t size);
  // 1 when the link is gone: the port's own closed test. A TCP link and a
  // name of no kind are always gone once a read has come back empty.
  int32_t IsDisconnected();
  // Closes the link's port (the name's kinds exclude each other); always 1.
  int32_t CloseConnection();
  // Re-initialises the serial port at the rate the PBX named.
  int32_t SetLinkSpeed(const char* rateText) override;
  int32_t CloseSocket() override;

  LinkControl& Control() { return control_; }

 private:
  const LinkConfig& config_;
  TraceLog& trace_;
  LinkControl& control_;
  SerialPortOps& serial_;
  UsbPortOps* usb_;
  SocketPortOps* socket_;

  // The port of a name of no kind: sends and reads nothing, is always gone.
  class NoPort : public Port {
   public:
    int32_t Send(const uint8_t*, uint32_t) override { return 0; }
    int32_t Receive(uint8_t*, uint32_t) override { return 0; }
    int32_t IsClosed() override { return 1; }
    int32_t Close() override { return 1; }
  };
  NoPort noPort_;
  Port* port_ = &noPort_;
};

}  // namespace kavro
