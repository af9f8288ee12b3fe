#include "platform/virtual/virtual_event_hub.h"

#include <algorithm>
#include <cstdint>

namespace kavro::platform {

uint64_t VirtualEventHub::NowMs() {
  std::lock_guard lock(mutex_);
  return now_;
}

void VirtualEventHub::Sleep(uint32_t ms) {
  std::lock_guard lock(mutex_);
  now_ += ms;
}

void VirtualEventHub::PostMessage(uint32_t message, uint32_t wParam) {
  std::lock_guard lock(mutex_);
  queue_.push_back({message, wParam});
}

bool VirtualEventHub::SetTimer(uint32_t id, uint32_t ms) {
  std::lock_guard lock(mutex_);
  if (failing_[id]) return false;
  timers_[id] = Timer{now_ + ms, order_++};
  return true;
}

void VirtualEventHub::KillTimer(uint32_t id) {
  std::lock_guard lock(mutex_);
  timers_.erase(id);
}

bool VirtualEventHub::IsTimerRunning(uint32_t id) {
  std::lock_guard lock(mutex_);
  return timers_.count(id) != 0;
}

int64_t VirtualEventHub::TimeLeft(uint32_t id) {
  std::lock_guard lock(mutex_);
  auto it = timers_.find(id);
  if (it == timers_.end()) return -1;
  return it->second.due > now_ ? int64_t(it->second.due - now_) : 0;
}

std::vector<VirtualEventHub::Posted> VirtualEventHub::Queued() const {
  std::lock_guard lock(mutex_);
  return {queue_.begin(), queue_.end()};
}

// Handlers run without the hub's lock, as on the real hub: a handler takes
// the link lock, and a thread holding the link lock starts and stops timers
// here; holding both in opposite orders could deadlock the two threads.
void VirtualEventHub::Deliver(uint32_t message, uint32_t wParam) {
  {
    std::lock_guard lock(mutex_);
    delivered_.push_back({message, wParam});
  }
  if (handler_) handler_->KavroWnd(message, wParam, nullptr);
}

// Delivers the earliest timer that is due now, if any. The timer stays
// registered: the window procedure stops it itself, as the control window does.
// A timer the handler neither stops nor restarts is removed here so that it
// cannot fire twice.
bool VirtualEventHub::DeliverOneDue() {
  uint32_t id = 0;
  uint64_t order = 0;
  {
    std::lock_guard lock(mutex_);
    bool found = false;
    uint64_t best_due = 0;
    for (auto& [tid, t] : timers_) {
      if (t.due > now_) continue;
      if (!found || t.due < best_due || (t.due == best_due && t.order < order)) {
        found = true;
        id = tid;
        best_due = t.due;
        order = t.order;
      }
    }
    if (!found) return false;
  }
  Deliver(WM_TIMER, id);
  std::lock_guard lock(mutex_);
  auto it = timers_.find(id);
  if (it != timers_.end() && it->second.order == order) timers_.erase(it);
  return true;
}

void VirtualEventHub::RunPending() {
  for (;;) {
    Posted p{};
    bool posted = false;
    {
      std::lock_guard lock(mutex_);
      if (!queue_.empty()) {
        p = queue_.front();
        queue_.pop_front();
        posted = true;
      }
    }
    if (posted) {
      Deliver(p.message, p.wParam);
    } else if (!DeliverOneDue()) {
      break;
    }
  }
}

// Moves the clock to the earliest timer when it is due by `end`; false when
// none is.
bool VirtualEventHub::StepToNextTimer(uint64_t end) {
  std::lock_guard lock(mutex_);
  uint64_t next = UINT64_MAX;
  for (auto& [tid, t] : timers_) next = std::min(next, t.due);
  if (next == UINT64_MAX || next > end) return false;
  if (next > now_) now_ = next;
  return true;
}

void VirtualEventHub::Advance(uint64_t ms) {
  uint64_t end;
  {
    std::lock_guard lock(mutex_);
    end = now_ + ms;
  }
  RunPending();
  while (StepToNextTimer(end)) RunPending();
  {
    // A handler that slept (the waits after DISC, the DSR settle) may already
    // have carried the clock past the end; time never runs backwards.
    std::lock_guard lock(mutex_);
    if (now_ < end) now_ = end;
  }
  RunPending();
}

bool VirtualEventHub::FireNext() {
  RunPending();
  if (!StepToNextTimer(UINT64_MAX)) return false;
  RunPending();
  return true;
}

}  // namespace kavro::platform
