#include "support/link_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kavro::testing {

SentFrame DecodeSent(const std::vector<uint8_t>& bytes) {
  SentFrame f;
  f.raw = bytes;
  if (bytes.size() < 6 || bytes[0] != SYN || bytes[1] != SYN) return f;
  const uint8_t control = bytes[2];
  f.dest = bytes[3];
  if ((control & 1) == 0) {
    f.kind = SentFrame::Kind::I;
    const size_t length = static_cast<size_t>(bytes[4]) << 8 | bytes[5];
    EXPECT_EQ(bytes.size(), length + 10) << Hex(bytes);
    EXPECT_EQ(Crc16(bytes.data() + 2, 6), 0) << "header CRC " << Hex(bytes);
    if (bytes.size() != length + 10) return f;
    EXPECT_EQ(Crc16(bytes.data() + 8, length + 2), 0) << "payload CRC " << Hex(bytes);
    f.nsend = (control >> 1) & 7;
    f.nrec = control >> 5;
    f.payload.assign(bytes.begin() + 8, bytes.begin() + 8 + static_cast<long>(length));
    return f;
  }
  EXPECT_EQ(bytes.size(), 6u) << Hex(bytes);
  EXPECT_EQ(Crc16(bytes.data() + 2, 4), 0) << "CRC " << Hex(bytes);
  if ((control & 3) == 1) {
    f.kind = SentFrame::Kind::S;
    f.type = control & 0x1F;
    f.nrec = control >> 5;
  } else {
    f.kind = SentFrame::Kind::U;
    f.type = control;
  }
  return f;
}

std::string Describe(const SentFrame& f) {
  char text[64];
  switch (f.kind) {
    case SentFrame::Kind::I:
      snprintf(text, sizeof text, "I d%X ns%d nr%d ", f.dest, f.nsend, f.nrec);
      return text + Hex(f.payload);
    case SentFrame::Kind::S: {
      const char* kinds[] = {"RR", "RNR", "REJ", "S?"};
      snprintf(text, sizeof text, "%s%s d%X nr%d", kinds[(f.type >> 2) & 3], (f.type & FRAME_PF) ? "-PF" : "", f.dest,
               f.nrec);
      return text;
    }
    case SentFrame::Kind::U: {
      std::string name;
      switch (f.type) {
        case FRAME_START: name = "START"; break;
        case FRAME_UA: name = "UA"; break;
        case FRAME_DISC: name = "DISC"; break;
        case FRAME_DM: name = "DM"; break;
        case FRAME_FRMR: name = "FRMR"; break;
        default: snprintf(text, sizeof text, "U%02X", f.type); name = text;
      }
      if (f.dest) {
        snprintf(text, sizeof text, " d%X", f.dest);
        name += text;
      }
      return name;
    }
    case SentFrame::Kind::Raw: break;
  }
  return "RAW " + Hex(f.raw);
}

LinkFixture::LinkFixture() {
  trace.TraceMask = 0xFF;
  hub.SetHandler(this);
}

LinkFixture::~LinkFixture() { hub.SetHandler(nullptr); }

int32_t LinkFixture::KavroWnd(uint32_t message, uint32_t wParam, const platform::CopyData*) {
  if (message == platform::WM_TIMER) {
    hub.KillTimer(wParam);
    trace.TraceMessage(LOG_DETAIL, "TimerEvent");
    timers.OnLinkTimer(wParam);
  }
  return 0;
}

void LinkFixture::ReceiveI(uint8_t nsend, uint8_t nrec, std::vector<uint8_t> payload, uint8_t dest) {
  L2Frame frame;
  frame.Dest = dest;
  frame.Type = FRAME_I;
  frame.Length = static_cast<uint32_t>(payload.size());
  // The parser's block: exactly Length bytes, an empty but valid one for 0.
  frame.Buffer = static_cast<uint8_t*>(malloc(payload.empty() ? 1 : payload.size()));
  if (!payload.empty()) memcpy(frame.Buffer, payload.data(), payload.size());
  frame.NSend = nsend;
  frame.NRec = nrec;
  machine.ProcessFrame(frame);
}

void LinkFixture::ReceiveS(uint8_t code, uint8_t nrec, uint8_t address) {
  L2Frame frame;
  frame.Dest = address;
  frame.Type = code;
  frame.NRec = nrec;
  machine.ProcessFrame(frame);
}

void LinkFixture::ReceiveU(uint8_t code) {
  L2Frame frame;
  frame.Type = code;
  machine.ProcessFrame(frame);
}

std::vector<SentFrame> LinkFixture::TakeSent() {
  std::vector<SentFrame> out;
  for (const auto& block : connection.sent) out.push_back(DecodeSent(block));
  connection.sent.clear();
  return out;
}

Strings LinkFixture::TakeSentText() {
  Strings out;
  for (const SentFrame& f : TakeSent()) out.push_back(Describe(f));
  return out;
}

int LinkFixture::Send(std::vector<uint8_t> payload, uint8_t dest) {
  return queue.EnqueuePayload(dest, static_cast<uint32_t>(payload.size()), payload.data());
}

size_t LinkFixture::DestroyRequests() {
  size_t n = 0;
  for (const auto& m : hub.Delivered()) n += m.message == platform::WM_DESTROY;
  for (const auto& m : hub.Queued()) n += m.message == platform::WM_DESTROY;
  return n;
}

void LinkFixture::StartServiceRequest() { ASSERT_TRUE(timers.StartServiceRequest()); }

void LinkFixture::Establish() {
  SetState(LINK_SETUP);
  control.Block.RetryCount = 0;
  hub.SetTimer(T200, 50);
  hub.FireNext();
  ReceiveU(FRAME_UA);
  ASSERT_EQ(State(), LINK_ESTABLISHED);
  TakeSent();
}

void LinkFixture::ExpectSetupGivesUp(uint64_t entry) {
  for (int i = 0; i < 3; ++i) {
    hub.FireNext();
    EXPECT_EQ(TakeSentText(), Strings{"START"});
  }
  hub.FireNext();
  hub.RunPending();
  EXPECT_EQ(hub.NowMs() - entry, 4000u);
  EXPECT_EQ(State(), LINK_RELEASED);
  EXPECT_EQ(QueueLast(), -1);
}

}  // namespace kavro::testing
