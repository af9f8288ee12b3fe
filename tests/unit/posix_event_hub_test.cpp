#include "platform/posix/posix_event_hub.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/bounded_thread.h"
#include "platform/posix/posix_signals.h"

namespace kavro::platform {
namespace {

// A timer that ends a test that would otherwise hang; never a timing check.
constexpr uint32_t kGiveUp = 0xDEAD;
constexpr uint32_t kGiveUpMs = 10000;

struct Seen {
  uint32_t message;
  uint32_t wParam;
  std::thread::id thread;
};

class Handler : public MessageHandler {
 public:
  explicit Handler(PosixEventHub& hub) : hub_(hub) {}
  int32_t KavroWnd(uint32_t message, uint32_t wParam, const CopyData*) override {
    // As the control window does: every timer is one-shot.
    if (message == WM_TIMER && kill_on_delivery) hub_.KillTimer(wParam);
    if (message == WM_TIMER && wParam == kGiveUp) {
      gave_up = true;
      hub_.Stop();
      return 0;
    }
    seen.push_back({message, wParam, std::this_thread::get_id()});
    if (then) then(message, wParam);
    return 0;
  }
  int Count(uint32_t message, uint32_t wParam) const {
    int n = 0;
    for (auto& s : seen) n += s.message == message && s.wParam == wParam;
    return n;
  }
  std::vector<Seen> seen;
  std::function<void(uint32_t, uint32_t)> then;
  bool kill_on_delivery = true;
  bool gave_up = false;

 private:
  PosixEventHub& hub_;
};

class PosixEventHubTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(hub.Ok());
    hub.SetHandler(&handler);
  }
  // Runs the loop on this thread (the main thread of the test) with a guard
  // against hanging.
  void RunLoop() {
    hub.SetTimer(kGiveUp, kGiveUpMs);
    ASSERT_TRUE(hub.Run());
    hub.KillTimer(kGiveUp);
    EXPECT_FALSE(handler.gave_up) << "the loop never reached its end";
  }
  PosixEventHub hub;
  Handler handler{hub};
};

TEST_F(PosixEventHubTest, PostsFromAnotherThreadArriveInOrderOnTheMainThread) {
  constexpr uint32_t kCount = 2000;
  handler.then = [&](uint32_t message, uint32_t wParam) {
    if (message == WM_CLOSE && wParam == kCount - 1) hub.Stop();
  };
  std::thread poster([&] {
    for (uint32_t i = 0; i < kCount; i++) hub.PostMessage(WM_CLOSE, i);
  });
  RunLoop();
  poster.join();
  ASSERT_EQ(handler.seen.size(), kCount);
  for (uint32_t i = 0; i < kCount; i++) {
    EXPECT_EQ(handler.seen[i].wParam, i);
    EXPECT_EQ(handler.seen[i].thread, std::this_thread::get_id());
  }
}

TEST_F(PosixEventHubTest, TimersStartedOnAnyThreadExpireOnTheMainThreadOnce) {
  // One timer from the other thread while the loop sleeps, one from the main
  // thread; the handler of one leaves it running to show that a start is
  // delivered once even when nobody stops it.
  handler.kill_on_delivery = false;
  std::thread starter([&] { hub.SetTimer(0x1200, 5); });
  starter.join();
  hub.SetTimer(0x1001, 1);
  hub.SetTimer(0x1210, 150);
  handler.then = [&](uint32_t message, uint32_t id) {
    if (message == WM_TIMER && id == 0x1210) hub.Stop();
  };
  RunLoop();
  EXPECT_EQ(handler.Count(WM_TIMER, 0x1200), 1);
  EXPECT_EQ(handler.Count(WM_TIMER, 0x1001), 1);
  for (auto& s : handler.seen) EXPECT_EQ(s.thread, std::this_thread::get_id());
  EXPECT_FALSE(hub.IsTimerRunning(0x1200));
  EXPECT_FALSE(hub.IsTimerRunning(0x1001));
}

TEST_F(PosixEventHubTest, StoppedTimerNeverFires) {
  // Stopped long before it is due, from the other thread.
  hub.SetTimer(0x1203, 20);
  std::thread([&] { hub.KillTimer(0x1203); }).join();
  EXPECT_FALSE(hub.IsTimerRunning(0x1203));
  // Due while the main thread is busy, then stopped before the loop gets to
  // it: the expiry was on its way and must be dropped.
  hub.PostMessage(WM_CLOSE);
  handler.then = [&](uint32_t message, uint32_t id) {
    if (message == WM_CLOSE) {
      hub.SetTimer(0x1200, 1);
      hub.Sleep(10);
      hub.KillTimer(0x1200);
      hub.SetTimer(0x1001, 100);
    } else if (message == WM_TIMER && id == 0x1001) {
      hub.Stop();
    }
  };
  RunLoop();
  EXPECT_EQ(handler.Count(WM_TIMER, 0x1203), 0);
  EXPECT_EQ(handler.Count(WM_TIMER, 0x1200), 0);
  EXPECT_EQ(handler.Count(WM_TIMER, 0x1001), 1);
}

TEST_F(PosixEventHubTest, RestartReplacesTheRunningStart) {
  // Restarted with a long time: the first start is void, and the new one
  // counts from the restart, so it is not due when the 100 ms timer ends
  // the test. Restarted with the same short time while already due: fires once.
  hub.SetTimer(0x1203, 5);
  hub.SetTimer(0x1203, 60000);
  hub.PostMessage(WM_CLOSE);
  handler.then = [&](uint32_t message, uint32_t id) {
    if (message == WM_CLOSE) {
      hub.SetTimer(0x1200, 1);
      hub.Sleep(5);
      hub.SetTimer(0x1200, 1);
      hub.SetTimer(0x1001, 100);
    } else if (message == WM_TIMER && id == 0x1001) {
      hub.Stop();
    }
  };
  RunLoop();
  EXPECT_EQ(handler.Count(WM_TIMER, 0x1203), 0);
  EXPECT_TRUE(hub.IsTimerRunning(0x1203));
  EXPECT_EQ(handler.Count(WM_TIMER, 0x1200), 1);
}

// The other thread stops or restarts a short timer right around its expiry,
// holding the link lock as the link layer does. Once that call has returned,
// the start it replaced must never reach the handler; and no start is handled
// twice.
void Spin(int microseconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(microseconds);
  while (std::chrono::steady_clock::now() < until) {}
}

TEST_F(PosixEventHubTest, StopOrRestartRacingTheExpiryNeverLetsTheOldStartThrough) {
  std::recursive_mutex link_lock;
  hub.SetTimerDispatchLock(&link_lock);
  constexpr int kRounds = 300;
  constexpr uint32_t kId = 0x1200;
  std::atomic<int> round{-1};
  std::atomic<bool> cancelled{false};
  std::map<int, int> fired;  // round -> expiries handled
  int late = 0;
  // The handler leaves the timer alone here: a KillTimer of its own would
  // hide a second delivery of the same start.
  handler.kill_on_delivery = false;
  handler.then = [&](uint32_t message, uint32_t id) {
    if (message == WM_DESTROY) hub.Stop();
    if (message != WM_TIMER || id != kId) return;
    std::lock_guard lock(link_lock);
    if (cancelled) late++;
    fired[round]++;
  };
  std::thread racer([&] {
    for (int i = 0; i < kRounds; i++) {
      {
        std::lock_guard lock(link_lock);
        round = i;
        cancelled = false;
        hub.SetTimer(kId, 1);
      }
      // Spread the stop around the expiry: sometimes well before, sometimes
      // after it was handled, and often while the lock has been held across
      // the expiry (a frame being processed), so that the loop has picked
      // the expiry and waits for the lock when the stop comes.
      Spin((i * 37) % 1000);
      std::lock_guard lock(link_lock);
      Spin((i * 53) % 1500);
      if (i % 2) {
        hub.KillTimer(kId);
      } else {
        hub.SetTimer(kId, 60000);
      }
      cancelled = true;
    }
    std::lock_guard lock(link_lock);
    hub.KillTimer(kId);
    hub.PostMessage(WM_DESTROY);
  });
  RunLoop();
  racer.join();
  EXPECT_EQ(late, 0);
  for (auto& [r, n] : fired) EXPECT_EQ(n, 1) << "round " << r;
}

TEST_F(PosixEventHubTest, ReadersAreServedOnTheMainThreadAndMayRemoveThemselves) {
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<char> got;
  std::thread::id served_on;
  ASSERT_TRUE(hub.AddReader(fds[0], [&] {
    char c;
    ASSERT_EQ(read(fds[0], &c, 1), 1);
    got.push_back(c);
    served_on = std::this_thread::get_id();
    if (c == 'z') {
      hub.RemoveReader(fds[0]);
      hub.PostMessage(WM_CLOSE);
    }
  }));
  handler.then = [&](uint32_t message, uint32_t) {
    if (message == WM_CLOSE) hub.Stop();
  };
  std::thread writer([&] {
    for (char c : std::string("abz")) ASSERT_EQ(write(fds[1], &c, 1), 1);
    // After the removal nothing more is served from this descriptor.
    ASSERT_EQ(write(fds[1], "q", 1), 1);
  });
  RunLoop();
  writer.join();
  EXPECT_EQ(std::string(got.begin(), got.end()), "abz");
  EXPECT_EQ(served_on, std::this_thread::get_id());
  close(fds[0]);
  close(fds[1]);
}

TEST_F(PosixEventHubTest, TerminationSignalsArriveAsCallsOnTheMainThread) {
  // A thread from before the route, which left the signals open: one it
  // takes is passed on to the route, not lost with it. It waits on a
  // condition variable, where a sanitizer runs a handler at once.
  std::mutex stray_mutex;
  std::condition_variable stray_cv;
  bool stray_may_end = false;
  std::thread stray([&] {
    std::unique_lock lock(stray_mutex);
    stray_cv.wait(lock, [&] { return stray_may_end; });
  });
  SignalRoute route(hub);
  std::vector<int> signals;
  ASSERT_TRUE(route.Start([&](int signo) {
    signals.push_back(signo);
    if (signals.size() == 3) hub.Stop();
  }));
  // Only one route can own the process-wide handler.
  SignalRoute second(hub);
  EXPECT_FALSE(second.Start([](int) {}));
  // A thread that is about to end must not be the one that takes it.
  std::thread([] {
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    EXPECT_TRUE(sigismember(&mask, SIGTERM));
    kill(getpid(), SIGTERM);
  }).join();
  raise(SIGINT);
  pthread_kill(stray.native_handle(), SIGHUP);
  RunLoop();
  {
    std::lock_guard lock(stray_mutex);
    stray_may_end = true;
  }
  stray_cv.notify_all();
  stray.join();
  std::sort(signals.begin(), signals.end());
  EXPECT_EQ(signals, (std::vector<int>{SIGHUP, SIGINT, SIGTERM}));
  route.Stop();
  // The handler is free again for the next route.
  EXPECT_TRUE(second.Start([](int) {}));
  second.Stop();
}

TEST(BoundedThread, WaitEndsWithTheThreadOrLetsItGoOnTimeout) {
  BoundedThread quick;
  std::atomic<bool> ran{false};
  ASSERT_TRUE(quick.Start([&] { ran = true; }));
  EXPECT_FALSE(quick.Start([] {}));  // one thread per handle
  EXPECT_TRUE(quick.WaitFor(10000));
  EXPECT_TRUE(ran);
  EXPECT_FALSE(quick.Held());
  EXPECT_TRUE(quick.WaitFor(0));  // nothing held: nothing to wait for

  // A thread stuck in its read: the wait gives up, the handle is free, and
  // the thread, let go, still finishes on its own later.
  auto release = std::make_shared<std::promise<void>>();
  auto finished = std::make_shared<std::promise<void>>();
  std::shared_future<void> go = release->get_future().share();
  std::future<void> done = finished->get_future();
  {
    BoundedThread stuck;
    ASSERT_TRUE(stuck.Start([go, finished] {
      go.wait();
      finished->set_value();
    }));
    EXPECT_FALSE(stuck.WaitFor(20));
    EXPECT_FALSE(stuck.Held());
  }  // destroying the handle does not wait for a thread let go
  release->set_value();
  done.wait();
}

}  // namespace
}  // namespace kavro::platform
