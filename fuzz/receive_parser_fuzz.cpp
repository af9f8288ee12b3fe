// Feeds arbitrary bytes to the receive parser in arbitrary read sizes.
//
// Input: one flag byte, two bytes seeding the read sizes, then the stream.
// Flag bit 0: start in the frame hunt (else before the service answer);
// bit 1 is not used (the parser does not know the link kind); bit 2: allow
// hand-overs larger than one read.
// Within the frame hunt and with reads of at most 4096 bytes, the frames
// must come out exactly as when the same stream arrives a byte at a time.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/receive_parser.h"

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

class RateReader : public ServiceAnswerListener {
 public:
  void ServiceAnswered(const char* rateText) override {
    // The rate text must be a string inside the buffer: read it whole.
    if (rateText != nullptr) answered += strlen(rateText);
  }
  size_t answered = 0;
};

struct Out {
  uint8_t dest, type, nsend, nrec;
  std::vector<uint8_t> payload;
  bool operator==(const Out&) const = default;
};

struct Rig {
  Rig() {
    trace.InitTraceLog("/fuzz");  // every trace line formatted, as with the log on
  }
  SilentBackend backend;
  TraceLog trace{backend};
  RateReader rates;
  ReceiveParser parser{trace, &rates};
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

  auto split = std::make_unique<Rig>();
  if (hunting) split->parser.ParserState = PARSE_HUNT;
  for (size_t at = 0; at < size;) {
    const size_t limit = oversize ? 3 * RECEIVE_BUFFER_SIZE : RECEIVE_BUFFER_SIZE;
    const size_t n = std::min<size_t>(size - at, 1 + sizes() % limit);
    split->Read(data + at, n);
    at += n;
  }

  if (hunting && !oversize) {
    auto bytes = std::make_unique<Rig>();
    bytes->trace.TraceMask = 0;  // the reference run need not format its lines
    bytes->parser.ParserState = PARSE_HUNT;
    for (size_t at = 0; at < size; ++at) bytes->Read(data + at, 1);
    if (!(bytes->out == split->out)) abort();
  }
  return 0;
}
