#include "link/send_queue.h"

#include <cstring>
#include <mutex>

#include "control/link_control.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/link_state_machine.h"
#include "link/link_timers.h"

namespace kavro {

SendQueue::SendQueue(LinkContext& ctx, LinkStateMachine& machine) : ctx_(ctx), machine_(machine) {
  machine_.SetSendQueue(this);
}

SendQueue::~SendQueue() {
  for (SendQueueEntry& entry : Entries) {
    free(entry.data);
    entry.data = nullptr;
  }
}

bool SendQueue::QueueEmpty() const { return ctx_.control.Block.QueueLast < 0; }

void SendQueue::RemoveQueueHead() {
  int32_t& last = ctx_.control.Block.QueueLast;
  if (last < 0) return;
  free(Entries[0].data);
  for (int32_t i = 0; i < last; ++i) Entries[i] = Entries[i + 1];
  Entries[last] = SendQueueEntry{};
  --last;
}

uint8_t* SendQueue::CopyPayload(const uint8_t* data, uint32_t length) {
  auto* copy = static_cast<uint8_t*>(Allocate(length ? length : 1));
  if (copy && length) memcpy(copy, data, length);
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

  LinkVariables& v = machine_.Vars;
  LinkControlBlock& block = ctx_.control.Block;
  if (QueueEmpty() && v.SendSeq == v.AckSeq && !v.PeerBusy && ctx_.control.State() == LINK_ESTABLISHED) {
    // Nothing goes out that could not be sent again: without memory for the
    // retransmission copy the payload is refused like a full queue.
    uint8_t* copy = CopyPayload(data, length);
    if (!copy) return 0;

    L2Frame frame;
    frame.Dest = dest;
    frame.Type = FRAME_I;
    frame.Length = length;
    // Sent from the copy, which holds the same bytes and always exists: an
    // empty payload may come without a block, and the encoder refuses that.
    frame.Buffer = copy;
    frame.NSend = static_cast<uint8_t>(v.SendSeq);
    frame.NRec = static_cast<uint8_t>(v.RecvSeq);
    block.RetryCount = 0;
    free(v.SavedData);
    v.SavedDest = dest;
    v.SavedLength = length;
    v.SavedData = copy;
    v.SendSeq = (v.SendSeq + 1) & 7;
    v.AckPending = 0;
    machine_.Timers().AwaitAnswer();
    ctx_.codec.SendFrame(frame);
    return 1;
  }

  if (block.QueueLast + 1 >= SEND_QUEUE_ENTRIES) return 0;
  uint8_t* copy = CopyPayload(data, length);
  if (!copy) return 0;
  SendQueueEntry& entry = Entries[block.QueueLast + 1];
  entry.dest = dest;
  entry.length = length;
  entry.data = copy;
  ++block.QueueLast;
  return 1;
}

void SendQueue::ClearSendQueue() {
  std::lock_guard lock(ctx_.control.LinkLock);
  int32_t& last = ctx_.control.Block.QueueLast;
  for (int32_t i = 0; i <= last; ++i) {
    free(Entries[i].data);
    Entries[i] = SendQueueEntry{};
  }
  last = -1;
  LinkVariables& v = machine_.Vars;
  free(v.SavedData);
  v.SavedData = nullptr;
  v.SavedLength = 0;
}

}  // namespace kavro
