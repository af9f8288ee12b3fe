// The TCP port: one client connection to the PBX's server and its byte
// I/O. The framing that runs over it (tag, length, keepalive) is the link's:
// link/socket_framing.h.
#pragma once

#include <cstdint>

#include "transport/ports.h"

namespace kavro {

class TraceLog;
class LinkControl;
namespace platform {
class TcpSocket;
}  // namespace platform

class TcpPort : public SocketPortOps {
 public:
  TcpPort(platform::TcpSocket& socket, LinkControl& control, TraceLog& trace);
  TcpPort(const TcpPort&) = delete;
  TcpPort& operator=(const TcpPort&) = delete;

  int32_t OpenSocket(const char* address, uint16_t port) override;
  int32_t CloseSocket() override;
  // Sends the whole block; the result is the count asked for, 0 when the
  // block was refused before its first byte went out (the connection goes
  // on), or CONNECTION_CUT when the peer stopped taking it part-way and the
  // connection has been closed. A block cut because this side is closing
  // gives 0: the close ends the link anyway.
  int32_t SendSocket(const uint8_t* data, uint32_t length) override;
  int32_t ReceiveSocket(uint8_t* buffer, uint32_t size) override;

 private:
  platform::TcpSocket& socket_;
  LinkControl& control_;
  TraceLog& trace_;
};

}  // namespace kavro
