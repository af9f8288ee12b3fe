// The layer-2 protocol engine: applies each received frame to the link state
// and the sequence variables, answers it, delivers in-sequence payloads and
// sends the next queued payload.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/delivery.h"
#include "link/frame_codec.h"
#include "link/link_context.h"

namespace kavro {

class LinkTimers;
class SendQueue;

struct LinkVariables {
  // Written at the end of ProcessFrame (receive thread) and OnLinkTimer (main
  // thread), both outside the link lock: atomic, so that each change is
  // logged once.
  std::atomic<uint16_t> LastLoggedState{0};
  int32_t SendSeq = 0;  // V(S)
  int32_t RecvSeq = 0;  // V(R)
  int32_t AckSeq = 0;   // V(A)
  int32_t PeerBusy = 0;
  int32_t AckPending = 0;
  int32_t RejectSent = 0;
  uint8_t SavedDest = 0;
  uint32_t SavedLength = 0;
  PayloadBlock SavedData;  // copy of the last new I-frame's payload
};

class LinkStateMachine {
 public:
  explicit LinkStateMachine(LinkContext& ctx) : ctx_(ctx) {}
  LinkStateMachine(const LinkStateMachine&) = delete;
  LinkStateMachine& operator=(const LinkStateMachine&) = delete;

  // The timers and the send queue; set once before the first frame (each
  // sets itself here when it is built).
  void SetTimers(LinkTimers* timers) { timers_ = timers; }
  void SetSendQueue(SendQueue* queue) { queue_ = queue; }

  // Receive thread, once per complete frame. Takes an I-frame's payload:
  // hands it to DeliverPayload or frees it. Returns 1.
  int ProcessFrame(L2Frame& frame);

  // The library may take its time to say "taken" (it syncs each record to
  // disk first): the payload is handed over outside the link lock, and the
  // frame is acknowledged (V(R) moves on, RR) only once it is taken, so
  // that nothing sent meanwhile acknowledges it. Set before the link opens.
  void SetHandOverOutsideLock(bool outside) { handOverOutside_ = outside; }

  // What CheckNR finds an N(R) to acknowledge: every frame outstanding
  // (N(R) = V(S)), nothing new (N(R) = V(A)), or neither, an N(R) error.
  static constexpr int NR_ALL = 2;
  static constexpr int NR_NONE_NEW = 1;
  static constexpr int NR_INVALID = 0;

  // The operations below run with the link lock held (LogStateChange without).
  void ResetLink();
  int CheckNR(int32_t n);
  void NRError();
  void SendRRFinal(bool poll);
  void Retransmit();
  void LogStateChange();

  // The constant unnumbered frames: address 0, no payload, N(S) = N(R) = 0.
  void SendUFrame(uint8_t code);

  // Link lock held. True when a new I-frame may go out: nothing is
  // outstanding (V(S) = V(A)) and the peer is not busy.
  bool WindowOpen() const;
  // Every new I-frame, from the queue or straight from a client, goes out
  // here: N(S) = V(S), N(R) = V(R). Its block becomes the retransmission
  // copy, so what is sent can always be sent again; RetryCount starts
  // afresh, V(S) moves on, the pending acknowledgement travels with the
  // frame, and T200 waits for its acknowledgement.
  void SendNewIFrame(uint8_t dest, PayloadBlock payload, uint32_t length);
  // Frees the retransmission copy (the send queue is being emptied).
  void DropRetransmissionCopy();

  LinkVariables Vars;

 private:
  void HandleIFrame(L2Frame& frame);
  void TakeIFrame(const L2Frame& frame, PayloadBlock payload);
  void TakeAcknowledgement(uint8_t nr);
  void HandleSFrame(const L2Frame& frame);
  // One handler per supervisory kind, each deciding by the state the link
  // was in when the frame arrived; N(R) has been checked.
  void OnRr(uint16_t state, uint8_t nr, bool acknowledgesAll, bool finalResponse);
  void OnRnr(uint16_t state, uint8_t nr, bool finalResponse);
  void OnRej(uint8_t nr, bool finalResponse);
  void HandleUFrame(const L2Frame& frame);
  // One handler per received U-frame kind, each deciding by the state the
  // link was in when the frame arrived.
  void OnStart(uint16_t state);
  void OnUa(uint16_t state);
  void OnDisc(uint16_t state);
  void OnDm(uint16_t state);
  void OnFrmr(uint16_t state);
  void SendSFrame(uint8_t code, uint8_t dest);
  void SendSavedFrame();
  void Reestablish();
  uint16_t State() const;

  // The in-sequence payload taken under the lock and handed over after it.
  struct PendingHandOver {
    PayloadBlock payload;
    uint8_t dest = 0;
    uint32_t length = 0;
    int32_t recvSeq = 0;
    uint64_t linkResets = 0;
  };
  void FinishHandOver(PendingHandOver pending);
  // Link lock held: what ends every received frame on an established link.
  void SendWhatIsDue();

  LinkContext& ctx_;
  LinkTimers* timers_ = nullptr;
  SendQueue* queue_ = nullptr;
  bool handOverOutside_ = false;
  PendingHandOver pending_;
};

}  // namespace kavro
