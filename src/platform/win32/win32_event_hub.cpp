#include "platform/win32/win32_event_hub.h"

#include <windows.h>
// The hub's own PostMessage, not the window system's ANSI/Unicode switch.
#undef PostMessage

namespace kavro::platform {

namespace {

// How long the end of the session waits for the PBX's answer to the DISC.
// Windows ends a program that has not finished with WM_ENDSESSION after
// about five seconds; after this wait the shutdown itself takes at most the
// receive thread's join (3 s) and the companion library's last delivery.
constexpr uint64_t END_SESSION_DISC_MS = 1000;

// How long the reply thread waits for one asking window to take its answer.
constexpr UINT STATUS_REPLY_TIMEOUT_MS = 2000;
// Answers waiting for the reply thread; more requests are refused.
constexpr size_t STATUS_REPLIES_MAX = 16;

// Whether `window` belongs to a process of this session run by this user:
// the status record is not handed to another user's program, nor to one in
// another session that happens to share a desktop name.
bool OwnSessionAndUser(HWND window) {
  DWORD process = 0;
  if (GetWindowThreadProcessId(window, &process) == 0) return false;
  if (process == GetCurrentProcessId()) return true;
  DWORD ownSession = 0;
  DWORD otherSession = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &ownSession) || !ProcessIdToSessionId(process, &otherSession) ||
      ownSession != otherSession) {
    return false;
  }
  HANDLE other = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
  if (other == nullptr) return false;
  auto userOf = [](HANDLE processHandle, std::vector<uint8_t>& buffer) -> PSID {
    HANDLE token = nullptr;
    if (!OpenProcessToken(processHandle, TOKEN_QUERY, &token)) return nullptr;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    buffer.resize(size);
    const bool ok = size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    CloseHandle(token);
    return ok ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid : nullptr;
  };
  std::vector<uint8_t> own;
  std::vector<uint8_t> theirs;
  PSID ownSid = userOf(GetCurrentProcess(), own);
  PSID theirSid = userOf(other, theirs);
  CloseHandle(other);
  return ownSid != nullptr && theirSid != nullptr && EqualSid(ownSid, theirSid);
}

// The hub whose window this thread is creating right now. Only the window's
// own creation, inside CreateWindowExA on this thread, may tie a window to
// its hub: WM_NCCREATE and WM_CREATE that another process sends later carry
// whatever it wants in their parameters and are ignored.
thread_local Win32EventHub* creatingHub = nullptr;

// The registered window procedure. The hub is kept in the window's user
// data from its own WM_NCCREATE on; the few messages before it
// (WM_GETMINMAXINFO) get the default handling.
LRESULT CALLBACK ControlWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* hub = reinterpret_cast<Win32EventHub*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    if (hub != nullptr || creatingHub == nullptr) return FALSE;
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creatingHub));
    return DefWindowProcA(window, message, wParam, lParam);
  }
  if (hub == nullptr) return DefWindowProcA(window, message, wParam, lParam);
  return hub->HandleWindowMessage(window, message, wParam, lParam);
}

}  // namespace

Win32EventHub::Win32EventHub(void* instance) : instance_(instance) {}

Win32EventHub::~Win32EventHub() {
  {
    std::lock_guard<std::mutex> lock(replyMutex_);
    replyStop_ = true;
  }
  replyReady_.notify_all();
  if (replyThread_.joinable()) replyThread_.join();
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
  creating_ = true;
  inCreation_ = true;
  creatingHub = this;
  // WS_MINIMIZE without WS_VISIBLE: the window exists for its messages and
  // its timers and is never shown.
  HWND window = CreateWindowExA(0, className, title, WS_MINIMIZE, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, nullptr, nullptr, static_cast<HINSTANCE>(instance_), nullptr);
  creatingHub = nullptr;
  creating_ = false;
  inCreation_ = false;
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
      // Only the window's own creation opens the link; a WM_CREATE sent
      // from outside later does nothing.
      if (!creating_) return 0;
      creating_ = false;
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
      // brings here. A PBX that has not answered the DISC within
      // END_SESSION_DISC_MS is not waited for any longer (its retries would
      // outlast the time Windows gives): the link is shut down at once, so
      // that the clients still get event 0 before the process is ended.
      if (wParam != 0 && !starting_ && handler_ != nullptr) {
        Dispatch(WM_CLOSE, 0, nullptr);
        ServeMessagesFor(END_SESSION_DISC_MS);
        destroyPosted_ = true;
        Dispatch(WM_DESTROY, 0, nullptr);
      }
      return 0;
    case WM_DESTROY:
      // The destroy handling ends the process; without a handler the loop
      // ends instead.
      if (handler_ == nullptr) {
        PostQuitMessage(0);
        return 0;
      }
      // Only the link's own end (ReleaseLink posts it) and the teardown of
      // a window whose creation failed are the destroy request. One that
      // another program sends or posts is taken as what it asks for, the end
      // of the link, and the link is taken down in order (DISC, event 0).
      if (!destroyPosted_ && !(inCreation_ && !starting_)) {
        if (starting_) {
          closeDuringStart_ = true;
          return 0;
        }
        Dispatch(WM_CLOSE, 0, nullptr);
        return 0;
      }
      Dispatch(WM_DESTROY, 0, nullptr);
      return 0;
    case KAVRO_MSG_STATUS:
      return AnswerStatus(window, wParam);
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

void Win32EventHub::ServeMessagesFor(uint64_t ms) {
  const uint64_t until = GetTickCount64() + ms;
  for (uint64_t now = GetTickCount64(); now < until; now = GetTickCount64()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(until - now), QS_ALLINPUT);
    MSG queued;
    while (PeekMessageA(&queued, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&queued);
      DispatchMessageA(&queued);
    }
  }
}

intptr_t Win32EventHub::AnswerStatus(void* window, uintptr_t replyWindow) {
  HWND reply = reinterpret_cast<HWND>(replyWindow);
  if (starting_ || !statusSource_ || reply == nullptr || !IsWindow(reply) || !OwnSessionAndUser(reply)) return 0;
  {
    std::lock_guard<std::mutex> lock(replyMutex_);
    if (replying_.count(reply) != 0 || replies_.size() >= STATUS_REPLIES_MAX) return 0;
  }
  // The record is taken here, on the main thread, so that it says how the
  // link stood when it was asked for.
  Reply answer{reply, statusSource_()};
  {
    std::lock_guard<std::mutex> lock(replyMutex_);
    if (!replyThread_.joinable()) replyThread_ = std::thread([this] { ReplyThread(); });
    replying_.insert(reply);
    replies_.push_back(std::move(answer));
  }
  replyReady_.notify_one();
  (void)window;
  return 1;
}

void Win32EventHub::ReplyThread() {
  std::unique_lock<std::mutex> lock(replyMutex_);
  for (;;) {
    replyReady_.wait(lock, [this] { return replyStop_ || !replies_.empty(); });
    if (replyStop_) return;
    Reply answer = std::move(replies_.front());
    replies_.pop_front();
    lock.unlock();
    COPYDATASTRUCT copy{};
    copy.dwData = KAVRO_MSG_STATUS;
    copy.cbData = static_cast<DWORD>(answer.bytes.size());
    copy.lpData = answer.bytes.data();
    DWORD_PTR ignored = 0;
    // Bounded: a window that is hung, slow or never returns costs this
    // thread at most the timeout, and only the answers queued behind it.
    SendMessageTimeoutA(static_cast<HWND>(answer.window), WM_COPYDATA, reinterpret_cast<WPARAM>(window_),
                        reinterpret_cast<LPARAM>(&copy), SMTO_BLOCK | SMTO_ABORTIFHUNG, STATUS_REPLY_TIMEOUT_MS,
                        &ignored);
    lock.lock();
    replying_.erase(answer.window);
  }
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
  if (message == WM_DESTROY) destroyPosted_ = true;
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
