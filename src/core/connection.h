// What the link layer needs of the transport: the transport-neutral send,
// the rate switch after the handshake and the link-kind tests. The real one
// is Transport (transport/transport.h); the unit tests use a recording
// double.
#pragma once

#include <cstdint>

namespace kavro {

// SendConnection's result on a TCP link whose frame was cut short after its
// first byte: the connection has been closed, and the link is lost.
constexpr int32_t CONNECTION_CUT = -1;

class Connection {
 public:
  virtual ~Connection() = default;
  // Writes the bytes to the open link. The result is the transport's own,
  // unconverted: 0 is failure on every kind (serial also gives -1 for no
  // data, USB the bytes written, TCP the length asked for, or
  // CONNECTION_CUT).
  virtual int32_t SendConnection(const uint8_t* data, uint32_t length) = 0;
  // Re-initialises the serial port at the rate named by `rateText`.
  virtual int32_t SetLinkSpeed(const char* rateText) = 0;
  virtual bool IsComLink() const = 0;
  virtual bool IsUsbLink() const = 0;
  virtual bool IsTcpLink() const = 0;
  // Closes the TCP connection (the disconnect request on a TCP link).
  virtual int32_t CloseSocket() = 0;
};

}  // namespace kavro
