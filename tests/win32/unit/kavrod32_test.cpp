// KAVROD32.dll's queueing and its named pipe: the backlog for the first
// client and its return when the last one leaves, the bounds, and real pipe
// clients reading whole records in order, the shutdown event included after
// the library has closed its end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <future>
#include <string>
#include <vector>

#include "pipe_server.h"
#include "record_queue.h"

#include <windows.h>

namespace kavrod32 {
namespace {

RecordRef Payload(uint8_t tag) { return MakeRecord(RECORD_PAYLOAD, 0x20, &tag, 1); }

uint8_t TagOf(const RecordRef& record) { return record ? record->message.back() : 0; }

TEST(RecordQueue, BacklogGoesToTheFirstClientAndComesBackWhenTheLastLeaves) {
  RecordQueue queue;
  EXPECT_TRUE(queue.Enqueue(Payload(1), true));
  EXPECT_TRUE(queue.Enqueue(Payload(2), true));
  const unsigned a = queue.AddClient();
  EXPECT_EQ(queue.BacklogSize(), 0u);
  EXPECT_EQ(TagOf(queue.Front(a)), 1);
  queue.Pop(a);
  // A second client gets what comes from its connection on, not the past.
  const unsigned b = queue.AddClient();
  EXPECT_EQ(queue.Front(b), nullptr);
  queue.Enqueue(Payload(3), true);
  EXPECT_EQ(TagOf(queue.Front(b)), 3);
  queue.RemoveClient(b);
  // The last client leaves with records unsent: they wait for the next one.
  queue.RemoveClient(a);
  EXPECT_EQ(queue.BacklogSize(), 2u);
  const unsigned c = queue.AddClient();
  EXPECT_EQ(TagOf(queue.Front(c)), 2);
  queue.Pop(c);
  EXPECT_EQ(TagOf(queue.Front(c)), 3);
}

TEST(RecordQueue, BacklogAndSlowClientsAreBounded) {
  RecordQueue queue;
  for (size_t i = 0; i < RecordQueue::BACKLOG_MAX; ++i) ASSERT_TRUE(queue.Enqueue(Payload(1), true));
  EXPECT_FALSE(queue.Enqueue(Payload(2), true));
  // Link events are few and never refused.
  EXPECT_TRUE(queue.Enqueue(MakeRecord(RECORD_LINK_EVENT, 18, nullptr, 0), false));

  const unsigned fast = queue.AddClient();
  const unsigned slow = queue.AddClient();
  for (size_t i = 0; i <= RecordQueue::CLIENT_QUEUE_MAX; ++i) {
    queue.Enqueue(Payload(3), true);
    while (queue.Front(fast)) queue.Pop(fast);
  }
  EXPECT_FALSE(queue.HasClient(slow));
  EXPECT_TRUE(queue.HasClient(fast));
  const auto dropped = queue.TakeDropped();
  ASSERT_EQ(dropped.size(), 1u);
  EXPECT_EQ(dropped[0].first, slow);
  EXPECT_EQ(dropped[0].second, "cannot keep up");
}

class PipeClient {
 public:
  explicit PipeClient(const char* name) {
    pipe_ = CreateFileA(name, GENERIC_READ | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe_ == INVALID_HANDLE_VALUE) return;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr);
  }
  ~PipeClient() {
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
  }
  bool Ok() const { return pipe_ != INVALID_HANDLE_VALUE; }
  // One message; empty with `error` set when the read failed.
  std::vector<uint8_t> Read(DWORD* error) {
    std::vector<uint8_t> buffer(RECORD_HEADER_SIZE + PAYLOAD_MAX + 1);
    DWORD got = 0;
    *error = ReadFile(pipe_, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) ? 0 : GetLastError();
    buffer.resize(*error == 0 ? got : 0);
    return buffer;
  }

 private:
  HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

std::vector<uint8_t> Message(uint32_t kind, uint32_t value, const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> m(RECORD_HEADER_SIZE + bytes.size(), 0);
  m[0] = static_cast<uint8_t>(kind);
  m[4] = static_cast<uint8_t>(value);
  std::copy(bytes.begin(), bytes.end(), m.begin() + RECORD_HEADER_SIZE);
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

  PipeClient client(name);
  ASSERT_TRUE(client.Ok());
  DWORD error = 0;
  EXPECT_EQ(client.Read(&error), Message(1, 0x20, {0x41, 0x42}));
  EXPECT_EQ(client.Read(&error), Message(2, 17, {}));

  // The largest payload is one message, read whole.
  std::vector<uint8_t> large(PAYLOAD_MAX);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(server.Deliver(0xFF, Block(large), PAYLOAD_MAX), 1);
  EXPECT_EQ(client.Read(&error), Message(1, 0xFF, large));
  void* tooLong = std::malloc(PAYLOAD_MAX + 1);
  EXPECT_EQ(server.Deliver(0, tooLong, PAYLOAD_MAX + 1), -1);
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

}  // namespace
}  // namespace kavrod32
