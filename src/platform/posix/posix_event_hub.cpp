#include "platform/posix/posix_event_hub.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <vector>

namespace kavro::platform {

namespace {

constexpr uint64_t kWakeTag = UINT64_MAX;

// epoll hands back one 64-bit word per event: the descriptor in the low half
// and the registration serial in the high half, so that an event for a
// descriptor that was removed (and perhaps reused) in the same round is
// recognised as stale.
uint64_t ReaderTag(int fd, uint64_t serial) { return (serial << 32) | static_cast<uint32_t>(fd); }

}  // namespace

PosixEventHub::PosixEventHub() {
  epollFd_ = epoll_create1(EPOLL_CLOEXEC);
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (epollFd_ >= 0 && wakeFd_ >= 0) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeTag;
    if (epoll_ctl(epollFd_, EPOLL_CTL_ADD, wakeFd_, &ev) != 0) {
      close(wakeFd_);
      wakeFd_ = -1;
    }
  }
}

PosixEventHub::~PosixEventHub() {
  if (wakeFd_ >= 0) close(wakeFd_);
  if (epollFd_ >= 0) close(epollFd_);
}

uint64_t PosixEventHub::MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

uint64_t PosixEventHub::NowMs() { return MonotonicNs() / 1000000u; }

void PosixEventHub::Sleep(uint32_t ms) {
  // An absolute deadline, so that a signal handled meanwhile (a routed one
  // forwarded by a thread that did not block it) does not stretch or cut
  // the wait.
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += ms / 1000;
  until.tv_nsec += long(ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {}
}

void PosixEventHub::Wake() {
  if (wakeFd_ < 0) return;
  uint64_t one = 1;
  // A full counter (never in practice) still leaves the descriptor readable.
  ssize_t ignored = write(wakeFd_, &one, sizeof one);
  (void)ignored;
}

void PosixEventHub::PostMessage(uint32_t message, uint32_t wParam) {
  {
    std::lock_guard lock(mutex_);
    queue_.emplace_back(message, wParam);
  }
  Wake();
}

bool PosixEventHub::SetTimer(uint32_t id, uint32_t ms) {
  {
    std::lock_guard lock(mutex_);
    Timer& t = timers_[id];
    t.due_ns = MonotonicNs() + uint64_t(ms) * 1000000u;
    t.generation++;
    t.started = startOrder_++;
    t.running = true;
  }
  // The loop may be asleep until a later deadline.
  if (!OnMainThread()) Wake();
  return true;
}

void PosixEventHub::KillTimer(uint32_t id) {
  std::lock_guard lock(mutex_);
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second.generation++;
  it->second.running = false;
}

bool PosixEventHub::IsTimerRunning(uint32_t id) {
  std::lock_guard lock(mutex_);
  auto it = timers_.find(id);
  return it != timers_.end() && it->second.running;
}

bool PosixEventHub::AddReader(int fd, std::function<void()> onReadable) {
  return Watch(fd, EPOLLIN | EPOLLRDHUP, std::move(onReadable));
}

bool PosixEventHub::AddWriter(int fd, std::function<void()> onWritable) {
  return Watch(fd, EPOLLOUT, std::move(onWritable));
}

bool PosixEventHub::Watch(int fd, uint32_t events, std::function<void()> onReady) {
  if (!Ok() || fd < 0) return false;
  std::lock_guard lock(mutex_);
  auto it = readers_.find(fd);
  const uint64_t serial = (++readerSerial_) & 0xFFFFFFFFu;
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = ReaderTag(fd, serial);
  const int op = it == readers_.end() ? EPOLL_CTL_ADD : EPOLL_CTL_MOD;
  if (epoll_ctl(epollFd_, op, fd, &ev) != 0) return false;
  readers_[fd] = Reader{fd, serial, std::move(onReady)};
  return true;
}

void PosixEventHub::RemoveReader(int fd) {
  std::lock_guard lock(mutex_);
  auto it = readers_.find(fd);
  if (it == readers_.end()) return;
  epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
  readers_.erase(it);
}

void PosixEventHub::Stop() {
  {
    std::lock_guard lock(mutex_);
    stop_ = true;
  }
  Wake();
}

bool PosixEventHub::OnMainThread() const {
  std::lock_guard lock(mutex_);
  return mainThread_ == std::this_thread::get_id();
}

// How long epoll may sleep: not at all while messages wait, else until the
// earliest running timer is due (rounded up, so that it is due on waking).
int PosixEventHub::WaitTimeoutMs() {
  std::lock_guard lock(mutex_);
  if (stop_ || !queue_.empty()) return 0;
  bool any = false;
  uint64_t earliest = 0;
  for (auto& [id, t] : timers_) {
    if (!t.running) continue;
    if (!any || t.due_ns < earliest) earliest = t.due_ns;
    any = true;
  }
  if (!any) return -1;
  const uint64_t now = MonotonicNs();
  if (earliest <= now) return 0;
  const uint64_t ms = (earliest - now + 999999u) / 1000000u;
  return ms > 60000 ? 60000 : int(ms);
}

void PosixEventHub::Dispatch(uint32_t message, uint32_t wParam) {
  if (handler_) handler_->KavroWnd(message, wParam, nullptr);
}

void PosixEventHub::ServeReadyDescriptors(const epoll_event* events, int count) {
  for (int i = 0; i < count; i++) {
    const uint64_t tag = events[i].data.u64;
    if (tag == kWakeTag) {
      uint64_t ignoredCount;
      ssize_t ignored = read(wakeFd_, &ignoredCount, sizeof ignoredCount);
      (void)ignored;
      continue;
    }
    const int fd = int(uint32_t(tag & 0xFFFFFFFFu));
    std::function<void()> callback;
    {
      std::lock_guard lock(mutex_);
      if (stop_) return;
      auto it = readers_.find(fd);
      // Removed, or removed and added again, by an earlier callback of this
      // round: the event belongs to the old registration.
      if (it == readers_.end() || it->second.serial != (tag >> 32)) continue;
      // A copy: the callback may remove or replace its own registration.
      callback = it->second.on_readable;
    }
    callback();
  }
}

// Delivers the messages queued at the start of this round; whatever the
// handlers post meanwhile waits for the next round, so that a message
// posting itself cannot starve the descriptors and the timers.
void PosixEventHub::DeliverPosted() {
  size_t pending;
  {
    std::lock_guard lock(mutex_);
    pending = queue_.size();
  }
  while (pending-- > 0) {
    std::pair<uint32_t, uint32_t> m;
    {
      std::lock_guard lock(mutex_);
      if (stop_ || queue_.empty()) return;
      m = queue_.front();
      queue_.pop_front();
    }
    Dispatch(m.first, m.second);
  }
}

// Finds the running timer that has been due longest (ties: the earlier
// start). Caller holds mutex_.
bool PosixEventHub::PickDueTimer(uint32_t* id, uint64_t* generation) {
  const uint64_t now = MonotonicNs();
  bool found = false;
  uint64_t bestDue = 0, bestStart = 0;
  for (auto& [tid, t] : timers_) {
    if (!t.running || t.due_ns > now) continue;
    if (!found || t.due_ns < bestDue || (t.due_ns == bestDue && t.started < bestStart)) {
      found = true;
      bestDue = t.due_ns;
      bestStart = t.started;
      *id = tid;
      *generation = t.generation;
    }
  }
  return found;
}

void PosixEventHub::DeliverDueTimers() {
  for (;;) {
    uint32_t id = 0;
    uint64_t generation = 0;
    {
      std::lock_guard lock(mutex_);
      if (stop_ || !PickDueTimer(&id, &generation)) return;
    }
    std::unique_lock<std::recursive_mutex> dispatch;
    if (dispatchLock_) dispatch = std::unique_lock(*dispatchLock_);
    {
      // The last look before the handler: a stop or restart since the pick
      // (made by the other thread, perhaps while we waited for the dispatch
      // lock) has moved the generation on, and this expiry is void.
      std::lock_guard lock(mutex_);
      auto it = timers_.find(id);
      if (it == timers_.end() || !it->second.running || it->second.generation != generation) continue;
      // This start is used up: it is delivered once, whether or not the
      // handler stops the timer itself.
      it->second.running = false;
    }
    Dispatch(WM_TIMER, id);
  }
}

bool PosixEventHub::Run() {
  if (!Ok()) return false;
  {
    std::lock_guard lock(mutex_);
    mainThread_ = std::this_thread::get_id();
  }
  bool ok = true;
  epoll_event events[kMaxEvents];
  for (;;) {
    const int timeout = WaitTimeoutMs();
    const int n = epoll_wait(epollFd_, events, kMaxEvents, timeout);
    if (n < 0 && errno != EINTR) {
      ok = false;
      break;
    }
    if (n > 0) ServeReadyDescriptors(events, n);
    DeliverPosted();
    DeliverDueTimers();
    std::lock_guard lock(mutex_);
    if (stop_) break;
  }
  std::lock_guard lock(mutex_);
  stop_ = false;
  mainThread_ = std::thread::id();
  return ok;
}

}  // namespace kavro::platform
