// The event hub on Linux: a small epoll loop that stands in for the hidden
// control window's message queue and its window timers. The thread that calls
// Run() is the main thread: posted messages, timer expiries and the readiness
// of watched descriptors (the control socket, the signal pipe) are all served
// there, one at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/event_hub.h"

struct epoll_event;

namespace kavro::platform {

class PosixEventHub : public EventHub {
 public:
  PosixEventHub();
  ~PosixEventHub() override;
  PosixEventHub(const PosixEventHub&) = delete;
  PosixEventHub& operator=(const PosixEventHub&) = delete;

  // False when the epoll instance or the wake-up descriptor could not be
  // made; Run() then returns at once.
  bool Ok() const { return epollFd_ >= 0 && wakeFd_ >= 0; }

  // The window procedure. Set before Run(); messages that arrive without
  // one are dropped.
  void SetHandler(MessageHandler* handler) { handler_ = handler; }

  // The lock the other thread holds whenever it starts or stops a timer (the
  // link lock). When set, a timer expiry is checked and handled while holding
  // it, so a KillTimer made under that lock is either seen by the check or
  // waits until the expiry has been handled: no window remains in which a
  // stopped timer could still reach the handler.
  void SetTimerDispatchLock(std::recursive_mutex* lock) { dispatchLock_ = lock; }

  uint64_t NowMs() override;
  void Sleep(uint32_t ms) override;
  void PostMessage(uint32_t message, uint32_t wParam = 0) override;
  bool SetTimer(uint32_t id, uint32_t ms) override;
  void KillTimer(uint32_t id) override;
  bool IsTimerRunning(uint32_t id) override;

  // Calls `onReadable` on the main thread whenever `fd` is readable (or hung
  // up or in error: the callback finds out by reading). One callback per
  // descriptor; adding a watched descriptor again replaces its callback.
  bool AddReader(int fd, std::function<void()> onReadable);
  // Calls `onWritable` on the main thread whenever `fd` can take a write (or
  // is hung up or in error). A descriptor is watched either way, not both:
  // this replaces a reader of `fd`, and AddReader replaces a writer.
  bool AddWriter(int fd, std::function<void()> onWritable);
  // Stops watching `fd`, reader or writer. Safe from inside any callback,
  // also its own.
  void RemoveReader(int fd);

  // Serves the queue until Stop(). Returns false when the hub is not Ok()
  // or epoll fails for good.
  bool Run();
  // Makes Run() return after the message being handled; any thread, also
  // before Run() (which then returns at once).
  void Stop();
  // True on the thread inside Run().
  bool OnMainThread() const;

 private:
  struct Timer {
    uint64_t due_ns = 0;
    // Incremented by every start and stop: an expiry picked for delivery is
    // dropped when the timer's generation moved on before the handler call.
    uint64_t generation = 0;
    // Order of the start, so that timers due at the same moment are handled
    // in the order they were started.
    uint64_t started = 0;
    bool running = false;
  };
  struct Reader {
    int fd;
    uint64_t serial;
    std::function<void()> on_readable;
  };

  bool Watch(int fd, uint32_t events, std::function<void()> onReady);
  static uint64_t MonotonicNs();
  void Wake();
  int WaitTimeoutMs();
  void ServeReadyDescriptors(const epoll_event* events, int count);
  void DeliverPosted();
  void DeliverDueTimers();
  bool PickDueTimer(uint32_t* id, uint64_t* generation);
  void Dispatch(uint32_t message, uint32_t wParam);

  int epollFd_ = -1;
  int wakeFd_ = -1;
  MessageHandler* handler_ = nullptr;
  std::recursive_mutex* dispatchLock_ = nullptr;

  mutable std::mutex mutex_;
  std::deque<std::pair<uint32_t, uint32_t>> queue_;
  std::map<uint32_t, Timer> timers_;
  uint64_t startOrder_ = 0;
  std::map<int, Reader> readers_;
  uint64_t readerSerial_ = 0;
  bool stop_ = false;
  std::thread::id mainThread_;

  static constexpr int kMaxEvents = 32;
};

}  // namespace kavro::platform
