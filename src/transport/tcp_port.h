// The TCP link: one client connection to the PBX's server, the tagged
// framing of payloads over it (0xC5, 16-bit big-endian length, payload) and
// the keepalive that the peer drives and this side echoes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/frame_codec.h"
#include "link/link_context.h"
#include "transport/ports.h"
#include "transport/socket_framing.h"

namespace kavro {

class TraceLog;
class LinkControl;
class Delivery;
class Connection;
namespace platform {
class EventHub;
class TcpSocket;
}  // namespace platform

constexpr uint8_t SOCKET_FRAME_TAG = 0xC5;
constexpr uint8_t KEEPALIVE_MARK = 0xF2;
constexpr uint8_t TCP_ADDRESS_BYTE = 0x20;
constexpr uint32_t SOCKET_HEADER_SIZE = 3;
constexpr uint32_t SOCKET_MAX_PAYLOAD = 0xFFFF;
// The receive thread reads at most this much at a time.
constexpr uint32_t SOCKET_READ_SIZE = 4096;
// Room for the largest incomplete frame the peer can have sent so far plus
// one whole read: every frame the 16-bit length allows is held whole.
constexpr uint32_t SOCKET_BUFFER_SIZE = SOCKET_HEADER_SIZE + SOCKET_MAX_PAYLOAD + SOCKET_READ_SIZE;

// Test-only: when this environment variable holds a number of milliseconds,
// the keepalive timer runs that long instead of 61000 ms, so that an
// end-to-end test can watch the link end without waiting a minute.
constexpr const char* KEEPALIVE_TEST_VARIABLE = "KAVRO_TEST_KEEPALIVE_MS";

class TcpPort : public SocketPortOps, public SocketFraming {
 public:
  TcpPort(platform::TcpSocket& socket, LinkControl& control, TraceLog& trace, platform::EventHub& hub);
  TcpPort(const TcpPort&) = delete;
  TcpPort& operator=(const TcpPort&) = delete;

  // Reaches the transport-neutral send and the delivery library. Must be
  // called before the first frame is sent or received.
  void Attach(LinkContext& ctx);

  // SocketPortOps
  int32_t OpenSocket(const char* address, uint16_t port) override;
  int32_t CloseSocket() override;
  // Sends the whole block; the result is the count asked for, or 0.
  int32_t SendSocket(const uint8_t* data, uint32_t length) override;
  int32_t ReceiveSocket(uint8_t* buffer, uint32_t size) override;

  // SocketFraming
  int32_t SendSocketFrame(const uint8_t* payload, uint32_t length) override;
  void ReceiveSocketBytes(L2Frame& frame, const uint8_t* data, int32_t length) override;

  // Appends `length` new bytes (0: none) and cuts out the first complete
  // frame held, filling `frame`. Returns the payload length when the frame
  // carries a payload, else 0; FrameCut() then tells whether a frame was
  // nevertheless removed (an empty frame, or one whose copy could not be
  // allocated), so that the caller goes on draining the frames behind it.
  int32_t CheckSocketFrame(L2Frame* frame, const uint8_t* data, int32_t length);
  bool FrameCut() const { return frameCut_; }
  // Echoes a keepalive or hands the payload to the delivery library; the
  // payload block is consumed either way. 1 handled, 0 failed.
  int32_t ProcessSocketFrame(L2Frame* frame);

  // The keepalive timer's time: 61000 ms unless the test-only variable says
  // otherwise. A client payload sent restarts the timer with the same time.
  uint32_t KeepaliveTimerMs() const override { return keepaliveMs_; }

  uint8_t KeepaliveSeen = 0;
  // Received bytes not yet cut into frames: SocketBytes of them, from the
  // start of the buffer once new bytes have been appended. Touched only by the
  // receive thread.
  std::vector<uint8_t> SocketBuffer = std::vector<uint8_t>(SOCKET_BUFFER_SIZE);
  int32_t SocketBytes = 0;

 private:
  void RestartTimer(uint32_t id, uint32_t ms);

  platform::TcpSocket& socket_;
  LinkControl& control_;
  TraceLog& trace_;
  platform::EventHub& hub_;
  Connection* connection_ = nullptr;
  Delivery* delivery_ = nullptr;
  uint32_t keepaliveMs_;
  bool frameCut_ = false;
  uint32_t heldStart_ = 0;
};

}  // namespace kavro
