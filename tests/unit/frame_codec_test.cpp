#include "link/frame_codec.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "diag/trace_log.h"
#include "support/fakes.h"

namespace kavro {
namespace {

using testing::Bytes;
using testing::FakeConnection;
using testing::FakeLogBackend;
using testing::Hex;

class Codec : public ::testing::Test {
 protected:
  Codec() { trace.InitTraceLog("/var/log"); }

  // The single block handed to the transport by the last SendFrame.
  std::vector<uint8_t> OnlySent() {
    EXPECT_EQ(connection.sent.size(), 1u);
    return connection.sent.empty() ? std::vector<uint8_t>{} : connection.sent.back();
  }

  static std::string AddressOf(const void* p) {
    char text[32];
    snprintf(text, sizeof text, "%lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p)));
    return text;
  }

  FakeLogBackend backend;
  TraceLog trace{backend};
  FakeConnection connection;
  FrameCodec codec{trace, connection};
};

TEST(Crc16, CheckValueEmptyBlockAndTrailingCrcGivesZero) {
  const std::string digits = "123456789";
  const auto* data = reinterpret_cast<const uint8_t*>(digits.data());
  EXPECT_EQ(Crc16(data, digits.size()), 0x29B1);
  EXPECT_EQ(Crc16(data, 0), 0xFFFF);
  std::vector<uint8_t> block(data, data + digits.size());
  block.push_back(0x29);
  block.push_back(0xB1);
  EXPECT_EQ(Crc16(block.data(), block.size()), 0);
}

TEST_F(Codec, ExampleShortFramesOnTheWire) {
  L2Frame rr;
  rr.Type = FRAME_RR;
  rr.NRec = 5;
  rr.Dest = 1;
  EXPECT_EQ(codec.SendFrame(rr), 1);
  EXPECT_EQ(Hex(OnlySent()), "1616A1012361");

  // The P/F bit stays; a U-frame ignores the sequence numbers.
  connection.sent.clear();
  L2Frame pf;
  pf.Type = FRAME_RR | FRAME_PF;
  pf.NRec = 2;
  codec.SendFrame(pf);
  EXPECT_EQ(OnlySent()[2], 0x51);

  connection.sent.clear();
  L2Frame start;
  start.Type = FRAME_START;
  start.Dest = 1;
  start.NRec = 6;
  start.NSend = 5;
  codec.SendFrame(start);
  EXPECT_EQ(Hex(OnlySent()), "16163F011885");
  EXPECT_EQ(backend.Messages(), (std::vector<std::string>{"SendFrame S-RR Dest 1 NRec 5",
                                                          "SendFrame S-RR PF Dest 0 NRec 2", "SendFrame U-START"}));
}

TEST_F(Codec, EveryKnownShortCodeIsSentWithItsTraceLine) {
  const struct {
    uint8_t type;
    const char* line;
  } codes[] = {
      {0x01, "SendFrame S-RR Dest 3 NRec 4"},
      {0x05, "SendFrame S-RNR Dest 3 NRec 4"},
      {0x09, "SendFrame S-REJ Dest 3 NRec 4"},
      {0x11, "SendFrame S-RR PF Dest 3 NRec 4"},
      {0x15, "SendFrame S-RNR PF Dest 3 NRec 4"},
      {0x19, "SendFrame S-REJ PF Dest 3 NRec 4"},
      {0x0F, "SendFrame U-DM"},
      {0x3F, "SendFrame U-START"},
      {0x53, "SendFrame U-DISC"},
      {0x73, "SendFrame U-UA"},
      {0x83, "SendFrame U-FRMR"},
  };
  for (const auto& code : codes) {
    SCOPED_TRACE(code.line);
    connection.sent.clear();
    backend.Clear();
    L2Frame frame;
    frame.Type = code.type;
    frame.Dest = 3;
    frame.NRec = 4;
    codec.SendFrame(frame);
    const std::vector<uint8_t> wire = OnlySent();
    ASSERT_EQ(wire.size(), 6u);
    EXPECT_EQ(wire[0], SYN);
    EXPECT_EQ(wire[1], SYN);
    const bool supervisory = (code.type & 3) == 1;
    EXPECT_EQ(wire[2], supervisory ? (code.type | (4 << 5)) : code.type);
    EXPECT_EQ(Crc16(wire.data() + 2, 4), 0);
    EXPECT_EQ(backend.Messages(), std::vector<std::string>{code.line});
  }
}

TEST_F(Codec, CodesOutsideTheProtocolAreNeitherSentNorLogged) {
  for (uint8_t type : {0x0D, 0x1D, 0x02, 0x07, 0xFF}) {
    L2Frame frame;
    frame.Type = type;
    EXPECT_EQ(codec.SendFrame(frame), 0) << int(type);
  }
  EXPECT_TRUE(connection.sent.empty());
  EXPECT_TRUE(backend.Messages().empty());
}

TEST_F(Codec, InformationFrameLayout) {
  std::vector<uint8_t> payload(0x0102);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  L2Frame frame;
  frame.Type = FRAME_I;
  frame.NSend = 3;
  frame.NRec = 6;
  frame.Dest = 0x21;
  frame.Length = static_cast<uint32_t>(payload.size());
  frame.Buffer = payload.data();
  EXPECT_EQ(codec.SendFrame(frame), 1);

  const std::vector<uint8_t> wire = OnlySent();
  ASSERT_EQ(wire.size(), 268u);
  EXPECT_EQ(Hex({wire.begin(), wire.begin() + 6}), "1616C6210102");
  EXPECT_EQ(Crc16(wire.data() + 2, 6), 0);
  EXPECT_EQ(std::vector<uint8_t>(wire.begin() + 8, wire.end() - 2), payload);
  EXPECT_EQ(Crc16(wire.data() + 8, payload.size() + 2), 0);
  EXPECT_EQ(backend.Messages(),
            std::vector<std::string>{"SendFrame I-Frame Dest: 21 NSend: 3 NRec 6 Length 102 &Buffer " +
                                     AddressOf(payload.data())});
}

TEST_F(Codec, PayloadLengthLimit) {
  std::vector<uint8_t> payload(MAX_I_PAYLOAD + 1, 0x5A);
  L2Frame frame;
  frame.Buffer = payload.data();
  frame.Length = MAX_I_PAYLOAD;
  codec.SendFrame(frame);
  const std::vector<uint8_t> wire = OnlySent();
  ASSERT_EQ(wire.size(), 2048u);
  EXPECT_EQ(wire[4], 0x07);
  EXPECT_EQ(wire[5], 0xF6);
  EXPECT_EQ(Crc16(wire.data() + 8, MAX_I_PAYLOAD + 2), 0);

  connection.sent.clear();
  backend.Clear();
  frame.Length = MAX_I_PAYLOAD + 1;
  EXPECT_EQ(codec.SendFrame(frame), 0);
  EXPECT_TRUE(connection.sent.empty());
  // The trace line is written before the check, and nothing after it.
  ASSERT_EQ(backend.Messages().size(), 1u);
  EXPECT_EQ(backend.Messages()[0].rfind("SendFrame I-Frame Dest: 0 NSend: 0 NRec 0 Length 7f7 &Buffer ", 0), 0u);
}

TEST_F(Codec, EmptyPayloadIsSentButAMissingOneIsNot) {
  uint8_t none = 0;
  L2Frame frame;
  frame.Buffer = &none;
  frame.Length = 0;
  codec.SendFrame(frame);
  const std::vector<uint8_t> wire = OnlySent();
  ASSERT_EQ(wire.size(), 10u);
  EXPECT_EQ(wire[8], 0xFF);
  EXPECT_EQ(wire[9], 0xFF);
  EXPECT_EQ(Crc16(wire.data() + 2, 6), 0);

  connection.sent.clear();
  backend.Clear();
  for (uint32_t length : {0u, 5u}) {
    L2Frame missing;
    missing.Length = length;
    EXPECT_EQ(codec.SendFrame(missing), 0);
  }
  EXPECT_TRUE(connection.sent.empty());
  EXPECT_EQ(backend.Count("SendFrame I-Frame Dest: 0 NSend: 0 NRec 0 Length 0 &Buffer 0"), 1u);
  EXPECT_EQ(backend.Count("SendFrame I-Frame Dest: 0 NSend: 0 NRec 0 Length 5 &Buffer 0"), 1u);
}

TEST_F(Codec, TransmitSlotIsFreeAgainAfterAFailedWrite) {
  uint8_t byte = 0x42;
  L2Frame frame;
  frame.Buffer = &byte;
  frame.Length = 1;
  connection.sendResult = 0;
  EXPECT_EQ(codec.SendFrame(frame), 0);
  connection.sendResult = 1;
  EXPECT_EQ(codec.SendFrame(frame), 1);
  EXPECT_EQ(connection.sent.size(), 2u);

  // While the slot is held (an encoding in progress) a second one is refused.
  ASSERT_NE(codec.AcquireTransmitSlot(16), nullptr);
  EXPECT_EQ(codec.AcquireTransmitSlot(16), nullptr);
  EXPECT_EQ(codec.SendFrame(frame), 0);
  codec.ReleaseTransmitSlot();
  EXPECT_EQ(codec.SendFrame(frame), 1);
}

}  // namespace
}  // namespace kavro
