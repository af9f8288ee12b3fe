// Threads and the end of the process, as the control window needs them.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace kavro::platform {

class ThreadHandle {
 public:
  virtual ~ThreadHandle() = default;
  // Waits up to `ms` for the thread to end; false when it is still running
  // (the thread is then left to itself, never forced).
  virtual bool WaitFor(uint32_t ms) = 0;
};

class Process {
 public:
  virtual ~Process() = default;
  // Starts `routine` on a thread of its own; null when it cannot be created.
  virtual std::unique_ptr<ThreadHandle> CreateThread(std::function<void()> routine) = 0;
  // Ends the process with `code` at once, without running destructors: the
  // receive thread may still be inside the link layer.
  virtual void ExitProcess(int code) = 0;
};

}  // namespace kavro::platform
