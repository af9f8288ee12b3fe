#include "link/layer2_protocol.h"

#include "diag/trace_log.h"
#include "link/link_state_machine.h"
#include "link/receive_parser.h"
#include "link/send_queue.h"

namespace kavro {

void Layer2Protocol::ReceiveBytes(L2Frame& frame, const uint8_t* data, int32_t length) {
  // The first call hands over the new bytes; the calls with count 0 drain
  // frames already held in the parser.
  int32_t count = length;
  while (parser_.CheckFrame(frame, data, count) > 0) {
    machine_.ProcessFrame(frame);
    count = 0;
  }
  trace_.TraceMessage(LOG_DETAIL, "loop CommWatch Thread");
}

int32_t Layer2Protocol::SendPayload(uint8_t dest, const uint8_t* data, uint32_t length) {
  if (length == 0) return 1;
  // Told 0 when the payload was refused (queue full, too long, no memory,
  // link going down), so that no client takes a dropped payload for a sent
  // one.
  return queue_.EnqueuePayload(dest, length, data) ? 1 : 0;
}

}  // namespace kavro
