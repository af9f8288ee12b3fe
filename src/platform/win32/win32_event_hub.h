// The event hub on Windows: the hidden control window itself. Its message
// queue is the hub's queue, its window timers are the link timers, and
// client programs reach it with WM_COPYDATA and WM_CLOSE after finding it by
// its class name. The thread that creates the window and runs the message
// loop is the main thread.
#pragma once

#include <cstdint>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/event_hub.h"

namespace kavro::platform {

// What client programs look for with FindWindowA.
constexpr const char* CONTROL_WINDOW_CLASS = "KavroControlProg";
constexpr const char* CONTROL_WINDOW_TITLE = "Tovik CTI Layer II Control";

class Win32EventHub : public EventHub {
 public:
  // `instance` is the module that registers the window class (a HINSTANCE).
  explicit Win32EventHub(void* instance);
  ~Win32EventHub() override;
  Win32EventHub(const Win32EventHub&) = delete;
  Win32EventHub& operator=(const Win32EventHub&) = delete;

  // The window procedure's logic. Set before the window is created.
  void SetHandler(MessageHandler* handler) { handler_ = handler; }
  // The lock the other thread holds whenever it starts or stops a timer
  // (the link lock): an expiry is checked and handled while holding it, so a
  // timer stopped under that lock can never fire afterwards.
  void SetTimerDispatchLock(std::recursive_mutex* lock) { dispatchLock_ = lock; }

  // The status request (KAVRO_MSG_STATUS, wParam: the window to answer) is
  // answered with a WM_COPYDATA to that window whose dwData is
  // KAVRO_MSG_STATUS and whose bytes are what `source` returns. The record is
  // taken on the main thread and sent from a thread of its own, so that an
  // asking window that is slow or never returns holds up nothing but its
  // own answer: the request returns 1 once the answer is on its way, 0 when
  // it is refused (no such window, one of another session or user, or an
  // answer to that window still under way).
  void SetStatusSource(std::function<std::vector<uint8_t>()> source) { statusSource_ = std::move(source); }

  // Registers the window class and creates the hidden control window on the
  // calling thread. Its WM_CREATE runs `onCreate` (which opens the link);
  // false from it makes the creation fail. Returns whether the window exists.
  bool CreateControlWindow(const char* className, const char* title, std::function<bool()> onCreate);
  // The window (an HWND), null before creation.
  void* Window() const { return window_; }

  // The message loop, until WM_QUIT (never, in practice: the process ends
  // inside the destroy handling). Returns the last message's wParam.
  int Run();

  // For waits on the main thread inside the window's creation (the connect
  // of a TCP link): serves the messages other threads and processes have
  // sent to the window meanwhile, so that none of them hangs until the start
  // is over. A close request is remembered, and answered after the start;
  // client data is refused with 0 as the link is not open yet. Returns true
  // once a close request has come: the wait should give up.
  bool ServeSentMessagesDuringStart();
  bool CloseRequestedDuringStart() const { return closeDuringStart_; }

  uint64_t NowMs() override;
  void Sleep(uint32_t ms) override;
  void PostMessage(uint32_t message, uint32_t wParam = 0) override;
  bool SetTimer(uint32_t id, uint32_t ms) override;
  void KillTimer(uint32_t id) override;
  bool IsTimerRunning(uint32_t id) override;

  // The window procedure's body, called by the registered procedure for the
  // window this hub created (`window` an HWND, the rest as Win32 passes them).
  intptr_t HandleWindowMessage(void* window, unsigned message, uintptr_t wParam, intptr_t lParam);

 private:
  void OnWindowTimer(uintptr_t windowTimer);
  // Runs the message loop for `ms` milliseconds.
  void ServeMessagesFor(uint64_t ms);
  intptr_t AnswerStatus(void* window, uintptr_t replyWindow);
  void ReplyThread();
  int32_t Dispatch(uint32_t message, uint32_t wParam, const CopyData* copy);

  void* instance_;
  void* window_ = nullptr;
  MessageHandler* handler_ = nullptr;
  std::recursive_mutex* dispatchLock_ = nullptr;
  std::function<bool()> onCreate_;
  std::function<std::vector<uint8_t>()> statusSource_;
  // Inside CreateControlWindow; until this window's own WM_CREATE.
  bool inCreation_ = false;
  bool creating_ = false;
  // Inside the open that WM_CREATE runs.
  bool starting_ = false;
  // The link's own destroy request has been posted (ReleaseLink).
  std::atomic<bool> destroyPosted_{false};
  bool closeDuringStart_ = false;

  // The status answers on their way: at most one per asking window, and a
  // bounded number in all; the reply thread sends them one after another.
  struct Reply {
    void* window;
    std::vector<uint8_t> bytes;
  };
  std::mutex replyMutex_;
  std::condition_variable replyReady_;
  std::deque<Reply> replies_;
  std::set<void*> replying_;
  bool replyStop_ = false;
  std::thread replyThread_;

  // Every start of a link timer gets a window timer of its own, numbered
  // anew: the number is the start's generation. An expiry whose window timer
  // is no longer the link timer's current one belongs to a start that was
  // stopped or replaced, and is dropped.
  std::mutex mutex_;
  std::map<uint32_t, uintptr_t> running_;     // link timer -> window timer
  std::map<uintptr_t, uint32_t> windowTimers_;  // window timer -> link timer
  uintptr_t nextWindowTimer_ = 0x10000;
};

}  // namespace kavro::platform
