#include "platform/bounded_thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

namespace kavro::platform {

// Shared with the thread itself, so that a thread let go after a timeout can
// still mark its end when the handle is long gone.
struct BoundedThread::Completion {
  std::mutex mutex;
  std::condition_variable cv;
  bool finished = false;
};

bool BoundedThread::Start(std::function<void()> body) {
  if (thread_.joinable()) return false;
  auto done = std::make_shared<Completion>();
  try {
    thread_ = std::thread([done, body = std::move(body)] {
      body();
      std::lock_guard lock(done->mutex);
      done->finished = true;
      done->cv.notify_all();
    });
  } catch (const std::system_error&) {
    return false;
  }
  done_ = std::move(done);
  return true;
}

bool BoundedThread::WaitFor(uint32_t ms) {
  if (!thread_.joinable()) return true;
  bool finished;
  {
    std::unique_lock lock(done_->mutex);
    finished = done_->cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done_->finished; });
  }
  if (finished) {
    thread_.join();
  } else {
    thread_.detach();
  }
  done_.reset();
  return finished;
}

BoundedThread::~BoundedThread() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace kavro::platform
