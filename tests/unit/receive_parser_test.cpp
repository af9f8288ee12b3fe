#include "link/receive_parser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "support/link_fixture.h"

namespace kavro {
namespace {

using testing::Bytes;
using testing::FakeConnection;
using Stream = std::vector<uint8_t>;

// --- frames as the PBX puts them on the wire -------------------------------

void PutCrc(Stream& out, const uint8_t* from, size_t count) {
  const uint16_t crc = Crc16(from, count);
  out.push_back(static_cast<uint8_t>(crc >> 8));
  out.push_back(static_cast<uint8_t>(crc));
}

Stream ShortFrame(uint8_t control, uint8_t dest) {
  Stream out{SYN, SYN, control, dest};
  PutCrc(out, out.data() + 2, 2);
  return out;
}

Stream InfoFrame(uint8_t control, uint8_t dest, const Stream& payload) {
  const size_t length = payload.size();
  Stream out{SYN, SYN, control, dest, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)};
  PutCrc(out, out.data() + 2, 4);
  out.insert(out.end(), payload.begin(), payload.end());
  PutCrc(out, payload.data(), payload.size());
  return out;
}

uint8_t IControl(uint8_t nsend, uint8_t nrec) { return static_cast<uint8_t>((nrec << 5) | (nsend << 1)); }

Stream Text(const std::string& text) { return Stream(text.begin(), text.end()); }

Stream Cat(std::initializer_list<Stream> parts) {
  Stream out;
  for (const Stream& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Stream Pattern(size_t size, uint8_t seed) {
  Stream out(size);
  // Never a SYN, so that the hunt cannot start inside a payload by chance.
  for (size_t i = 0; i < size; ++i) out[i] = static_cast<uint8_t>((seed + i * 13) % 0x15);
  return out;
}

std::string Address(const void* p, bool wide) {
  char text[32];
  if (wide) {
    snprintf(text, sizeof text, "%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
  } else {
    snprintf(text, sizeof text, "%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
  }
  return text;
}

// --- what came out -----------------------------------------------------------

struct Got {
  uint8_t dest;
  uint8_t type;
  uint8_t nsend;
  uint8_t nrec;
  uint32_t length;
  Stream payload;
  bool operator==(const Got&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Got& g) {
  return os << "{dest " << int(g.dest) << " type " << int(g.type) << " ns " << int(g.nsend) << " nr " << int(g.nrec)
            << " len " << g.length << "}";
}

Got S(uint8_t type, uint8_t dest, uint8_t nrec) { return {dest, type, 0, nrec, 0, {}}; }
Got U(uint8_t type, uint8_t dest) { return {dest, type, 0, 0, 0, {}}; }
Got I(uint8_t dest, uint8_t nsend, uint8_t nrec, const Stream& payload) {
  return {dest, FRAME_I, nsend, nrec, static_cast<uint32_t>(payload.size()), payload};
}

// The parser with the link that acts on its service answer, fresh for each
// test.
struct Rig : testing::LinkParts {
  Rig() {
    trace.InitTraceLog("/var/log");
    hub.SetTimer(TimerServiceRequest, SERVICE_REQUEST_MS);
    control.Block.RetryCount = 1;
  }

  void Hunting() { parser.ParserState = PARSE_HUNT; }

  // Takes the frame out of the record the way ProcessFrame would.
  Got Take() {
    Got g{frame.Dest, frame.Type, frame.NSend, frame.NRec, frame.Length, {}};
    if (frame.Type == FRAME_I) {
      EXPECT_NE(frame.Buffer, nullptr);
      if (frame.Buffer != nullptr) g.payload.assign(frame.Buffer, frame.Buffer + frame.Length);
      free(frame.Buffer);
      frame.Buffer = nullptr;
    }
    return g;
  }

  // One read of the receive thread: the new bytes, then count 0 while frames come.
  std::vector<Got> Read(const Stream& bytes) {
    std::vector<Got> out;
    int result = parser.CheckFrame(frame, bytes.data(), static_cast<int32_t>(bytes.size()));
    while (result > 0) {
      out.push_back(Take());
      result = parser.CheckFrame(frame, nullptr, 0);
    }
    EXPECT_EQ(parser.BacklogBytes(), 0u);
    return out;
  }

  std::vector<Got> ReadInPieces(const Stream& bytes, const std::vector<size_t>& sizes) {
    std::vector<Got> out;
    size_t at = 0;
    for (size_t i = 0; at < bytes.size(); ++i) {
      const size_t n = std::min(sizes[i % sizes.size()], bytes.size() - at);
      const std::vector<Got> got = Read(Stream(bytes.begin() + at, bytes.begin() + at + n));
      out.insert(out.end(), got.begin(), got.end());
      at += n;
      EXPECT_LE(parser.FrameBytes, RECEIVE_BUFFER_SIZE);
    }
    return out;
  }

  // Brings the parser through the first line and the service answer.
  void Handshake(const std::string& answer = "CTI 9600\r") {
    Read(Text("\r"));
    Read(Text(answer));
    ASSERT_EQ(parser.ParserState, PARSE_HUNT);
    backend.Clear();
  }

  ReceiveParser parser{trace, &timers};
  L2Frame frame;
};

// --- frame hunt ---------------------------------------------------------------

TEST(ReceiveParserFrames, DecodesEveryKindWithItsTraceLine) {
  Rig r;
  r.Hunting();
  const Stream twoShort = Cat({ShortFrame(0x71, 0x00), ShortFrame(0x0D | (1 << 5), 4)});
  EXPECT_EQ(r.parser.CheckFrame(r.frame, twoShort.data(), 12), 1);
  EXPECT_EQ(r.Take(), S(0x11, 0, 3));
  EXPECT_TRUE(r.backend.Contains("CheckFrame(0x" + Address(&r.frame, false) + ",0x" + Address(twoShort.data(), false) +
                                 ",12)"));
  EXPECT_TRUE(r.backend.Contains("CheckFrame() FrameBytes 0,State 0x2"));
  EXPECT_TRUE(r.backend.Contains("CheckFrame S-RR PF Dest 0 NRec 3"));
  r.backend.Clear();
  // The second frame of the same read comes out of the count-0 call; the
  // fourth supervisory kind has no trace line but is a frame all the same.
  EXPECT_EQ(r.parser.CheckFrame(r.frame, nullptr, 0), 1);
  EXPECT_EQ(r.Take(), S(0x0D, 4, 1));
  EXPECT_TRUE(r.backend.Contains("CheckFrame() FrameBytes 6,State 0x2"));
  EXPECT_EQ(r.parser.CheckFrame(r.frame, nullptr, 0), 0);
  EXPECT_EQ(r.backend.Messages().size(), 4u);

  const struct {
    uint8_t control;
    const char* line;
  } shorts[] = {
      {0x01, "CheckFrame S-RR Dest 9 NRec 0"},
      {0xA5, "CheckFrame S-RNR Dest 9 NRec 5"},
      {0xE9, "CheckFrame S-REJ Dest 9 NRec 7"},
      {0x35, "CheckFrame S-RNR PF Dest 9 NRec 1"},
      {0x59, "CheckFrame S-REJ PF Dest 9 NRec 2"},
      {0x0F, "CheckFrame U-DM"},
      {0x3F, "CheckFrame U-START"},
      {0x53, "CheckFrame U-DISC"},
      {0x73, "CheckFrame U-UA"},
      {0x83, "CheckFrame U-FRMR"},
  };
  for (const auto& s : shorts) {
    r.backend.Clear();
    ASSERT_EQ(r.Read(ShortFrame(s.control, 9)).size(), 1u) << s.line;
    EXPECT_TRUE(r.backend.Contains(s.line)) << s.line;
  }
  // A U code the protocol does not know is still handed on, untraced.
  r.backend.Clear();
  EXPECT_EQ(r.Read(ShortFrame(0x07, 2)), std::vector<Got>{U(0x07, 2)});
  EXPECT_EQ(r.backend.Messages().size(), 4u);  // the call lines of two calls

  const Stream payload = Bytes({1, 2, 3});
  EXPECT_EQ(r.Read(InfoFrame(0xC6, 5, payload)), std::vector<Got>{I(5, 3, 6, payload)});
  // Bit 4 set on an I-frame is not a poll: the frame decodes as usual.
  EXPECT_EQ(r.Read(InfoFrame(0x12, 5, payload)), std::vector<Got>{I(5, 1, 0, payload)});

  const Stream frame = InfoFrame(0xC6, 5, payload);
  r.backend.Clear();
  ASSERT_EQ(r.parser.CheckFrame(r.frame, frame.data(), static_cast<int32_t>(frame.size())), 1);
  EXPECT_TRUE(r.backend.Contains("CheckFrame I-Frame Dest: 5 NSend: 3 NRec 6 Length 3 &Buffer " +
                                 Address(r.frame.Buffer, true)));
  r.Take();
}

TEST(ReceiveParserFrames, SplitAndMergedReadsGiveTheSameFrames) {
  const Stream big = Pattern(MAX_I_PAYLOAD, 3);
  const Stream mid = Pattern(300, 9);
  const std::vector<Stream> frames{ShortFrame(0x71, 0),
                                   InfoFrame(0xC6, 2, mid),
                                   ShortFrame(FRAME_START, 1),
                                   InfoFrame(IControl(1, 0), 3, {}),
                                   InfoFrame(IControl(7, 7), 4, big),
                                   ShortFrame(FRAME_UA, 1)};
  const std::vector<Got> expected{S(0x11, 0, 3),  I(2, 3, 6, mid), U(FRAME_START, 1),
                                  I(3, 1, 0, {}), I(4, 7, 7, big), U(FRAME_UA, 1)};
  Stream stream;
  std::vector<size_t> ends;
  for (const Stream& f : frames) {
    stream = Cat({stream, f});
    ends.push_back(stream.size());
  }

  Rig whole;
  whole.Hunting();
  EXPECT_EQ(whole.Read(stream), expected);

  Rig pieces;
  pieces.Hunting();
  EXPECT_EQ(pieces.ReadInPieces(stream, {1, 7, 2, 13, 5, 600, 3, 2047}), expected);

  // A byte at a time: nothing until the last byte of each frame.
  Rig bytes;
  bytes.Hunting();
  std::vector<Got> got;
  for (size_t i = 0; i < stream.size(); ++i) {
    const int result = bytes.parser.CheckFrame(bytes.frame, &stream[i], 1);
    const bool last = std::find(ends.begin(), ends.end(), i + 1) != ends.end();
    ASSERT_EQ(result, last ? 1 : 0) << "byte " << i;
    if (result) got.push_back(bytes.Take());
  }
  EXPECT_EQ(got, expected);
}

TEST(ReceiveParserFrames, NoiseIsDroppedUpToTheNextSynPair) {
  Rig r;
  r.Hunting();
  EXPECT_TRUE(r.Read(Bytes({1, 2, 3, 4, 5})).empty());
  EXPECT_EQ(r.parser.FrameBytes, 5);  // too few to judge yet
  EXPECT_TRUE(r.Read(Bytes({6})).empty());
  EXPECT_EQ(r.parser.FrameBytes, 0);

  // Noise with lone SYNs, and a SYN followed by 0x00, ahead of good frames.
  const Stream rr = ShortFrame(0xA1, 1);
  EXPECT_EQ(r.Read(Cat({Bytes({0x01, SYN, 0x02, SYN, 0x00, 0x03}), rr})), std::vector<Got>{S(FRAME_RR, 1, 5)});
  EXPECT_EQ(r.Read(Cat({Bytes({SYN, 0x00}), rr})), std::vector<Got>{S(FRAME_RR, 1, 5)});
  EXPECT_EQ(r.parser.FrameBytes, 0);
  EXPECT_FALSE(r.backend.Contains("I-Frame HeaderCheck Failed"));
}

TEST(ReceiveParserFrames, DamagedFrameLosesOnlyItsSynPair) {
  const Stream rr = ShortFrame(0xA1, 1);  // 16 16 A1 01 23 61
  const Got gotRr = S(FRAME_RR, 1, 5);

  {
    SCOPED_TRACE("S-frame with a bad CRC; a good frame starts at its fourth byte");
    Rig r;
    r.Hunting();
    const Stream damaged = Cat({Bytes({SYN, SYN, 0x01}), rr});
    ASSERT_NE(Crc16(damaged.data() + 2, 4), 0);
    EXPECT_EQ(r.Read(damaged), std::vector<Got>{gotRr});
    EXPECT_EQ(r.backend.Count("CheckFrame S-RR Dest 1 NRec 5"), 1u);
  }
  {
    SCOPED_TRACE("U-frame with a bad CRC");
    Rig r;
    r.Hunting();
    const Stream damaged = Cat({Bytes({SYN, SYN, 0x03}), ShortFrame(FRAME_START, 1)});
    ASSERT_NE(Crc16(damaged.data() + 2, 4), 0);
    EXPECT_EQ(r.Read(damaged), std::vector<Got>{U(FRAME_START, 1)});
  }
  {
    SCOPED_TRACE("I-frame with a bad header CRC around a good frame");
    Rig r;
    r.Hunting();
    Stream damaged = InfoFrame(IControl(2, 3), 7, Cat({Bytes({0x41}), rr, Bytes({0x42})}));
    damaged[6] ^= 0x80;
    r.trace.TraceMask = LOG_WARNING;  // the one warning, and at that level
    EXPECT_EQ(r.Read(Cat({damaged, ShortFrame(FRAME_UA, 7)})), (std::vector<Got>{gotRr, U(FRAME_UA, 7)}));
    EXPECT_EQ(r.backend.Messages(), std::vector<std::string>{"I-Frame HeaderCheck Failed"});
  }
  {
    SCOPED_TRACE("I-frame with a bad payload CRC around a good frame");
    Rig r;
    r.Hunting();
    Stream damaged = InfoFrame(IControl(2, 3), 7, Cat({Bytes({0x41}), rr, Bytes({0x42})}));
    damaged.back() ^= 0x01;
    EXPECT_EQ(r.Read(Cat({damaged, ShortFrame(FRAME_UA, 7)})), (std::vector<Got>{gotRr, U(FRAME_UA, 7)}));
    EXPECT_FALSE(r.backend.Contains("I-Frame HeaderCheck Failed"));
  }
}

TEST(ReceiveParserFrames, PayloadLengthLimit) {
  Rig r;
  r.Hunting();
  // A header with a good CRC that announces 2039 bytes is dropped silently.
  Stream header{SYN, SYN, IControl(0, 0), 1, 0x07, 0xF7};
  PutCrc(header, header.data() + 2, 4);
  EXPECT_EQ(r.Read(Cat({header, ShortFrame(0xA1, 1)})), std::vector<Got>{S(FRAME_RR, 1, 5)});
  EXPECT_EQ(r.backend.Messages().size(), 5u);  // two calls, one frame line

  const Stream full = Pattern(MAX_I_PAYLOAD, 1);
  EXPECT_EQ(r.Read(InfoFrame(IControl(4, 1), 1, full)), std::vector<Got>{I(1, 4, 1, full)});
}

void* NoMemory(size_t) { return nullptr; }

size_t lastAllocation = 0;
void* CountingAllocation(size_t size) {
  lastAllocation = size;
  return malloc(size);
}

TEST(ReceiveParserFrames, EveryPayloadGetsABlockOrTheFrameIsDropped) {
  Rig r;
  r.Hunting();
  r.parser.AllocatePayload = &CountingAllocation;
  EXPECT_EQ(r.parser.CheckFrame(r.frame, InfoFrame(IControl(1, 1), 2, {}).data(), 10), 1);
  EXPECT_NE(r.frame.Buffer, nullptr);
  EXPECT_EQ(r.frame.Length, 0u);
  EXPECT_EQ(lastAllocation, 1u);  // malloc(0) may give null
  r.Take();

  // Without memory the I-frame is consumed and traced, and the frame behind
  // it comes out instead: never a payload-less I-frame.
  r.parser.AllocatePayload = &NoMemory;
  const Stream stream = Cat({InfoFrame(IControl(1, 0), 2, Bytes({7, 8, 9})), ShortFrame(FRAME_RR, 2)});
  EXPECT_EQ(r.Read(stream), std::vector<Got>{S(FRAME_RR, 2, 0)});
  EXPECT_TRUE(r.backend.Contains("CheckFrame I-Frame Dest: 2 NSend: 1 NRec 0 Length 3 dropped: out of memory"));
  EXPECT_EQ(r.parser.FrameBytes, 0);

  r.parser.AllocatePayload = &CountingAllocation;
  EXPECT_EQ(r.Read(stream), (std::vector<Got>{I(2, 1, 0, Bytes({7, 8, 9})), S(FRAME_RR, 2, 0)}));
  EXPECT_EQ(lastAllocation, 3u);
}

// --- service handshake ----------------------------------------------------------

TEST(ReceiveParserHandshake, FirstLineIsAlwaysDropped) {
  Rig r;
  r.Read(Text("CTI 9600\r"));
  EXPECT_EQ(r.parser.ParserState, PARSE_SERVICE_LINE);
  EXPECT_TRUE(r.delivery.events.empty());
  EXPECT_TRUE(r.hub.IsTimerRunning(TimerServiceRequest));
  // Without a carriage return nothing is kept in the first line.
  Rig s;
  s.Read(Text("CTI 9600"));
  EXPECT_EQ(s.parser.FrameBytes, 0);
  EXPECT_EQ(s.parser.ParserState, PARSE_SKIP_FIRST_LINE);
}

TEST(ReceiveParserHandshake, AnswerSwitchesTheSerialPortAndSchedulesSetup) {
  Rig r;
  r.Read(Bytes({0x41, 0x42, 0x0D, 0x0A}));
  EXPECT_TRUE(r.backend.Contains("CTIINIT \\n"));
  EXPECT_TRUE(r.backend.Contains("CTICHECK:\\n"));
  EXPECT_TRUE(r.backend.Contains("CTICHECK:No CR"));
  EXPECT_EQ(r.parser.ParserState, PARSE_SERVICE_LINE);

  EXPECT_TRUE(r.Read(Text("CTI 9600\r")).empty());
  EXPECT_TRUE(r.backend.Contains("CTICHECK:\\nCTI 9600\\r"));
  EXPECT_TRUE(r.backend.Contains("CTICHECK2:CTI 9600\\r"));
  EXPECT_TRUE(r.backend.Contains("CTI-Link connect: 9600 Bps"));
  EXPECT_EQ(r.connection.speeds, std::vector<std::string>{"9600"});
  EXPECT_FALSE(r.hub.IsTimerRunning(TimerServiceRequest));
  EXPECT_EQ(r.hub.TimeLeft(T200), 200);
  EXPECT_EQ(r.delivery.events, std::vector<uint32_t>{LINK_EVENT_SERVICE_ANSWERED});
  EXPECT_EQ(r.control.Block.RetryCount, 0);
  EXPECT_EQ(r.control.Block.LinkState, LINK_SETUP);
  EXPECT_EQ(r.parser.FrameBytes, 0);
  EXPECT_EQ(r.parser.ParserState, PARSE_HUNT);
}

TEST(ReceiveParserHandshake, RateTextIsTheLineFromTheFirstListedRate) {
  const struct {
    const char* line;
    const char* rate;
  } cases[] = {
      {"CTI 115200\r", "115200"},      {"CTI 9600/1200\r", "1200"}, {"CTI 9600 8N1\r", "9600 8N1"},
      {"PBX CTI ok 38400\r", "38400"}, {"4800 CTI 2400\r", "2400"}, {"CTI 57600\r\n", "57600"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    Rig r;
    r.Handshake(c.line);
    EXPECT_EQ(r.connection.speeds, std::vector<std::string>{c.rate});
    EXPECT_EQ(r.hub.TimeLeft(T200), 200);
  }
}

TEST(ReceiveParserHandshake, PortStaysAsItIsWithoutARateOrOnUsb) {
  Rig none;
  none.Read(Text("\r"));
  none.Read(Text("CTI\r"));
  EXPECT_TRUE(none.connection.speeds.empty());
  EXPECT_EQ(none.hub.TimeLeft(T200), 50);
  EXPECT_TRUE(none.backend.Contains("CTI-Link connect: 9600 Bps"));

  Rig usb;
  usb.connection.kind = FakeConnection::Kind::Usb;
  usb.Read(Text("\r"));
  usb.Read(Text("CTI 19200\r"));
  EXPECT_TRUE(usb.connection.speeds.empty());
  EXPECT_EQ(usb.hub.TimeLeft(T200), 50);
  EXPECT_TRUE(usb.backend.Contains("CTI-Link connect: 19200 Bps"));
  EXPECT_EQ(usb.delivery.events, std::vector<uint32_t>{LINK_EVENT_SERVICE_ANSWERED});
}

TEST(ReceiveParserHandshake, OnlyALineWithUpperCaseCtiAnswers) {
  Rig r;
  r.Read(Text("\r"));
  // Several lines in one read, the answer split over two reads.
  r.Read(Text("cti 9600\rCtI\rready CT"));
  EXPECT_TRUE(r.backend.Contains("CTICHECK:cti 9600\\rCtI\\rready CT"));
  EXPECT_EQ(r.parser.ParserState, PARSE_SERVICE_LINE);
  EXPECT_TRUE(r.delivery.events.empty());
  r.Read(Text("I 4800\r"));
  EXPECT_EQ(r.connection.speeds, std::vector<std::string>{"4800"});
  EXPECT_TRUE(r.backend.Contains("CTICHECK2:CTI 4800\\r"));
}

TEST(ReceiveParserHandshake, BytesBehindTheAnswerAreLostAndLaterAnswersAreNoise) {
  Rig r;
  r.Read(Text("\r"));
  EXPECT_TRUE(r.Read(Cat({Text("CTI 9600\r"), ShortFrame(FRAME_UA, 1)})).empty());
  EXPECT_EQ(r.parser.FrameBytes, 0);
  EXPECT_EQ(r.parser.CheckFrame(r.frame, nullptr, 0), 0);

  // The PBX answers again: the frame hunt drops the line as noise.
  EXPECT_EQ(r.Read(Cat({Text("CTI 9600\r"), ShortFrame(FRAME_UA, 1)})), std::vector<Got>{U(FRAME_UA, 1)});
  EXPECT_EQ(r.delivery.events.size(), 1u);
  EXPECT_EQ(r.connection.speeds.size(), 1u);
  EXPECT_EQ(r.parser.ParserState, PARSE_HUNT);
}

// --- the bound of the receive buffer ------------------------------------------

// The buffer sits inside the parser object, where the address sanitizer
// cannot see an overrun; the fields behind it show one instead.
void ExpectSane(const ReceiveParser& parser) {
  EXPECT_LE(parser.FrameBytes, RECEIVE_BUFFER_SIZE);
  EXPECT_LE(parser.ParserState, PARSE_I_PAYLOAD);
  if (parser.ParserState > PARSE_HUNT) {
    EXPECT_LE(parser.PendingHeader.Length, MAX_I_PAYLOAD);
  }
  if (parser.ParserState < PARSE_HUNT) {
    ASSERT_LT(parser.FrameBytes, RECEIVE_BUFFER_SIZE);
    EXPECT_EQ(parser.ReceiveBuffer[parser.FrameBytes], 0);
  }
}

TEST(ReceiveParserBound, EndlessTextKeepsOnlyItsNewestPart) {
  Rig first;
  for (int i = 0; i < 3; ++i) {
    first.Read(Stream(RECEIVE_BUFFER_SIZE, 'A'));
    ExpectSane(first.parser);
    EXPECT_EQ(first.parser.FrameBytes, 0);
  }

  Rig r;
  r.Read(Text("\r"));
  for (int i = 0; i < 3; ++i) {
    r.Read(Stream(RECEIVE_BUFFER_SIZE, 'A'));
    ExpectSane(r.parser);
    EXPECT_EQ(r.parser.FrameBytes, RECEIVE_BUFFER_SIZE - 1);
    EXPECT_EQ(r.parser.ParserState, PARSE_SERVICE_LINE);
  }
  EXPECT_TRUE(r.backend.Contains("CheckFrame: line too long, 4095 bytes dropped"));
  r.Read(Text("CTI 9600\r"));
  EXPECT_EQ(r.connection.speeds, std::vector<std::string>{"9600"});
  EXPECT_EQ(r.parser.ParserState, PARSE_HUNT);

  // A 4100-byte line whose answer lies in its newest 4095 bytes, more text
  // behind it in the same read: the same answer whether it comes whole or a
  // byte at a time.
  const std::string line = std::string(100, 'x') + "CTI 2400" + std::string(4100 - 109, 'x') + "\r";
  const Stream read = Text(line + std::string(900, 'y'));
  Rig whole;
  whole.Read(Text("\r"));
  whole.Read(read);
  EXPECT_EQ(whole.connection.speeds, std::vector<std::string>{"2400" + std::string(4100 - 109, 'x')});
  Rig bytes;
  bytes.Read(Text("\r"));
  bytes.ReadInPieces(read, {1});
  EXPECT_EQ(bytes.connection.speeds, whole.connection.speeds);
}

TEST(ReceiveParserBound, NoiseFloodThenFramesStillDecode) {
  Rig r;
  r.Hunting();
  r.trace.TraceMask = 0;
  std::mt19937 random(7);
  for (int i = 0; i < 24; ++i) {
    Stream noise(RECEIVE_BUFFER_SIZE);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
    if (i % 2) {
      for (size_t k = 0; k + 1 < noise.size(); k += 97) noise[k] = noise[k + 1] = SYN;
    }
    EXPECT_TRUE(r.Read(noise).empty());
    ExpectSane(r.parser);
  }
  // Whatever the noise left behind, the hunt has let go of it by the time
  // a few frames have passed.
  const Stream payload = Pattern(40, 2);
  Stream frames;
  for (int i = 0; i < 60; ++i) frames = Cat({frames, InfoFrame(IControl(i % 8, 0), 1, payload)});
  const std::vector<Got> got = r.Read(frames);
  ASSERT_GE(got.size(), 55u);
  for (const Got& g : got) EXPECT_EQ(g.payload, payload);
  EXPECT_EQ(got.back(), I(1, 59 % 8, 0, payload));
}

TEST(ReceiveParserBound, FullReadsOnTopOfAPartialFrameLoseNothing) {
  std::vector<Got> expected;
  Stream stream;
  const uint32_t sizes[] = {MAX_I_PAYLOAD, 1500, 700, 0, MAX_I_PAYLOAD, 30, MAX_I_PAYLOAD, 2, 1999};
  for (int round = 0; round < 3; ++round) {
    for (uint32_t size : sizes) {
      const uint8_t ns = static_cast<uint8_t>(expected.size() % 8);
      const Stream payload = Pattern(size, ns);
      stream = Cat({stream, InfoFrame(IControl(ns, 1), 2, payload)});
      expected.push_back(I(2, ns, 1, payload));
      stream = Cat({stream, ShortFrame(0x21, 2)});
      expected.push_back(S(FRAME_RR, 2, 1));
    }
  }
  Rig r;
  r.Hunting();
  // 2000 bytes of the first frame wait in the buffer, then full reads follow.
  std::vector<Got> got = r.Read(Stream(stream.begin(), stream.begin() + 2000));
  EXPECT_EQ(r.parser.FrameBytes, 2000);
  for (size_t at = 2000; at < stream.size(); at += RECEIVE_BUFFER_SIZE) {
    const size_t end = std::min(stream.size(), at + RECEIVE_BUFFER_SIZE);
    const std::vector<Got> part = r.Read(Stream(stream.begin() + at, stream.begin() + end));
    got.insert(got.end(), part.begin(), part.end());
    ExpectSane(r.parser);
  }
  EXPECT_EQ(got, expected);
  for (const std::string& line : r.backend.Messages()) EXPECT_EQ(line.find("dropped"), std::string::npos) << line;
}

TEST(ReceiveParserBound, ReadSizesNeverChangeWhatComesOut) {
  // Good frames, noise, damaged frames and oversized headers, mixed.
  std::mt19937 random(11);
  Stream stream;
  std::vector<Got> good;
  for (int i = 0; i < 400; ++i) {
    const unsigned pick = random() % 10;
    const uint8_t ns = static_cast<uint8_t>(i % 8);
    if (pick < 4) {
      const Stream payload = Pattern(random() % (MAX_I_PAYLOAD + 1), static_cast<uint8_t>(i));
      stream = Cat({stream, InfoFrame(IControl(ns, 2), 1, payload)});
      good.push_back(I(1, ns, 2, payload));
    } else if (pick < 6) {
      stream = Cat({stream, ShortFrame(0x11 | (ns << 5), 1)});
      good.push_back(S(0x11, 1, ns));
    } else if (pick < 7) {
      for (unsigned n = random() % 300; n > 0; --n) stream.push_back(static_cast<uint8_t>(random() % 0x15));
    } else if (pick < 9) {
      Stream damaged = InfoFrame(IControl(ns, 2), 1, Pattern(random() % 500 + 1, 5));
      damaged[2 + random() % (damaged.size() - 2)] ^= 0x04;
      stream = Cat({stream, damaged});
    } else {
      Stream header{SYN, SYN, 0, 1, 0x0F, 0xFF};
      PutCrc(header, header.data() + 2, 4);
      stream = Cat({stream, header});
    }
  }

  Rig whole;
  whole.Hunting();
  whole.trace.TraceMask = 0;
  const std::vector<Got> reference = whole.ReadInPieces(stream, {RECEIVE_BUFFER_SIZE});
  EXPECT_EQ(reference, good);

  Rig bytes;
  bytes.Hunting();
  bytes.trace.TraceMask = 0;
  EXPECT_EQ(bytes.ReadInPieces(stream, {1}), reference);

  Rig odd;
  odd.Hunting();
  odd.trace.TraceMask = 0;
  EXPECT_EQ(odd.ReadInPieces(stream, {3, 4096, 17, 2049, 1, 4095, 600}), reference);
}

TEST(ReceiveParserBound, OverlongHandOverLosesOnlyTheOldestBytes) {
  // More than two buffers' worth in one call: no read does that, but a caller
  // that did must not get damaged frames for it.
  Stream stream;
  std::vector<Got> sent;
  for (int i = 0; i < 200; ++i) {
    const Stream payload = Pattern(100, static_cast<uint8_t>(i));
    stream = Cat({stream, InfoFrame(IControl(i % 8, 0), static_cast<uint8_t>(i), payload)});
    sent.push_back(I(static_cast<uint8_t>(i), i % 8, 0, payload));
  }
  Rig r;
  r.Hunting();
  const std::vector<Got> got = r.Read(stream);
  const std::vector<std::string> lines = r.backend.Messages();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.rfind("CheckFrame: receive buffer full, ", 0) == 0; }),
            1);
  ASSERT_GE(got.size(), 70u);
  EXPECT_EQ(got.front(), sent.front());
  // Behind the first frame, one unbroken run of the newest frames.
  const auto start = std::find(sent.begin(), sent.end(), got[1]);
  ASSERT_NE(start, sent.end());
  EXPECT_EQ(std::vector<Got>(start, sent.end()), std::vector<Got>(got.begin() + 1, got.end()));
  ExpectSane(r.parser);
}

}  // namespace
}  // namespace kavro
