#include "link/link_state_machine.h"

#include <gtest/gtest.h>

#include <thread>

#include "support/link_fixture.h"

namespace kavro::testing {
namespace {

// ---------------------------------------------------------------- set-up

using LinkSetUp = LinkFixture;

TEST_F(LinkSetUp, StartIsRepeatedThreeTimesAndTheFourthExpiryReleases) {
  // After the handshake: LINK_SETUP, RetryCount 0, T200 at 200 ms, no START yet.
  SetState(LINK_SETUP);
  hub.SetTimer(T200, 200);
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(hub.FireNext());
    EXPECT_EQ(TakeSentText(), Strings{"START"}) << "expiry " << i;
    EXPECT_EQ(Retries(), i);
    EXPECT_EQ(TimeLeft(T200), 1000);
    EXPECT_EQ(State(), LINK_SETUP);
  }
  EXPECT_EQ(hub.NowMs(), 2200u);
  ASSERT_TRUE(hub.FireNext());
  hub.RunPending();
  EXPECT_EQ(hub.NowMs(), 3200u);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(State(), LINK_RELEASED);
  EXPECT_EQ(DestroyRequests(), 1u);
  EXPECT_TRUE(backend.Contains("CTI Link Released"));
  EXPECT_FALSE(Running(T200));
  // The release path leaves out the state-change log.
  EXPECT_EQ(backend.Count("KAVRO State changed 2 -> 7"), 0u);
  EXPECT_TRUE(delivery.events.empty());
}

TEST_F(LinkSetUp, UaEstablishesTheLinkAndTellsTheLibrary) {
  SetState(LINK_SETUP);
  hub.SetTimer(T200, 50);
  hub.FireNext();
  machine.Vars.SendSeq = 5;
  machine.Vars.RecvSeq = 3;
  machine.Vars.AckSeq = 4;
  machine.Vars.PeerBusy = 1;
  ReceiveU(FRAME_UA);
  EXPECT_EQ(State(), LINK_ESTABLISHED);
  EXPECT_EQ(delivery.events, std::vector<uint32_t>{LINK_EVENT_ESTABLISHED});
  EXPECT_FALSE(Running(T200));
  EXPECT_EQ(TimeLeft(T203), 10000);
  EXPECT_EQ(machine.Vars.SendSeq, 0);
  EXPECT_EQ(machine.Vars.RecvSeq, 0);
  EXPECT_EQ(machine.Vars.AckSeq, 0);
  EXPECT_EQ(machine.Vars.PeerBusy, 0);
  EXPECT_EQ(TakeSentText(), Strings{"START"});
}

TEST_F(LinkSetUp, StartFromThePeerIsAnsweredWithUaAndNoEvent) {
  SetState(LINK_SETUP);
  hub.SetTimer(T200, 1000);
  ReceiveU(FRAME_START);
  EXPECT_EQ(TakeSentText(), Strings{"UA"});
  EXPECT_EQ(State(), LINK_ESTABLISHED);
  EXPECT_TRUE(delivery.events.empty());
  EXPECT_FALSE(Running(T200));
  EXPECT_EQ(TimeLeft(T203), 10000);

  // While disconnecting a START gets DM and changes nothing.
  SetState(LINK_DISCONNECTING);
  ReceiveU(FRAME_START);
  EXPECT_EQ(TakeSentText(), Strings{"DM"});
  EXPECT_EQ(State(), LINK_DISCONNECTING);
}

TEST_F(LinkSetUp, StartInInformationTransferResetsSequenceButKeepsQueueAndFlags) {
  Establish();
  ASSERT_EQ(Send({0x01}), 1);  // outstanding
  ASSERT_EQ(Send({0x02}), 1);  // queued
  TakeSent();
  machine.Vars.RecvSeq = 4;
  machine.Vars.RejectSent = 1;
  machine.Vars.PeerBusy = 1;
  ReceiveU(FRAME_START);
  // The queued payload goes out in the same step, in the new sequence.
  EXPECT_EQ(TakeSentText(), (Strings{"UA", "I d20 ns0 nr0 02"}));
  EXPECT_EQ(machine.Vars.RecvSeq, 0);
  EXPECT_EQ(machine.Vars.SendSeq, 1);
  EXPECT_EQ(machine.Vars.AckSeq, 0);
  EXPECT_EQ(machine.Vars.PeerBusy, 0);
  EXPECT_EQ(machine.Vars.RejectSent, 1);
  EXPECT_EQ(delivery.events, std::vector<uint32_t>{LINK_EVENT_ESTABLISHED});  // the UA's only
  EXPECT_EQ(State(), LINK_ESTABLISHED);

  // A pending acknowledgement and the retransmission copy survive the reset:
  // the RR follows the UA, and the copy is still there to send again.
  ReceiveS(FRAME_RR, 1);
  machine.Vars.AckPending = 1;
  ReceiveU(FRAME_START);
  EXPECT_EQ(TakeSentText(), (Strings{"UA", "RR d0 nr0"}));
  ASSERT_NE(machine.Vars.SavedData, nullptr);
  EXPECT_EQ(machine.Vars.SavedLength, 1u);
  EXPECT_EQ(machine.Vars.SavedData[0], 0x02);
}

TEST_F(LinkSetUp, FramesThatDoNotFitSetUpAreDroppedWhileStartRepeats) {
  SetState(LINK_SETUP);
  hub.SetTimer(T200, 50);
  hub.FireNext();
  TakeSent();
  ReceiveU(FRAME_DM);
  ReceiveS(FRAME_RR | FRAME_PF, 0, 1);  // a poll gets no answer before the link exists
  ReceiveS(FRAME_RR, 5);                // nor is its N(R) an error
  ReceiveU(0x63);                       // an unknown U code
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(State(), LINK_SETUP);
  EXPECT_EQ(TimeLeft(T200), 1000);
  hub.FireNext();
  EXPECT_EQ(TakeSentText(), Strings{"START"});

  // A UA outside set-up and disconnection changes nothing either.
  Establish();
  ReceiveU(FRAME_UA);
  EXPECT_EQ(State(), LINK_ESTABLISHED);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(delivery.events, std::vector<uint32_t>{LINK_EVENT_ESTABLISHED});
}

// ---------------------------------------------------- information transfer

using InformationTransfer = LinkFixture;

TEST_F(InformationTransfer, InSequenceFrameIsDeliveredAndAcknowledgedByOneRr) {
  Establish();
  ReceiveI(0, 0, {0x41, 0x42}, 0x07);
  ASSERT_EQ(delivery.payloads.size(), 1u);
  EXPECT_EQ(delivery.payloads[0].address, 0x07u);
  EXPECT_EQ(delivery.payloads[0].bytes, Bytes({0x41, 0x42}));
  EXPECT_EQ(TakeSentText(), Strings{"RR d0 nr1"});
  EXPECT_EQ(machine.Vars.AckPending, 0);

  // An empty payload is a payload too.
  ReceiveI(1, 0, {});
  ASSERT_EQ(delivery.payloads.size(), 2u);
  EXPECT_TRUE(delivery.payloads[1].bytes.empty());
  EXPECT_EQ(TakeSentText(), Strings{"RR d0 nr2"});
}

// A library that syncs each record before "taken": the payload is handed
// over without the link lock, and nothing acknowledges the frame (no RR, no
// N(R) in a frame sent meanwhile) until the library has taken it.
TEST_F(InformationTransfer, HandedOverOutsideTheLockTheFrameIsAcknowledgedOnlyOnceTaken) {
  Establish();
  machine.SetHandOverOutsideLock(true);
  bool lockFree = false;
  Strings sentMeanwhile;
  delivery.during = [&] {
    std::thread other([&] {
      if (control.LinkLock.try_lock()) {
        lockFree = true;
        control.LinkLock.unlock();
      }
    });
    other.join();
    // A client's payload goes out while the library writes the record.
    ASSERT_EQ(Send({0x99}), 1);
    sentMeanwhile = TakeSentText();
  };
  ReceiveI(0, 0, {0x41, 0x42}, 0x07);
  EXPECT_TRUE(lockFree);
  EXPECT_EQ(sentMeanwhile, Strings{"I d20 ns0 nr0 99"});
  ASSERT_EQ(delivery.payloads.size(), 1u);
  EXPECT_EQ(TakeSentText(), Strings{"RR d0 nr1"});
  EXPECT_EQ(machine.Vars.RecvSeq, 1);
}

TEST_F(InformationTransfer, PayloadGoesOutAtOnceAndTheNextWaitsForTheAcknowledgement) {
  Establish();
  ASSERT_EQ(Send({0x10, 0x11}), 1);
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr0 1011"});
  EXPECT_EQ(TimeLeft(T200), 1000);
  EXPECT_FALSE(Running(T203));
  ASSERT_EQ(Send({0x20}, 0x05), 1);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(QueueLast(), 0);

  hub.Advance(300);
  ReceiveS(FRAME_RR, 1);  // acknowledges the first; the second goes out in the same step
  EXPECT_EQ(TakeSentText(), Strings{"I d5 ns1 nr0 20"});
  EXPECT_EQ(QueueLast(), -1);
  EXPECT_EQ(TimeLeft(T200), 1000);
  EXPECT_FALSE(Running(T203));

  // The acknowledgement piggy-backed on an I-frame also frees the window; a
  // queued payload then carries the new V(R) and no RR follows.
  ASSERT_EQ(Send({0x30}), 1);
  ReceiveI(0, 2, {0x99});
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns2 nr1 30"});
  EXPECT_EQ(delivery.payloads.size(), 1u);
}

TEST_F(InformationTransfer, QueueHoldsTwentyInOrderAndReleasesOnePerFrame) {
  Establish();
  ASSERT_EQ(Send({0}), 1);  // outstanding
  for (int i = 1; i <= 20; ++i) ASSERT_EQ(Send({static_cast<uint8_t>(i)}), 1) << i;
  EXPECT_EQ(QueueLast(), 19);
  EXPECT_EQ(Send({21}), 0);
  EXPECT_EQ(QueueLast(), 19);
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr0 00"});

  // Frames that acknowledge nothing new still release at most one payload
  // each, and only into an empty window: a plain RR for V(A) sends nothing.
  ReceiveS(FRAME_RR, 0);
  EXPECT_TRUE(TakeSentText().empty());

  for (int i = 1; i <= 20; ++i) {
    ReceiveS(FRAME_RR, static_cast<uint8_t>(i & 7));
    auto sent = TakeSent();
    ASSERT_EQ(sent.size(), 1u) << i;
    EXPECT_EQ(sent[0].payload, Bytes({i})) << i;
    EXPECT_EQ(sent[0].nsend, i & 7) << i;
  }
  EXPECT_EQ(QueueLast(), -1);
  ReceiveS(FRAME_RR, 21 & 7);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(TimeLeft(T203), 10000);
}

TEST_F(InformationTransfer, PayloadsDuringSetUpWaitAndFollowTheUa) {
  SetState(LINK_SETUP);
  ASSERT_EQ(Send({0xA1}), 1);
  ASSERT_EQ(Send({0xA2}), 1);
  EXPECT_TRUE(TakeSentText().empty());
  ReceiveU(FRAME_UA);
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr0 A1"});
  EXPECT_EQ(TimeLeft(T200), 1000);
  EXPECT_FALSE(Running(T203));
  ReceiveS(FRAME_RR, 1);
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns1 nr0 A2"});
}

TEST_F(InformationTransfer, FrameInTimerRecoveryIsDeliveredButAcknowledgedOnlyByThePoll) {
  Establish();
  hub.Advance(10000);  // T203 polls
  EXPECT_EQ(TakeSentText(), Strings{"RR-PF d1 nr0"});
  ASSERT_EQ(State(), LINK_TIMER_RECOVERY);
  ReceiveI(0, 0, {0x55});
  EXPECT_EQ(delivery.payloads.size(), 1u);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(machine.Vars.AckPending, 1);
  hub.FireNext();  // T200 polls again, carrying V(R)
  EXPECT_EQ(TakeSentText(), Strings{"RR-PF d1 nr1"});
  EXPECT_EQ(machine.Vars.AckPending, 0);
}

TEST_F(InformationTransfer, RefusedDeliveryFreesThePayloadAndStillAcknowledges) {
  Establish();
  delivery.refuse = true;
  ReceiveI(0, 0, {1, 2, 3, 4});  // the block is freed here: the leak check sees it
  EXPECT_TRUE(delivery.payloads.empty());
  EXPECT_EQ(machine.Vars.RecvSeq, 1);
  EXPECT_EQ(TakeSentText(), Strings{"RR d0 nr1"});
}

TEST_F(InformationTransfer, FramesOutsideInformationStatesAreFreedButTheirNrCounts) {
  for (uint16_t state : {LINK_SETUP, LINK_DISCONNECTING, LINK_RELEASED}) {
    SetState(state);
    ReceiveI(0, 0, {0x77});
    EXPECT_TRUE(delivery.payloads.empty());
    EXPECT_TRUE(TakeSentText().empty());
    EXPECT_EQ(State(), state);
  }
  // An I-frame record without a payload block (the parser could not allocate
  // one) is not taken in sequence: the peer's recovery repeats it.
  Establish();
  L2Frame frame;
  frame.NSend = 0;
  frame.NRec = 0;
  frame.Length = 8;
  machine.ProcessFrame(frame);
  EXPECT_EQ(machine.Vars.RecvSeq, 0);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_TRUE(delivery.payloads.empty());
}

// ----------------------------------------------------------------- reject

using Reject = LinkFixture;

TEST_F(Reject, FirstGapSendsRejThenRrAndRepeatsGetOnlyRrFinal) {
  Establish();
  ReceiveI(1, 0, {0x01});
  EXPECT_EQ(TakeSentText(), (Strings{"REJ d0 nr0", "RR d0 nr0"}));
  EXPECT_EQ(machine.Vars.RejectSent, 1);
  ReceiveI(2, 0, {0x02});
  EXPECT_EQ(TakeSentText(), Strings{"RR-PF d0 nr0"});
  EXPECT_TRUE(delivery.payloads.empty());

  // The in-sequence frame ends the reject condition; the next gap rejects again.
  ReceiveI(0, 0, {0x03});
  EXPECT_EQ(TakeSentText(), Strings{"RR d0 nr1"});
  EXPECT_EQ(machine.Vars.RejectSent, 0);
  ReceiveI(3, 0, {0x04});
  EXPECT_EQ(TakeSentText(), (Strings{"REJ d0 nr1", "RR d0 nr1"}));
  ASSERT_EQ(delivery.payloads.size(), 1u);
  EXPECT_EQ(delivery.payloads[0].bytes, Bytes({0x03}));

  // With a payload waiting and the window empty, the REJ is followed by the
  // I-frame (which carries the acknowledgement) instead of the RR.
  ReceiveI(0, 0, {});  // out of sequence (V(R) is 1), repeat: RR final only
  TakeSent();
  ReceiveI(1, 0, {0x05});  // in sequence again
  TakeSent();
  ASSERT_EQ(Send({0x06}), 1);  // outstanding
  ASSERT_EQ(Send({0x08}), 1);  // queued
  TakeSent();
  ReceiveI(7, 1, {0x07});  // out of sequence, but acknowledges 0x06
  EXPECT_EQ(TakeSentText(), (Strings{"REJ d0 nr2", "I d20 ns1 nr2 08"}));
}

// ------------------------------------------------------------- supervision

using Supervision = LinkFixture;

TEST_F(Supervision, RrAcknowledgingEverythingStopsT200AndRestartsT203) {
  Establish();
  Send({0x01});
  hub.Advance(400);
  ReceiveS(FRAME_RR, 0);  // N(R) = V(A): nothing
  EXPECT_EQ(TimeLeft(T200), 600);
  ReceiveS(FRAME_RR, 1);
  EXPECT_FALSE(Running(T200));
  EXPECT_EQ(TimeLeft(T203), 10000);
  EXPECT_EQ(machine.Vars.AckSeq, 1);
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr0 01"});
}

TEST_F(Supervision, PollIsAnsweredWithRrFinalAtAddressZero) {
  Establish();
  ReceiveI(0, 0, {0x01});
  TakeSent();
  for (uint8_t code : {uint8_t(FRAME_RR | FRAME_PF), uint8_t(FRAME_RNR | FRAME_PF), uint8_t(FRAME_REJ | FRAME_PF)}) {
    SetState(LINK_ESTABLISHED);
    ReceiveS(code, 0, 1);
    EXPECT_EQ(TakeSentText(), Strings{"RR-PF d0 nr1"}) << int(code);
  }
  // Commands without the poll bit are not answered.
  ReceiveS(FRAME_RR, 0, 1);
  EXPECT_TRUE(TakeSentText().empty());
  // Unknown supervisory code: ignored altogether.
  ReceiveS(0x0D, 0, 1);
  ReceiveS(0x1D, 6, 0);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(State(), LINK_ESTABLISHED);
}

TEST_F(Supervision, FinalResponsesEndTimerRecovery) {
  // RR final with nothing outstanding: back to information transfer, no retransmission.
  Establish();
  hub.Advance(10000);
  TakeSent();
  ReceiveS(FRAME_RR | FRAME_PF, 0);
  EXPECT_EQ(State(), LINK_ESTABLISHED);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_FALSE(Running(T200));
  EXPECT_EQ(TimeLeft(T203), 10000);

  // RR final with one frame outstanding: resent with N(S) = V(S) - 1 and the
  // current V(R); T203 supervises, T200 is stopped.
  Send({0xB0});
  ReceiveI(0, 0, {0x01});
  TakeSent();
  hub.FireNext();  // T200: retransmission, TIMER_RECOVERY
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr1 B0"});
  ASSERT_EQ(State(), LINK_TIMER_RECOVERY);
  ReceiveS(FRAME_RR | FRAME_PF, 0);
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr1 B0"});
  EXPECT_EQ(State(), LINK_ESTABLISHED);
  EXPECT_FALSE(Running(T200));
  EXPECT_EQ(TimeLeft(T203), 10000);

  // REJ final: always resends, T203 supervises.
  SetState(LINK_TIMER_RECOVERY);
  ReceiveS(FRAME_REJ | FRAME_PF, 1);
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr1 B0"});
  EXPECT_EQ(State(), LINK_ESTABLISHED);
  EXPECT_EQ(machine.Vars.AckSeq, 1);
  EXPECT_FALSE(Running(T200));
  EXPECT_EQ(TimeLeft(T203), 10000);

  // RNR final: resends too, but T200 runs and the peer is busy.
  SetState(LINK_TIMER_RECOVERY);
  ReceiveS(FRAME_RNR | FRAME_PF, 1);
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr1 B0"});
  EXPECT_EQ(State(), LINK_ESTABLISHED);
  EXPECT_EQ(TimeLeft(T200), 1000);
  EXPECT_EQ(machine.Vars.PeerBusy, 1);

  // Responses without the F bit leave timer recovery as it is.
  SetState(LINK_TIMER_RECOVERY);
  ReceiveS(FRAME_RR, 1);
  ReceiveS(FRAME_RR | FRAME_PF, 1, 1);  // a poll, not a final response
  EXPECT_EQ(TakeSentText(), Strings{"RR-PF d0 nr1"});
  EXPECT_EQ(State(), LINK_TIMER_RECOVERY);
  ReceiveS(FRAME_REJ | FRAME_PF, 1, 2);  // F bit, but not at address 0
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(State(), LINK_TIMER_RECOVERY);
}

TEST_F(Supervision, BusyPeerHoldsTheQueueAndIsPolled) {
  Establish();
  ReceiveS(FRAME_RNR, 0);
  EXPECT_EQ(machine.Vars.PeerBusy, 1);
  EXPECT_FALSE(Running(T203));
  EXPECT_EQ(TimeLeft(T200), 1000);
  ASSERT_EQ(Send({0xC1}), 1);
  EXPECT_EQ(QueueLast(), 0);
  ReceiveI(0, 0, {0x01});  // acknowledged by RR, the queue still waits
  EXPECT_EQ(TakeSentText(), Strings{"RR d0 nr1"});
  hub.FireNext();  // T200 polls rather than sending
  EXPECT_EQ(TakeSentText(), Strings{"RR-PF d1 nr1"});
  EXPECT_EQ(State(), LINK_TIMER_RECOVERY);
  ReceiveS(FRAME_RR | FRAME_PF, 0);  // not busy any more
  EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr1 C1"});
  EXPECT_EQ(machine.Vars.PeerBusy, 0);
  EXPECT_EQ(State(), LINK_ESTABLISHED);
  // A busy peer's acknowledgement by I-frame does not stop T200.
  ReceiveS(FRAME_RNR, 0);
  ReceiveI(1, 1, {0x02});
  EXPECT_EQ(machine.Vars.AckSeq, 1);
  EXPECT_EQ(TimeLeft(T200), 1000);
  EXPECT_FALSE(Running(T203));
}

TEST_F(Supervision, PeerAnsweringEveryPollWithRnrFinalGetsThreePollsThenStart) {
  Establish();
  Send({0xD0});
  ReceiveS(FRAME_RNR, 1);  // acknowledged but busy
  TakeSent();
  ASSERT_EQ(Retries(), 0);
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(hub.FireNext());
    EXPECT_EQ(TakeSentText(), Strings{"RR-PF d1 nr0"}) << i;
    EXPECT_EQ(Retries(), i);
    ReceiveS(FRAME_RNR | FRAME_PF, 1);
    EXPECT_EQ(TakeSentText(), Strings{"I d20 ns0 nr0 D0"}) << i;
    EXPECT_EQ(State(), LINK_ESTABLISHED);
  }
  ASSERT_TRUE(hub.FireNext());
  EXPECT_EQ(TakeSentText(), Strings{"START"});
  EXPECT_EQ(State(), LINK_SETUP);
  EXPECT_EQ(Retries(), 0);
  EXPECT_EQ(TimeLeft(T200), 1000);
}

TEST_F(Supervision, NrErrorMovesEveryStateButDisconnectionToSetUpWithNoTimerRunning) {
  struct Case {
    uint16_t state;
    bool iframe;
  };
  for (Case c : {Case{LINK_ESTABLISHED, true}, Case{LINK_ESTABLISHED, false}, Case{LINK_TIMER_RECOVERY, true},
                 Case{LINK_TIMER_RECOVERY, false}, Case{LINK_SETUP, true}, Case{LINK_RELEASED, true}}) {
    SCOPED_TRACE(::testing::Message() << "state " << c.state << (c.iframe ? " I" : " RR"));
    Establish();
    Send({0x01});
    ReceiveS(FRAME_RR, 1);
    Send({0x02});  // V(S) 2, V(A) 1
    TakeSent();
    SetState(c.state);
    hub.SetTimer(T203, 10000);
    control.Block.RetryCount = 2;
    if (c.iframe) {
      ReceiveI(0, 5, {0x01});
    } else {
      ReceiveS(FRAME_RR, 5);
    }
    EXPECT_EQ(State(), LINK_SETUP);
    EXPECT_FALSE(Running(T200));
    EXPECT_FALSE(Running(T203));
    EXPECT_EQ(Retries(), 0);
    EXPECT_TRUE(TakeSentText().empty());
    // Nothing more happens until the peer acts.
    hub.Advance(60000);
    EXPECT_TRUE(TakeSentText().empty());
    // A frame taken in before the error still owes its acknowledgement.
    const bool delivered = c.iframe && (c.state == LINK_ESTABLISHED || c.state == LINK_TIMER_RECOVERY);
    ReceiveU(FRAME_START);
    EXPECT_EQ(TakeSentText(), (delivered ? Strings{"UA", "RR d0 nr0"} : Strings{"UA"}));
    EXPECT_EQ(State(), LINK_ESTABLISHED);
  }
}

// ----------------------------------------------------- disconnect by the peer

using PeerDisconnect = LinkFixture;

class PeerDisc : public LinkFixture, public ::testing::WithParamInterface<uint16_t> {};

TEST_P(PeerDisc, DiscEmptiesTheQueueAnswersUaWaitsAndReleases) {
  Establish();
  Send({0x01});
  Send({0x02});
  TakeSent();
  hub.SetTimer(T203, 10000);
  SetState(GetParam());
  const uint64_t before = hub.NowMs();
  ReceiveU(FRAME_DISC);
  EXPECT_EQ(TakeSentText(), Strings{"UA"});
  EXPECT_EQ(QueueLast(), -1);
  EXPECT_EQ(machine.Vars.SavedData, nullptr);
  EXPECT_FALSE(Running(T200));
  EXPECT_FALSE(Running(T203));
  EXPECT_EQ(hub.NowMs() - before, 100u);
  EXPECT_EQ(State(), LINK_RELEASED);
  EXPECT_EQ(DestroyRequests(), 1u);
  EXPECT_TRUE(backend.Contains("CTI Link Released"));
  EXPECT_EQ(backend.Messages().back(), "KAVRO State changed 3 -> 7");
}

INSTANTIATE_TEST_SUITE_P(EveryStateButSetUp, PeerDisc,
                         ::testing::Values(LINK_ESTABLISHED, LINK_TIMER_RECOVERY, LINK_DISCONNECTING, LINK_IDLE));

TEST_F(PeerDisconnect, DiscDuringSetUpIsAnsweredWithDm) {
  SetState(LINK_SETUP);
  Send({0x01});
  hub.SetTimer(T200, 1000);
  ReceiveU(FRAME_DISC);
  EXPECT_EQ(TakeSentText(), Strings{"DM"});
  EXPECT_EQ(State(), LINK_SETUP);
  EXPECT_EQ(QueueLast(), 0);
  EXPECT_TRUE(Running(T200));
  EXPECT_EQ(DestroyRequests(), 0u);
}

TEST_F(PeerDisconnect, DmInInformationTransferSetsTheLinkUpAgainAndGivesUpAfterFourSeconds) {
  for (uint16_t state : {LINK_ESTABLISHED, LINK_TIMER_RECOVERY}) {
    SCOPED_TRACE(state);
    Establish();
    Send({0x01});
    Send({0x03});
    ReceiveI(0, 0, {0x02});
    control.Block.RetryCount = 2;
    SetState(state);
    hub.SetTimer(T203, 5000);
    TakeSent();
    const uint64_t entry = hub.NowMs();
    ReceiveU(FRAME_DM);
    EXPECT_EQ(TakeSentText(), Strings{"START"});
    EXPECT_EQ(State(), LINK_SETUP);
    EXPECT_EQ(Retries(), 0);
    EXPECT_EQ(TimeLeft(T200), 1000);
    EXPECT_FALSE(Running(T203));
    EXPECT_EQ(machine.Vars.SendSeq, 0);
    EXPECT_EQ(machine.Vars.RecvSeq, 0);
    if (state == LINK_TIMER_RECOVERY) {
      ExpectSetupGivesUp(entry);
      EXPECT_TRUE(TakeSentText().empty());
    }
  }
}

TEST_F(PeerDisconnect, UaOrDmWhileDisconnectingReleases) {
  for (uint8_t code : {FRAME_UA, FRAME_DM}) {
    SCOPED_TRACE(int(code));
    Establish();
    timers.DisconnectRequest();
    EXPECT_EQ(TakeSentText(), Strings{"DISC"});
    const size_t before = DestroyRequests();
    ReceiveU(code);
    EXPECT_EQ(State(), LINK_RELEASED);
    EXPECT_EQ(DestroyRequests(), before + 1);
    if (code == FRAME_DM) {
      EXPECT_FALSE(Running(T200));
    }
    EXPECT_TRUE(TakeSentText().empty());
  }
  // DM while set up or released changes nothing.
  SetState(LINK_RELEASED);
  ReceiveU(FRAME_DM);
  EXPECT_EQ(State(), LINK_RELEASED);
}

TEST_F(PeerDisconnect, FrmrInInformationTransferSetsTheLinkUpAgain) {
  Establish();
  Send({0x01});
  control.Block.RetryCount = 2;
  hub.SetTimer(T203, 3000);
  TakeSent();
  ReceiveU(FRAME_FRMR);
  EXPECT_EQ(TakeSentText(), Strings{"START"});
  EXPECT_EQ(State(), LINK_SETUP);
  EXPECT_EQ(Retries(), 2);  // the re-establishment step keeps the count
  EXPECT_EQ(TimeLeft(T200), 1000);
  EXPECT_FALSE(Running(T203));
  EXPECT_EQ(machine.Vars.SendSeq, 0);
  // In set-up there is nothing to reject.
  ReceiveU(FRAME_FRMR);
  EXPECT_TRUE(TakeSentText().empty());
  EXPECT_EQ(TimeLeft(T200), 1000);
}

// --------------------------------------------------------- state-change log

using StateLog = LinkFixture;

TEST_F(StateLog, OneLinePerChangeTheFirstFromZero) {
  SetState(LINK_SETUP);  // the handshake sets it without a log line
  ReceiveU(FRAME_START);
  ReceiveI(0, 0, {0x01});
  ReceiveS(FRAME_RR, 0);
  ReceiveU(FRAME_DM);
  ReceiveU(FRAME_DM);
  std::vector<std::string> lines;
  for (const std::string& m : backend.Messages()) {
    if (m.rfind("KAVRO State changed", 0) == 0) lines.push_back(m);
  }
  EXPECT_EQ(lines, (Strings{"KAVRO State changed 0 -> 3", "KAVRO State changed 3 -> 2"}));
  EXPECT_EQ(backend.Count("ProcessFrame()"), 5u);
}

}  // namespace
}  // namespace kavro::testing
