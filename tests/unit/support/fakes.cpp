#include "support/fakes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace kavro::testing {

bool FakeLogBackend::CanOpenExisting(const std::string&) { return fileExists; }

bool FakeLogBackend::AppendExisting(const std::string&, const char* data, size_t size) {
  std::lock_guard lock(mutex);
  if (!fileExists) return false;
  fileLines.emplace_back(data, size);
  return true;
}

void FakeLogBackend::DebugOutput(const char* data, size_t size) {
  std::lock_guard lock(mutex);
  debugLines.emplace_back(data, size);
}

std::vector<std::string> FakeLogBackend::Messages() const {
  std::lock_guard lock(mutex);
  std::vector<std::string> out;
  for (const std::string& line : debugLines) {
    // "[dd.mm.yy hh:mm:ss] kavro: text\r\n"
    size_t start = line.find("] ");
    start = line.find(": ", start == std::string::npos ? 0 : start);
    std::string text = start == std::string::npos ? line : line.substr(start + 2);
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
    out.push_back(text);
  }
  return out;
}

bool FakeLogBackend::Contains(const std::string& text) const { return Count(text) > 0; }

size_t FakeLogBackend::Count(const std::string& text) const {
  size_t n = 0;
  for (const std::string& m : Messages()) n += (m == text);
  return n;
}

void FakeLogBackend::Clear() {
  std::lock_guard lock(mutex);
  fileLines.clear();
  debugLines.clear();
}

int32_t FakeConnection::SendConnection(const uint8_t* data, uint32_t length) {
  std::lock_guard lock(mutex);
  sent.emplace_back(data, data + length);
  return sendResult;
}

int32_t FakeConnection::SetLinkSpeed(const char* rateText) {
  std::lock_guard lock(mutex);
  speeds.emplace_back(rateText);
  return 1;
}

int32_t FakeConnection::CloseSocket() {
  ++closeSocketCalls;
  return 1;
}

int32_t RecordingDelivery::DeliverPayload(uint32_t address, void* payload, uint32_t length) {
  if (during) during();
  std::lock_guard lock(mutex);
  if (refuse) return -1;
  auto* bytes = static_cast<uint8_t*>(payload);
  payloads.push_back({address, std::vector<uint8_t>(bytes, bytes + length)});
  free(payload);
  return 0;
}

void RecordingDelivery::SignalLinkEvent(uint32_t code) {
  std::lock_guard lock(mutex);
  events.push_back(code);
}

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char buf[4];
  for (uint8_t b : bytes) {
    snprintf(buf, sizeof buf, "%02X", b);
    out += buf;
  }
  return out;
}

int32_t FakeTcpSocket::Receive(uint8_t* buffer, uint32_t size, int32_t& error) {
  if (reads.empty()) return 0;
  std::vector<uint8_t> next = reads.front();
  reads.pop_front();
  if (next.empty()) {
    error = receiveError;
    return -1;
  }
  EXPECT_LE(next.size(), size);
  std::copy(next.begin(), next.end(), buffer);
  return static_cast<int32_t>(next.size());
}

}  // namespace kavro::testing
