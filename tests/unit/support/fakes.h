// Test doubles behind the platform and link-layer interfaces, shared by the
// unit tests.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/connection.h"
#include "core/delivery.h"
#include "platform/log_backend.h"
#include "platform/tcp_socket.h"

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
  // Runs inside DeliverPayload, before the payload is taken.
  std::function<void()> during;
  std::vector<Payload> payloads;
  std::vector<uint32_t> events;
  std::mutex mutex;
};

// A scripted socket: records the calls and every byte sent, and answers
// each receive with the next scripted read.
class FakeTcpSocket : public platform::TcpSocket {
 public:
  int32_t Connect(const char* address, uint16_t port) override {
    calls.push_back("connect " + std::string(address) + ":" + std::to_string(port));
    if (connectError == 0) handle = 7;
    return connectError;
  }
  // With sendError set, the first `sendCut` bytes go out before it (and
  // `sendClosing` says whether this side's close cut them).
  int32_t Send(const uint8_t* data, uint32_t length, platform::SendProgress& progress) override {
    progress = platform::SendProgress{};
    if (sendError != 0) {
      wire.insert(wire.end(), data, data + (sendCut < length ? sendCut : length));
      progress.Sent = sendCut;
      progress.Closing = sendCut > 0 && sendClosing;
      return sendError;
    }
    wire.insert(wire.end(), data, data + length);
    return 0;
  }
  int32_t Receive(uint8_t* buffer, uint32_t size, int32_t& error) override;
  void Shutdown() override { calls.push_back("shutdown"); }
  void Close() override {
    calls.push_back("close");
    handle = -1;
  }
  int32_t Handle() const override { return handle; }

  int32_t connectError = 0;
  int32_t sendError = 0;
  uint32_t sendCut = 0;
  bool sendClosing = false;
  int32_t receiveError = ECONNRESET;
  int32_t handle = -1;
  std::deque<std::vector<uint8_t>> reads;  // an empty entry stands for a failing read
  std::vector<uint8_t> wire;               // every byte sent, in order
  std::vector<std::string> calls;
};

std::vector<uint8_t> Bytes(std::initializer_list<int> values);
std::string Hex(const std::vector<uint8_t>& bytes);

}  // namespace kavro::testing
