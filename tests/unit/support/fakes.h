// Test doubles behind the platform and link-layer interfaces, shared by the
// unit tests.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "core/connection.h"
#include "core/delivery.h"
#include "platform/log_backend.h"

namespace kavro::testing {

// Records every trace line; the clock is fixed unless the test moves it.
class FakeLogBackend : public platform::LogBackend {
 public:
  bool CanOpenExisting(const std::string& path) override;
  bool AppendExisting(const std::string& path, const char* data, size_t size) override;
  void DebugOutput(const char* data, size_t size) override;
  platform::LocalTime Now() override { return now; }
  std::string ExecutableBaseName() override { return "kavro"; }

  // The message texts of the lines written (time stamp and name removed,
  // trailing CR LF removed).
  std::vector<std::string> Messages() const;
  bool Contains(const std::string& text) const;
  size_t Count(const std::string& text) const;
  void Clear();

  bool fileExists = true;
  platform::LocalTime now{6, 3, 2026, 9, 5, 3};
  std::vector<std::string> fileLines;   // whole lines as appended
  std::vector<std::string> debugLines;  // whole lines as passed to the debugger output
  mutable std::mutex mutex;
};

// Records every block handed to the transport.
class FakeConnection : public Connection {
 public:
  int32_t SendConnection(const uint8_t* data, uint32_t length) override;
  int32_t SetLinkSpeed(const char* rateText) override;
  bool IsComLink() const override { return kind == Kind::Com; }
  bool IsUsbLink() const override { return kind == Kind::Usb; }
  bool IsTcpLink() const override { return kind == Kind::Tcp; }
  int32_t CloseSocket() override;

  enum class Kind { Com, Usb, Tcp, None };
  Kind kind = Kind::Com;
  int32_t sendResult = 1;  // what SendConnection reports
  std::vector<std::vector<uint8_t>> sent;
  std::vector<std::string> speeds;
  int closeSocketCalls = 0;
  std::mutex mutex;
};

// Records payloads and link events; frees the payloads it takes.
class RecordingDelivery : public Delivery {
 public:
  struct Payload {
    uint32_t address;
    std::vector<uint8_t> bytes;
  };
  int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) override;
  void SignalLinkEvent(uint32_t code) override;

  bool refuse = false;  // answer -1 (the caller must then free the block)
  std::vector<Payload> payloads;
  std::vector<uint32_t> events;
  std::mutex mutex;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> values);
std::string Hex(const std::vector<uint8_t>& bytes);

}  // namespace kavro::testing
