#include "link/link_timers.h"

#include <mutex>

#include "core/connection.h"
#include "core/delivery.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/link_state_machine.h"
#include "link/send_queue.h"
#include "platform/event_hub.h"

namespace kavro {

namespace {
constexpr uint8_t SERVICE_REQUEST[2] = {0x1B, 0x43};  // ESC 'C'
}  // namespace

LinkTimers::LinkTimers(LinkContext& ctx, LinkStateMachine& machine, SendQueue& queue)
    : ctx_(ctx), machine_(machine), queue_(queue) {
  machine_.SetTimers(this);
}

bool LinkTimers::StartTimer(uint32_t id, uint32_t ms) { return ctx_.hub.SetTimer(id, ms); }

void LinkTimers::StopTimer(uint32_t id) { ctx_.hub.KillTimer(id); }

void LinkTimers::RestartTimer(uint32_t id, uint32_t ms) {
  StopTimer(id);
  StartTimer(id, ms);
}

void LinkTimers::WatchIdleLink() {
  StopTimer(T200);
  RestartTimer(T203, T203_MS);
}

void LinkTimers::AwaitAnswer() {
  StopTimer(T203);
  RestartTimer(T200, T200_MS);
}

void LinkTimers::DisconnectRequest() {
  std::lock_guard lock(ctx_.control.LinkLock);
  if (ctx_.connection.IsTcpLink()) {
    ctx_.connection.CloseSocket();
    ctx_.control.ReleaseLink(LinkEndReason::CloseRequest);
    return;
  }
  LinkControlBlock& block = ctx_.control.Block;
  switch (ctx_.control.State()) {
    case LINK_AWAIT_SERVICE:
      StopTimer(TimerServiceRequest);
      ctx_.control.ReleaseLink(LinkEndReason::CloseRequest);
      break;
    case LINK_SETUP:
    case LINK_ESTABLISHED:
    case LINK_TIMER_RECOVERY:
      ctx_.control.SetLinkState(LINK_DISCONNECTING);
      block.RetryCount = 0;
      queue_.ClearSendQueue();
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

bool LinkTimers::StartServiceRequest() {
  RequestService(1);
  std::lock_guard lock(ctx_.control.LinkLock);
  if (!StartTimer(TimerServiceRequest, SERVICE_REQUEST_MS)) return false;
  ctx_.control.Block.RetryCount = 1;
  return true;
}

void LinkTimers::ServiceAnswered(const char* rateText) {
  {
    // The window thread counts service requests and gives up on them under
    // the link lock; the state, the counter and both timers change here as
    // one step so that a request expiring at this moment cannot undo it, and
    // no frame is written to the port while it changes speed.
    std::lock_guard lock(ctx_.control.LinkLock);
    StopTimer(TimerServiceRequest);
    ctx_.delivery.SignalLinkEvent(LINK_EVENT_SERVICE_ANSWERED);
    ctx_.control.Block.RetryCount = 0;
    ctx_.control.SetLinkState(LINK_SETUP);
    uint32_t delay = SETUP_DELAY_MS;
    if (rateText != nullptr && !ctx_.connection.IsUsbLink()) {
      ctx_.connection.SetLinkSpeed(rateText);
      delay = SETUP_DELAY_AFTER_SWITCH_MS;
    }
    if (!StartTimer(T200, delay)) ctx_.trace.TraceMessage(LOG_ERROR, "CheckFrame: T200 could not be started");
  }
  ctx_.trace.TraceMessage(LOG_PROTOCOL, "CTI-Link connect: %s Bps",
                          rateText != nullptr ? TraceText(rateText).c_str() : "9600");
}

int LinkTimers::OnLinkTimer(uint32_t id) {
  std::unique_lock lock(ctx_.control.LinkLock);
  ExpiryEnd end = ExpiryEnd::ReportState;
  switch (id) {
    case TimerServiceRequest: end = OnServiceRequestExpiry(); break;
    case T200: end = OnT200Expiry(); break;
    case T203: end = OnT203Expiry(); break;
    case TimerKeepalive: end = OnKeepaliveExpiry(); break;
    default: break;
  }
  lock.unlock();
  if (end == ExpiryEnd::Release) ctx_.control.ReleaseLink(LinkEndReason::RetriesExhausted);
  if (end == ExpiryEnd::ReportState) machine_.LogStateChange();
  return 0;
}

// Three requests 500 ms apart; a PBX still silent at the third expiry, 1.5 s
// after the first request, has failed the link.
LinkTimers::ExpiryEnd LinkTimers::OnServiceRequestExpiry() {
  LinkControlBlock& block = ctx_.control.Block;
  if (ctx_.control.State() != LINK_AWAIT_SERVICE) return ExpiryEnd::ReportState;
  ++block.RetryCount;
  if (block.RetryCount > N200) {
    ctx_.delivery.SignalLinkEvent(LINK_EVENT_FAILED);
    ctx_.control.ReleaseLink(LinkEndReason::RetriesExhausted);
    return ExpiryEnd::ReportState;
  }
  ctx_.trace.TraceMessage(LOG_PROTOCOL, "Request Service");
  RequestService(1);
  return StartTimer(TimerServiceRequest, SERVICE_REQUEST_MS) ? ExpiryEnd::ReportState : ExpiryEnd::Quiet;
}

LinkTimers::ExpiryEnd LinkTimers::OnT200Expiry() {
  LinkControlBlock& block = ctx_.control.Block;
  const uint16_t state = ctx_.control.State();
  switch (state) {
    case LINK_SETUP:
    case LINK_DISCONNECTING:
      if (block.RetryCount >= N200) {
        queue_.ClearSendQueue();
        return ExpiryEnd::Release;
      }
      ++block.RetryCount;
      RestartTimer(T200, T200_MS);
      machine_.SendUFrame(state == LINK_SETUP ? FRAME_START : FRAME_DISC);
      return ExpiryEnd::ReportState;

    case LINK_ESTABLISHED:
    case LINK_TIMER_RECOVERY: return OnT200InTransfer();

    default: return ExpiryEnd::ReportState;
  }
}

// Information transfer: the unacknowledged frame goes out again, or a poll
// asks where the peer stands; N200 of them unanswered set the link up anew.
LinkTimers::ExpiryEnd LinkTimers::OnT200InTransfer() {
  LinkControlBlock& block = ctx_.control.Block;
  if (block.RetryCount >= N200) {
    StartTimer(T200, T200_MS);
    machine_.SendUFrame(FRAME_START);
    block.RetryCount = 0;
    ctx_.control.SetLinkState(LINK_SETUP);
    return ExpiryEnd::ReportState;
  }
  LinkVariables& v = machine_.Vars;
  // Nothing to resend, or a busy peer that would not take it: ask.
  if (v.SendSeq == v.AckSeq || v.PeerBusy) {
    machine_.SendRRFinal(true);
  } else {
    machine_.Retransmit();
    v.AckPending = 0;
    AwaitAnswer();
  }
  ++block.RetryCount;
  ctx_.control.SetLinkState(LINK_TIMER_RECOVERY);
  return ExpiryEnd::ReportState;
}

LinkTimers::ExpiryEnd LinkTimers::OnT203Expiry() {
  LinkControlBlock& block = ctx_.control.Block;
  const uint16_t state = ctx_.control.State();
  if (state == LINK_SETUP) {
    if (block.RetryCount < N200) {
      ++block.RetryCount;
      StartTimer(T200, T200_MS);
      machine_.SendUFrame(FRAME_START);
    } else {
      queue_.ClearSendQueue();
    }
  } else if (state == LINK_ESTABLISHED) {
    machine_.SendRRFinal(true);
    block.RetryCount = 0;
    ctx_.control.SetLinkState(LINK_TIMER_RECOVERY);
  }
  return ExpiryEnd::ReportState;
}

LinkTimers::ExpiryEnd LinkTimers::OnKeepaliveExpiry() {
  ctx_.trace.TraceMessage(LOG_ERROR, "Keepalive Timed out!");
  ctx_.control.NoteEndReason(LinkEndReason::KeepaliveTimeout);
  if (ctx_.control.State() == LINK_ESTABLISHED) DisconnectRequest();
  return ExpiryEnd::ReportState;
}

}  // namespace kavro
