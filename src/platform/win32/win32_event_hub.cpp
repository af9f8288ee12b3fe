#include "platform/win32/win32_event_hub.h"

#include <windows.h>
// The hub's own PostMessage, not the window system's ANSI/Unicode switch.
#undef PostMessage

namespace kavro::platform {

namespace {

// How long the end of the session may take the link down: Windows ends a
// program that has not finished with WM_ENDSESSION after about five seconds.
constexpr uint64_t END_SESSION_MS = 4500;

// The registered window procedure. The hub travels in the creation
// parameter and is kept in the window's user data from WM_NCCREATE on; the
// few messages before it (WM_GETMINMAXINFO) get the default handling.
LRESULT CALLBACK ControlWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* hub = reinterpret_cast<Win32EventHub*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (hub == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  return hub->HandleWindowMessage(window, message, wParam, lParam);
}

}  // namespace

Win32EventHub::Win32EventHub(void* instance) : instance_(instance) {}

Win32EventHub::~Win32EventHub() {
  if (window_ != nullptr) {
    // The window outlives nothing of ours: it forgets the hub first, so the
    // WM_DESTROY of DestroyWindow reaches no handler.
    SetWindowLongPtrA(static_cast<HWND>(window_), GWLP_USERDATA, 0);
    DestroyWindow(static_cast<HWND>(window_));
  }
}

bool Win32EventHub::CreateControlWindow(const char* className, const char* title, std::function<bool()> onCreate) {
  WNDCLASSA windowClass{};
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = ControlWindowProcedure;
  windowClass.hInstance = static_cast<HINSTANCE>(instance_);
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));
  windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
  windowClass.lpszClassName = className;
  // The outcome does not matter: a class this module registered before (a
  // second window in one process) serves as well.
  RegisterClassA(&windowClass);

  onCreate_ = std::move(onCreate);
  closeDuringStart_ = false;
  // WS_MINIMIZE without WS_VISIBLE: the window exists for its messages and
  // its timers and is never shown.
  HWND window = CreateWindowExA(0, className, title, WS_MINIMIZE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, static_cast<HINSTANCE>(instance_), this);
  onCreate_ = nullptr;
  if (window == nullptr) {
    window_ = nullptr;
    return false;
  }
  window_ = window;
  // A close request that came while the link was opening is served now
  // that the link is open, in its turn behind anything posted meanwhile.
  if (closeDuringStart_) PostMessageA(window, WM_CLOSE, 0, 0);
  return true;
}

intptr_t Win32EventHub::HandleWindowMessage(void* window, unsigned message, uintptr_t wParam, intptr_t lParam) {
  switch (message) {
    case WM_CREATE: {
      // Kept before the link opens: the receive thread, started during the
      // open, may already post to the window or start timers on it.
      window_ = window;
      starting_ = true;
      const bool opened = onCreate_ ? onCreate_() : true;
      starting_ = false;
      return opened ? 0 : -1;
    }
    case WM_COPYDATA: {
      // Only reached inside the creation through ServeSentMessagesDuringStart:
      // the link is not open, so the data is refused.
      if (starting_) return 0;
      const auto* descriptor = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
      if (descriptor == nullptr) return 0;
      CopyData copy;
      // The command word has 32 bits; on 64-bit Windows dwData is wider and
      // its upper half carries nothing.
      copy.dwData = static_cast<uint32_t>(descriptor->dwData);
      copy.lpData = static_cast<const uint8_t*>(descriptor->lpData);
      // A descriptor with a count but no data is a client's mistake, not
      // bytes to read.
      copy.cbData = copy.lpData != nullptr ? descriptor->cbData : 0;
      return Dispatch(WM_COPYDATA, 0, &copy);
    }
    case WM_TIMER:
      OnWindowTimer(wParam);
      return 0;
    case WM_CLOSE:
      // Never DefWindowProc: the close request takes the link down, and the
      // window goes only with the process.
      if (starting_) {
        closeDuringStart_ = true;
        return 0;
      }
      Dispatch(WM_CLOSE, 0, nullptr);
      return 0;
    case WM_ENDSESSION:
      // The user logs off or Windows shuts down, and the process is ended
      // soon after this returns: the link is taken down as on a close
      // request (DISC, event 0 to the clients), serving the messages that
      // brings here until the destroy handling ends the process, within the
      // time Windows gives.
      if (wParam != 0 && !starting_ && handler_ != nullptr) {
        Dispatch(WM_CLOSE, 0, nullptr);
        const uint64_t until = GetTickCount64() + END_SESSION_MS;
        for (uint64_t now = GetTickCount64(); now < until; now = GetTickCount64()) {
          MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(until - now), QS_ALLINPUT);
          MSG queued;
          while (PeekMessageA(&queued, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&queued);
            DispatchMessageA(&queued);
          }
        }
      }
      return 0;
    case WM_DESTROY:
      // The destroy handling ends the process; without a handler the loop
      // ends instead.
      if (handler_ == nullptr) {
        PostQuitMessage(0);
        return 0;
      }
      Dispatch(WM_DESTROY, 0, nullptr);
      return 0;
    default:
      return DefWindowProcA(static_cast<HWND>(window), message, wParam, lParam);
  }
}

int32_t Win32EventHub::Dispatch(uint32_t message, uint32_t wParam, const CopyData* copy) {
  return handler_ != nullptr ? handler_->KavroWnd(message, wParam, copy) : 0;
}

int Win32EventHub::Run() {
  MSG message{};
  for (;;) {
    const BOOL result = GetMessageA(&message, nullptr, 0, 0);
    if (result == 0 || result == -1) break;
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

bool Win32EventHub::ServeSentMessagesDuringStart() {
  // Sent messages are handled inside PeekMessage; posted ones and timers
  // stay queued for the message loop.
  MSG message;
  PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  return closeDuringStart_;
}

uint64_t Win32EventHub::NowMs() { return GetTickCount64(); }

void Win32EventHub::Sleep(uint32_t ms) { ::Sleep(ms); }

void Win32EventHub::PostMessage(uint32_t message, uint32_t wParam) {
  if (window_ != nullptr) PostMessageA(static_cast<HWND>(window_), message, wParam, 0);
}

bool Win32EventHub::SetTimer(uint32_t id, uint32_t ms) {
  std::lock_guard<std::mutex> lock(mutex_);
  HWND window = static_cast<HWND>(window_);
  if (window == nullptr) return false;
  auto it = running_.find(id);
  if (it != running_.end()) {
    ::KillTimer(window, it->second);
    windowTimers_.erase(it->second);
    running_.erase(it);
  }
  const uintptr_t windowTimer = nextWindowTimer_++;
  if (nextWindowTimer_ == 0) nextWindowTimer_ = 0x10000;
  if (::SetTimer(window, windowTimer, ms, nullptr) == 0) return false;
  running_[id] = windowTimer;
  windowTimers_[windowTimer] = id;
  return true;
}

void Win32EventHub::KillTimer(uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = running_.find(id);
  if (it == running_.end()) return;
  ::KillTimer(static_cast<HWND>(window_), it->second);
  windowTimers_.erase(it->second);
  running_.erase(it);
}

bool Win32EventHub::IsTimerRunning(uint32_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_.count(id) != 0;
}

void Win32EventHub::OnWindowTimer(uintptr_t windowTimer) {
  // Window timers repeat until killed; each start of a link timer fires once.
  ::KillTimer(static_cast<HWND>(window_), windowTimer);
  std::unique_lock<std::recursive_mutex> dispatch;
  if (dispatchLock_ != nullptr) dispatch = std::unique_lock<std::recursive_mutex>(*dispatchLock_);
  uint32_t id;
  {
    // The last look before the handler, under the lock the stopping thread
    // holds: an expiry that was already taken from the queue when its timer
    // was stopped or started again belongs to a start that no longer counts.
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = windowTimers_.find(windowTimer);
    if (it == windowTimers_.end()) return;
    id = it->second;
    windowTimers_.erase(it);
    auto current = running_.find(id);
    if (current == running_.end() || current->second != windowTimer) return;
    running_.erase(current);
  }
  Dispatch(WM_TIMER, id, nullptr);
}

}  // namespace kavro::platform
