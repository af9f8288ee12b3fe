// The hidden control window as the event hub: one-shot window timers that
// never fire once stopped or restarted (even with the expiry already taken
// from the queue), client messages sent from another thread, and the
// messages that arrive while the window is still being created.
#include "platform/win32/win32_event_hub.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include <windows.h>
#undef PostMessage

namespace kavro::platform {
namespace {

constexpr const char* TEST_CLASS = "KavroHubTestWindow";

struct Seen {
  uint32_t message;
  uint32_t wParam;
  std::string data;
  bool operator==(const Seen& o) const { return message == o.message && wParam == o.wParam && data == o.data; }
};

class Recorder : public MessageHandler {
 public:
  int32_t KavroWnd(uint32_t message, uint32_t wParam, const CopyData* copy) override {
    std::string data;
    if (copy != nullptr && copy->cbData > 0) data.assign(reinterpret_cast<const char*>(copy->lpData), copy->cbData);
    seen.push_back({message, wParam, data});
    return copy != nullptr && copy->dwData == 0x00010020 ? 1 : 0;
  }
  std::vector<Seen> seen;
};

// One round of the message loop: waits up to 10 ms for input, then
// dispatches what is queued (messages sent from other threads included).
void PumpOnce() {
  MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
}

// Runs the message loop until `done` or five seconds have passed.
void PumpUntil(const std::function<bool()>& done) {
  const uint64_t giveUp = GetTickCount64() + 5000;
  while (!done() && GetTickCount64() < giveUp) PumpOnce();
}

// Takes the next WM_TIMER from the queue without dispatching it.
MSG TakeTimerMessage() {
  MSG message{};
  const uint64_t giveUp = GetTickCount64() + 5000;
  while (!PeekMessageA(&message, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE) && GetTickCount64() < giveUp) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_TIMER);
  }
  return message;
}

class Win32EventHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hub.SetHandler(&recorder);
    hub.SetTimerDispatchLock(&linkLock);
    ASSERT_TRUE(hub.CreateControlWindow(TEST_CLASS, "hub test", [] { return true; }));
  }
  std::vector<uint32_t> Timers() const {
    std::vector<uint32_t> ids;
    for (const Seen& s : recorder.seen) {
      if (s.message == WM_TIMER) ids.push_back(s.wParam);
    }
    return ids;
  }

  Recorder recorder;
  std::recursive_mutex linkLock;
  Win32EventHub hub{GetModuleHandleA(nullptr)};
};

TEST_F(Win32EventHubTest, TimersFireOnceAndAStoppedOrRestartedStartNeverFires) {
  ASSERT_TRUE(hub.SetTimer(0x1200, 10));
  ASSERT_TRUE(hub.SetTimer(0x1203, 40));
  ASSERT_TRUE(hub.SetTimer(0x1001, 20));
  hub.KillTimer(0x1001);
  PumpUntil([&] { return Timers().size() >= 2; });
  // Long enough for a repeating window timer to have fired again.
  const uint64_t until = GetTickCount64() + 80;
  while (GetTickCount64() < until) PumpOnce();
  EXPECT_EQ(Timers(), (std::vector<uint32_t>{0x1200, 0x1203}));
  EXPECT_FALSE(hub.IsTimerRunning(0x1200));

  // The expiry is already out of the queue when the other thread stops the
  // timer under the link lock: it must not reach the window procedure.
  recorder.seen.clear();
  ASSERT_TRUE(hub.SetTimer(0x1210, 10));
  MSG expiry = TakeTimerMessage();
  ASSERT_EQ(expiry.message, static_cast<UINT>(WM_TIMER));
  std::async(std::launch::async, [&] {
    std::lock_guard<std::recursive_mutex> lock(linkLock);
    hub.KillTimer(0x1210);
  }).get();
  DispatchMessageA(&expiry);
  EXPECT_TRUE(recorder.seen.empty());

  // Restarted instead of stopped: the old expiry is void, the new start
  // still runs and fires later.
  ASSERT_TRUE(hub.SetTimer(0x1210, 10));
  expiry = TakeTimerMessage();
  ASSERT_TRUE(hub.SetTimer(0x1210, 60));
  DispatchMessageA(&expiry);
  EXPECT_TRUE(recorder.seen.empty());
  EXPECT_TRUE(hub.IsTimerRunning(0x1210));
  PumpUntil([&] { return !Timers().empty(); });
  EXPECT_EQ(Timers(), (std::vector<uint32_t>{0x1210}));
}

TEST_F(Win32EventHubTest, ClientsFindTheWindowAndGetTheProceduresAnswers) {
  // From another thread, as another process would: find the window by its
  // class, send data and the close request, and post the destroy request.
  auto client = std::async(std::launch::async, [this] {
    HWND window = FindWindowA(TEST_CLASS, nullptr);
    const char bytes[] = "ABC";
    COPYDATASTRUCT copy{0x00010020, 3, const_cast<char*>(bytes)};
    const LRESULT taken = SendMessageA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
    COPYDATASTRUCT other{0x00020000, 0, nullptr};
    const LRESULT refused = SendMessageA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&other));
    const LRESULT closed = SendMessageA(window, WM_CLOSE, 0, 0);
    hub.PostMessage(WM_DESTROY);
    return std::vector<LRESULT>{taken, refused, closed};
  });
  while (client.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) PumpOnce();
  EXPECT_EQ(client.get(), (std::vector<LRESULT>{1, 0, 0}));
  PumpUntil([&] { return recorder.seen.size() >= 4; });
  EXPECT_EQ(recorder.seen, (std::vector<Seen>{{WM_COPYDATA, 0, "ABC"},
                                              {WM_COPYDATA, 0, ""},
                                              {WM_CLOSE, 0, ""},
                                              {WM_DESTROY, 0, ""}}));
  // The close request does not destroy the window.
  EXPECT_TRUE(IsWindow(static_cast<HWND>(hub.Window())));
}

TEST(Win32EventHubStart, MessagesSentDuringTheStartAreServedAndTheCloseKept) {
  Recorder recorder;
  Win32EventHub hub(GetModuleHandleA(nullptr));
  hub.SetHandler(&recorder);
  std::future<std::vector<LRESULT>> client;
  // The open waits (as a connect does) and serves what is sent meanwhile:
  // data is refused, the close is kept for after the start.
  ASSERT_TRUE(hub.CreateControlWindow("KavroHubStartWindow", "start test", [&] {
    HWND window = static_cast<HWND>(hub.Window());
    client = std::async(std::launch::async, [window] {
      COPYDATASTRUCT copy{0x00010020, 1, const_cast<char*>("A")};
      const LRESULT data = SendMessageA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
      const LRESULT close = SendMessageA(window, WM_CLOSE, 0, 0);
      return std::vector<LRESULT>{data, close};
    });
    const uint64_t giveUp = GetTickCount64() + 5000;
    while (!hub.ServeSentMessagesDuringStart() && GetTickCount64() < giveUp) Sleep(5);
    return true;
  }));
  EXPECT_EQ(client.get(), (std::vector<LRESULT>{0, 0}));
  EXPECT_TRUE(recorder.seen.empty());
  PumpUntil([&] { return !recorder.seen.empty(); });
  EXPECT_EQ(recorder.seen, (std::vector<Seen>{{WM_CLOSE, 0, ""}}));

  // An open that fails makes the creation fail.
  Win32EventHub failing(GetModuleHandleA(nullptr));
  failing.SetHandler(&recorder);
  EXPECT_FALSE(failing.CreateControlWindow("KavroHubStartWindow", "start test", [] { return false; }));
  EXPECT_EQ(failing.Window(), nullptr);
}

}  // namespace
}  // namespace kavro::platform
