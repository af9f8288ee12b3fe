// Feeds arbitrary bytes to the receive parser in arbitrary read sizes.
//
// Input: one flag byte, two bytes seeding the read sizes, then the stream.
// Flag bit 0: start in the frame hunt (else before the service answer);
// bit 1: a USB link; bit 2: allow hand-overs larger than one read.
// Within the frame hunt and with reads of at most 4096 bytes, the frames
// must come out exactly as when the same stream arrives a byte at a time.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "control/delivery.h"
#include "control/link_control.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/receive_parser.h"
#include "platform/virtual/virtual_event_hub.h"
#include "transport/connection.h"

namespace {

using namespace kavro;

class SilentBackend : public platform::LogBackend {
 public:
  bool CanOpenExisting(const std::string&) override { return true; }
  bool AppendExisting(const std::string&, const char*, size_t) override { return true; }
  void DebugOutput(const char*, size_t) override {}
  platform::LocalTime Now() override { return {}; }
  std::string ExecutableBaseName() override { return "fuzz"; }
};

class StubConnection : public Connection {
 public:
  explicit StubConnection(bool usb) : usb_(usb) {}
  int32_t SendConnection(const uint8_t*, uint32_t length) override { return static_cast<int32_t>(length); }
  int32_t SetLinkSpeed(const char* rateText) override {
    // The rate text must be a string inside the buffer: read it whole.
    return static_cast<int32_t>(strlen(rateText));
  }
  bool IsComLink() const override { return !usb_; }
  bool IsUsbLink() const override { return usb_; }
  bool IsTcpLink() const override { return false; }
  int32_t CloseSocket() override { return 0; }

 private:
  bool usb_;
};

class StubDelivery : public Delivery {
 public:
  int32_t DeliverPayload(uint32_t, void* payload, uint32_t) override {
    free(payload);
    return 0;
  }
  void SignalLinkEvent(uint32_t) override {}
};

struct Out {
  uint8_t dest, type, nsend, nrec;
  std::vector<uint8_t> payload;
  bool operator==(const Out&) const = default;
};

struct Rig {
  explicit Rig(bool usb) : connection(usb) {
    trace.InitTraceLog("/fuzz");  // every trace line formatted, as with the log on
  }
  SilentBackend backend;
  TraceLog trace{backend};
  platform::VirtualEventHub hub;
  LinkControl control{trace, hub};
  StubConnection connection;
  FrameCodec codec{trace, connection};
  StubDelivery delivery;
  LinkContext ctx{trace, control, hub, codec, delivery, connection};
  ReceiveParser parser{ctx};
  L2Frame frame;
  std::vector<Out> out;

  void Check() {
    if (parser.FrameBytes > RECEIVE_BUFFER_SIZE || parser.ParserState > PARSE_I_PAYLOAD) abort();
    if (parser.ParserState < PARSE_HUNT &&
        (parser.FrameBytes >= RECEIVE_BUFFER_SIZE || parser.ReceiveBuffer[parser.FrameBytes] != 0)) {
      abort();
    }
    if (parser.ParserState > PARSE_HUNT && parser.PendingHeader.Length > MAX_I_PAYLOAD) abort();
  }

  void Take() {
    Out o{frame.Dest, frame.Type, frame.NSend, frame.NRec, {}};
    if (frame.Type == FRAME_I) {
      if (frame.Buffer == nullptr || frame.Length > MAX_I_PAYLOAD) abort();
      o.payload.assign(frame.Buffer, frame.Buffer + frame.Length);
      free(frame.Buffer);
    } else if ((frame.Type & 1) == 0) {
      abort();  // an S or U frame always has bit 0 set
    }
    out.push_back(std::move(o));
  }

  void Read(const uint8_t* data, size_t size) {
    int result = parser.CheckFrame(frame, data, static_cast<int32_t>(size));
    Check();
    while (result > 0) {
      Take();
      result = parser.CheckFrame(frame, nullptr, 0);
      Check();
    }
    if (parser.BacklogBytes() != 0) abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const uint8_t flags = data[0];
  std::minstd_rand sizes(data[1] * 256u + data[2] + 1);
  data += 3;
  size -= 3;
  const bool hunting = (flags & 1) != 0;
  const bool oversize = (flags & 4) != 0;

  auto split = std::make_unique<Rig>((flags & 2) != 0);
  if (hunting) split->parser.ParserState = PARSE_HUNT;
  for (size_t at = 0; at < size;) {
    const size_t limit = oversize ? 3 * RECEIVE_BUFFER_SIZE : RECEIVE_BUFFER_SIZE;
    const size_t n = std::min<size_t>(size - at, 1 + sizes() % limit);
    split->Read(data + at, n);
    at += n;
  }

  if (hunting && !oversize) {
    auto bytes = std::make_unique<Rig>((flags & 2) != 0);
    bytes->trace.TraceMask = 0;  // the reference run need not format its lines
    bytes->parser.ParserState = PARSE_HUNT;
    for (size_t at = 0; at < size; ++at) bytes->Read(data + at, 1);
    if (!(bytes->out == split->out)) abort();
  }
  return 0;
}
