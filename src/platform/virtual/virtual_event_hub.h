// An event hub in virtual time for the unit tests: nothing runs until the
// test calls RunPending or Advance, everything runs on the calling thread.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

#include "platform/event_hub.h"

namespace kavro::platform {

class VirtualEventHub : public EventHub {
 public:
  struct Posted {
    uint32_t message;
    uint32_t wParam;
  };

  void SetHandler(MessageHandler* handler) { handler_ = handler; }

  uint64_t NowMs() override;
  // Sleeping moves virtual time on but delivers nothing: the sleeper holds the
  // link lock, and a timer handled in the middle of it would be re-entrant.
  void Sleep(uint32_t ms) override;
  void PostMessage(uint32_t message, uint32_t wParam = 0) override;
  bool SetTimer(uint32_t id, uint32_t ms) override;
  void KillTimer(uint32_t id) override;
  bool IsTimerRunning(uint32_t id) override;

  // Delivers the posted messages (and timers already due) in order.
  void RunPending();
  // Moves virtual time on by `ms`, delivering every timer that falls due on
  // the way, each at its own time, and the messages posted meanwhile.
  void Advance(uint64_t ms);
  // Advances to the next timer expiry and delivers it; false if none runs.
  bool FireNext();
  // Milliseconds until timer `id` expires, or -1 when it is not running.
  int64_t TimeLeft(uint32_t id);

  // Every message delivered so far (timers as WM_TIMER with their id).
  const std::vector<Posted>& Delivered() const { return delivered_; }
  // Messages posted but not yet delivered.
  std::vector<Posted> Queued() const;
  // When set, SetTimer fails for this id (to test the "cannot start" paths).
  void FailTimer(uint32_t id, bool fail) { failing_[id] = fail; }

 private:
  struct Timer {
    uint64_t due;
    uint64_t order;
  };
  void Deliver(uint32_t message, uint32_t wParam);
  bool DeliverOneDue();
  bool StepToNextTimer(uint64_t end);

  MessageHandler* handler_ = nullptr;
  mutable std::recursive_mutex mutex_;
  uint64_t now_ = 0;
  uint64_t order_ = 0;
  std::map<uint32_t, Timer> timers_;
  std::map<uint32_t, bool> failing_;
  std::deque<Posted> queue_;
  std::vector<Posted> delivered_;
};

}  // namespace kavro::platform
