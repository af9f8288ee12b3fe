// The PBX simulator without its pseudo-terminal and sockets: the frame
// encoders and decoders on split, merged, noisy and damaged input, and the
// serial and TCP engines driven with made-up times.
#include <gtest/gtest.h>

#include <algorithm>

#include "../../tools/kavro-pbx/pbx_engine.h"
#include "../../tools/kavro-pbx/pbx_frames.h"
#include "../../tools/kavro-pbx/pbx_tcp.h"

namespace {

using namespace kavro::pbx;
using kavro::FRAME_DISC;
using kavro::FRAME_DM;
using kavro::FRAME_PF;
using kavro::FRAME_REJ;
using kavro::FRAME_RR;
using kavro::FRAME_START;
using kavro::FRAME_UA;

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// Everything the decoder yields for `bytes` fed in pieces of `step`.
std::vector<FrameDecoder::Item> DecodeAll(const std::vector<uint8_t>& bytes, size_t step = SIZE_MAX) {
  FrameDecoder decoder;
  std::vector<FrameDecoder::Item> items;
  for (size_t at = 0; at < bytes.size(); at += std::min(step, bytes.size() - at)) {
    decoder.Feed(bytes.data() + at, std::min(step, bytes.size() - at));
    while (auto item = decoder.Next()) items.push_back(std::move(*item));
  }
  return items;
}

TEST(FrameEncoding, MatchesTheWireLayout) {
  EXPECT_EQ(EncodeS(FRAME_RR, 0x01, 5), Bytes({0x16, 0x16, 0xA1, 0x01, 0x23, 0x61}));
  EXPECT_EQ(EncodeU(FRAME_START, 0x01), Bytes({0x16, 0x16, 0x3F, 0x01, 0x18, 0x85}));
  EXPECT_EQ(EncodeS(FRAME_RR | FRAME_PF, 0x00, 2)[2], 0x51);

  const auto i = EncodeI(0x20, 3, 6, std::vector<uint8_t>(0x0102, 0xAA));
  ASSERT_EQ(i.size(), 0x0102u + 10);
  EXPECT_EQ(i[2], 0xC6);
  EXPECT_EQ(i[3], 0x20);
  EXPECT_EQ(i[4], 0x01);
  EXPECT_EQ(i[5], 0x02);
  EXPECT_EQ(kavro::Crc16(i.data() + 2, 6), 0);
  EXPECT_EQ(kavro::Crc16(i.data() + 8, 0x0102 + 2), 0);

  const auto empty = EncodeI(0, 0, 0, {});
  ASSERT_EQ(empty.size(), 10u);
  EXPECT_EQ(empty[8], 0xFF);
  EXPECT_EQ(empty[9], 0xFF);
}

TEST(FrameDecoding, RoundTripsEveryKindWithItsFields) {
  const auto items = DecodeAll(Concat({EncodeS(FRAME_RR | FRAME_PF, 0x01, 3), EncodeU(FRAME_DISC),
                                       EncodeI(0x20, 3, 6, Bytes({1, 2, 3})), EncodeI(0, 1, 0, {})}));
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(items[0].frame.kind, FrameKind::S);
  EXPECT_EQ(items[0].frame.Code(), 0x11);
  EXPECT_EQ(items[0].frame.nr, 3);
  EXPECT_TRUE(items[0].frame.IsPoll());
  EXPECT_EQ(items[1].frame.kind, FrameKind::U);
  EXPECT_EQ(items[1].frame.control, FRAME_DISC);
  EXPECT_EQ(items[2].frame.kind, FrameKind::I);
  EXPECT_EQ(items[2].frame.ns, 3);
  EXPECT_EQ(items[2].frame.nr, 6);
  EXPECT_EQ(items[2].frame.address, 0x20);
  EXPECT_EQ(items[2].frame.payload, Bytes({1, 2, 3}));
  EXPECT_TRUE(items[3].frame.payload.empty());
  // A final response (address 0) is not a poll.
  EXPECT_FALSE(DecodeAll(EncodeS(FRAME_RR | FRAME_PF, 0x00, 0))[0].frame.IsPoll());
}

TEST(FrameDecoding, SplitAndMergedInputGiveTheSameFrames) {
  const auto stream = Concat({EncodeI(0, 0, 0, Bytes({0x41, 0x42})), EncodeS(FRAME_RR, 0, 1),
                              EncodeI(0, 1, 1, std::vector<uint8_t>(300, 0x16)), EncodeU(FRAME_UA)});
  for (size_t step : {size_t{1}, size_t{5}, size_t{7}, stream.size()}) {
    const auto items = DecodeAll(stream, step);
    ASSERT_EQ(items.size(), 4u) << "step " << step;
    EXPECT_EQ(items[0].frame.payload, Bytes({0x41, 0x42}));
    EXPECT_EQ(items[2].frame.payload, std::vector<uint8_t>(300, 0x16)) << "step " << step;
    EXPECT_EQ(items[3].frame.control, FRAME_UA);
  }
}

TEST(FrameDecoding, NoiseAndDamagedFramesAreSkippedWithoutLosingGoodOnes) {
  auto damaged = EncodeI(0, 0, 0, Bytes({1, 2, 3}));
  damaged[9] ^= 0x04;  // payload CRC broken
  auto badHeader = EncodeI(0, 0, 0, Bytes({1}));
  badHeader[5] ^= 0x01;
  const auto oversize = Bytes({0x16, 0x16, 0x00, 0x00, 0x07, 0xF7});  // announces 2039 bytes
  const auto stream = Concat({Bytes({0x00, 0x99, 0x16, 0x00}), EncodeS(FRAME_RR, 0, 2), damaged, badHeader, oversize,
                              EncodeU(FRAME_START), Bytes({0x16}), EncodeI(0, 2, 0, Bytes({9}))});
  for (size_t step : {size_t{1}, size_t{3}, stream.size()}) {
    const auto items = DecodeAll(stream, step);
    ASSERT_EQ(items.size(), 3u) << "step " << step;
    EXPECT_EQ(items[0].frame.nr, 2);
    EXPECT_EQ(items[1].frame.control, FRAME_START);
    EXPECT_EQ(items[2].frame.payload, Bytes({9}));
  }
}

TEST(FrameDecoding, FindsTheServiceRequestBetweenFramesAndAcrossReads) {
  const auto stream = Concat({Bytes({0x1B, 0x43}), EncodeU(FRAME_START), Bytes({0x00, 0x1B}), Bytes({0x43})});
  for (size_t step : {size_t{1}, stream.size()}) {
    const auto items = DecodeAll(stream, step);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_TRUE(items[0].serviceRequest);
    EXPECT_FALSE(items[1].serviceRequest);
    EXPECT_TRUE(items[2].serviceRequest);
  }
  // ESC and C apart are not a request.
  EXPECT_TRUE(DecodeAll(Bytes({0x1B, 0x00, 0x43, 0x43})).empty());
}

TEST(SocketFrames, EncodeAndDecodeAcrossSplitsAndGarbage) {
  EXPECT_EQ(EncodeSocketFrame(Bytes({0x7E})), Bytes({0xC5, 0x00, 0x01, 0x7E}));
  SocketFrameDecoder decoder;
  const auto stream = Concat({Bytes({0x16, 0x00}), EncodeSocketFrame(Bytes({1, 2, 3, 4, 5})), EncodeSocketFrame({}),
                              EncodeSocketFrame(Bytes({0xF2, 0x01}))});
  std::vector<std::vector<uint8_t>> payloads;
  for (uint8_t byte : stream) {
    decoder.Feed(&byte, 1);
    while (auto payload = decoder.Next()) payloads.push_back(*payload);
  }
  ASSERT_EQ(payloads.size(), 3u);
  EXPECT_EQ(payloads[0], Bytes({1, 2, 3, 4, 5}));
  EXPECT_TRUE(payloads[1].empty());
  EXPECT_EQ(payloads[2], Bytes({0xF2, 0x01}));
  EXPECT_EQ(decoder.DiscardedBytes(), 2u);
  EXPECT_EQ(decoder.HeldBytes(), 0u);
}

// Drives a SerialEngine like the link driver would, decoding what it sends.
class SerialPeer {
 public:
  explicit SerialPeer(SerialOptions options = {}) : engine(std::move(options)) {}

  void Send(const std::vector<uint8_t>& bytes) { engine.Receive(bytes.data(), bytes.size(), now); }
  void Advance(int64_t ms) {
    now += ms;
    engine.Tick(now);
  }
  // Frames the engine has put on the line since the last call.
  std::vector<Frame> Frames() {
    std::vector<Frame> frames;
    for (const auto& chunk : engine.TakeOutput()) {
      decoder.Feed(chunk.data(), chunk.size());
      while (auto item = decoder.Next()) frames.push_back(item->frame);
    }
    return frames;
  }
  std::vector<Event> Events(EventKind kind) {
    std::vector<Event> out;
    for (auto& event : engine.TakeEvents()) {
      if (event.kind == kind) out.push_back(event);
    }
    return out;
  }
  void Establish() {
    Send(EncodeU(FRAME_START));
    Frames();
    engine.TakeEvents();
  }

  SerialEngine engine;
  FrameDecoder decoder;
  int64_t now = 1000;
};

TEST(SerialEngine, AnswersTheServiceRequestWithAThrowawayLineThenTheCtiLine) {
  SerialOptions options;
  options.answerLine = "CTI 19200";
  SerialPeer peer(options);
  peer.Send(Bytes({0x1B, 0x43}));
  auto output = peer.engine.TakeOutput();
  ASSERT_EQ(output.size(), 1u);
  EXPECT_EQ(std::string(output[0].begin(), output[0].end()), "kavro-pbx ready\r\nCTI 19200\r");

  options.noAnswer = true;
  SerialPeer mute(options);
  mute.Send(Bytes({0x1B, 0x43}));
  EXPECT_TRUE(mute.engine.TakeOutput().empty());
}

TEST(SerialEngine, SetsUpOnStartAndAcknowledgesInSequenceIFrames) {
  SerialPeer peer;
  peer.Send(EncodeU(FRAME_START));
  auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].control, FRAME_UA);
  EXPECT_EQ(frames[0].address, 0x00);
  EXPECT_EQ(peer.engine.CurrentPhase(), Phase::Established);

  peer.Send(Concat({EncodeI(0x20, 0, 0, Bytes({0x41})), EncodeI(0x21, 1, 0, Bytes({0x42}))}));
  frames = peer.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].Code(), FRAME_RR);
  EXPECT_EQ(frames[0].nr, 1);
  EXPECT_EQ(frames[1].nr, 2);
  auto payloads = peer.Events(EventKind::Payload);
  ASSERT_EQ(payloads.size(), 2u);
  EXPECT_EQ(payloads[0].address, 0x20);
  EXPECT_EQ(payloads[1].payload, Bytes({0x42}));

  // A retransmission of a frame already taken is acknowledged again, not delivered twice.
  peer.Send(EncodeI(0x21, 1, 0, Bytes({0x42})));
  frames = peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].nr, 2);
  EXPECT_TRUE(peer.Events(EventKind::Payload).empty());
}

TEST(SerialEngine, AnswersPollsWithAFinalRrAtAddressZero) {
  SerialPeer peer;
  peer.Establish();
  peer.Send(EncodeI(0, 0, 0, Bytes({1})));
  peer.Frames();
  peer.Send(EncodeS(FRAME_RR | FRAME_PF, 0x01, 0));
  auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].Code(), FRAME_RR | FRAME_PF);
  EXPECT_EQ(frames[0].address, 0x00);
  EXPECT_EQ(frames[0].nr, 1);
  // A final response from the other side is no poll and gets no answer.
  peer.Send(EncodeS(FRAME_RR | FRAME_PF, 0x00, 0));
  EXPECT_TRUE(peer.Frames().empty());
}

TEST(SerialEngine, SendsWithAWindowOfOneAndMovesOnWithEachAcknowledgement) {
  SerialPeer peer;
  peer.engine.Queue(Bytes({1}));
  peer.engine.Queue(Bytes({2}));
  peer.Advance(10);
  EXPECT_TRUE(peer.Frames().empty()) << "nothing goes out before the link is up";
  peer.Send(EncodeU(FRAME_START));
  auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].kind, FrameKind::I);
  EXPECT_EQ(frames[1].ns, 0);
  EXPECT_EQ(frames[1].payload, Bytes({1}));
  peer.Advance(10);
  EXPECT_TRUE(peer.Frames().empty()) << "the second waits for the first's acknowledgement";

  peer.Send(EncodeS(FRAME_RR, 0, 1));
  frames = peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].ns, 1);
  EXPECT_EQ(frames[0].payload, Bytes({2}));

  // An acknowledgement that rides on an I-frame counts as well.
  peer.Send(EncodeI(0, 0, 2, Bytes({7})));
  EXPECT_EQ(peer.engine.Waiting(), 0u);
}

TEST(SerialEngine, RetransmitsThreeTimesThenSetsTheLinkUpAgainKeepingThePayload) {
  SerialPeer peer;
  peer.Establish();
  peer.engine.Queue(Bytes({0x55}));
  peer.Advance(0);
  ASSERT_EQ(peer.Frames().size(), 1u);
  peer.Advance(999);
  EXPECT_TRUE(peer.Frames().empty());
  for (int retry = 1; retry <= 3; ++retry) {
    peer.Advance(1);
    auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 1u) << "retry " << retry;
    EXPECT_EQ(frames[0].ns, 0);
    EXPECT_EQ(frames[0].payload, Bytes({0x55}));
    peer.Advance(999);
  }
  peer.Advance(1);
  auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].control, FRAME_START);
  EXPECT_EQ(peer.engine.CurrentPhase(), Phase::Restarting);

  peer.Send(EncodeU(FRAME_UA));
  frames = peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].ns, 0);
  EXPECT_EQ(frames[0].payload, Bytes({0x55}));
}

TEST(SerialEngine, RetransmitsAtOnceOnReject) {
  SerialPeer peer;
  peer.Establish();
  peer.engine.Queue(Bytes({0x33}));
  peer.Advance(0);
  peer.Frames();
  peer.Send(EncodeS(FRAME_REJ, 0, 0));
  auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].kind, FrameKind::I);
  EXPECT_EQ(frames[0].ns, 0);
}

TEST(SerialEngine, EndsNormallyOnDiscAndOnItsOwnAnsweredDisc) {
  SerialPeer peer;
  peer.Establish();
  peer.Send(EncodeU(FRAME_DISC));
  auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].control, FRAME_UA);
  EXPECT_TRUE(peer.engine.EndedNormally());

  SerialOptions options;
  options.sendDiscAfterMs = 500;
  SerialPeer leaving(options);
  leaving.Establish();
  leaving.Advance(499);
  EXPECT_TRUE(leaving.Frames().empty());
  leaving.Advance(1);
  frames = leaving.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].control, FRAME_DISC);
  // START while disconnecting is refused, as the link driver does it.
  leaving.Send(EncodeU(FRAME_START));
  EXPECT_EQ(leaving.Frames()[0].control, FRAME_DM);
  leaving.Send(EncodeU(FRAME_UA));
  EXPECT_TRUE(leaving.engine.EndedNormally());

  SerialPeer unanswered(options);
  unanswered.Establish();
  for (int i = 0; i < 5; ++i) unanswered.Advance(1000);
  EXPECT_EQ(unanswered.Frames().size(), 4u) << "DISC and three repetitions";
  EXPECT_TRUE(unanswered.engine.Ended());
  EXPECT_FALSE(unanswered.engine.EndedNormally());
}

TEST(SerialEngine, DropEveryLeavesTheNthIFrameUnacknowledged) {
  SerialOptions options;
  options.dropEvery = 2;
  SerialPeer peer(options);
  peer.Establish();
  peer.Send(EncodeI(0, 0, 0, Bytes({1})));
  EXPECT_EQ(peer.Frames().size(), 1u);
  peer.Send(EncodeI(0, 1, 0, Bytes({2})));
  EXPECT_TRUE(peer.Frames().empty());
  peer.Send(EncodeI(0, 1, 0, Bytes({2})));  // the link driver's retransmission
  auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].nr, 2);
  EXPECT_EQ(peer.Events(EventKind::Payload).size(), 2u);
}

TEST(SerialEngine, SilentAfterAnswersNothingMore) {
  SerialOptions options;
  options.silentAfter = 2;
  SerialPeer peer(options);
  peer.Send(EncodeU(FRAME_START));
  peer.Send(EncodeI(0, 0, 0, Bytes({1})));
  EXPECT_EQ(peer.Frames().size(), 2u);
  peer.engine.Queue(Bytes({9}));
  peer.Send(EncodeS(FRAME_RR | FRAME_PF, 0x01, 0));
  peer.Send(Bytes({0x1B, 0x43}));
  peer.Advance(5000);
  EXPECT_TRUE(peer.engine.TakeOutput().empty());
}

TEST(SerialEngine, DamageAndNoiseReachTheLineAsAsked) {
  SerialOptions options;
  options.corruptEvery = 2;
  SerialPeer peer(options);
  peer.Send(EncodeU(FRAME_START));          // frame 1: good UA
  peer.Send(EncodeI(0, 0, 0, Bytes({1})));  // frame 2: damaged RR
  peer.Send(EncodeI(0, 1, 0, Bytes({2})));  // frame 3: good RR
  auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].control, FRAME_UA);
  EXPECT_EQ(frames[1].nr, 2);
  EXPECT_GE(peer.decoder.DiscardedBytes(), 6u) << "the damaged RR is thrown away whole";

  SerialOptions noisy;
  noisy.noiseEvery = 1;
  SerialPeer loud(noisy);
  loud.Send(EncodeU(FRAME_START));
  loud.Send(EncodeI(0, 0, 0, Bytes({1})));
  frames = loud.Frames();
  ASSERT_EQ(frames.size(), 2u) << "noise before a frame never costs the frame";
  EXPECT_GE(loud.decoder.DiscardedBytes(), 6u);
}

TEST(SerialEngine, PatternPayloadsFollowTheIntervalOnceTheLinkIsUp) {
  SerialOptions options;
  options.patternCount = 3;
  options.patternIntervalMs = 50;
  options.patternLength = 3;
  SerialPeer peer(options);
  peer.Advance(1000);
  EXPECT_FALSE(peer.engine.NextDeadline());
  peer.Establish();
  EXPECT_EQ(peer.engine.NextDeadline(), peer.now + 50);
  std::vector<std::vector<uint8_t>> sent;
  for (int i = 0; i < 10; ++i) {
    peer.Advance(50);
    for (const auto& frame : peer.Frames()) {
      if (frame.kind != FrameKind::I) continue;
      sent.push_back(frame.payload);
      peer.Send(EncodeS(FRAME_RR, 0, static_cast<uint8_t>((frame.ns + 1) & 7)));
    }
  }
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], Bytes({1, 2, 3}));
  EXPECT_EQ(sent[2], Bytes({3, 4, 5}));
}

TEST(SerialEngine, ResetServesTheNextLinkDriverFromScratch) {
  SerialPeer peer;
  peer.Establish();
  peer.Send(EncodeI(0, 0, 0, Bytes({1})));
  peer.Send(EncodeU(FRAME_DISC));
  ASSERT_TRUE(peer.engine.Ended());
  peer.engine.Reset();
  peer.Frames();
  peer.Send(EncodeU(FRAME_START));
  peer.Send(EncodeI(0, 0, 0, Bytes({2})));
  auto frames = peer.Frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[1].nr, 1) << "sequence numbers start again at 0";
}

class TcpPeer {
 public:
  explicit TcpPeer(TcpOptions options) : engine(std::move(options)) { engine.Start(now); }
  void Advance(int64_t ms) {
    now += ms;
    engine.Tick(now);
  }
  std::vector<std::vector<uint8_t>> Payloads() {
    std::vector<std::vector<uint8_t>> out;
    for (const auto& chunk : engine.TakeOutput()) {
      decoder.Feed(chunk.data(), chunk.size());
      while (auto payload = decoder.Next()) out.push_back(*payload);
    }
    return out;
  }
  TcpEngine engine;
  SocketFrameDecoder decoder;
  int64_t now = 0;
};

TEST(TcpEngine, SendsKeepalivesAndTakesEchoesForWhatTheyAre) {
  TcpOptions options;
  options.keepaliveMs = 1000;
  TcpPeer peer(options);
  peer.Advance(999);
  EXPECT_TRUE(peer.Payloads().empty());
  peer.Advance(1);
  EXPECT_EQ(peer.Payloads(), std::vector<std::vector<uint8_t>>{Bytes({0xF2, 0x01})});

  const auto stream = Concat({EncodeSocketFrame(Bytes({0xF2, 0x01})), EncodeSocketFrame(Bytes({0x41}))});
  peer.engine.Receive(stream.data(), 4, peer.now);
  peer.engine.Receive(stream.data() + 4, stream.size() - 4, peer.now);
  std::vector<Event> payloads;
  for (auto& event : peer.engine.TakeEvents()) {
    if (event.kind == EventKind::Payload) payloads.push_back(event);
  }
  ASSERT_EQ(payloads.size(), 1u);
  EXPECT_EQ(payloads[0].payload, Bytes({0x41}));
  EXPECT_EQ(payloads[0].address, 0x20);
  EXPECT_EQ(peer.engine.Echoes(), 1u);
}

TEST(TcpEngine, CloseSilenceAndGarbageCountTheFramesSent) {
  TcpOptions closing;
  closing.keepaliveMs = 0;
  closing.closeAfter = 2;
  TcpPeer peer(closing);
  for (int i = 0; i < 4; ++i) peer.engine.Queue(Bytes({i}));
  peer.Advance(0);
  EXPECT_EQ(peer.Payloads().size(), 2u);
  EXPECT_TRUE(peer.engine.CloseWanted());

  TcpOptions silent;
  silent.keepaliveMs = 100;
  silent.silentAfter = 1;
  TcpPeer quiet(silent);
  for (int i = 0; i < 10; ++i) quiet.Advance(100);
  EXPECT_EQ(quiet.Payloads().size(), 1u);
  EXPECT_FALSE(quiet.engine.NextDeadline());

  TcpOptions garbage;
  garbage.keepaliveMs = 0;
  garbage.garbageAfter = 1;
  TcpPeer messy(garbage);
  messy.engine.Queue(Bytes({1}));
  messy.engine.Queue(Bytes({2}));
  messy.Advance(0);
  auto output = messy.engine.TakeOutput();
  ASSERT_EQ(output.size(), 3u);
  EXPECT_NE(output[1][0], SOCKET_TAG);
  EXPECT_EQ(output[2], EncodeSocketFrame(Bytes({2})));
}

}  // namespace
