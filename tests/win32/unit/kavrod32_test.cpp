// KAVROD32.dll's named pipe in front of the shared queueing core, with real
// pipe clients: the link-state record first, whole records in order, the
// credit rule of the pipe (a credit sent at once counts; without one a
// client is plain once its grace is over), the shutdown event read after
// the library has closed its end, clients connecting in the same instant,
// refusals counted, notices that never hold the clients up, who may
// open the pipe, clients dropped for bad requests, and a pipe name held by
// another program. The queueing rules themselves are the core's, tested with
// it.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipe_server.h"
#include "delivery_core.h"
#include "kavrod.h"

#include <windows.h>
#include <aclapi.h>

namespace kavrod32 {
namespace {

class PipeClient {
 public:
  // The usual open, once, without waiting for a free instance.
  explicit PipeClient(const char* name) {
    pipe_ = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    openError_ = pipe_ == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (pipe_ == INVALID_HANDLE_VALUE) return;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe_, &mode, nullptr, nullptr);
  }
  ~PipeClient() {
    if (pipe_ != INVALID_HANDLE_VALUE) CloseHandle(pipe_);
  }
  bool Ok() const { return pipe_ != INVALID_HANDLE_VALUE; }
  DWORD OpenError() const { return openError_; }
  HANDLE Handle() const { return pipe_; }
  bool Send(const std::vector<uint8_t>& message) {
    DWORD written = 0;
    return WriteFile(pipe_, message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
           written == message.size();
  }
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
  DWORD openError_ = 0;
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

// `count` clients that open the pipe in the same instant, one thread each,
// released together once all are waiting.
std::vector<std::unique_ptr<PipeClient>> ConnectAtOnce(const char* name, size_t count) {
  HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::vector<std::unique_ptr<PipeClient>> clients(count);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < count; ++i) {
    threads.emplace_back([&, i] {
      WaitForSingleObject(go, INFINITE);
      clients[i] = std::make_unique<PipeClient>(name);
    });
  }
  Sleep(50);
  SetEvent(go);
  for (std::thread& thread : threads) thread.join();
  CloseHandle(go);
  return clients;
}

TEST(PipeServer, SixteenClientsConnectingInTheSameInstantAllFindTheRecordsWaiting) {
  const char* name = "\\\\.\\pipe\\kavrod-unit-test-burst";
  PipeServer server(name);
  ASSERT_TRUE(server.Start());
  constexpr size_t count = PipeServer::LISTENING_INSTANCES;
  ASSERT_EQ(count, 16u);
  std::vector<std::unique_ptr<PipeClient>> clients = ConnectAtOnce(name, count);
  DWORD error = 0;
  for (size_t i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    // Not ERROR_PIPE_BUSY: an instance was listening for each.
    ASSERT_TRUE(clients[i]->Ok()) << clients[i]->OpenError();
    EXPECT_EQ(clients[i]->Read(&error), Message(3, 0, {}));
  }
  ASSERT_EQ(server.Deliver(0x20, Block({7}), 1), 1);
  for (size_t i = 0; i < count; ++i) EXPECT_EQ(clients[i]->Read(&error), Message(1, 0x20, {7})) << i;
  // The instances were replaced before the clients were served.
  PipeClient late(name);
  ASSERT_TRUE(late.Ok()) << late.OpenError();
  EXPECT_EQ(late.Read(&error), Message(3, 0, {}));
  server.Signal(0);
}

// A client served as a plain one after its grace, and sent records, cannot
// become the acknowledged client any more: asking ends its connection, as on
// the Unix socket, instead of being ignored while records pile up for an
// acknowledged client that never comes.
TEST(PipeServer, AnAcknowledgedRequestAfterTheFirstRecordsEndsTheConnection) {
  const char* name = "\\\\.\\pipe\\kavrod-unit-test-late-ack";
  PipeServer server(name);
  ASSERT_TRUE(server.Start());
  PipeClient client(name);
  ASSERT_TRUE(client.Ok()) << client.OpenError();
  DWORD error = 0;
  EXPECT_EQ(client.Read(&error), Message(3, 0, {}));
  ASSERT_EQ(server.Deliver(0x20, Block({1}), 1), 1);
  EXPECT_EQ(client.Read(&error), Message(1, 0x20, {1}));
  ASSERT_TRUE(client.Send({KAVROD_REQUEST_ACKNOWLEDGED, 0, 0, 0, 0, 0, 0, 0}));
  auto next = std::async(std::launch::async, [&client] {
    DWORD readError = 0;
    return client.Read(&readError).empty() ? readError : DWORD{0};
  });
  const bool ended = next.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
  // Releases a read still waiting, whatever happened.
  server.Signal(0);
  EXPECT_TRUE(ended);
  EXPECT_EQ(next.get(), static_cast<DWORD>(ERROR_BROKEN_PIPE));
}

// A sink that holds its first line until the test lets it go.
struct HeldSink {
  HANDLE release = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  std::mutex mutex;
  std::vector<std::pair<uint32_t, std::string>> lines;

  static void __stdcall Take(void* context, uint32_t level, const char* line) {
    auto* sink = static_cast<HeldSink*>(context);
    WaitForSingleObject(sink->release, 10000);
    std::lock_guard<std::mutex> guard(sink->mutex);
    sink->lines.emplace_back(level, line);
  }
};

TEST(PipeServer, EveryRefusalIsCountedAndASinkThatBlocksHoldsUpNoClient) {
  const char* name = "\\\\.\\pipe\\kavrod-unit-test-refusals";
  kavrod::Limits limits;
  limits.clients_max = 2;
  PipeServer server(name, limits);
  HeldSink sink;
  server.SetNoticeSink(HeldSink::Take, &sink);
  ASSERT_TRUE(server.Start());

  // Eight at once: two are served, six closed before their link-state
  // record, reported in lines a second apart.
  std::vector<std::unique_ptr<PipeClient>> clients = ConnectAtOnce(name, 8);
  std::vector<PipeClient*> served;
  size_t refused = 0;
  for (auto& client : clients) {
    ASSERT_TRUE(client->Ok()) << client->OpenError();
    DWORD error = 0;
    const std::vector<uint8_t> first = client->Read(&error);
    if (first.empty()) {
      EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE));
      ++refused;
    } else {
      EXPECT_EQ(first, Message(3, 0, {}));
      served.push_back(client.get());
    }
  }
  EXPECT_EQ(served.size(), 2u);
  EXPECT_EQ(refused, 6u);

  // The sink is stuck in its first line; the clients are served all the
  // same, past the second in which the rest of the refusals are reported.
  for (uint8_t tag = 1; tag <= 3; ++tag) {
    ASSERT_EQ(server.Deliver(0x20, Block({tag}), 1), 1);
    for (PipeClient* client : served) {
      DWORD error = 0;
      EXPECT_EQ(client->Read(&error), Message(1, 0x20, {tag}));
    }
    Sleep(500);
  }
  SetEvent(sink.release);
  server.Signal(0);
  size_t reported = 0;
  {
    std::lock_guard<std::mutex> guard(sink.mutex);
    for (const auto& line : sink.lines) {
      unsigned long n = 0;
      char rest[80] = {};
      if (std::sscanf(line.second.c_str(), "%lu client(s) refused: %79[^\n]", &n, rest) == 2) {
        EXPECT_EQ(line.first, NOTICE_WARNING);
        EXPECT_STREQ(rest, "2 clients are connected already");
        reported += n;
      }
    }
  }
  EXPECT_EQ(reported, 6u);
  CloseHandle(sink.release);
}

TEST(PipeServer, InteractiveUsersMayOpenThePipeToReadAndWriteButNotServeIt) {
  const char* name = "\\\\.\\pipe\\kavrod-unit-test-access";
  PipeServer server(name);
  ASSERT_TRUE(server.Start());
  PipeClient client(name);
  ASSERT_TRUE(client.Ok()) << client.OpenError();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetSecurityInfo(client.Handle(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                            nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_NE(dacl, nullptr);
  // What GENERIC_READ | GENERIC_WRITE asks of a pipe, without the right to
  // create instances of it.
  const DWORD wanted = (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE;
  bool interactiveAllowed = false;
  bool networkDenied = false;
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&header)));
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE) {
      auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      if (IsWellKnownSid(&ace->SidStart, WinInteractiveSid)) {
        interactiveAllowed = true;
        EXPECT_EQ(ace->Mask, wanted);
      }
      EXPECT_FALSE(IsWellKnownSid(&ace->SidStart, WinWorldSid) || IsWellKnownSid(&ace->SidStart, WinNetworkSid));
    } else if (header->AceType == ACCESS_DENIED_ACE_TYPE) {
      auto* ace = reinterpret_cast<ACCESS_DENIED_ACE*>(header);
      networkDenied = networkDenied || IsWellKnownSid(&ace->SidStart, WinNetworkSid);
    }
  }
  EXPECT_TRUE(interactiveAllowed);
  EXPECT_TRUE(networkDenied);
  LocalFree(descriptor);
  server.Signal(0);
}


TEST(PipeServer, ABatchingClientGetsEveryRecordInOrderSeveralToAMessage) {
  const char* name = "\\\\.\\pipe\\kavrod-unit-test-batches";
  PipeServer server(name);
  ASSERT_TRUE(server.Start());
  PipeClient client(name);
  ASSERT_TRUE(client.Ok()) << client.OpenError();
  ASSERT_TRUE(client.Send({KAVROD_REQUEST_BATCH, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(client.Credit(300));
  DWORD error = 0;
  EXPECT_EQ(client.Read(&error), Message(3, 0, {}));
  // Each payload its number in two bytes, then filler up to 300 bytes: a
  // batch holds about a hundred of them.
  for (uint32_t i = 0; i < 300; ++i) {
    std::vector<uint8_t> payload(300, static_cast<uint8_t>(i * 3));
    payload[0] = static_cast<uint8_t>(i);
    payload[1] = static_cast<uint8_t>(i >> 8);
    ASSERT_EQ(server.Deliver(0x20, Block(payload), static_cast<uint32_t>(payload.size())), 1);
  }
  uint32_t next = 0;
  size_t messages = 0;
  while (next < 300) {
    const std::vector<uint8_t> message = client.Read(&error);
    ASSERT_GE(message.size(), 8u) << error;
    ASSERT_EQ(message[0], KAVROD_RECORD_BATCH);
    ASSERT_LE(message.size(), 12u + KAVROD_ID_RECORD_MAX);
    ++messages;
    const uint32_t count = message[4] | message[5] << 8;
    size_t at = 8;
    for (uint32_t i = 0; i < count; ++i, ++next) {
      const uint32_t size = message[at] | message[at + 1] << 8;
      std::vector<uint8_t> payload(300, static_cast<uint8_t>(next * 3));
      payload[0] = static_cast<uint8_t>(next);
      payload[1] = static_cast<uint8_t>(next >> 8);
      EXPECT_EQ(std::vector<uint8_t>(message.begin() + at + 4, message.begin() + at + 4 + size),
                Message(1, 0x20, payload));
      at += 4 + size;
    }
    EXPECT_EQ(at, message.size());
  }
  EXPECT_EQ(next, 300u);
  EXPECT_LT(messages, 100u);
  server.Signal(0);
}

// A sink that keeps every line.
struct LineSink {
  std::mutex mutex;
  std::vector<std::string> lines;
  static void __stdcall Take(void* context, uint32_t, const char* line) {
    auto* sink = static_cast<LineSink*>(context);
    std::lock_guard<std::mutex> guard(sink->mutex);
    sink->lines.emplace_back(line);
  }
  bool WaitFor(const std::string& part) {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard<std::mutex> guard(mutex);
        for (const std::string& line : lines) {
          if (line.find(part) != std::string::npos) return true;
        }
      }
      Sleep(10);
    }
    return false;
  }
};

TEST(PipeServer, AClientSendingAnOversizedOrMalformedRequestIsDroppedAndCounted) {
  const char* name = "\\\\.\\pipe\\kavrod-unit-test-bad-requests";
  PipeServer server(name);
  LineSink sink;
  server.SetNoticeSink(LineSink::Take, &sink);
  ASSERT_TRUE(server.Start());
  const std::vector<std::vector<uint8_t>> bad = {std::vector<uint8_t>(100000, 0x5A), {0x63, 0, 0, 0, 1, 0, 0, 0},
                                                 {KAVROD_REQUEST_CREDIT, 0, 0}};
  for (size_t i = 0; i < bad.size(); ++i) {
    PipeClient client(name);
    ASSERT_TRUE(client.Ok()) << client.OpenError();
    DWORD error = 0;
    EXPECT_EQ(client.Read(&error), Message(3, 0, {}));
    // A message larger than the pipe's inbound buffer waits until the
    // library reads it: the write returns once it has been dropped.
    client.Send(bad[i]);
    EXPECT_TRUE(client.Read(&error).empty()) << i;
    EXPECT_TRUE(sink.WaitFor("(" + std::to_string(i + 1) + " client(s) dropped for bad requests since the start)"))
        << i;
  }
  EXPECT_TRUE(sink.WaitFor("dropped: it sent a request longer than 512 bytes"));
  EXPECT_TRUE(sink.WaitFor("dropped: it sent a malformed request of 8 bytes"));
  // A good client goes on as before.
  PipeClient good(name);
  ASSERT_TRUE(good.Credit(1));
  DWORD error = 0;
  EXPECT_EQ(good.Read(&error), Message(3, 0, {}));
  EXPECT_EQ(server.Deliver(0x20, Block({7}), 1), 1);
  EXPECT_EQ(good.Read(&error), Message(1, 0x20, {7}));
  server.Signal(0);
}

// Windows refuses the first instance of a pipe whose name another program
// made before (Wine does not): the fake stands in for that refusal.
std::atomic<int> firstInstanceRefusals{0};
void* RefusingCreator(const char* name, unsigned long openMode, unsigned long pipeMode, unsigned long outBuffer,
                      unsigned long inBuffer, void* security) {
  if ((openMode & FILE_FLAG_FIRST_PIPE_INSTANCE) != 0 && firstInstanceRefusals > 0) {
    --firstInstanceRefusals;
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  return CreateNamedPipeA(name, openMode, pipeMode, PIPE_UNLIMITED_INSTANCES, outBuffer, inBuffer, 0,
                          static_cast<SECURITY_ATTRIBUTES*>(security));
}

TEST(PipeServer, APipeNameHeldByAnotherProgramIsToldInTheStatusUntilItIsFree) {
  const char* name = "\\\\.\\pipe\\kavrod-unit-test-held-name";
  PipeServer server(name);
  LineSink sink;
  server.SetNoticeSink(LineSink::Take, &sink);
  server.SetPipeCreator(RefusingCreator);
  firstInstanceRefusals = 1000;
  ASSERT_TRUE(server.Start());
  KavrodStatus status{};
  status.size = sizeof status;
  ASSERT_TRUE(server.QueryStatus(&status));
  EXPECT_EQ(status.flags, KAVROD_STATUS_NOT_SERVING);
  EXPECT_TRUE(sink.WaitFor("cannot serve clients on " + std::string(name) +
                           ": the name is held by another program; clients that connect reach it, not kavro; retrying"));
  // The other program ends: the next try (a second later) serves the name.
  firstInstanceRefusals = 0;
  bool serving = false;
  for (int i = 0; i < 500 && !serving; ++i) {
    ASSERT_TRUE(server.QueryStatus(&status));
    serving = status.flags == 0;
    if (!serving) Sleep(10);
  }
  EXPECT_TRUE(serving);
  PipeClient client(name);
  ASSERT_TRUE(client.Ok()) << client.OpenError();
  DWORD error = 0;
  EXPECT_EQ(client.Read(&error), Message(3, 0, {}));
  server.Signal(0);
}

}  // namespace
}  // namespace kavrod32
