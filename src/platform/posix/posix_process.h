// Threads and the end of the process on Linux.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "platform/process.h"

namespace kavro::platform {

class PosixProcess : public Process {
 public:
  std::unique_ptr<ThreadHandle> CreateThread(std::function<void()> routine) override;
  // Runs the clean-up steps (in reverse order of registration), then _exit.
  void ExitProcess(int code) override;
  // A step to run right before the process ends (removing socket files).
  void AtExit(std::function<void()> step);

 private:
  std::mutex mutex_;
  std::vector<std::function<void()>> atExit_;
};

}  // namespace kavro::platform
