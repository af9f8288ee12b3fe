// The TCP link's protocol, beside the layer-2 one: payloads framed with a
// tag and a 16-bit big-endian length (0xC5, length, payload), frames cut out
// of the received byte stream and handed to the companion library, and the
// keepalive that the peer drives and this side echoes. The frames go to the
// socket through the transport-neutral send; the socket itself is the TCP
// port's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "link/frame_codec.h"
#include "link/link_context.h"
#include "link/link_protocol.h"

namespace kavro {

class LinkTimers;

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

class SocketFraming : public LinkProtocol {
 public:
  // Sends through ctx.connection, delivers to ctx.delivery, and starts
  // TimerKeepalive through the link timers (whose expiry handling ends the
  // link).
  SocketFraming(LinkContext& ctx, LinkTimers& timers);
  SocketFraming(const SocketFraming&) = delete;
  SocketFraming& operator=(const SocketFraming&) = delete;

  // LinkProtocol: the receive pass is ReceiveSocketBytes. A client payload
  // goes out as one frame (its address byte has no place in the framing)
  // and restarts the keepalive, whatever the send reported; 1 only when the
  // frame went out whole.
  void ReceiveBytes(L2Frame& frame, const uint8_t* data, int32_t length) override {
    ReceiveSocketBytes(frame, data, length);
  }
  int32_t SendPayload(uint8_t dest, const uint8_t* data, uint32_t length) override;

  // 1 when the whole frame was sent, else 0. The frame goes to the socket
  // as one block, header and payload together; when the socket cut it short
  // part-way, the connection is closed and the link released as lost
  // (link event 18 first).
  int32_t SendSocketFrame(const uint8_t* payload, uint32_t length);

  // The receive thread's pass over one read: hands the bytes to
  // CheckSocketFrame and every frame it yields to ProcessSocketFrame, until
  // no complete frame is held.
  void ReceiveSocketBytes(L2Frame& frame, const uint8_t* data, int32_t length);

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
  uint32_t KeepaliveTimerMs() const { return keepaliveMs_; }

  // The keepalive switch, set by OpenConnection from the configuration.
  uint32_t KeepaliveEnabled = 0;
  uint32_t KeepaliveTimeout = 0;
  uint8_t KeepaliveSeen = 0;
  // Received bytes not yet cut into frames: SocketBytes of them, from the
  // start of the buffer once new bytes have been appended. Touched only by the
  // receive thread.
  std::vector<uint8_t> SocketBuffer = std::vector<uint8_t>(SOCKET_BUFFER_SIZE);
  int32_t SocketBytes = 0;

 private:
  // False when the bytes do not fit beside those held (they are refused).
  bool AppendSocketBytes(const uint8_t* data, int32_t length);
  // Removes the complete frame at the start of the held bytes into `frame`.
  int32_t TakeSocketFrame(L2Frame& frame, uint32_t payloadLength);

  LinkContext& ctx_;
  LinkTimers& timers_;
  uint32_t keepaliveMs_;
  bool frameCut_ = false;
  uint32_t heldStart_ = 0;
};

}  // namespace kavro
