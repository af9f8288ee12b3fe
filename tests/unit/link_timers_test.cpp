#include "link/link_timers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "support/link_fixture.h"

namespace kavro::testing {
namespace {

// ---------------------------------------------------------- service request

using ServiceRequest = LinkFixture;

TEST_F(ServiceRequest, ThreeRequestsHalfASecondApartThenLinkFailedAndRelease) {
  StartServiceRequest();
  EXPECT_EQ(TakeSentText(), Strings{"RAW 1B43"});
  hub.Advance(500);
  EXPECT_EQ(TakeSentText(), Strings{"RAW 1B43"});
  EXPECT_EQ(Retries(), 2);
  hub.Advance(500);
  EXPECT_EQ(TakeSentText(), Strings{"RAW 1B43"});
  EXPECT_EQ(TimeLeft(TimerServiceRequest), 500);
  EXPECT_TRUE(delivery.events.empty());
  hub.Advance(500);  // the third expiry, 1.5 s after the first request
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(delivery.events, std::vector<uint32_t>{LINK_EVENT_FAILED});
  EXPECT_EQ(State(), LINK_RELEASED);
  EXPECT_EQ(DestroyRequests(), 1u);
  EXPECT_FALSE(Running(TimerServiceRequest));
  EXPECT_EQ(backend.Count("RequestService (0x1)"), 3u);
  EXPECT_EQ(backend.Count("Request Service"), 2u);
  EXPECT_EQ(backend.Count("KAVRO State changed 0 -> 1"), 1u);
  EXPECT_EQ(backend.Count("KAVRO State changed 1 -> 7"), 1u);
  // Nothing further: no timer runs.
  hub.Advance(5000);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(delivery.events.size(), 1u);
}

TEST_F(ServiceRequest, RepeatThatCannotBeTimedEndsWithoutTheStateLog) {
  StartServiceRequest();
  TakeSent();
  hub.FailTimer(TimerServiceRequest, true);
  hub.Advance(500);
  EXPECT_EQ(TakeSentText(), Strings{"RAW 1B43"});
  EXPECT_FALSE(Running(TimerServiceRequest));
  EXPECT_EQ(backend.Count("KAVRO State changed 0 -> 1"), 0u);
  EXPECT_EQ(State(), LINK_AWAIT_SERVICE);
  hub.Advance(5000);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_TRUE(delivery.events.empty());
}

TEST_F(ServiceRequest, AnsweredOrRepeatedByTheClientTheExpiryDoesNothing) {
  // A client's repeat command sends once and enters set-up.
  timers.RequestService(1);
  control.Block.RetryCount = 1;
  SetState(LINK_SETUP);
  hub.SetTimer(TimerServiceRequest, SERVICE_REQUEST_MS);
  hub.Advance(500);
  EXPECT_EQ(TakeSentText(), Strings{"RAW 1B43"});
  EXPECT_EQ(Retries(), 1);
  EXPECT_EQ(State(), LINK_SETUP);
  EXPECT_TRUE(delivery.events.empty());
  // Only kind 1 sends anything; every kind answers 1.
  EXPECT_EQ(timers.RequestService(2), 1);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_TRUE(backend.Contains("RequestService (0x2)"));
}

// ------------------------------------------------------------ T200 and T203

using RetransmissionTimer = LinkFixture;

TEST_F(RetransmissionTimer, OutstandingFrameIsResentThreeTimesThenTheLinkIsSetUpAgain) {
  Establish();
  ReceiveI(0, 0, {0x01});
  ASSERT_EQ(Send({0xE0}), 1);
  ASSERT_EQ(Send({0xE1}), 1);  // waits behind it
  TakeSent();
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(hub.FireNext());
    EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr1 E0"}) << i;
    EXPECT_EQ(State(), LINK_TIMER_RECOVERY);
    EXPECT_EQ(Retries(), i);
    EXPECT_EQ(TimeLeft(T200), 1000);
    EXPECT_FALSE(Running(T203));
  }
  const uint64_t entry = hub.NowMs() + 1000;
  ASSERT_TRUE(hub.FireNext());
  EXPECT_EQ(TakeSentText(), Strings{"START"});
  EXPECT_EQ(State(), LINK_SETUP);
  EXPECT_EQ(Retries(), 0);
  EXPECT_EQ(TimeLeft(T200), 1000);
  EXPECT_EQ(QueueLast(), 0);  // the waiting payload survives into the new set-up

  ExpectSetupGivesUp(entry);
  EXPECT_EQ(DestroyRequests(), 1u);
}

TEST_F(RetransmissionTimer, WithNothingOutstandingItPollsAndTheAnswerRestoresTheLink) {
  Establish();
  ReceiveI(0, 0, {0x01});
  ReceiveI(1, 0, {0x02});
  TakeSent();
  hub.SetTimer(T200, 1000);
  machine.Vars.AckPending = 1;
  control.Block.RetryCount = 0;  // set-up left its own count behind
  hub.FireNext();
  EXPECT_EQ(TakeSentText(), Strings{"RR-PF d1 nr2"});
  EXPECT_EQ(State(), LINK_TIMER_RECOVERY);
  EXPECT_EQ(Retries(), 1);
  EXPECT_EQ(machine.Vars.AckPending, 0);
  EXPECT_EQ(TimeLeft(T200), 1000);
  ReceiveS(FRAME_RR | FRAME_PF, 0);
  EXPECT_EQ(State(), LINK_ESTABLISHED);
  EXPECT_FALSE(Running(T200));
  EXPECT_EQ(TimeLeft(T203), 10000);
}

TEST_F(RetransmissionTimer, IdleLinkIsPolledAfterTenSeconds) {
  Establish();
  ReceiveI(0, 0, {0x01});
  TakeSent();
  control.Block.RetryCount = 2;
  EXPECT_EQ(TimeLeft(T203), 10000);
  hub.Advance(9999);
  EXPECT_TRUE(TakeSentText().empty());
  hub.Advance(1);
  EXPECT_EQ(TakeSentText(), Strings{"RR-PF d1 nr1"});
  EXPECT_EQ(State(), LINK_TIMER_RECOVERY);
  EXPECT_EQ(Retries(), 0);
  EXPECT_EQ(TimeLeft(T200), 1000);
  EXPECT_FALSE(Running(T203));
  EXPECT_TRUE(backend.Contains("KAVRO State changed 3 -> 4"));
}

TEST_F(RetransmissionTimer, IdleTimerInSetUpRepeatsStartThenOnlyEmptiesTheQueue) {
  SetState(LINK_SETUP);
  Send({0x01});
  control.Block.RetryCount = 2;
  hub.SetTimer(T203, 10);
  hub.Advance(10);
  EXPECT_EQ(TakeSentText(), Strings{"START"});
  EXPECT_EQ(Retries(), 3);
  EXPECT_EQ(TimeLeft(T200), 1000);
  hub.KillTimer(T200);
  hub.SetTimer(T203, 10);
  hub.Advance(10);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(QueueLast(), -1);
  EXPECT_EQ(State(), LINK_SETUP);
  EXPECT_FALSE(Running(T200));

  // In the other states the idle timer does nothing.
  for (uint16_t state : {LINK_TIMER_RECOVERY, LINK_DISCONNECTING, LINK_AWAIT_SERVICE, LINK_RELEASED}) {
    SetState(state);
    timers.OnLinkTimer(T203);
    EXPECT_EQ(State(), state);
    EXPECT_TRUE(TakeSentText().empty());
  }
}

TEST_F(RetransmissionTimer, ExpiryOfAnUnknownIdChangesNothing) {
  Establish();
  Send({0x01});
  Send({0x02});
  TakeSent();
  hub.SetTimer(0x1234, 100);
  hub.Advance(100);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(State(), LINK_ESTABLISHED);
  EXPECT_EQ(QueueLast(), 0);
  EXPECT_EQ(TimeLeft(T200), 900);
  EXPECT_FALSE(Running(T203));
  EXPECT_EQ(Retries(), 0);
  EXPECT_EQ(DestroyRequests(), 0u);
  // T200 in a state without retransmission does nothing either.
  SetState(LINK_AWAIT_SERVICE);
  timers.OnLinkTimer(T200);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(State(), LINK_AWAIT_SERVICE);
}

// ------------------------------------------------------ local disconnect

using LocalDisconnect = LinkFixture;

TEST_F(LocalDisconnect, DiscIsSentAtOnceAndThreeTimesMoreThenTheLinkIsReleased) {
  for (uint16_t state : {LINK_ESTABLISHED, LINK_TIMER_RECOVERY, LINK_SETUP}) {
    SCOPED_TRACE(state);
    Establish();
    Send({0x01});
    Send({0x02});
    TakeSent();
    hub.SetTimer(T203, 10000);
    SetState(state);
    control.Block.RetryCount = 2;
    const uint64_t start = hub.NowMs();
    const size_t destroys = DestroyRequests();
    timers.DisconnectRequest();
    EXPECT_EQ(TakeSentText(), Strings{"DISC"});
    EXPECT_EQ(State(), LINK_DISCONNECTING);
    EXPECT_EQ(QueueLast(), -1);
    EXPECT_EQ(machine.Vars.SavedData, nullptr);
    EXPECT_EQ(Retries(), 0);
    EXPECT_EQ(TimeLeft(T200), 1000);
    // Payloads are refused from now on: none of them could go out.
    EXPECT_EQ(Send({0x03}), 0);
    EXPECT_EQ(QueueLast(), -1);
    uint64_t step = 1000;
    for (int i = 1; i <= 3; ++i) {
      hub.Advance(step);
      step = 1000;
      EXPECT_EQ(TakeSentText(), Strings{"DISC"}) << i;
      EXPECT_EQ(Retries(), i);
      if (i == 1) {
        // A peer answering with a bad N(R) does not cancel the sequence.
        hub.Advance(300);
        ReceiveI(0, 5, {0x09});
        ReceiveS(FRAME_RR | FRAME_PF, 6);
        EXPECT_TRUE(TakeSentText().empty());
        EXPECT_EQ(State(), LINK_DISCONNECTING);
        EXPECT_EQ(Retries(), 1);
        EXPECT_EQ(TimeLeft(T200), 700);
        step = 700;
      }
    }
    EXPECT_EQ(DestroyRequests(), destroys);
    hub.Advance(1000);
    EXPECT_EQ(hub.NowMs() - start, 4000u);
    EXPECT_TRUE(TakeSentText().empty());
    EXPECT_EQ(State(), LINK_RELEASED);
    EXPECT_EQ(DestroyRequests(), destroys + 1);
    EXPECT_EQ(Send({0x04}), 0);
    EXPECT_EQ(QueueLast(), -1);
    EXPECT_TRUE(TakeSentText().empty());
    hub.KillTimer(T203);
  }
}

TEST_F(LocalDisconnect, WhileAwaitingServiceTheLinkIsReleasedAtOnce) {
  StartServiceRequest();
  TakeSent();
  timers.DisconnectRequest();
  EXPECT_FALSE(Running(TimerServiceRequest));
  EXPECT_EQ(State(), LINK_RELEASED);
  EXPECT_EQ(DestroyRequests(), 1u);
  EXPECT_TRUE(TakeSentText().empty());
  hub.Advance(2000);
  EXPECT_TRUE(delivery.events.empty());  // no "link failed" after the close
}

TEST_F(LocalDisconnect, AlreadyEndingTheRequestDoesNothing) {
  for (uint16_t state : {LINK_DISCONNECTING, LINK_RELEASED, LINK_IDLE}) {
    SetState(state);
    hub.SetTimer(T200, 700);
    timers.DisconnectRequest();
    EXPECT_EQ(State(), state);
    EXPECT_TRUE(TakeSentText().empty());
    EXPECT_EQ(TimeLeft(T200), 700);
    EXPECT_EQ(DestroyRequests(), 0u);
  }
}

TEST_F(LocalDisconnect, TcpLinkClosesTheSocketAndReleases) {
  connection.kind = FakeConnection::Kind::Tcp;
  SetState(LINK_ESTABLISHED);
  timers.DisconnectRequest();
  EXPECT_EQ(connection.closeSocketCalls, 1);
  EXPECT_EQ(State(), LINK_RELEASED);
  EXPECT_EQ(DestroyRequests(), 1u);
  EXPECT_TRUE(TakeSentText().empty());
}

// --------------------------------------------------------------- keepalive

using Keepalive = LinkFixture;

TEST_F(Keepalive, ExpiryEndsAnEstablishedTcpLinkAndOnlyLogsOtherwise) {
  connection.kind = FakeConnection::Kind::Tcp;
  for (uint16_t state : {LINK_AWAIT_SERVICE, LINK_SETUP, LINK_DISCONNECTING, LINK_RELEASED}) {
    SetState(state);
    hub.SetTimer(TimerKeepalive, KEEPALIVE_MS);
    hub.Advance(KEEPALIVE_MS);
    EXPECT_EQ(State(), state);
    EXPECT_EQ(connection.closeSocketCalls, 0);
  }
  EXPECT_EQ(backend.Count("Keepalive Timed out!"), 4u);
  EXPECT_EQ(DestroyRequests(), 0u);

  SetState(LINK_ESTABLISHED);
  hub.SetTimer(TimerKeepalive, KEEPALIVE_MS);
  hub.Advance(KEEPALIVE_MS - 1);
  EXPECT_EQ(connection.closeSocketCalls, 0);
  hub.Advance(1);
  EXPECT_EQ(connection.closeSocketCalls, 1);
  EXPECT_EQ(State(), LINK_RELEASED);
  EXPECT_EQ(DestroyRequests(), 1u);
  EXPECT_EQ(backend.Count("Keepalive Timed out!"), 5u);
  EXPECT_TRUE(TakeSentText().empty());
  // The keepalive is restarted by the TCP traffic with the shared restart.
  timers.RestartTimer(TimerKeepalive, KEEPALIVE_MS);
  EXPECT_EQ(TimeLeft(TimerKeepalive), KEEPALIVE_MS);
}

// --------------------------------------------------------------- send queue

using SendQueueing = LinkFixture;

TEST_F(SendQueueing, PayloadTooLongForAFrameIsRefusedUpFront) {
  Establish();
  std::vector<uint8_t> longest(MAX_I_PAYLOAD, 0x5A);
  std::vector<uint8_t> tooLong(MAX_I_PAYLOAD + 1, 0x5A);
  EXPECT_EQ(Send(tooLong), 0);
  EXPECT_TRUE(TakeSent().empty());
  EXPECT_FALSE(Running(T200));
  EXPECT_EQ(machine.Vars.SendSeq, 0);
  EXPECT_EQ(Send(longest), 1);
  auto sent = TakeSent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].raw.size(), 2048u);
  EXPECT_EQ(sent[0].payload, longest);
  // Queued behind the outstanding frame, the same limit holds.
  EXPECT_EQ(Send(tooLong), 0);
  EXPECT_EQ(QueueLast(), -1);
  EXPECT_EQ(Send(longest), 1);
  EXPECT_EQ(QueueLast(), 0);
}

TEST_F(SendQueueing, EmptyPayloadWithoutABlockIsStillSent) {
  Establish();
  // Counted as sent and V(S) moves on: the frame must really go out.
  ASSERT_EQ(queue.EnqueuePayload(0x20, 0, nullptr), 1);
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr0 "});
}

void* NoMemory(size_t) { return nullptr; }

TEST_F(SendQueueing, WithoutMemoryForTheCopyNothingIsSentOrQueued) {
  Establish();
  queue.Allocate = NoMemory;
  // Sending at once needs the retransmission copy: refused, nothing on the line.
  EXPECT_EQ(Send({0x01}), 0);
  EXPECT_TRUE(TakeSent().empty());
  EXPECT_EQ(machine.Vars.SendSeq, 0);
  EXPECT_FALSE(Running(T200));
  EXPECT_EQ(TimeLeft(T203), 10000);
  queue.Allocate = std::malloc;
  ASSERT_EQ(Send({0x02}), 1);
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr0 02"});

  // Queueing needs the queue's own copy: refused, queue unchanged.
  ASSERT_EQ(Send({0x03}), 1);
  queue.Allocate = NoMemory;
  EXPECT_EQ(Send({0x04}), 0);
  EXPECT_EQ(QueueLast(), 0);
  // Leaving the queue needs no memory: the queue's copy becomes the
  // retransmission copy, so the waiting payload still goes out and can be resent.
  ReceiveS(FRAME_RR, 1);
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns1 nr0 03"});
  hub.FireNext();
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns1 nr0 03"});
  queue.Allocate = std::malloc;
}

// ------------------------------------------------------------------ threads

using Threads = LinkFixture;

// The receive thread runs ProcessFrame while the main thread enqueues: every
// payload goes out exactly once and in order, whichever thread sends it.
TEST_F(Threads, ReceiveThreadAndMainThreadShareTheQueueSafely) {
  // Set up without a timer delivery: the virtual hub holds its own mutex
  // while it delivers, which is not the order the receive thread takes them.
  SetState(LINK_SETUP);
  ReceiveU(FRAME_UA);
  ASSERT_EQ(State(), LINK_ESTABLISHED);
  constexpr int kPayloads = 300;
  std::atomic<bool> stop{false};
  std::thread peer([&] {
    // The peer acknowledges whatever has been sent so far, with an I-frame
    // now and then so that deliveries and acknowledgements mix.
    uint8_t ns = 0;
    int n = 0;
    while (!stop.load()) {
      uint8_t nr;
      {
        std::lock_guard lock(control.LinkLock);
        nr = static_cast<uint8_t>(machine.Vars.SendSeq);
      }
      if (++n % 5 == 0) {
        ReceiveI(ns, nr, {static_cast<uint8_t>(n)});
        ns = (ns + 1) & 7;
      } else {
        ReceiveS(FRAME_RR, nr);
      }
      std::this_thread::yield();
    }
  });

  for (int i = 0; i < kPayloads;) {
    const uint8_t bytes[2] = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
    if (queue.EnqueuePayload(0x20, 2, bytes)) {
      ++i;
    } else {
      std::this_thread::yield();  // queue full: wait for the peer to drain it
    }
    machine.LogStateChange();
  }

  auto countSent = [&] {
    std::lock_guard lock(connection.mutex);
    int n = 0;
    for (const auto& block : connection.sent) n += block.size() == 12;
    return n;
  };
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (countSent() < kPayloads && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  stop.store(true);
  peer.join();

  std::vector<int> order;
  for (const SentFrame& f : TakeSent()) {
    if (f.kind == SentFrame::Kind::I) order.push_back(f.payload[0] << 8 | f.payload[1]);
  }
  ASSERT_EQ(order.size(), static_cast<size_t>(kPayloads));
  for (int i = 0; i < kPayloads; ++i) ASSERT_EQ(order[i], i);
  EXPECT_EQ(State(), LINK_ESTABLISHED);
  EXPECT_EQ(QueueLast(), -1);
  EXPECT_FALSE(delivery.payloads.empty());
}

}  // namespace
}  // namespace kavro::testing
