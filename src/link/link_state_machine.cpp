#include "link/link_state_machine.h"

#include <mutex>
#include <utility>

#include "core/delivery.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/link_timers.h"
#include "link/send_queue.h"
#include "platform/event_hub.h"

namespace kavro {

namespace {

// Supervisory kinds, read from a received S code with its P/F bit masked off.
enum class SKind { RR, RNR, REJ, Other };

SKind Classify(uint8_t type) {
  switch (type & static_cast<uint8_t>(~FRAME_PF)) {
    case FRAME_RR: return SKind::RR;
    case FRAME_RNR: return SKind::RNR;
    case FRAME_REJ: return SKind::REJ;
    default: return SKind::Other;
  }
}

int32_t Next(int32_t seq) { return (seq + 1) & 7; }

}  // namespace

uint16_t LinkStateMachine::State() const { return ctx_.control.State(); }

int LinkStateMachine::ProcessFrame(L2Frame& frame) {
  {
    std::lock_guard lock(ctx_.control.LinkLock);
    ctx_.trace.TraceMessage(LOG_DETAIL, "ProcessFrame()");
    ctx_.control.NoteFrameReceived();

    switch (frame.Type & 3) {
      case 1: HandleSFrame(frame); break;
      case 3: HandleUFrame(frame); break;
      default: HandleIFrame(frame); break;
    }
    SendWhatIsDue();
  }
  if (pending_.payload) FinishHandOver(std::move(pending_));
  LogStateChange();
  return 1;
}

void LinkStateMachine::SendWhatIsDue() {
  if (State() != LINK_ESTABLISHED) return;
  queue_->SendNextQueued();
  if (Vars.AckPending) {
    SendSFrame(FRAME_RR, 0);
    Vars.AckPending = 0;
  }
}

// Receive thread, without the link lock: timers, client sends and the
// control socket go on while the library writes the record away. The
// receive thread reads no further frame meanwhile, so the next one in
// sequence cannot overtake it.
void LinkStateMachine::FinishHandOver(PendingHandOver pending) {
  HandOver(ctx_.delivery, pending.dest, std::move(pending.payload), pending.length);
  std::lock_guard lock(ctx_.control.LinkLock);
  const uint16_t state = State();
  // A link reset meanwhile started the sequence afresh: the peer sends the
  // frame again (the record may arrive twice, never not at all).
  if ((state != LINK_ESTABLISHED && state != LINK_TIMER_RECOVERY) || Vars.RecvSeq != pending.recvSeq ||
      ctx_.control.Stats.LinkResets != pending.linkResets) {
    return;
  }
  Vars.RecvSeq = Next(Vars.RecvSeq);
  Vars.RejectSent = 0;
  Vars.AckPending = 1;
  SendWhatIsDue();
}

bool LinkStateMachine::WindowOpen() const { return Vars.SendSeq == Vars.AckSeq && !Vars.PeerBusy; }

void LinkStateMachine::SendNewIFrame(uint8_t dest, PayloadBlock payload, uint32_t length) {
  Vars.SavedDest = dest;
  Vars.SavedLength = length;
  Vars.SavedData = std::move(payload);
  ctx_.control.Block.RetryCount = 0;
  Vars.SendSeq = Next(Vars.SendSeq);
  Vars.AckPending = 0;
  timers_->AwaitAnswer();
  ++ctx_.control.Stats.PayloadsSent;
  SendSavedFrame();
}

void LinkStateMachine::DropRetransmissionCopy() {
  Vars.SavedData.reset();
  Vars.SavedLength = 0;
}

void LinkStateMachine::HandleIFrame(L2Frame& frame) {
  // The parser hands over a record without payload when it could not
  // allocate one; its other fields are then stale. Taking it in sequence
  // would acknowledge data that is gone, so it is dropped unseen and the
  // peer's own recovery sends it again.
  if (frame.Buffer == nullptr) {
    ctx_.trace.TraceMessage(LOG_WARNING, "ProcessFrame: I-Frame without payload dropped");
    return;
  }
  PayloadBlock payload(frame.Buffer);
  frame.Buffer = nullptr;

  const uint16_t state = State();
  if (state == LINK_ESTABLISHED || state == LINK_TIMER_RECOVERY) {
    TakeIFrame(frame, std::move(payload));
  } else {
    payload.reset();
  }
  // The piggy-backed acknowledgement counts in every state.
  TakeAcknowledgement(frame.NRec);
}

// Information transfer: the frame in sequence is delivered, one out of
// sequence is rejected once and then only answered.
void LinkStateMachine::TakeIFrame(const L2Frame& frame, PayloadBlock payload) {
  if (frame.NSend != Vars.RecvSeq) {
    ++ctx_.control.Stats.Rejected;
    payload.reset();
    if (!Vars.RejectSent) {
      SendSFrame(FRAME_REJ, 0);
      Vars.RejectSent = 1;
      Vars.AckPending = 1;
    } else {
      SendRRFinal(false);
    }
    return;
  }
  ++ctx_.control.Stats.PayloadsReceived;
  if (handOverOutside_) {
    pending_.payload = std::move(payload);
    pending_.dest = frame.Dest;
    pending_.length = frame.Length;
    pending_.recvSeq = Vars.RecvSeq;
    pending_.linkResets = ctx_.control.Stats.LinkResets;
    return;
  }
  Vars.RecvSeq = Next(Vars.RecvSeq);
  Vars.RejectSent = 0;
  Vars.AckPending = 1;
  // V(R) has moved on: a payload the library refuses is lost, but still
  // acknowledged, so the peer does not repeat it for ever.
  HandOver(ctx_.delivery, frame.Dest, std::move(payload), frame.Length);
}

void LinkStateMachine::TakeAcknowledgement(uint8_t nr) {
  switch (CheckNR(nr)) {
    case NR_ALL:
      Vars.AckSeq = nr;
      if (!Vars.PeerBusy && State() == LINK_ESTABLISHED) timers_->WatchIdleLink();
      break;
    case NR_NONE_NEW: break;
    default: NRError(); break;
  }
}

void LinkStateMachine::HandleSFrame(const L2Frame& frame) {
  const uint16_t state = State();
  if (state != LINK_ESTABLISHED && state != LINK_TIMER_RECOVERY) return;
  const SKind kind = Classify(frame.Type);
  if (kind == SKind::Other) return;

  Vars.PeerBusy = kind == SKind::RNR ? 1 : 0;

  const bool withPF = (frame.Type & FRAME_PF) != 0;
  const bool command = (frame.Dest & 1) != 0;
  if (command && withPF) SendRRFinal(false);
  // Only the answer to our own poll ends timer recovery, and the peer sends
  // that at address 0; an even address other than 0 is no final response.
  const bool finalResponse = frame.Dest == 0 && withPF;

  const int nr = CheckNR(frame.NRec);
  if (nr == NR_INVALID) {
    NRError();
    return;
  }
  switch (kind) {
    case SKind::RR: OnRr(state, frame.NRec, nr == NR_ALL, finalResponse); break;
    case SKind::RNR: OnRnr(state, frame.NRec, finalResponse); break;
    case SKind::REJ: OnRej(frame.NRec, finalResponse); break;
    case SKind::Other: break;
  }
}

void LinkStateMachine::OnRr(uint16_t state, uint8_t nr, bool acknowledgesAll, bool finalResponse) {
  if (state == LINK_ESTABLISHED) {
    if (acknowledgesAll) {
      Vars.AckSeq = nr;
      timers_->WatchIdleLink();
    }
    return;
  }
  Vars.AckSeq = nr;
  if (!finalResponse) return;
  timers_->WatchIdleLink();
  if (Vars.AckSeq != Vars.SendSeq) Retransmit();
  ctx_.control.SetLinkState(LINK_ESTABLISHED);
}

void LinkStateMachine::OnRnr(uint16_t state, uint8_t nr, bool finalResponse) {
  Vars.AckSeq = nr;
  if (state == LINK_ESTABLISHED) {
    timers_->AwaitAnswer();
  } else if (finalResponse) {
    timers_->RestartTimer(T200, T200_MS);
    Retransmit();
    ctx_.control.SetLinkState(LINK_ESTABLISHED);
  }
}

void LinkStateMachine::OnRej(uint8_t nr, bool finalResponse) {
  Vars.AckSeq = nr;
  if (!finalResponse) return;
  timers_->WatchIdleLink();
  Retransmit();
  ctx_.control.SetLinkState(LINK_ESTABLISHED);
}

void LinkStateMachine::HandleUFrame(const L2Frame& frame) {
  const uint16_t state = State();
  switch (frame.Type) {
    case FRAME_START: OnStart(state); break;
    case FRAME_UA: OnUa(state); break;
    case FRAME_DISC: OnDisc(state); break;
    case FRAME_DM: OnDm(state); break;
    case FRAME_FRMR: OnFrmr(state); break;
    default: break;
  }
}

void LinkStateMachine::OnStart(uint16_t state) {
  if (state == LINK_DISCONNECTING) {
    SendUFrame(FRAME_DM);
    return;
  }
  if (state == LINK_ESTABLISHED || state == LINK_TIMER_RECOVERY) ++ctx_.control.Stats.LinkResets;
  SendUFrame(FRAME_UA);
  timers_->WatchIdleLink();
  ResetLink();
  ctx_.control.SetLinkState(LINK_ESTABLISHED);
}

void LinkStateMachine::OnUa(uint16_t state) {
  if (state == LINK_SETUP) {
    timers_->WatchIdleLink();
    ResetLink();
    ctx_.delivery.SignalLinkEvent(LINK_EVENT_ESTABLISHED);
    ctx_.control.SetLinkState(LINK_ESTABLISHED);
  } else if (state == LINK_DISCONNECTING) {
    ctx_.control.ReleaseLink(LinkEndReason::CloseRequest);
  }
}

void LinkStateMachine::OnDisc(uint16_t state) {
  if (state == LINK_SETUP) {
    SendUFrame(FRAME_DM);
    return;
  }
  queue_->ClearSendQueue();
  SendUFrame(FRAME_UA);
  timers_->StopTimer(T200);
  timers_->StopTimer(T203);
  // Gives the UA time to leave the line before the transport closes.
  ctx_.hub.Sleep(100);
  ctx_.control.SetLinkState(LINK_IDLE);
  ctx_.control.ReleaseLink(LinkEndReason::ReleasedByPbx);
}

void LinkStateMachine::OnDm(uint16_t state) {
  if (state == LINK_ESTABLISHED || state == LINK_TIMER_RECOVERY) {
    Reestablish();
    ctx_.control.Block.RetryCount = 0;
  } else if (state == LINK_DISCONNECTING) {
    timers_->StopTimer(T200);
    ctx_.control.SetLinkState(LINK_IDLE);
    ctx_.control.ReleaseLink(LinkEndReason::CloseRequest);
  }
}

// The peer could not take one of our frames and will not recover on its
// own: set the link up again rather than wait for the retries to run out.
// Outside information transfer there is nothing to reject.
void LinkStateMachine::OnFrmr(uint16_t state) {
  if (state == LINK_ESTABLISHED || state == LINK_TIMER_RECOVERY) Reestablish();
}

void LinkStateMachine::Reestablish() {
  SendUFrame(FRAME_START);
  ResetLink();
  timers_->AwaitAnswer();
  ctx_.control.SetLinkState(LINK_SETUP);
}

void LinkStateMachine::ResetLink() {
  Vars.SendSeq = 0;
  Vars.RecvSeq = 0;
  Vars.AckSeq = 0;
  Vars.PeerBusy = 0;
}

int LinkStateMachine::CheckNR(int32_t n) {
  if (n == Vars.SendSeq) return NR_ALL;
  if (n == Vars.AckSeq) return NR_NONE_NEW;
  return NR_INVALID;
}

void LinkStateMachine::NRError() {
  // A close request must not be lost to a confused peer: the DISC sequence
  // keeps T200 and its retry count and ends, as always, with UA, DM or the
  // retry limit, and so in ReleaseLink.
  if (State() == LINK_DISCONNECTING) return;
  timers_->StopTimer(T200);
  timers_->StopTimer(T203);
  ctx_.control.Block.RetryCount = 0;
  ctx_.control.SetLinkState(LINK_SETUP);
}

void LinkStateMachine::SendRRFinal(bool poll) {
  // A poll is supervised from the moment it could be answered.
  if (poll) timers_->StartTimer(T200, T200_MS);
  SendSFrame(FRAME_RR | FRAME_PF, poll ? 1 : 0);
  Vars.AckPending = 0;
}

void LinkStateMachine::Retransmit() {
  ++ctx_.control.Stats.Retransmissions;
  SendSavedFrame();
}

// The last new I-frame, N(S) = V(S) - 1, with the current V(R): its first
// sending and every retransmission are the same frame.
void LinkStateMachine::SendSavedFrame() {
  L2Frame frame;
  frame.Dest = Vars.SavedDest;
  frame.Type = FRAME_I;
  frame.Length = Vars.SavedLength;
  frame.Buffer = Vars.SavedData.get();
  frame.NSend = static_cast<uint8_t>((Vars.SendSeq - 1) & 7);
  frame.NRec = static_cast<uint8_t>(Vars.RecvSeq);
  ctx_.codec.SendFrame(frame);
}

void LinkStateMachine::LogStateChange() {
  const uint16_t now = State();
  const uint16_t before = Vars.LastLoggedState.exchange(now);
  if (before != now) ctx_.trace.TraceMessage(LOG_DETAIL, "KAVRO State changed %x -> %x", before, now);
}

void LinkStateMachine::SendUFrame(uint8_t code) {
  L2Frame frame;
  frame.Type = code;
  ctx_.codec.SendFrame(frame);
}

void LinkStateMachine::SendSFrame(uint8_t code, uint8_t dest) {
  L2Frame frame;
  frame.Dest = dest;
  frame.Type = code;
  frame.NRec = static_cast<uint8_t>(Vars.RecvSeq);
  ctx_.codec.SendFrame(frame);
}

}  // namespace kavro
