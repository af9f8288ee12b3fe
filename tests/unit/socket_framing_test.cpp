// The TCP framing over a TCP port with a scripted socket: frames cut out of
// the byte stream however the reads split it, payloads framed on the way
// out, and the keepalive.
#include "link/socket_framing.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/link_state_machine.h"
#include "link/link_timers.h"
#include "link/send_queue.h"
#include "platform/virtual/virtual_event_hub.h"
#include "support/fakes.h"
#include "transport/tcp_port.h"

namespace kavro {
namespace {

using testing::Bytes;
using testing::FakeConnection;
using testing::FakeLogBackend;
using testing::FakeTcpSocket;
using testing::Hex;
using testing::RecordingDelivery;
using Stream = std::vector<uint8_t>;

// Routes the transport-neutral send to the TCP port, as the transport does
// on a TCP link, and records each block.
class TcpConnection : public FakeConnection {
 public:
  int32_t SendConnection(const uint8_t* data, uint32_t length) override {
    FakeConnection::SendConnection(data, length);
    return port->SendSocket(data, length);
  }
  TcpPort* port = nullptr;
};

class SocketFramingTest : public ::testing::Test {
 public:
  SocketFramingTest() {
    trace.TraceMask = LOG_ERROR | LOG_WARNING | LOG_PROTOCOL | LOG_DETAIL;
    connection.kind = FakeConnection::Kind::Tcp;
    connection.port = &port;
  }

  void SwitchKeepaliveOn() {
    framing.KeepaliveEnabled = 1;
    framing.KeepaliveTimeout = KEEPALIVE_MS;
  }

  void Feed(const Stream& bytes) {
    framing.ReceiveSocketBytes(frame, bytes.data(), static_cast<int32_t>(bytes.size()));
  }

  std::vector<std::string> Delivered() {
    std::vector<std::string> out;
    for (const auto& p : delivery.payloads) {
      EXPECT_EQ(p.address, TCP_ADDRESS_BYTE);
      out.push_back(Hex(p.bytes));
    }
    return out;
  }

  size_t ErrorLines() {
    size_t n = 0;
    for (const std::string& m : backend.Messages()) {
      n += m.find("failed") != std::string::npos;
    }
    return n;
  }

  FakeLogBackend backend;
  TraceLog trace{backend};
  platform::VirtualEventHub hub;
  LinkControl control{trace, hub};
  TcpConnection connection;
  RecordingDelivery delivery;
  FrameCodec codec{trace, connection};
  LinkContext ctx{trace, control, hub, codec, delivery, connection};
  LinkStateMachine machine{ctx};
  SendQueue queue{ctx, machine};
  LinkTimers timers{ctx, machine, queue};
  FakeTcpSocket socket;
  TcpPort port{socket, control, trace};
  SocketFraming framing{ctx, timers};
  L2Frame frame;
};

Stream Frame(const Stream& payload) {
  Stream out{SOCKET_FRAME_TAG, static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size() & 0xFF)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Stream Concat(std::initializer_list<Stream> parts) {
  Stream out;
  for (const Stream& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

Stream Pattern(size_t n, uint32_t seed) {
  Stream out(n);
  for (size_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>((i * 31 + seed) ^ (i >> 8));
  return out;
}

// ---------------------------------------------------------------- receive side

// A byte stream can be cut anywhere by the reads: every cut into two or three
// reads must deliver the same payloads, in order, with no complaint. Cuts that
// leave a header (or less) alone are the ones an early version lost.
TEST(SocketFramingStream, DeliversTheSameFramesWhereverTheReadsCutTheStream) {
  const Stream stream = Concat({Frame(Bytes({0x41, 0x42, 0x43})), Frame({}),
                                Frame(Bytes({0x01, 0x02, 0x03, 0x04, 0x05})), Frame(Bytes({0xF2, 0x07}))});
  const std::vector<std::string> expected{"414243", "0102030405", "F207"};
  for (size_t i = 0; i <= stream.size(); ++i) {
    for (size_t j = i; j <= stream.size(); ++j) {
      SCOPED_TRACE("cuts at " + std::to_string(i) + " and " + std::to_string(j));
      struct Fixture : SocketFramingTest {
        void TestBody() override {}
      } t;
      t.Feed(Stream(stream.begin(), stream.begin() + i));
      t.Feed(Stream(stream.begin() + i, stream.begin() + j));
      t.Feed(Stream(stream.begin() + j, stream.end()));
      EXPECT_EQ(t.Delivered(), expected);
      EXPECT_EQ(t.framing.SocketBytes, 0);
      EXPECT_EQ(t.ErrorLines(), 0u);
    }
  }
}

TEST_F(SocketFramingTest, DrainsEveryFrameOfOneReadIncludingThoseBehindAnEmptyFrame) {
  Feed(
      Concat({Frame({}), Frame(Bytes({0xAA, 0xBB})), Frame({}), Frame({}), Frame(Bytes({0xCC})), Bytes({0xC5, 0x00})}));
  // Everything complete is delivered in this pass; the started header waits
  // silently for the next read.
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"AABB", "CC"}));
  EXPECT_EQ(framing.SocketBytes, 2);
  EXPECT_EQ(ErrorLines(), 0u);

  Feed(Bytes({0x01, 0xDD}));
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"AABB", "CC", "DD"}));
  EXPECT_EQ(framing.SocketBytes, 0);
  // The trace line keeps its two opening parentheses.
  bool traced = false;
  for (const std::string& m : backend.Messages()) traced |= m.rfind("CheckSocketFrame((0x", 0) == 0;
  EXPECT_TRUE(traced);
}

TEST_F(SocketFramingTest, LargestPayloadsArriveWholeAndInOrderAcrossManyReads) {
  const Stream big1 = Pattern(SOCKET_MAX_PAYLOAD, 1);
  const Stream big2 = Pattern(SOCKET_MAX_PAYLOAD, 2);
  const Stream mid = Pattern(5000, 3);
  const Stream stream = Concat({Frame(Bytes({0x01})), Frame(big1), Frame(mid), Frame(big2), Frame(Bytes({0x02}))});
  // Reads of 4096 bytes as the receive thread makes them, so that a read
  // brings the end of one large frame and the start of the next.
  for (size_t at = 0; at < stream.size(); at += SOCKET_READ_SIZE) {
    const size_t end = std::min(stream.size(), at + SOCKET_READ_SIZE);
    Feed(Stream(stream.begin() + at, stream.begin() + end));
  }
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"01", Hex(big1), Hex(mid), Hex(big2), "02"}));
  EXPECT_EQ(framing.SocketBytes, 0);
  EXPECT_EQ(ErrorLines(), 0u);

  // Handed over in one block, larger than the buffer, the same stream is
  // taken in read-sized pieces and nothing is lost.
  delivery.payloads.clear();
  Feed(stream);
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"01", Hex(big1), Hex(mid), Hex(big2), "02"}));
  EXPECT_EQ(ErrorLines(), 0u);
}

TEST_F(SocketFramingTest, UnknownTagDropsEverythingHeld) {
  // Layer-2 framing on a TCP link: dropped whole, with the length field as
  // the size.
  Feed(Bytes({0x16, 0x16, 0x73, 0x01, 0x20, 0x33}));
  EXPECT_TRUE(backend.Contains("CheckSocketFrame failed: Unknown Data Tag 0x16, Size 5747!"));
  EXPECT_EQ(framing.SocketBytes, 0);
  EXPECT_TRUE(delivery.payloads.empty());

  // Noise behind a frame takes the frames after it along: without a
  // checksum no tag can be trusted, so there is no search for the next one.
  backend.Clear();
  Feed(Concat({Frame(Bytes({0xAA})), Bytes({0x7E}), Frame(Bytes({0xBB}))}));
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"AA"}));
  EXPECT_TRUE(backend.Contains("CheckSocketFrame failed: Unknown Data Tag 0x7e, Size 50432!"));
  EXPECT_EQ(framing.SocketBytes, 0);

  // The link goes on: the next clean read is delivered.
  Feed(Frame(Bytes({0xCC})));
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"AA", "CC"}));
}

TEST_F(SocketFramingTest, RefusedPayloadIsFreedAndTheConnectionGoesOn) {
  delivery.refuse = true;
  Feed(Concat({Frame(Bytes({0x01, 0x02})), Frame(Bytes({0x03}))}));
  // Both frames were offered (the leak checker sees the blocks freed).
  EXPECT_EQ(backend.Count("ProcessSocketFrame failed: KAVRO_QUEUE_ERROR !"), 2u);
  EXPECT_EQ(frame.Buffer, nullptr);

  delivery.refuse = false;
  Feed(Frame(Bytes({0x04})));
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"04"}));

  EXPECT_EQ(framing.CheckSocketFrame(nullptr, nullptr, 0), 0);
  EXPECT_EQ(framing.ProcessSocketFrame(nullptr), 0);
  EXPECT_TRUE(backend.Contains("ProcessSocketFrame failed: Receiveframe is NULL !"));
}

// ------------------------------------------------------------------ send side

TEST_F(SocketFramingTest, ClientPayloadsAreFramedWithTagAndBigEndianLength) {
  EXPECT_EQ(framing.SendSocketFrame(Bytes({0x7E}).data(), 1), 1);
  const Stream p300 = Pattern(300, 9);
  EXPECT_EQ(framing.SendSocketFrame(p300.data(), 300), 1);
  EXPECT_EQ(Hex(socket.wire), "C500017E" + ("C5012C" + Hex(p300)));
  ASSERT_EQ(connection.sent.size(), 2u);
  EXPECT_EQ(Hex(connection.sent[0]), "C500017E");

  // Nothing to send is refused before anything reaches the socket.
  EXPECT_EQ(framing.SendSocketFrame(p300.data(), 0), 0);
  EXPECT_EQ(framing.SendSocketFrame(nullptr, 3), 0);
  EXPECT_EQ(backend.Count("SendSocketFrame failed - pData or nDatalen 0 !"), 2u);
  EXPECT_EQ(connection.sent.size(), 2u);
}

// The frame of a 65533..65535-byte payload is longer than a 16-bit count:
// it must still go out whole, never with its count cut.
TEST_F(SocketFramingTest, LargestPayloadsAreSentWhole) {
  for (uint32_t n : {65532u, 65533u, 65534u, 65535u}) {
    socket.wire.clear();
    const Stream payload = Pattern(n, n);
    EXPECT_EQ(framing.SendSocketFrame(payload.data(), n), 1) << n;
    EXPECT_EQ(socket.wire, Frame(payload)) << n;
  }
  // Longer ones cannot be framed and are refused, not truncated.
  const Stream tooLong = Pattern(65536 + 5, 1);
  socket.wire.clear();
  EXPECT_EQ(framing.SendSocketFrame(tooLong.data(), static_cast<uint32_t>(tooLong.size())), 0);
  EXPECT_TRUE(socket.wire.empty());
  EXPECT_TRUE(backend.Contains("SendSocketFrame failed - payload of 65541 bytes too long !"));
}

// A frame is whole on the wire or the connection ends: a send refused before
// its first byte fails the frame alone; one cut part-way by the peer ends the
// link as a lost connection, the keepalive echo as much as a client payload.
TEST_F(SocketFramingTest, SendRefusedWholeFailsTheFrameAndCutOneEndsTheLink) {
  control.SetLinkState(LINK_ESTABLISHED);
  socket.sendError = EPIPE;
  EXPECT_EQ(framing.SendSocketFrame(Bytes({0x01}).data(), 1), 0);
  EXPECT_TRUE(backend.Contains("send() failed: error 32 !"));
  EXPECT_TRUE(backend.Contains("SendSocketFrame failed !"));
  EXPECT_EQ(port.SendSocket(nullptr, 4), 0);
  EXPECT_EQ(control.State(), LINK_ESTABLISHED);
  EXPECT_TRUE(delivery.events.empty());

  // Cut by this side's close: the close ends the link, not the framing.
  socket.sendError = ECANCELED;
  socket.sendCut = 2;
  socket.sendClosing = true;
  EXPECT_EQ(framing.SendSocketFrame(Bytes({0x01, 0x02}).data(), 2), 0);
  EXPECT_TRUE(backend.Contains("send() cut the block after 2 of 5 bytes: connection closed !"));
  EXPECT_EQ(control.State(), LINK_ESTABLISHED);
  EXPECT_TRUE(delivery.events.empty());

  // Cut by a peer that stopped taking bytes, in the keepalive echo.
  SwitchKeepaliveOn();
  socket.sendError = ETIMEDOUT;
  socket.sendClosing = false;
  Feed(Frame(Bytes({0xF2, 0x01})));
  EXPECT_EQ(control.State(), LINK_RELEASED);
  EXPECT_EQ(control.EndReasonNoted(), LinkEndReason::ConnectionLost);
  EXPECT_EQ(delivery.events, (std::vector<uint32_t>{LINK_EVENT_FAILED}));
  // The receive thread then finds the connection gone and releases again:
  // one destroy request, one trace line.
  control.ReleaseLink(LinkEndReason::ConnectionLost);
  EXPECT_EQ(hub.Queued().size(), 1u);
  EXPECT_EQ(backend.Count("CTI Link Released"), 1u);
}

// ------------------------------------------------------------------ keepalive

TEST_F(SocketFramingTest, KeepaliveIsEchoedAndNeverDeliveredWhenOn) {
  SwitchKeepaliveOn();
  Feed(Bytes({0xC5, 0x00, 0x02, 0xF2, 0x01}));
  EXPECT_EQ(Hex(socket.wire), "C50002F201");
  EXPECT_TRUE(delivery.payloads.empty());
  EXPECT_EQ(framing.KeepaliveSeen, 1);
  EXPECT_EQ(hub.TimeLeft(TimerKeepalive), KEEPALIVE_MS);
  EXPECT_TRUE(backend.Contains("ProcessSocketFrame Connection-KeepAlive"));
}

TEST_F(SocketFramingTest, KeepaliveMarkIsAnOrdinaryPayloadWhenOff) {
  Feed(Bytes({0xC5, 0x00, 0x02, 0xF2, 0x01}));
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"F201"}));
  EXPECT_TRUE(socket.wire.empty());
  EXPECT_EQ(framing.KeepaliveSeen, 0);
  EXPECT_FALSE(hub.IsTimerRunning(TimerKeepalive));
}

TEST_F(SocketFramingTest, ReceivedFramesRestartTheTimerOnlyOnceAKeepaliveWasSeen) {
  SwitchKeepaliveOn();
  Feed(Frame(Bytes({0x10})));
  EXPECT_FALSE(hub.IsTimerRunning(TimerKeepalive));

  Feed(Frame(Bytes({0xF2})));
  hub.Advance(40000);
  EXPECT_EQ(hub.TimeLeft(TimerKeepalive), KEEPALIVE_MS - 40000);
  Feed(Frame(Bytes({0x11})));
  EXPECT_EQ(hub.TimeLeft(TimerKeepalive), KEEPALIVE_MS);
  EXPECT_EQ(Delivered(), (std::vector<std::string>{"10", "11"}));

  // The timer's expiry ends nothing here (the control window handles it),
  // and the flag is never cleared.
  hub.Advance(KEEPALIVE_MS);
  EXPECT_FALSE(hub.IsTimerRunning(TimerKeepalive));
  Feed(Frame(Bytes({0x12})));
  EXPECT_EQ(framing.KeepaliveSeen, 1);
  EXPECT_EQ(hub.TimeLeft(TimerKeepalive), KEEPALIVE_MS);
}

}  // namespace
}  // namespace kavro
