// Client payloads on their way into the link: sent at once when the link is
// established and nothing is outstanding, else copied into SendQueue, from
// which one goes out after each received frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "core/delivery.h"
#include "link/link_context.h"

namespace kavro {

class LinkStateMachine;

constexpr int SEND_QUEUE_ENTRIES = 20;

struct SendQueueEntry {
  uint8_t dest = 0;
  uint32_t length = 0;
  PayloadBlock data;  // the queue's own copy
};

// The 20 entries, first in first out; QueueLast of the link control block
// is the index of the last occupied one (-1: empty). Every operation runs
// under the link lock.
class SendQueue {
 public:
  // Registers itself with `machine` for the dequeue step after each frame.
  SendQueue(LinkContext& ctx, LinkStateMachine& machine);
  SendQueue(const SendQueue&) = delete;
  SendQueue& operator=(const SendQueue&) = delete;

  // Sends the payload at once when the link allows it, else copies it into
  // the queue. 1 sent or queued, 0 refused (queue full, too long, no memory,
  // link going down or released).
  // The caller keeps its buffer.
  int EnqueuePayload(uint8_t dest, uint32_t length, const uint8_t* data);
  // Frees every queued payload and the retransmission copy.
  void ClearSendQueue();
  // ProcessFrame's step after each frame: the head entry goes out when the
  // window is open and the peer is not busy; at most one per frame.
  void SendNextQueued();

  bool QueueEmpty() const;

  SendQueueEntry Entries[SEND_QUEUE_ENTRIES];

  // Where the payload copies come from; a test swaps in a failing one to
  // drive the out-of-memory paths.
  void* (*Allocate)(size_t size) = std::malloc;

 private:
  PayloadBlock CopyPayload(const uint8_t* data, uint32_t length);
  SendQueueEntry TakeHead();

  LinkContext& ctx_;
  LinkStateMachine& machine_;
};

}  // namespace kavro
