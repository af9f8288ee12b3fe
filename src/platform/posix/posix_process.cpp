#include "platform/posix/posix_process.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <thread>

namespace kavro::platform {

namespace {

// The end of a thread, shared between the thread and its handle so that a
// handle given up on (after a timed-out wait) never joins or kills it.
struct ThreadState {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
};

class PosixThreadHandle : public ThreadHandle {
 public:
  PosixThreadHandle(std::shared_ptr<ThreadState> state, std::thread thread)
      : state_(std::move(state)), thread_(std::move(thread)) {}

  ~PosixThreadHandle() override {
    // A thread that has not ended is left to itself: the process is about to
    // end under it anyway.
    if (thread_.joinable()) {
      bool done;
      {
        std::lock_guard lock(state_->mutex);
        done = state_->done;
      }
      if (done)
        thread_.join();
      else
        thread_.detach();
    }
  }

  bool WaitFor(uint32_t ms) override {
    std::unique_lock lock(state_->mutex);
    return state_->ended.wait_for(lock, std::chrono::milliseconds(ms), [this] { return state_->done; });
  }

 private:
  std::shared_ptr<ThreadState> state_;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<ThreadHandle> PosixProcess::CreateThread(std::function<void()> routine) {
  auto state = std::make_shared<ThreadState>();
  try {
    std::thread thread([state, routine = std::move(routine)] {
      routine();
      std::lock_guard lock(state->mutex);
      state->done = true;
      state->ended.notify_all();
    });
    return std::make_unique<PosixThreadHandle>(state, std::move(thread));
  } catch (const std::system_error&) {
    return nullptr;
  }
}

void PosixProcess::AtExit(std::function<void()> step) {
  std::lock_guard lock(mutex_);
  atExit_.push_back(std::move(step));
}

void PosixProcess::ExitProcess(int code) {
  std::vector<std::function<void()>> steps;
  {
    std::lock_guard lock(mutex_);
    steps.swap(atExit_);
  }
  for (auto it = steps.rbegin(); it != steps.rend(); ++it) (*it)();
  _exit(code);
}

}  // namespace kavro::platform
