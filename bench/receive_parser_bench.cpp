// Receive cost of the frame hunt: a recorded-looking stream of I-frames of
// mixed sizes, acknowledgements and line noise, fed in full reads the way the
// receive thread feeds it.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "bench_support.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/receive_parser.h"

namespace {

using namespace kavro;
using bench::SilentBackend;
using Stream = std::vector<uint8_t>;

void PutCrc(Stream& out, const uint8_t* from, size_t count) {
  const uint16_t crc = Crc16(from, count);
  out.push_back(static_cast<uint8_t>(crc >> 8));
  out.push_back(static_cast<uint8_t>(crc));
}

void PutShortFrame(Stream& out, uint8_t control) {
  const size_t at = out.size();
  out.insert(out.end(), {SYN, SYN, control, 1});
  PutCrc(out, out.data() + at + 2, 2);
}

void PutInfoFrame(Stream& out, uint8_t control, uint32_t length, std::mt19937& random) {
  const size_t at = out.size();
  out.insert(out.end(), {SYN, SYN, control, 1, static_cast<uint8_t>(length >> 8), static_cast<uint8_t>(length)});
  PutCrc(out, out.data() + at + 2, 4);
  const size_t payload = out.size();
  for (uint32_t i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(random()));
  PutCrc(out, out.data() + payload, length);
}

// About 1 MB: mostly short call events, some long ones, an RR after most
// frames, and one byte in a hundred of line noise between frames.
Stream MixedStream(bool shortFramesOnly) {
  std::mt19937 random(2024);
  const uint32_t sizes[] = {24, 48, 64, 96, 128, 200, 320, 640, 1200, MAX_I_PAYLOAD};
  Stream out;
  size_t frameBytes = 0;
  uint8_t seq = 0;
  while (out.size() < (1u << 20)) {
    const size_t before = out.size();
    if (shortFramesOnly) {
      PutShortFrame(out, static_cast<uint8_t>(0x01 | (seq << 5)));
    } else {
      PutInfoFrame(out, static_cast<uint8_t>((seq << 5) | (seq << 1)), sizes[random() % 10], random);
      if (random() % 4 != 0) PutShortFrame(out, static_cast<uint8_t>(0x01 | (seq << 5)));
    }
    seq = static_cast<uint8_t>((seq + 1) & 7);
    frameBytes += out.size() - before;
    // One noise byte per hundred frame bytes, between frames.
    while (frameBytes >= 100) {
      out.push_back(static_cast<uint8_t>(random()));
      frameBytes -= 100;
    }
  }
  return out;
}

void RunStream(benchmark::State& state, const Stream& stream) {
  SilentBackend backend;
  TraceLog trace(backend);  // off, as without the log file
  auto parser = std::make_unique<ReceiveParser>(trace);
  parser->ParserState = PARSE_HUNT;

  L2Frame frame;
  int64_t frames = 0;
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += RECEIVE_BUFFER_SIZE) {
      const size_t n = std::min<size_t>(RECEIVE_BUFFER_SIZE, stream.size() - at);
      int result = parser->CheckFrame(frame, stream.data() + at, static_cast<int32_t>(n));
      while (result > 0) {
        ++frames;
        if (frame.Type == FRAME_I) free(frame.Buffer);
        result = parser->CheckFrame(frame, nullptr, 0);
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(stream.size()));
  state.counters["frames/s"] = benchmark::Counter(static_cast<double>(frames), benchmark::Counter::kIsRate);
}

void BM_CheckFrameMixed(benchmark::State& state) {
  static const Stream stream = MixedStream(false);
  RunStream(state, stream);
}
BENCHMARK(BM_CheckFrameMixed)->Unit(benchmark::kMillisecond);

// The worst case of moving the rest down after every frame: nothing but
// six-byte frames, about 680 of them per read.
void BM_CheckFrameShortFramesOnly(benchmark::State& state) {
  static const Stream stream = MixedStream(true);
  RunStream(state, stream);
}
BENCHMARK(BM_CheckFrameShortFramesOnly)->Unit(benchmark::kMillisecond);

}  // namespace
