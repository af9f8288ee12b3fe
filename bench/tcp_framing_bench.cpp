// Receive-side cost of the TCP framing: a stream of frames of one size, cut
// into the 4096-byte reads the receive thread makes, through the frame cutter
// and into a delivery library that only frees the payloads.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "core/connection.h"
#include "core/delivery.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/link_state_machine.h"
#include "link/link_timers.h"
#include "link/send_queue.h"
#include "link/socket_framing.h"
#include "platform/log_backend.h"
#include "platform/virtual/virtual_event_hub.h"

namespace {

using namespace kavro;

class QuietLog : public platform::LogBackend {
 public:
  bool CanOpenExisting(const std::string&) override { return false; }
  bool AppendExisting(const std::string&, const char*, size_t) override { return false; }
  void DebugOutput(const char*, size_t) override {}
  platform::LocalTime Now() override { return {}; }
  std::string ExecutableBaseName() override { return "kavro"; }
};

class NoConnection : public Connection {
 public:
  int32_t SendConnection(const uint8_t*, uint32_t length) override { return static_cast<int32_t>(length); }
  int32_t SetLinkSpeed(const char*) override { return 1; }
  bool IsComLink() const override { return false; }
  bool IsUsbLink() const override { return false; }
  bool IsTcpLink() const override { return true; }
  int32_t CloseSocket() override { return 1; }
};

class FreeingDelivery : public Delivery {
 public:
  int32_t DeliverPayload(uint32_t, void* payload, uint32_t length) override {
    bytes += length;
    std::free(payload);
    return 0;
  }
  void SignalLinkEvent(uint32_t) override {}
  uint64_t bytes = 0;
};

void ReceiveFrames(benchmark::State& state) {
  const size_t payloadSize = static_cast<size_t>(state.range(0));
  std::vector<uint8_t> stream;
  while (stream.size() < 1024 * 1024) {
    stream.push_back(SOCKET_FRAME_TAG);
    stream.push_back(static_cast<uint8_t>(payloadSize >> 8));
    stream.push_back(static_cast<uint8_t>(payloadSize));
    for (size_t i = 0; i < payloadSize; ++i) stream.push_back(static_cast<uint8_t>(i));
  }

  QuietLog backend;
  TraceLog trace(backend);
  platform::VirtualEventHub hub;
  LinkControl control(trace, hub);
  NoConnection connection;
  FreeingDelivery delivery;
  FrameCodec codec(trace, connection);
  LinkContext ctx{trace, control, hub, codec, delivery, connection};
  LinkStateMachine machine(ctx);
  SendQueue queue(ctx, machine);
  LinkTimers timers(ctx, machine, queue);
  SocketFraming framing(ctx, timers);
  L2Frame frame;

  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += SOCKET_READ_SIZE) {
      const size_t n = std::min<size_t>(SOCKET_READ_SIZE, stream.size() - at);
      framing.ReceiveSocketBytes(frame, stream.data() + at, static_cast<int32_t>(n));
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["frames/s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * static_cast<double>(stream.size()) / (payloadSize + 3),
      benchmark::Counter::kIsRate);
}
BENCHMARK(ReceiveFrames)->Arg(16)->Arg(256)->Arg(4093)->Arg(65535);

}  // namespace
