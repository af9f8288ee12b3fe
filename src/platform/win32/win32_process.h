// Threads and the end of the process on Windows: CreateThread, a bounded
// WaitForSingleObject, ExitProcess.
#pragma once

#include "platform/process.h"

namespace kavro::platform {

class Win32Process : public Process {
 public:
  std::unique_ptr<ThreadHandle> CreateThread(std::function<void()> routine) override;
  // ExitProcess: the other threads are ended before the DLLs are told, so a
  // receive thread still inside the link layer never meets torn-down state.
  void ExitProcess(int code) override;
};

}  // namespace kavro::platform
