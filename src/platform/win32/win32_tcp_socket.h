// The TCP client connection on Windows, over Winsock 2. ws2_32.dll is loaded
// on the first connect, never at start, so that serial and USB links do not
// load it at all; its functions are bound by their ordinals.
//
// The socket is non-blocking, and every wait on it has a bound: the connect
// gives up after CONNECT_LIMIT_MS (and whenever the wait hook says so), a
// send after a second and a millisecond per 16 bytes, as on Linux (to
// start, and as long again to finish once begun; a send cut part-way closes
// the connection, so that a frame is whole on the wire or the link ends).
// The main thread, which sends the client payloads, therefore never hangs on
// a peer that stopped reading.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/tcp_socket.h"

namespace kavro::platform {

class Win32TcpSocket : public TcpSocket {
 public:
  static constexpr uint32_t CONNECT_LIMIT_MS = 20000;
  // A connect is polled this often, with the wait hook called in between.
  static constexpr uint32_t CONNECT_SLICE_MS = 20;
  // A send must start within SEND_CONSTANT_MS plus a millisecond per
  // SEND_BYTES_PER_MS bytes, and finish within as long again once begun:
  // the largest frame within about 5 s, well inside the 10 s a client
  // waits for its answer.
  static constexpr uint32_t SEND_CONSTANT_MS = 1000;
  static constexpr uint32_t SEND_BYTES_PER_MS = 16;

  Win32TcpSocket() = default;
  ~Win32TcpSocket() override;
  Win32TcpSocket(const Win32TcpSocket&) = delete;
  Win32TcpSocket& operator=(const Win32TcpSocket&) = delete;

  // Called between the slices of a connect's wait; true gives the connect
  // up (error WSAEINTR). The control window serves the messages sent to it
  // meanwhile from here.
  void SetConnectWaitHook(std::function<bool()> hook) { connectWaitHook_ = std::move(hook); }

  int32_t Connect(const char* address, uint16_t port) override;
  // A block cut after its first byte shuts the connection down before the
  // send lock is let go.
  int32_t Send(const uint8_t* data, uint32_t length, SendProgress& progress) override;
  int32_t Receive(uint8_t* buffer, uint32_t size, int32_t& error) override;
  void Shutdown() override;
  void Close() override;
  int32_t Handle() const override { return handleNumber_.load(); }

 private:
  bool LoadWinsock(int32_t* error);
  void Release();

  uintptr_t socket_ = ~uintptr_t{0};
  std::atomic<int32_t> handleNumber_{-1};
  std::atomic<bool> closing_{false};
  bool started_ = false;
  std::function<bool()> connectWaitHook_;
  // Client payloads (window thread) and keepalive echoes (receive thread)
  // share the socket: one block at a time keeps their frames whole. Close
  // takes both locks, so the socket is never closed under a send or a
  // receive.
  std::mutex sendMutex_;
  std::mutex receiveMutex_;
  // Bytes taken from the socket ahead of the caller's reads: one recv of up
  // to 64 KiB serves many of the framing's 4 KiB reads, as a select and a
  // recv each cost a round trip to the system (under Wine, to its server).
  std::vector<uint8_t> ahead_;
  size_t aheadAt_ = 0;
  size_t aheadEnd_ = 0;
};

}  // namespace kavro::platform
