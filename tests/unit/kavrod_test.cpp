// The default companion library, loaded as the link driver loads it and read
// by clients over real Unix sockets in a run directory of the test's own.
#include <dlfcn.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "kavrod.h"

namespace {

struct Rec {
  uint32_t kind = 0;
  uint32_t value = 0;
  std::string bytes;
  bool operator==(const Rec&) const = default;
};

void PrintTo(const Rec& r, std::ostream* os) {
  *os << "{kind " << r.kind << ", value " << r.value << ", " << r.bytes.size() << " bytes}";
}

Rec Payload(uint32_t address, std::string bytes) { return {KAVROD_RECORD_PAYLOAD, address, std::move(bytes)}; }
Rec Event(uint32_t code) { return {KAVROD_RECORD_LINK_EVENT, code, {}}; }

std::string Numbered(uint32_t n, size_t size = 4) {
  std::string s(size, '\xAB');
  std::memcpy(s.data(), &n, sizeof n);
  return s;
}

// A safety net for a broken library, not a timing assertion: a record that
// is coming arrives within microseconds.
constexpr int kPatienceMs = 10000;

class KavrodTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kavrod_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    run_dir_ = pattern;
    socket_path_ = run_dir_ + "/" + KAVROD_SOCKET_NAME;
    setenv("KAVRO_RUN_DIR", run_dir_.c_str(), 1);
  }

  void TearDown() override {
    for (int fd : fds_) close(fd);
    if (handle_ != nullptr) {
      // The last call stops the library's thread whether or not the loader
      // really unloads it.
      signal_(KAVROD_EVENT_SHUTDOWN);
      dlclose(handle_);
    }
    std::filesystem::remove_all(run_dir_);
  }

  // Each test loads a copy of its own: a library the loader cannot unload
  // (some builds keep it resident) would otherwise carry one test's state
  // into the next.
  void Load() {
    std::string copy = run_dir_ + "/libkavrod-under-test.so";
    std::filesystem::copy_file(KAVROD_LIBRARY, copy);
    handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    deliver_ = reinterpret_cast<int32_t (*)(uint32_t, void*, uint32_t)>(dlsym(handle_, "DeliverPayload"));
    signal_ = reinterpret_cast<void (*)(uint32_t)>(dlsym(handle_, "SignalLinkEvent"));
    ASSERT_NE(deliver_, nullptr);
    ASSERT_NE(signal_, nullptr);
  }

  int Connect() {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path_.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << socket_path_ << ": " << std::strerror(errno);
    fds_.push_back(fd);
    return fd;
  }

  void Disconnect(int fd) {
    close(fd);
    std::erase(fds_, fd);
  }

  // Hands the library a malloc'd copy of `bytes`; on refusal the block is
  // still ours, and freeing it here lets the sanitizers catch a library that
  // freed it anyway.
  int32_t Deliver(uint32_t address, const std::string& bytes) {
    void* block = std::malloc(bytes.empty() ? 1 : bytes.size());
    std::memcpy(block, bytes.data(), bytes.size());
    int32_t result = deliver_(address, block, static_cast<uint32_t>(bytes.size()));
    if (result == -1) std::free(block);
    return result;
  }

  // The next record, or nothing when the library has closed the connection.
  std::optional<Rec> Read(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kPatienceMs) != 1) {
      ADD_FAILURE() << "no record came";
      return std::nullopt;
    }
    std::vector<uint8_t> buffer(KAVROD_RECORD_MAX + 1);
    ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
    if (n <= 0) return std::nullopt;
    EXPECT_GE(n, 8);
    if (n < 8) return std::nullopt;
    auto le32 = [&](size_t at) {
      return uint32_t(buffer[at]) | uint32_t(buffer[at + 1]) << 8 | uint32_t(buffer[at + 2]) << 16 |
             uint32_t(buffer[at + 3]) << 24;
    };
    return Rec{le32(0), le32(4), std::string(buffer.begin() + 8, buffer.begin() + n)};
  }

  std::vector<Rec> ReadN(int fd, size_t count) {
    std::vector<Rec> records;
    while (records.size() < count) {
      std::optional<Rec> r = Read(fd);
      if (!r) break;
      records.push_back(*r);
    }
    return records;
  }

  bool ClosedByLibrary(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, kPatienceMs) != 1) return false;
    char byte;
    return recv(fd, &byte, 1, 0) == 0;
  }

  std::string run_dir_;
  std::string socket_path_;
  void* handle_ = nullptr;
  int32_t (*deliver_)(uint32_t, void*, uint32_t) = nullptr;
  void (*signal_)(uint32_t) = nullptr;
  std::vector<int> fds_;
};

TEST_F(KavrodTest, EveryConnectedClientGetsEveryRecordInOrder) {
  Load();
  struct stat st {};
  ASSERT_EQ(stat(socket_path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);

  int a = Connect();
  int b = Connect();
  // A client that has said all it will say still listens.
  ASSERT_EQ(shutdown(b, SHUT_WR), 0);
  EXPECT_EQ(Deliver(0x20, "ABC"), 1);
  signal_(KAVROD_EVENT_SERVICE_ANSWERED);
  EXPECT_EQ(Deliver(0x01, ""), 1);
  signal_(KAVROD_EVENT_ESTABLISHED);
  std::string big(KAVROD_PAYLOAD_MAX, '\x5A');
  EXPECT_EQ(Deliver(0xFF, big), 1);

  // A client sees only what came after it connected.
  int late = Connect();
  EXPECT_EQ(Deliver(0x21, "late"), 1);

  std::vector<Rec> expected = {Payload(0x20, "ABC"), Event(17), Payload(0x01, ""), Event(1),
                               Payload(0xFF, big), Payload(0x21, "late")};
  EXPECT_EQ(ReadN(a, expected.size()), expected);
  EXPECT_EQ(ReadN(b, expected.size()), expected);
  EXPECT_EQ(Read(late), Payload(0x21, "late"));

  // Longer than any payload the link can carry: refused, the block is ours.
  EXPECT_EQ(Deliver(0x20, std::string(KAVROD_PAYLOAD_MAX + 1, 'x')), -1);
  EXPECT_EQ(deliver_(0x20, nullptr, 0), -1);
}

TEST_F(KavrodTest, BacklogWaitsForTheFirstClientAndRefusesWhenFull) {
  Load();
  for (uint32_t i = 0; i < KAVROD_BACKLOG_MAX; ++i) {
    ASSERT_EQ(Deliver(0x20, Numbered(i)), 1) << "payload " << i;
  }
  EXPECT_EQ(Deliver(0x20, Numbered(KAVROD_BACKLOG_MAX)), -1);
  // A link event cannot be refused; it still waits its turn.
  signal_(KAVROD_EVENT_FAILED);

  int first = Connect();
  EXPECT_EQ(Deliver(0x20, "after"), 1);
  int second = Connect();
  signal_(KAVROD_EVENT_ESTABLISHED);

  std::vector<Rec> expected;
  for (uint32_t i = 0; i < KAVROD_BACKLOG_MAX; ++i) expected.push_back(Payload(0x20, Numbered(i)));
  expected.push_back(Event(18));
  expected.push_back(Payload(0x20, "after"));
  expected.push_back(Event(1));
  EXPECT_EQ(ReadN(first, expected.size()), expected);
  // The backlog went to the first client only.
  EXPECT_EQ(Read(second), Event(1));
}

TEST_F(KavrodTest, RecordsLeftByTheLastClientWaitForTheNext) {
  Load();
  int gone = Connect();
  Disconnect(gone);
  // Whether or not the library has noticed the hang-up yet, these must not
  // vanish with the client that left.
  EXPECT_EQ(Deliver(0x20, "kept"), 1);
  signal_(KAVROD_EVENT_SERVICE_ANSWERED);
  int next = Connect();
  EXPECT_EQ(ReadN(next, 2), (std::vector<Rec>{Payload(0x20, "kept"), Event(17)}));
}

TEST_F(KavrodTest, ClientThatDoesNotReadIsDroppedWithoutHoldingUpTheOthers) {
  Load();
  testing::internal::CaptureStderr();
  int fast = Connect();
  int slow = Connect();
  constexpr uint32_t kTotal = 6000;
  constexpr uint32_t kBatch = 500;
  const std::string filler(200, 'f');
  for (uint32_t start = 0; start < kTotal; start += kBatch) {
    for (uint32_t i = start; i < start + kBatch; ++i) {
      ASSERT_EQ(Deliver(0x20, Numbered(i) + filler), 1) << "payload " << i;
    }
    // The fast client keeps up batch by batch, so only the slow one falls
    // behind.
    std::vector<Rec> got = ReadN(fast, kBatch);
    ASSERT_EQ(got.size(), kBatch);
    for (uint32_t i = 0; i < kBatch; ++i) ASSERT_EQ(got[i], Payload(0x20, Numbered(start + i) + filler));
  }

  // The slow client finds what reached its socket, in order, then the end.
  uint32_t received = 0;
  for (;;) {
    std::optional<Rec> r = Read(slow);
    if (!r) break;
    ASSERT_EQ(*r, Payload(0x20, Numbered(received) + filler));
    ++received;
  }
  EXPECT_GT(received, 0u);
  EXPECT_LT(received, kTotal);
  signal_(KAVROD_EVENT_SHUTDOWN);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("dropped: cannot keep up"), std::string::npos);
}

TEST_F(KavrodTest, ShutdownEventReachesEveryClientBeforeItReturns) {
  Load();
  int a = Connect();
  int b = Connect();
  constexpr uint32_t kCount = 100;
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(Deliver(0x20, Numbered(i)), 1);
  signal_(KAVROD_EVENT_SHUTDOWN);

  // Nothing was read while the library ran; all of it is in the sockets now.
  EXPECT_FALSE(std::filesystem::exists(socket_path_));
  std::vector<Rec> expected;
  for (uint32_t i = 0; i < kCount; ++i) expected.push_back(Payload(0x20, Numbered(i)));
  expected.push_back(Event(0));
  for (int fd : {a, b}) {
    EXPECT_EQ(ReadN(fd, expected.size()), expected);
    EXPECT_TRUE(ClosedByLibrary(fd));
  }
  // Nothing is taken after the last call.
  EXPECT_EQ(Deliver(0x20, "late"), -1);
}

TEST_F(KavrodTest, ShutdownDoesNotWaitForeverForAClientThatStopsReading) {
  Load();
  testing::internal::CaptureStderr();
  int stuck = Connect();
  // More than its socket holds, fewer than would get it dropped.
  constexpr uint32_t kCount = 1000;
  const std::string filler(1000, 's');
  for (uint32_t i = 0; i < kCount; ++i) ASSERT_EQ(Deliver(0x20, Numbered(i) + filler), 1);
  signal_(KAVROD_EVENT_SHUTDOWN);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("client 1 dropped: cannot keep up;"), std::string::npos) << said;

  uint32_t received = 0;
  while (std::optional<Rec> r = Read(stuck)) {
    ASSERT_EQ(*r, Payload(0x20, Numbered(received) + filler));
    ++received;
  }
  EXPECT_LT(received, kCount);
}

TEST_F(KavrodTest, SocketLeftOverByACrashedRunIsReplaced) {
  int stale = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, socket_path_.c_str(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(stale);

  Load();
  int client = Connect();
  EXPECT_EQ(Deliver(0x20, "fresh"), 1);
  EXPECT_EQ(Read(client), Payload(0x20, "fresh"));
}

}  // namespace
