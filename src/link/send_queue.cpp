#include "link/send_queue.h"

#include <cstring>
#include <mutex>
#include <utility>

#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/link_state_machine.h"

namespace kavro {

SendQueue::SendQueue(LinkContext& ctx, LinkStateMachine& machine) : ctx_(ctx), machine_(machine) {
  machine_.SetSendQueue(this);
}

bool SendQueue::QueueEmpty() const { return ctx_.control.Block.QueueLast < 0; }

SendQueueEntry SendQueue::TakeHead() {
  int32_t& last = ctx_.control.Block.QueueLast;
  SendQueueEntry head = std::move(Entries[0]);
  for (int32_t i = 0; i < last; ++i) Entries[i] = std::move(Entries[i + 1]);
  Entries[last] = SendQueueEntry{};
  --last;
  return head;
}

PayloadBlock SendQueue::CopyPayload(const uint8_t* data, uint32_t length) {
  // An empty payload still gets a block of its own: the frame is sent from
  // it, and the encoder refuses a frame without one.
  PayloadBlock copy(static_cast<uint8_t*>(Allocate(length ? length : 1)));
  if (copy && length) memcpy(copy.get(), data, length);
  return copy;
}

int SendQueue::EnqueuePayload(uint8_t dest, uint32_t length, const uint8_t* data) {
  std::lock_guard lock(ctx_.control.LinkLock);
  // A payload the codec would refuse at the head of the queue would vanish
  // after being reported as queued: refuse it here, where the caller learns.
  if (length > MAX_I_PAYLOAD) {
    ctx_.trace.TraceMessage(LOG_WARNING, "EnqueuePayload: Length %x too long, refused", length);
    return 0;
  }
  if (data == nullptr && length != 0) return 0;

  // Once the link is going down nothing leaves the queue again (the DISC
  // sequence has emptied it and ends in the release), so a payload taken now
  // would be reported as sent and then lost.
  const uint16_t state = ctx_.control.State();
  if (state == LINK_DISCONNECTING || state == LINK_RELEASED || state == LINK_IDLE) return 0;
  int32_t& last = ctx_.control.Block.QueueLast;
  const bool sendNow = QueueEmpty() && machine_.WindowOpen() && state == LINK_ESTABLISHED;
  if (!sendNow && last + 1 >= SEND_QUEUE_ENTRIES) return 0;
  // Nothing goes out that could not be sent again, and nothing waits without
  // a copy of its own: without memory the payload is refused like a full
  // queue.
  PayloadBlock copy = CopyPayload(data, length);
  if (!copy) return 0;
  if (sendNow) {
    machine_.SendNewIFrame(dest, std::move(copy), length);
  } else {
    Entries[++last] = SendQueueEntry{dest, length, std::move(copy)};
  }
  return 1;
}

void SendQueue::SendNextQueued() {
  if (QueueEmpty() || !machine_.WindowOpen()) return;
  SendQueueEntry head = TakeHead();
  machine_.SendNewIFrame(head.dest, std::move(head.data), head.length);
}

void SendQueue::ClearSendQueue() {
  std::lock_guard lock(ctx_.control.LinkLock);
  int32_t& last = ctx_.control.Block.QueueLast;
  for (int32_t i = 0; i <= last; ++i) Entries[i] = SendQueueEntry{};
  last = -1;
  machine_.DropRetransmissionCopy();
}

}  // namespace kavro
