#include "platform/virtual/virtual_event_hub.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace kavro::platform {
namespace {

// Records every message with the virtual time it arrived at, and kills each
// timer on delivery as the control window does.
class Recorder : public MessageHandler {
 public:
  explicit Recorder(VirtualEventHub& hub) : hub_(hub) {}
  struct Seen {
    uint32_t message;
    uint32_t wParam;
    uint64_t at;
  };
  int32_t KavroWnd(uint32_t message, uint32_t wParam, const CopyData*) override {
    if (message == WM_TIMER) hub_.KillTimer(wParam);
    seen.push_back({message, wParam, hub_.NowMs()});
    if (then) then(message, wParam);
    return 0;
  }
  std::vector<Seen> seen;
  std::function<void(uint32_t, uint32_t)> then;

 private:
  VirtualEventHub& hub_;
};

class VirtualEventHubTest : public ::testing::Test {
 protected:
  void SetUp() override { hub.SetHandler(&rec); }
  VirtualEventHub hub;
  Recorder rec{hub};
};

TEST_F(VirtualEventHubTest, TimersExpireInDueOrderEachAtItsOwnTime) {
  ASSERT_TRUE(hub.SetTimer(0x1203, 10000));
  ASSERT_TRUE(hub.SetTimer(0x1200, 1000));
  ASSERT_TRUE(hub.SetTimer(0x1001, 500));
  // Two due at the same moment go in the order they were started.
  ASSERT_TRUE(hub.SetTimer(0x1210, 1000));
  hub.Advance(20000);
  ASSERT_EQ(rec.seen.size(), 4u);
  EXPECT_EQ(rec.seen[0].wParam, 0x1001u);
  EXPECT_EQ(rec.seen[0].at, 500u);
  EXPECT_EQ(rec.seen[1].wParam, 0x1200u);
  EXPECT_EQ(rec.seen[2].wParam, 0x1210u);
  EXPECT_EQ(rec.seen[2].at, 1000u);
  EXPECT_EQ(rec.seen[3].wParam, 0x1203u);
  EXPECT_EQ(rec.seen[3].at, 10000u);
  for (auto& s : rec.seen) EXPECT_EQ(s.message, WM_TIMER);
  EXPECT_EQ(hub.NowMs(), 20000u);
  EXPECT_FALSE(hub.IsTimerRunning(0x1203));
}

TEST_F(VirtualEventHubTest, KilledTimerNeverFiresAndRestartCountsFromTheRestart) {
  hub.SetTimer(0x1200, 1000);
  hub.SetTimer(0x1001, 500);
  hub.Advance(400);
  hub.KillTimer(0x1001);
  EXPECT_FALSE(hub.IsTimerRunning(0x1001));
  EXPECT_EQ(hub.TimeLeft(0x1001), -1);
  // Restarted 600 ms in: due at 1600, not at 1000, and only once.
  hub.Advance(200);
  hub.SetTimer(0x1200, 1000);
  EXPECT_EQ(hub.TimeLeft(0x1200), 1000);
  hub.Advance(5000);
  ASSERT_EQ(rec.seen.size(), 1u);
  EXPECT_EQ(rec.seen[0].wParam, 0x1200u);
  EXPECT_EQ(rec.seen[0].at, 1600u);
}

TEST_F(VirtualEventHubTest, AdvanceDeliversTimersAndPostsMadeByHandlers) {
  // T200 expiry restarts itself twice, then posts the destroy request: all
  // of it falls inside one Advance, at the right times, in order.
  int expiries = 0;
  rec.then = [&](uint32_t message, uint32_t id) {
    if (message != WM_TIMER) return;
    if (++expiries < 3) {
      hub.SetTimer(id, 1000);
    } else {
      hub.PostMessage(WM_DESTROY);
    }
  };
  hub.SetTimer(0x1200, 1000);
  hub.Advance(3500);
  ASSERT_EQ(rec.seen.size(), 4u);
  EXPECT_EQ(rec.seen[0].at, 1000u);
  EXPECT_EQ(rec.seen[1].at, 2000u);
  EXPECT_EQ(rec.seen[2].at, 3000u);
  EXPECT_EQ(rec.seen[3].message, WM_DESTROY);
  EXPECT_EQ(rec.seen[3].at, 3000u);
  EXPECT_TRUE(hub.Queued().empty());
}

TEST_F(VirtualEventHubTest, TimerLeftRunningByItsHandlerStillFiresOnce) {
  // A handler that does not stop the timer must not see it again.
  VirtualEventHub quiet;
  struct Counter : MessageHandler {
    int n = 0;
    int32_t KavroWnd(uint32_t, uint32_t, const CopyData*) override { return ++n; }
  } counter;
  quiet.SetHandler(&counter);
  quiet.SetTimer(0x1203, 10);
  quiet.Advance(100);
  quiet.RunPending();
  EXPECT_EQ(counter.n, 1);
  EXPECT_FALSE(quiet.FireNext());
}

TEST_F(VirtualEventHubTest, SleepInAHandlerNeverWindsTheClockBack) {
  // The link layer sleeps 100 ms under the link lock after DISC; the clock
  // carries on from there and does not jump back to the end of Advance.
  rec.then = [&](uint32_t message, uint32_t id) {
    if (message == WM_TIMER && id == 0x1200) hub.Sleep(100);
  };
  hub.SetTimer(0x1200, 950);
  hub.SetTimer(0x1203, 1020);
  hub.Advance(1000);
  EXPECT_EQ(hub.NowMs(), 1050u);
  // The second timer fell due during the sleep and is delivered late, not lost.
  ASSERT_EQ(rec.seen.size(), 2u);
  EXPECT_EQ(rec.seen[1].wParam, 0x1203u);
  EXPECT_EQ(rec.seen[1].at, 1050u);
}

}  // namespace
}  // namespace kavro::platform
