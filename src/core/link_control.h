// The link control block: the one status record every part of the link driver
// reads, the link state values, the re-entrant link lock and ReleaseLink.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "core/link_statistics.h"
#include "diag/trace_log.h"
#include "kavro/kavro_wire.h"
#include "platform/event_hub.h"
#include "platform/lifecycle_sink.h"

namespace kavro {

constexpr uint16_t LINK_IDLE = 0;
constexpr uint16_t LINK_AWAIT_SERVICE = 1;
constexpr uint16_t LINK_SETUP = 2;
constexpr uint16_t LINK_ESTABLISHED = 3;
constexpr uint16_t LINK_TIMER_RECOVERY = 4;
constexpr uint16_t LINK_DISCONNECTING = 6;
constexpr uint16_t LINK_RELEASED = 7;

constexpr int32_t INVALID_HANDLE = -1;

struct LinkControlBlock {
  int32_t DeviceHandle = INVALID_HANDLE;
  int32_t QueueLast = -1;
  // Read without the lock by the receive thread for its loop test.
  std::atomic<uint16_t> LinkState{LINK_AWAIT_SERVICE};
  uint16_t RetryCount = 0;
  int32_t SocketHandle = INVALID_HANDLE;
  const char* WindowClassName = KAVRO_CONTROL_SOCKET_NAME;
};

class LinkControl {
 public:
  LinkControl(TraceLog& trace, platform::EventHub& hub) : trace_(trace), hub_(hub) { Stats.StartMs = hub_.NowMs(); }

  // Ends the link: unless it is already released, sets LINK_RELEASED, traces
  // "CTI Link Released" and posts the destroy request; a second call does
  // nothing. Any thread, with or without the link lock.
  void ReleaseLink();
  // The same, noting why the link ends (unless a cause is noted already).
  void ReleaseLink(LinkEndReason reason) {
    NoteEndReason(reason);
    ReleaseLink();
  }
  void NoteEndReason(LinkEndReason reason) {
    int none = static_cast<int>(LinkEndReason::None);
    EndReason.compare_exchange_strong(none, static_cast<int>(reason));
  }
  LinkEndReason EndReasonNoted() const { return static_cast<LinkEndReason>(EndReason.load()); }

  // A frame from the PBX has been taken in: counted, and its time kept for
  // the status.
  void NoteFrameReceived() {
    ++Stats.FramesReceived;
    Stats.LastReceivedMs = hub_.NowMs();
  }
  // The frames of one TCP read arrived together: one look at the clock for
  // all of them, after they are counted one by one. On TCP the receive
  // thread is the only one that counts received frames, so the count needs
  // no locked increment, whose barrier would wait for the copy of each
  // payload to leave the store buffer.
  void CountFrameReceived() { Bump(Stats.FramesReceived); }
  void CountPayloadReceived() { Bump(Stats.PayloadsReceived); }
  void NoteReceivedNow() { Stats.LastReceivedMs = hub_.NowMs(); }

  // The operator's lifecycle lines; none until main gives a sink.
  void SetLifecycleSink(platform::LifecycleSink* sink) { lifecycle_ = sink ? sink : &silent_; }
  platform::LifecycleSink& Lifecycle() { return *lifecycle_; }

  // The one writer of LinkState; returns the state it replaced. The change
  // is not traced here: LogStateChange reports it once the frame or the
  // expiry that made it has been handled, so that a change passing through
  // LINK_IDLE on its way to LINK_RELEASED is one line, and a change made
  // outside the link layer (the service answer, a client's service request)
  // is reported with the next event.
  uint16_t SetLinkState(uint16_t state) {
    const uint16_t before = Block.LinkState.exchange(state);
    if (state == LINK_SETUP && (before == LINK_ESTABLISHED || before == LINK_TIMER_RECOVERY)) ++Stats.LinkResets;
    return before;
  }
  uint16_t State() const { return Block.LinkState.load(); }

  LinkControlBlock Block;
  // Guards LinkState, RetryCount, QueueLast with the send queue and the link
  // variables between the main thread and the receive thread.
  std::recursive_mutex LinkLock;
  LinkStatistics Stats;
  // What the port opened (device path, address:port), for the status; set
  // and read on the main thread.
  std::string OpenedDevice;
  std::atomic<int> EndReason{static_cast<int>(LinkEndReason::None)};

 private:
  static void Bump(std::atomic<uint64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
  }
  TraceLog& trace_;
  platform::EventHub& hub_;
  platform::NullLifecycleSink silent_;
  platform::LifecycleSink* lifecycle_ = &silent_;
};

}  // namespace kavro
