// Feeds a byte stream to the TCP framing in arbitrary read sizes, the way
// the receive thread does, and checks what comes out of it.
//
// Input: one flag byte, two bytes seeding the read sizes, then the body.
// Flag bit 0: keepalive on; bit 1: the body describes frames to build (2
// bytes length, 1 byte filler seed each) instead of being the stream
// itself; bit 2: hand over up to three reads' worth at once; bit 3: the
// delivery library refuses payloads whose first byte is odd; bit 4: in a
// built stream, replace the byte at the position given by the seed bytes;
// bit 5: built frames may be of any length up to 65535 (else below 1024);
// bits 6 and 7 both: check the send of the longest payloads as well.
//
// What must hold, whatever the input:
// - every payload delivered and every keepalive echoed is a whole frame of
//   the stream, in stream order, none overlapping another: nothing invented,
//   nothing cut, nothing merged;
// - the frames at the front of the stream that are well formed (each starts
//   with the tag and is complete) come out first and all of them, however
//   the stream is split: no byte before a frame is lost;
// - a stream that is well formed to its end yields exactly its frames, and
//   its incomplete tail is still held afterwards;
// - no payload is longer than 65535 bytes and the framing never holds more
//   than its buffer;
// - every payload block is freed or owned by the library exactly once
//   (the leak checker sees the rest);
// - a payload longer than the 16-bit length field is never sent, and one of
//   exactly 65535 bytes is sent whole.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/connection.h"
#include "core/delivery.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/link_context.h"
#include "link/link_state_machine.h"
#include "link/link_timers.h"
#include "link/send_queue.h"
#include "link/socket_framing.h"
#include "platform/tcp_socket.h"
#include "platform/virtual/virtual_event_hub.h"
#include "transport/tcp_port.h"

namespace {

using namespace kavro;
using Bytes = std::vector<uint8_t>;

constexpr size_t MAX_STREAM = 256 * 1024;

// The checks below walk whole streams; coverage feedback from them would
// only slow the fuzzer and steer it by the harness rather than the framing.
#define HARNESS_ONLY __attribute__((no_sanitize("coverage")))

class SilentBackend : public platform::LogBackend {
 public:
  bool CanOpenExisting(const std::string&) override { return true; }
  bool AppendExisting(const std::string&, const char*, size_t) override { return true; }
  void DebugOutput(const char*, size_t) override {}
  platform::LocalTime Now() override { return {}; }
  std::string ExecutableBaseName() override { return "fuzz"; }
};

// One frame as it left the framing, delivered or echoed.
struct Out {
  bool echoed;
  Bytes payload;
  bool operator==(const Out&) const = default;
};

// The socket below the port: cuts what is sent into frames as the peer
// would and notes each echo between the deliveries; never receives (the
// fuzzer hands the bytes to the framing itself).
class WireSocket : public platform::TcpSocket {
 public:
  int32_t Connect(const char*, uint16_t) override { return 0; }
  int32_t Send(const uint8_t* data, uint32_t length, platform::SendProgress&) override {
    wire.insert(wire.end(), data, data + length);
    while (wire.size() - taken >= SOCKET_HEADER_SIZE) {
      const uint8_t* at = wire.data() + taken;
      const size_t payload = at[1] * 256u + at[2];
      if (at[0] != SOCKET_FRAME_TAG || payload == 0) abort();
      if (wire.size() - taken < SOCKET_HEADER_SIZE + payload) break;
      if (out) out->push_back({true, Bytes(at + SOCKET_HEADER_SIZE, at + SOCKET_HEADER_SIZE + payload)});
      taken += SOCKET_HEADER_SIZE + payload;
    }
    return 0;
  }
  int32_t Receive(uint8_t*, uint32_t, int32_t&) override { return 0; }
  void Shutdown() override {}
  void Close() override {}
  int32_t Handle() const override { return 3; }
  // Every frame sent is whole once the send returned.
  bool Settled() const { return taken == wire.size(); }

  Bytes wire;
  size_t taken = 0;
  std::vector<Out>* out = nullptr;
};

// The transport-neutral send of a TCP link: straight to the port's socket.
class TcpConnection : public Connection {
 public:
  int32_t SendConnection(const uint8_t* data, uint32_t length) override { return port->SendSocket(data, length); }
  int32_t SetLinkSpeed(const char*) override { return 0; }
  bool IsComLink() const override { return false; }
  bool IsUsbLink() const override { return false; }
  bool IsTcpLink() const override { return true; }
  int32_t CloseSocket() override { return port->CloseSocket(); }
  TcpPort* port = nullptr;
};

class RecordingDelivery : public Delivery {
 public:
  int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) override {
    if (address != TCP_ADDRESS_BYTE || payload == nullptr || length == 0 || length > SOCKET_MAX_PAYLOAD) abort();
    const auto* bytes = static_cast<const uint8_t*>(payload);
    // Refused blocks stay with the caller, which must free them.
    if (refuseOdd && (bytes[0] & 1) != 0) return KAVRO_QUEUE_ERROR;
    out->push_back({false, Bytes(bytes, bytes + length)});
    free(payload);
    return 0;
  }
  void SignalLinkEvent(uint32_t) override {}
  bool refuseOdd = false;
  std::vector<Out>* out = nullptr;
};

struct Rig {
  Rig(bool keepalive, bool refuseOdd, bool traced) {
    if (traced) trace.InitTraceLog("/fuzz");  // every trace line formatted, as with the log on
    trace.TraceMask = traced ? 0xFF : 0;
    connection.port = &port;
    delivery.refuseOdd = refuseOdd;
    delivery.out = &out;
    socket.out = &out;
    framing.KeepaliveEnabled = keepalive ? 1 : 0;
    framing.KeepaliveTimeout = keepalive ? 61000 : 0;
  }

  SilentBackend backend;
  TraceLog trace{backend};
  platform::VirtualEventHub hub;
  LinkControl control{trace, hub};
  WireSocket socket;
  TcpPort port{socket, control, trace};
  TcpConnection connection;
  FrameCodec codec{trace, connection};
  RecordingDelivery delivery;
  LinkContext ctx{trace, control, hub, codec, delivery, connection};
  LinkStateMachine machine{ctx};
  SendQueue queue{ctx, machine};
  LinkTimers timers{ctx, machine, queue};
  SocketFraming framing{ctx, timers};
  std::vector<Out> out;
  L2Frame frame;

  void Check() {
    if (framing.SocketBytes < 0 || static_cast<uint32_t>(framing.SocketBytes) > SOCKET_BUFFER_SIZE) abort();
    if (frame.Buffer != nullptr) abort();  // every payload handed on or freed
    if (!socket.Settled()) abort();        // an echo sent in part
  }

  // The receive thread's pass over one read.
  void Read(const uint8_t* data, size_t size) {
    framing.ReceiveSocketBytes(frame, data, static_cast<int32_t>(size));
    Check();
  }

  // The same pass spelled out over CheckSocketFrame and ProcessSocketFrame,
  // for reads no longer than the receive thread's.
  void ReadDirect(const uint8_t* data, size_t size) {
    int32_t n = framing.CheckSocketFrame(&frame, data, static_cast<int32_t>(size));
    while (n > 0 || framing.FrameCut()) {
      if (n > 0) {
        if (frame.Dest != TCP_ADDRESS_BYTE || frame.Buffer == nullptr || frame.Length != static_cast<uint32_t>(n)) {
          abort();
        }
        framing.ProcessSocketFrame(&frame);
      } else if (frame.Buffer != nullptr) {
        abort();
      }
      Check();
      n = framing.CheckSocketFrame(&frame, nullptr, 0);
    }
    Check();
  }
};

// The frames at the front of the stream that are well formed, and where
// they end.
HARNESS_ONLY std::vector<Bytes> CleanFrames(const Bytes& stream, size_t& end) {
  std::vector<Bytes> frames;
  end = 0;
  while (stream.size() - end >= SOCKET_HEADER_SIZE && stream[end] == SOCKET_FRAME_TAG) {
    const size_t length = stream[end + 1] * 256u + stream[end + 2];
    if (stream.size() - end < SOCKET_HEADER_SIZE + length) break;
    frames.emplace_back(stream.begin() + static_cast<long>(end + SOCKET_HEADER_SIZE),
                        stream.begin() + static_cast<long>(end + SOCKET_HEADER_SIZE + length));
    end += SOCKET_HEADER_SIZE + length;
  }
  return frames;
}

// What the clean frames must give: empty frames nothing, keepalives (when
// on) an echo, refused payloads nothing, the rest a delivery.
HARNESS_ONLY std::vector<Out> Expected(const std::vector<Bytes>& frames, bool keepalive, bool refuseOdd) {
  std::vector<Out> out;
  for (const Bytes& f : frames) {
    if (f.empty()) continue;
    if (keepalive && f[0] == KEEPALIVE_MARK) {
      out.push_back({true, f});
    } else if (!(refuseOdd && (f[0] & 1) != 0)) {
      out.push_back({false, f});
    }
  }
  return out;
}

// The frames out after the clean ones are found whole in the rest of the
// stream, each after the one before: nothing invented, cut or merged, and no
// clean frame given twice.
HARNESS_ONLY void CheckEmbedded(const std::vector<Out>& out, size_t first, const Bytes& stream, size_t from) {
  for (size_t i = first; i < out.size(); ++i) {
    const Bytes& payload = out[i].payload;
    if (payload.empty() || payload.size() > SOCKET_MAX_PAYLOAD) abort();
    const size_t frameSize = SOCKET_HEADER_SIZE + payload.size();
    // Only a tag with this length can start the frame; the first such place
    // that holds the payload is the earliest the frame can have come from.
    bool found = false;
    for (; from + frameSize <= stream.size(); ++from) {
      if (stream[from] == SOCKET_FRAME_TAG && stream[from + 1] == (payload.size() >> 8) &&
          stream[from + 2] == (payload.size() & 0xFF) &&
          std::memcmp(stream.data() + from + SOCKET_HEADER_SIZE, payload.data(), payload.size()) == 0) {
        found = true;
        break;
      }
    }
    if (!found) abort();
    from += frameSize;
  }
}

HARNESS_ONLY void CheckRun(const std::vector<Out>& out, const std::vector<Out>& expected, const Bytes& stream,
                           size_t cleanEnd, bool wellFormed) {
  if (out.size() < expected.size() || !std::equal(expected.begin(), expected.end(), out.begin())) abort();
  if (wellFormed && out.size() != expected.size()) abort();
  CheckEmbedded(out, expected.size(), stream, cleanEnd);
}

HARNESS_ONLY Bytes BuildStream(const uint8_t* data, size_t size, bool large) {
  Bytes stream;
  for (size_t at = 0; at + 3 <= size && stream.size() < MAX_STREAM; at += 3) {
    const uint32_t length = large ? data[at] * 256u + data[at + 1] : (data[at] * 256u + data[at + 1]) % 1024;
    std::minstd_rand fill(data[at + 2] + 1u);
    const size_t start = stream.size();
    stream.resize(start + SOCKET_HEADER_SIZE + length, data[at + 2]);
    uint8_t* frame = stream.data() + start;
    frame[0] = SOCKET_FRAME_TAG;
    frame[1] = static_cast<uint8_t>(length >> 8);
    frame[2] = static_cast<uint8_t>(length);
    // Mostly the filler byte, which thus decides keepalives and odd first
    // bytes; every seventh byte varies so that frames differ.
    for (uint32_t i = 6; i < length; i += 7) frame[SOCKET_HEADER_SIZE + i] = static_cast<uint8_t>(fill());
  }
  // Input left over after the last whole triple: a lone tag, the start of a
  // frame whose next read has not come yet.
  if (size % 3 != 0) stream.push_back(SOCKET_FRAME_TAG);
  return stream;
}

void CheckSend(uint16_t seed) {
  // The longest payload the length field can carry goes out whole; one byte
  // more, or any longer, is refused and nothing of it is sent.
  Rig rig(false, false, false);
  Bytes payload(SOCKET_MAX_PAYLOAD + 1 + (seed & 0xFF), static_cast<uint8_t>(seed >> 8));
  if (rig.framing.SendSocketFrame(payload.data(), static_cast<uint32_t>(payload.size())) != 0) abort();
  if (!rig.socket.wire.empty()) abort();
  if (rig.framing.SendSocketFrame(payload.data(), SOCKET_MAX_PAYLOAD) != 1) abort();
  if (rig.socket.wire.size() != SOCKET_HEADER_SIZE + SOCKET_MAX_PAYLOAD) abort();
  if (rig.socket.wire[0] != SOCKET_FRAME_TAG || rig.socket.wire[1] != 0xFF || rig.socket.wire[2] != 0xFF) abort();
  if (!std::equal(payload.begin(), payload.begin() + SOCKET_MAX_PAYLOAD,
                  rig.socket.wire.begin() + SOCKET_HEADER_SIZE)) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t flags = data[0];
  const uint16_t seed = static_cast<uint16_t>(data[1] * 256u + data[2]);
  data += 3;
  size -= 3;
  const bool keepalive = (flags & 1) != 0;
  const bool build = (flags & 2) != 0;
  const bool oversize = (flags & 4) != 0;
  const bool refuseOdd = (flags & 8) != 0;
  const bool damage = (flags & 16) != 0;

  const bool large = (flags & 32) != 0;
  Bytes stream = build ? BuildStream(data, size, large) : Bytes(data, data + std::min(size, MAX_STREAM));
  if (build && damage && !stream.empty()) stream[seed % stream.size()] ^= 0x5A;

  size_t cleanEnd = 0;
  const std::vector<Bytes> clean = CleanFrames(stream, cleanEnd);
  const std::vector<Out> expected = Expected(clean, keepalive, refuseOdd);
  // Well formed to the end: what follows the clean frames, if anything, is
  // the start of one more frame.
  const bool wellFormed = cleanEnd == stream.size() || stream[cleanEnd] == SOCKET_FRAME_TAG;

  // The receive thread's reads, of random sizes.
  {
    auto rig = std::make_unique<Rig>(keepalive, refuseOdd, true);
    std::minstd_rand sizes(seed + 1u);
    const size_t limit = oversize ? 3 * SOCKET_READ_SIZE : SOCKET_READ_SIZE;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min<size_t>(stream.size() - at, 1 + sizes() % limit);
      rig->Read(stream.data() + at, n);
      at += n;
    }
    CheckRun(rig->out, expected, stream, cleanEnd, wellFormed);
    if (wellFormed && static_cast<size_t>(rig->framing.SocketBytes) != stream.size() - cleanEnd) abort();
  }

  // A byte at a time through the framing's own calls; a long stream in
  // pieces of a few bytes, which still split every header somewhere.
  {
    auto rig = std::make_unique<Rig>(keepalive, refuseOdd, false);
    std::minstd_rand sizes(seed + 7u);
    const size_t limit = stream.size() <= 16 * 1024 ? 1 : 16;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min<size_t>(stream.size() - at, 1 + sizes() % limit);
      rig->ReadDirect(stream.data() + at, n);
      at += n;
    }
    CheckRun(rig->out, expected, stream, cleanEnd, wellFormed);
    if (wellFormed && static_cast<size_t>(rig->framing.SocketBytes) != stream.size() - cleanEnd) abort();
  }

  if ((flags & 0xC0) == 0xC0) CheckSend(seed);
  return 0;
}
