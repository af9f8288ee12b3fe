// The TCP client connection on Linux, over BSD sockets.
//
// Nothing network-related is set up before Connect: there is no socket
// library to load on first use, to bind by ordinal, or to start and clean up
// around each connection as there is on Windows; the socket calls are part of
// the C library, so a serial or USB link never touches any of it.
#pragma once

#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "platform/tcp_socket.h"

namespace kavro::platform {

class PosixTcpSocket : public TcpSocket {
 public:
  PosixTcpSocket() = default;
  ~PosixTcpSocket() override;
  PosixTcpSocket(const PosixTcpSocket&) = delete;
  PosixTcpSocket& operator=(const PosixTcpSocket&) = delete;

  int32_t Connect(const char* address, uint16_t port) override;
  int32_t Send(const uint8_t* data, uint32_t length) override;
  int32_t Receive(uint8_t* buffer, uint32_t size, int32_t& error) override;
  void Shutdown() override;
  void Close() override;
  int32_t Handle() const override { return fd_.load(); }

 private:
  // Read by the receive thread while the window thread shuts down and closes.
  std::atomic<int> fd_{-1};
  // Held shared by every send and receive for as long as it uses the
  // descriptor, and exclusively by Close around close(): a call still under
  // way on the other thread must never find its descriptor number closed and
  // perhaps already given to a file or client opened meanwhile.
  std::shared_mutex useMutex_;
  // Client payloads (window thread) and keepalive echoes (receive thread)
  // share the socket: one block at a time keeps their frames whole on the wire.
  std::mutex sendMutex_;
};

}  // namespace kavro::platform
