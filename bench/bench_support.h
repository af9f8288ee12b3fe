// Stand-ins for the log file and the transport, shared by the benchmarks so
// that they measure the link layer alone.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "core/connection.h"
#include "diag/trace_log.h"
#include "platform/log_backend.h"

namespace kavro::bench {

// The trace log as it normally runs: no log file, nothing written.
class SilentBackend : public platform::LogBackend {
 public:
  bool CanOpenExisting(const std::string&) override { return false; }
  bool AppendExisting(const std::string&, const char*, size_t) override { return false; }
  void DebugOutput(const char*, size_t) override {}
  platform::LocalTime Now() override { return {}; }
  std::string ExecutableBaseName() override { return "bench"; }
};

// A serial link whose writes go nowhere; the last byte is touched so that
// the frame's encoding cannot be optimised away.
class NullConnection : public Connection {
 public:
  int32_t SendConnection(const uint8_t* data, uint32_t length) override {
    if (length) benchmark::DoNotOptimize(data[length - 1]);
    return static_cast<int32_t>(length);
  }
  int32_t SetLinkSpeed(const char*) override { return 1; }
  bool IsComLink() const override { return true; }
  bool IsUsbLink() const override { return false; }
  bool IsTcpLink() const override { return false; }
  int32_t CloseSocket() override { return 0; }
};

}  // namespace kavro::bench
