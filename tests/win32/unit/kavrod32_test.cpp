// KAVROD32.dll's named pipe in front of the shared queueing core, with real
// pipe clients: the link-state record first, whole records in order, the
// credit rule of the pipe (a credit sent at once counts; without one a
// client is plain once its grace is over), and the shutdown event read after
// the library has closed its end. The queueing rules themselves are the
// core's, tested with it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "pipe_server.h"
#include "kavrod.h"

#include <windows.h>

namespace kavrod32 {
namespace {

class PipeClient {
 public:
  explicit PipeClient(const char* name) {
    pipe_ = CreateFileA(name, GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
    if (pipe_ == INVALID_HANDLE_VALUE) return;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr);
  }
  ~PipeClient() {
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
  }
  bool Ok() const { return pipe_ != INVALID_HANDLE_VALUE; }
  bool Credit(uint32_t count) {
    const uint8_t request[KAVROD_REQUEST_SIZE] = {KAVROD_REQUEST_CREDIT, 0, 0, 0, static_cast<uint8_t>(count),
                                                  static_cast<uint8_t>(count >> 8), static_cast<uint8_t>(count >> 16),
                                                  static_cast<uint8_t>(count >> 24)};
    DWORD written = 0;
    return WriteFile(pipe_, request, sizeof request, &written, nullptr) && written == sizeof request;
  }
  void Close() {
    CloseHandle(pipe_);
    pipe_ = INVALID_HANDLE_VALUE;
  }
  // One message; empty with `error` set when the read failed.
  std::vector<uint8_t> Read(DWORD* error) {
    std::vector<uint8_t> buffer(KAVROD_RECORD_MAX + 1);
    DWORD got = 0;
    *error = ReadFile(pipe_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) ? 0 : GetLastError();
    buffer.resize(*error == 0 ? got : 0);
    return buffer;
  }

 private:
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

std::vector<uint8_t> Message(uint32_t kind, uint32_t value, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> m(KAVROD_HEADER_SIZE + bytes.size(), 0);
  m[0] = static_cast<uint8_t>(kind);
  m[4] = static_cast<uint8_t>(value);
  std::copy(bytes.begin(), bytes.end(), m.begin() + KAVROD_HEADER_SIZE);
  return m;
}

void* Block(const std::vector<uint8_t>& bytes) {
  void* block = std::malloc(bytes.size());
  std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

TEST(PipeServer, ClientsReadWholeRecordsInOrderAndTheShutdownEventAfterTheEnd) {
  const char* name = "\\\\.\\pipe\\kavrod-unit-test";
  PipeServer server(name);
  ASSERT_TRUE(server.Start());
  // Before any client: held for the first one.
  EXPECT_EQ(server.Deliver(0x20, Block({0x41, 0x42}), 2), 1);
  server.Signal(17);

  // A client that only reads: its link-state record at once (the link is
  // not up), then, once its grace for a credit is over, everything.
  PipeClient client(name);
  ASSERT_TRUE(client.Ok());
  DWORD error = 0;
  EXPECT_EQ(client.Read(&error), Message(3, 0, {}));
  EXPECT_EQ(client.Read(&error), Message(1, 0x20, {0x41, 0x42}));
  EXPECT_EQ(client.Read(&error), Message(2, 17, {}));

  // The largest payload is one message, read whole.
  std::vector<uint8_t> large(KAVROD_PAYLOAD_MAX);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(server.Deliver(0xFF, Block(large), KAVROD_PAYLOAD_MAX), 1);
  EXPECT_EQ(client.Read(&error), Message(1, 0xFF, large));
  void* tooLong = std::malloc(KAVROD_PAYLOAD_MAX + 1);
  EXPECT_EQ(server.Deliver(0, tooLong, KAVROD_PAYLOAD_MAX + 1), -1);
  std::free(tooLong);

  // The driver ends right after event 0: the record must still be there for
  // a client that reads only after the library has closed its end.
  server.Signal(0);
  EXPECT_EQ(client.Read(&error), Message(2, 0, {}));
  EXPECT_TRUE(client.Read(&error).empty());
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
  // Refused after the end: the block stays the caller's.
  void* late = std::malloc(1);
  EXPECT_EQ(server.Deliver(0, late, 1), -1);
  std::free(late);
}

TEST(PipeServer, ACreditClientTakesWhatItGrantedAndLeavesTheRestForTheNextClient) {
  const char* name = "\\\\.\\pipe\\kavrod-unit-test-credit";
  PipeServer server(name);
  ASSERT_TRUE(server.Start());
  server.Signal(1);
  for (uint8_t tag = 1; tag <= 3; ++tag) ASSERT_EQ(server.Deliver(0x20, Block({tag}), 1), 1);

  DWORD error = 0;
  {
    // The credit right after connecting, before reading anything.
    PipeClient counting(name);
    ASSERT_TRUE(counting.Ok());
    ASSERT_TRUE(counting.Credit(2));
    EXPECT_EQ(counting.Read(&error), Message(3, 1, {}));
    EXPECT_EQ(counting.Read(&error), Message(2, 1, {}));
    EXPECT_EQ(counting.Read(&error), Message(1, 0x20, {1}));
  }
  // What the first client was not sent waits for the next one, in order,
  // after its own link-state record.
  PipeClient plain(name);
  ASSERT_TRUE(plain.Ok());
  ASSERT_EQ(server.Deliver(0x20, Block({4}), 1), 1);
  EXPECT_EQ(plain.Read(&error), Message(3, 1, {}));
  EXPECT_EQ(plain.Read(&error), Message(1, 0x20, {2}));
  EXPECT_EQ(plain.Read(&error), Message(1, 0x20, {3}));
  EXPECT_EQ(plain.Read(&error), Message(1, 0x20, {4}));
  server.Signal(0);
  EXPECT_EQ(plain.Read(&error), Message(2, 0, {}));
  EXPECT_TRUE(plain.Read(&error).empty());
}

}  // namespace
}  // namespace kavrod32
