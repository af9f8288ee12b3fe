#include "link/link_timers.h"

#include <cstring>
#include <mutex>

#include "control/delivery.h"
#include "control/link_control.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/link_state_machine.h"
#include "platform/event_hub.h"
#include "transport/connection.h"

namespace kavro {

namespace {
constexpr uint8_t SERVICE_REQUEST[2] = {0x1B, 0x43};  // ESC 'C'
}  // namespace

LinkTimers::LinkTimers(LinkContext& ctx, LinkStateMachine& machine) : ctx_(ctx), machine_(machine) {
  machine_.SetTimers(this);
}

LinkTimers::~LinkTimers() {
  for (SendQueueEntry& entry : SendQueue) {
    free(entry.data);
    entry.data = nullptr;
  }
}

bool LinkTimers::StartTimer(uint32_t id, uint32_t ms) { return ctx_.hub.SetTimer(id, ms); }

void LinkTimers::StopTimer(uint32_t id) { ctx_.hub.KillTimer(id); }

void LinkTimers::RestartTimer(uint32_t id, uint32_t ms) {
  StopTimer(id);
  StartTimer(id, ms);
}

bool LinkTimers::QueueEmpty() const { return ctx_.control.Block.QueueLast < 0; }

void LinkTimers::RemoveQueueHead() {
  int32_t& last = ctx_.control.Block.QueueLast;
  if (last < 0) return;
  free(SendQueue[0].data);
  for (int32_t i = 0; i < last; ++i) SendQueue[i] = SendQueue[i + 1];
  SendQueue[last] = SendQueueEntry{};
  --last;
}

uint8_t* LinkTimers::CopyPayload(const uint8_t* data, uint32_t length) {
  auto* copy = static_cast<uint8_t*>(Allocate(length ? length : 1));
  if (copy && length) memcpy(copy, data, length);
  return copy;
}

int LinkTimers::EnqueuePayload(uint8_t dest, uint32_t length, const uint8_t* data) {
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
  // Once the link is going down nothing leaves the queue again (the DISC
  // sequence has emptied it and ends in the release), so a payload taken now
  // would be reported as sent and then lost.
  const uint16_t state = block.LinkState.load();
  if (state == LINK_DISCONNECTING || state == LINK_RELEASED || state == LINK_IDLE) return 0;
  if (QueueEmpty() && v.SendSeq == v.AckSeq && !v.PeerBusy && state == LINK_ESTABLISHED) {
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
    StopTimer(T203);
    StartTimer(T200, T200_MS);
    ctx_.codec.SendFrame(frame);
    return 1;
  }

  if (block.QueueLast + 1 >= SEND_QUEUE_ENTRIES) return 0;
  uint8_t* copy = CopyPayload(data, length);
  if (!copy) return 0;
  SendQueueEntry& entry = SendQueue[block.QueueLast + 1];
  entry.dest = dest;
  entry.length = length;
  entry.data = copy;
  ++block.QueueLast;
  return 1;
}

void LinkTimers::ClearSendQueue() {
  std::lock_guard lock(ctx_.control.LinkLock);
  int32_t& last = ctx_.control.Block.QueueLast;
  for (int32_t i = 0; i <= last; ++i) {
    free(SendQueue[i].data);
    SendQueue[i] = SendQueueEntry{};
  }
  last = -1;
  LinkVariables& v = machine_.Vars;
  free(v.SavedData);
  v.SavedData = nullptr;
  v.SavedLength = 0;
}

void LinkTimers::DisconnectRequest() {
  std::lock_guard lock(ctx_.control.LinkLock);
  if (ctx_.connection.IsTcpLink()) {
    ctx_.connection.CloseSocket();
    ctx_.control.ReleaseLink();
    return;
  }
  LinkControlBlock& block = ctx_.control.Block;
  switch (block.LinkState.load()) {
    case LINK_AWAIT_SERVICE:
      StopTimer(TimerServiceRequest);
      ctx_.control.ReleaseLink();
      break;
    case LINK_SETUP:
    case LINK_ESTABLISHED:
    case LINK_TIMER_RECOVERY:
      block.LinkState.store(LINK_DISCONNECTING);
      block.RetryCount = 0;
      ClearSendQueue();
      RestartTimer(T200, T200_MS);
      machine_.SendUFrame(FRAME_DISC);
      break;
    default:  // idle, already disconnecting or released
      break;
  }
}

int LinkTimers::RequestService(uint32_t kind) {
  ctx_.trace.TraceMessage(LOG_PROTOCOL, "RequestService (0x%x)", kind);
  if (kind == 1) ctx_.connection.SendConnection(SERVICE_REQUEST, sizeof SERVICE_REQUEST);
  return 1;
}

int LinkTimers::OnLinkTimer(uint32_t id) {
  std::unique_lock lock(ctx_.control.LinkLock);
  LinkControlBlock& block = ctx_.control.Block;
  LinkVariables& v = machine_.Vars;
  const uint16_t state = block.LinkState.load();

  switch (id) {
    case TimerServiceRequest:
      if (state != LINK_AWAIT_SERVICE) break;
      ++block.RetryCount;
      if (block.RetryCount > N200) {
        ctx_.delivery.SignalLinkEvent(LINK_EVENT_FAILED);
        ctx_.control.ReleaseLink();
      } else {
        ctx_.trace.TraceMessage(LOG_PROTOCOL, "Request Service");
        RequestService(1);
        if (!StartTimer(TimerServiceRequest, SERVICE_REQUEST_MS)) return 0;
      }
      break;

    case T200:
      switch (state) {
        case LINK_SETUP:
        case LINK_DISCONNECTING:
          if (block.RetryCount >= N200) {
            ClearSendQueue();
            lock.unlock();
            ctx_.control.ReleaseLink();
            return 0;
          }
          ++block.RetryCount;
          if (state == LINK_SETUP) {
            RestartTimer(T200, T200_MS);
            machine_.SendUFrame(FRAME_START);
          } else {
            machine_.SendUFrame(FRAME_DISC);
            StartTimer(T200, T200_MS);
          }
          break;
        case LINK_ESTABLISHED:
        case LINK_TIMER_RECOVERY:
          if (block.RetryCount >= N200) {
            StartTimer(T200, T200_MS);
            machine_.SendUFrame(FRAME_START);
            block.RetryCount = 0;
            block.LinkState.store(LINK_SETUP);
          } else {
            if (v.SendSeq == v.AckSeq || v.PeerBusy) {
              machine_.SendRRFinal(true);
            } else {
              machine_.Retransmit();
              v.AckPending = 0;
              StopTimer(T203);
              RestartTimer(T200, T200_MS);
            }
            ++block.RetryCount;
            block.LinkState.store(LINK_TIMER_RECOVERY);
          }
          break;
        default:
          break;
      }
      break;

    case T203:
      if (state == LINK_SETUP) {
        if (block.RetryCount < N200) {
          ++block.RetryCount;
          StartTimer(T200, T200_MS);
          machine_.SendUFrame(FRAME_START);
        } else {
          ClearSendQueue();
        }
      } else if (state == LINK_ESTABLISHED) {
        machine_.SendRRFinal(true);
        block.RetryCount = 0;
        block.LinkState.store(LINK_TIMER_RECOVERY);
      }
      break;

    case TimerKeepalive:
      ctx_.trace.TraceMessage(LOG_ERROR, "Keepalive Timed out!");
      if (state == LINK_ESTABLISHED) DisconnectRequest();
      break;

    default:
      break;
  }

  lock.unlock();
  machine_.LogStateChange();
  return 0;
}

}  // namespace kavro
