// One TCP client connection as the TCP port needs it: a connect to an IPv4
// address, a send of a whole block, a blocking receive, a shutdown that wakes
// a receive blocked on another thread, and the close. The connect and the
// send run on the main thread, so each has a time limit. Failures are
// reported as the platform's error numbers.
#pragma once

#include <cstdint>

namespace kavro::platform {

// How far a Send that failed got. A frame is whole on the wire or the
// connection ends: a block refused before its first byte went out leaves the
// connection as it was, while a block cut short after its first byte has
// shut the connection down in both directions before Send returns, so that
// nothing, not even another thread's block, can follow it on the wire.
struct SendProgress {
  // The bytes of the block that went out; not 0 only for a cut block.
  uint32_t Sent = 0;
  // The block was cut because this side is closing the connection (Close,
  // or a close request that came meanwhile), not because the peer stopped
  // taking bytes or failed.
  bool Closing = false;
};

class TcpSocket {
 public:
  virtual ~TcpSocket() = default;
  // Creates a stream socket and connects it to `address` (dotted IPv4 text)
  // and `port`, waiting at most about 20 s (what a Windows connect allows).
  // 0 when connected, else the error number; a text that is no address
  // fails like an unreachable one. A socket still open is closed first.
  virtual int32_t Connect(const char* address, uint16_t port) = 0;
  // Sends all `length` bytes as one contiguous block: 0 when all went out,
  // else the error number, with `progress` telling whether the block was
  // refused whole or cut (and the connection shut down). Gives up when the
  // peer does not take the block within a limit that grows with its length
  // (counted again from the first byte out), or when the socket is closed
  // meanwhile. Blocks from two threads never mix.
  virtual int32_t Send(const uint8_t* data, uint32_t length, SendProgress& progress) = 0;
  // Receives up to `size` bytes, blocking until some arrive: the count, 0
  // when the peer has closed (or after Shutdown or Close), -1 on failure
  // with the error number in `error`.
  virtual int32_t Receive(uint8_t* buffer, uint32_t size, int32_t& error) = 0;
  // Ends both directions; a Receive blocked on another thread returns.
  virtual void Shutdown() = 0;
  // Ends a Receive or Send under way on another thread and returns only once
  // neither uses the socket any more, so that the handle, which the system
  // may hand out again at once, is never used after its release.
  virtual void Close() = 0;
  // The descriptor of the open socket, or -1.
  virtual int32_t Handle() const = 0;
};

}  // namespace kavro::platform
