// The receive thread's handle: a thread whose end can be awaited for a
// limited time. When the wait runs out the thread is let go (detached), so
// that the process can end with the thread still blocked somewhere, as the
// shutdown does after its 3000 ms.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

namespace kavro::platform {

class BoundedThread {
 public:
  BoundedThread() = default;
  // Waits for a thread still held without a time limit: destroy the handle
  // only after WaitFor, or when the thread is known to end.
  ~BoundedThread();
  BoundedThread(const BoundedThread&) = delete;
  BoundedThread& operator=(const BoundedThread&) = delete;

  // Runs `body` on a new thread at once. False when a thread is already held
  // or none can be created.
  bool Start(std::function<void()> body);
  // Waits up to `ms` for the thread to end. True when it ended (the handle is
  // then free); false on timeout, and the thread is let go: it runs on, and
  // the handle is free all the same.
  bool WaitFor(uint32_t ms);
  // True while a thread is held (started and not yet waited for or let go).
  bool Held() const { return thread_.joinable(); }

 private:
  struct Completion;
  std::shared_ptr<Completion> done_;
  std::thread thread_;
};

}  // namespace kavro::platform
