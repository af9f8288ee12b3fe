// The protocol that runs over the link's port, as the control window sees
// it: the layer-2 link on serial and USB (Layer2Protocol), the tagged
// framing on TCP (SocketFraming). OpenConnection picks one, once.
#pragma once

#include <cstdint>

#include "link/frame_codec.h"

namespace kavro {

class LinkProtocol {
 public:
  virtual ~LinkProtocol() = default;
  // The receive thread's pass over one read: every complete frame it
  // brings (with the bytes held from earlier reads) is handled. `frame` is
  // the receive thread's own record.
  virtual void ReceiveBytes(L2Frame& frame, const uint8_t* data, int32_t length) = 0;
  // A client's payload with its address byte. The client's answer: 1 sent
  // or queued, 0 refused.
  virtual int32_t SendPayload(uint8_t dest, const uint8_t* data, uint32_t length) = 0;
};

}  // namespace kavro
