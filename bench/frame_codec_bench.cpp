// Encoding cost of the layer-2 frames: the CRC alone and whole I-frames as
// SendFrame builds them, handed to a transport that drops them.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

#include "bench_support.h"
#include "core/connection.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"

namespace {

using namespace kavro;
using bench::NullConnection;
using bench::SilentBackend;

void BM_Crc16(benchmark::State& state) {
  std::vector<uint8_t> block(2048);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 31 + 7);
  for (auto _ : state) {
    benchmark::DoNotOptimize(Crc16(block.data(), block.size()));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(block.size()));
}
BENCHMARK(BM_Crc16);

void BM_SendFrame(benchmark::State& state) {
  SilentBackend backend;
  TraceLog trace(backend);  // off, as without the log file
  NullConnection connection;
  FrameCodec codec(trace, connection);
  std::vector<uint8_t> payload(static_cast<size_t>(state.range(0)), 0x5A);
  L2Frame frame;
  frame.Type = FRAME_I;
  frame.Dest = 1;
  frame.Length = static_cast<uint32_t>(payload.size());
  frame.Buffer = payload.data();
  for (auto _ : state) {
    frame.NSend = static_cast<uint8_t>((frame.NSend + 1) & 7);
    benchmark::DoNotOptimize(codec.SendFrame(frame));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(payload.size() + 10));
}
BENCHMARK(BM_SendFrame)->Arg(MAX_I_PAYLOAD)->Arg(100);

}  // namespace
