// The TCP link's framing as the control window uses it: the keepalive switch,
// the send of one client payload, and the receive side that cuts tagged
// frames out of the byte stream and handles each.
#pragma once

#include <cstdint>

#include "link/frame_codec.h"

namespace kavro {

class SocketFraming {
 public:
  virtual ~SocketFraming() = default;
  // 1 when the whole frame was sent, else 0.
  virtual int32_t SendSocketFrame(const uint8_t* payload, uint32_t length) = 0;
  // The receive thread's pass over one read: hands the bytes to
  // CheckSocketFrame and every frame it yields to ProcessSocketFrame, until
  // no complete frame is held.
  virtual void ReceiveSocketBytes(L2Frame& frame, const uint8_t* data, int32_t length) = 0;
  // The time TimerKeepalive runs whenever it is started or restarted.
  virtual uint32_t KeepaliveTimerMs() const = 0;

  uint32_t KeepaliveEnabled = 0;
  uint32_t KeepaliveTimeout = 0;
};

}  // namespace kavro
