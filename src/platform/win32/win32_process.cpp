#include "platform/win32/win32_process.h"

#include <windows.h>

namespace kavro::platform {

namespace {

struct ThreadStart {
  std::function<void()> routine;
};

DWORD WINAPI RunThread(LPVOID parameter) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
  start->routine();
  return 1;
}

class Win32ThreadHandle : public ThreadHandle {
 public:
  explicit Win32ThreadHandle(HANDLE thread) : thread_(thread) {}
  // Closing the handle never ends the thread: one that did not end in time
  // is left to itself, as the process is about to end under it.
  ~Win32ThreadHandle() override { CloseHandle(thread_); }
  Win32ThreadHandle(const Win32ThreadHandle&) = delete;
  Win32ThreadHandle& operator=(const Win32ThreadHandle&) = delete;

  bool WaitFor(uint32_t ms) override { return WaitForSingleObject(thread_, ms) == WAIT_OBJECT_0; }

 private:
  HANDLE thread_;
};

}  // namespace

std::unique_ptr<ThreadHandle> Win32Process::CreateThread(std::function<void()> routine) {
  auto* start = new ThreadStart{std::move(routine)};
  HANDLE thread = ::CreateThread(nullptr, 0, RunThread, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return nullptr;
  }
  return std::make_unique<Win32ThreadHandle>(thread);
}

void Win32Process::ExitProcess(int code) { ::ExitProcess(static_cast<UINT>(code)); }

}  // namespace kavro::platform
