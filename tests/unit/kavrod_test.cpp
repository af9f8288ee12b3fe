// The default companion library, loaded as the link driver loads it and read
// by clients over real Unix sockets in a run directory of the test's own; and
// its queueing core on its own, in virtual time.
#include "kavrod.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "delivery_core.h"
#include "posix_log_files.h"
#include "record_log.h"

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

  int ConnectOnly() {
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

  // A client as a program writes one: a credit first if it counts records,
  // then its first record, the link state. Once that is read the client is
  // in: it receives everything delivered from then on.
  int Connect(std::optional<uint32_t> credit = std::nullopt) {
    int fd = ConnectOnly();
    if (credit) Grant(fd, *credit);
    std::optional<Rec> state = Read(fd, true);
    EXPECT_TRUE(state && state->kind == KAVROD_RECORD_LINK_STATE);
    return fd;
  }

  void Grant(int fd, uint32_t credit) {
    uint8_t request[KAVROD_REQUEST_SIZE] = {KAVROD_REQUEST_CREDIT, 0, 0, 0};
    std::memcpy(request + 4, &credit, sizeof credit);
    EXPECT_EQ(send(fd, request, sizeof request, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof request));
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
  // The link-state record is skipped unless asked for.
  std::optional<Rec> Read(int fd, bool state = false) {
    for (;;) {
      std::optional<Rec> r = ReadAny(fd);
      if (!r || state || r->kind != KAVROD_RECORD_LINK_STATE) return r;
    }
  }

  std::optional<Rec> ReadAny(int fd) {
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
  // kavro's --socket-group, which the library applies to its socket.
  setenv("KAVRO_SOCKET_GROUP", "4242", 1);
  Load();
  unsetenv("KAVRO_SOCKET_GROUP");
  struct stat st {};
  ASSERT_EQ(stat(socket_path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  if (geteuid() == 0) EXPECT_EQ(st.st_gid, 4242u);

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

  // A client sees only what came after it connected; its first record says
  // that the link is up.
  int late = ConnectOnly();
  EXPECT_EQ(Read(late, true), (Rec{KAVROD_RECORD_LINK_STATE, 1, {}}));
  EXPECT_EQ(Deliver(0x21, "late"), 1);

  std::vector<Rec> expected = {Payload(0x20, "ABC"), Event(17), Payload(0x01, ""), Event(1), Payload(0xFF, big),
                               Payload(0x21, "late")};
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

  // A client that has granted nothing takes nothing: the backlog is for the
  // first client that takes records.
  int idle = Connect(0);
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
  // The idle client still has what came after it connected.
  Grant(idle, 2);
  EXPECT_EQ(ReadN(idle, 2), (std::vector<Rec>{Payload(0x20, "after"), Event(1)}));
}

TEST_F(KavrodTest, ClientWithCreditTakesExactlyWhatItAskedForAndLeavesTheRest) {
  Load();
  for (uint32_t i = 0; i < 6; ++i) ASSERT_EQ(Deliver(0x20, Numbered(i)), 1);
  int counted = Connect(2);
  EXPECT_EQ(ReadN(counted, 2), (std::vector<Rec>{Payload(0x20, Numbered(0)), Payload(0x20, Numbered(1))}));
  // Requests that are not exactly one credit change nothing.
  uint8_t bad[][12] = {{KAVROD_REQUEST_CREDIT, 0, 0, 0, 9, 0, 0, 0, 0}, {9, 0, 0, 0, 9, 0, 0, 0}};
  EXPECT_EQ(send(counted, bad[0], 9, 0), 9);
  EXPECT_EQ(send(counted, bad[1], 8, 0), 8);
  EXPECT_EQ(send(counted, bad[0], 7, 0), 7);
  EXPECT_EQ(send(counted, bad[0], 0, 0), 0);
  Grant(counted, 1);
  EXPECT_EQ(Read(counted), Payload(0x20, Numbered(2)));
  Disconnect(counted);

  // What the counted client did not ask for went to nobody.
  int next = Connect();
  std::vector<Rec> rest;
  for (uint32_t i = 3; i < 6; ++i) rest.push_back(Payload(0x20, Numbered(i)));
  EXPECT_EQ(ReadN(next, rest.size()), rest);
}

TEST_F(KavrodTest, SecondInstanceOnTheSameRunDirectoryTakesNothing) {
  Load();
  for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(Deliver(0x20, Numbered(i)), 1);
  testing::internal::CaptureStderr();
  // A second copy in this process opens the lock file anew, so it meets the
  // lock just as another process would.
  std::string copy = run_dir_ + "/libkavrod-second.so";
  std::filesystem::copy_file(KAVROD_LIBRARY, copy);
  void* second = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(second, nullptr) << dlerror();
  auto signal_second = reinterpret_cast<void (*)(uint32_t)>(dlsym(second, "SignalLinkEvent"));
  ASSERT_NE(signal_second, nullptr);
  signal_second(KAVROD_EVENT_SHUTDOWN);
  dlclose(second);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("in use by another process"), std::string::npos);

  int client = Connect();
  EXPECT_EQ(ReadN(client, 3),
            (std::vector<Rec>{Payload(0x20, Numbered(0)), Payload(0x20, Numbered(1)), Payload(0x20, Numbered(2))}));
}

TEST_F(KavrodTest, ClientsOverTheCapAreTurnedAwayAndTheOthersServed) {
  Load();
  testing::internal::CaptureStderr();
  std::vector<int> in;
  for (uint32_t i = 0; i < KAVROD_CLIENTS_MAX; ++i) in.push_back(Connect());
  // Closed before the link-state record: the sign of a refusal. Each is
  // counted, however close together they come.
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(ClosedByLibrary(ConnectOnly()));
  EXPECT_EQ(Deliver(0x20, "all"), 1);
  for (int fd : in) ASSERT_EQ(Read(fd), Payload(0x20, "all"));
  // A place that comes free is taken again.
  Disconnect(in.back());
  in.pop_back();
  int again = ConnectOnly();
  EXPECT_EQ(Read(again, true)->kind, KAVROD_RECORD_LINK_STATE);
  signal_(KAVROD_EVENT_SHUTDOWN);
  const std::string said = testing::internal::GetCapturedStderr();
  unsigned refused = 0;
  for (size_t at = 0; (at = said.find("kavrod: ", at)) != std::string::npos; at += 8) {
    unsigned n = 0;
    if (std::sscanf(said.c_str() + at, "kavrod: %u client(s) refused", &n) == 1) refused += n;
  }
  EXPECT_EQ(refused, 3u) << said;
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

// The producer never waits: a client that pauses loses nothing up to the
// deep buffer, and only the optional KavrodWaitForRoom waits for it; one
// that would fall further behind is dropped, and what it lost is counted and
// said.
TEST_F(KavrodTest, ProducerNeverWaitsAPausingClientLosesNothingAndOneTooFarBehindIsDropped) {
  Load();
  auto wait_for_room = reinterpret_cast<int32_t (*)(uint32_t)>(dlsym(handle_, "KavrodWaitForRoom"));
  auto query = reinterpret_cast<int32_t (*)(KavrodStatus*)>(dlsym(handle_, "KavrodQueryStatus"));
  ASSERT_NE(wait_for_room, nullptr);
  ASSERT_NE(query, nullptr);
  testing::internal::CaptureStderr();
  int pausing = Connect();
  int stuck = Connect();
  constexpr uint32_t kPause = KAVROD_CLIENT_QUEUE_MAX - 10;
  constexpr uint32_t kTotal = kPause + 1000;
  for (uint32_t i = 0; i < kPause; ++i) ASSERT_EQ(Deliver(0x20, Numbered(i)), 1) << "payload " << i;
  EXPECT_EQ(wait_for_room(0), 0);

  std::vector<Rec> got;
  std::atomic<uint32_t> read{0};
  std::thread reader([&] {
    while (got.size() < kTotal) {
      std::optional<Rec> r = Read(pausing);
      if (!r) break;
      got.push_back(*r);
      ++read;
    }
  });
  while (read < 2000) std::this_thread::yield();
  // These put the stuck client beyond the deep buffer; the one that drops
  // it says so with its result.
  int dropping = 0;
  for (uint32_t i = kPause; i < kTotal; ++i) {
    const int32_t result = Deliver(0x20, Numbered(i));
    ASSERT_TRUE(result == 1 || result == 2) << "payload " << i;
    dropping += result == 2;
  }
  EXPECT_EQ(dropping, 1);
  reader.join();
  ASSERT_EQ(got.size(), kTotal);
  for (uint32_t i = 0; i < kTotal; ++i) ASSERT_EQ(got[i], Payload(0x20, Numbered(i))) << "record " << i;
  EXPECT_EQ(wait_for_room(kPatienceMs), 1);

  // The stuck client finds what reached its socket, in order, then the end.
  uint32_t received = 0;
  while (std::optional<Rec> r = Read(stuck)) {
    ASSERT_EQ(*r, Payload(0x20, Numbered(received)));
    ++received;
  }
  EXPECT_LT(received, kTotal - KAVROD_CLIENT_QUEUE_MAX);
  KavrodStatus status{};
  status.size = sizeof status;
  ASSERT_EQ(query(&status), 1);
  EXPECT_EQ(status.clients, 1u);
  EXPECT_EQ(status.acknowledged_clients, 0u);
  EXPECT_EQ(status.records_lost, KAVROD_CLIENT_QUEUE_MAX);
  signal_(KAVROD_EVENT_SHUTDOWN);
  std::string said = testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("client 2 dropped: cannot keep up (65536 records behind); 65536 records lost to it"),
            std::string::npos)
      << said;
}

// The request to be acknowledged counts whenever the client has been sent
// no record, even after it began as a plain client; later it is refused
// where the client sees it: its connection ends.
TEST_F(KavrodTest, AcknowledgedRequestCountsUntilTheFirstRecordAndEndsTheConnectionAfter) {
  Load();
  auto query = reinterpret_cast<int32_t (*)(KavrodStatus*)>(dlsym(handle_, "KavrodQueryStatus"));
  ASSERT_NE(query, nullptr);
  const uint8_t ask[KAVROD_REQUEST_SIZE] = {KAVROD_REQUEST_ACKNOWLEDGED};
  int bridge = Connect();
  ASSERT_EQ(send(bridge, ask, sizeof ask, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof ask));
  KavrodStatus status{};
  for (int tries = 0; status.acknowledged_clients == 0; ++tries) {
    ASSERT_LT(tries, kPatienceMs) << "the request was never taken";
    status.size = sizeof status;
    ASSERT_EQ(query(&status), 1);
    if (status.acknowledged_clients == 0) usleep(1000);
  }
  int plain = Connect();
  EXPECT_EQ(Deliver(0x20, "first"), 1);
  EXPECT_EQ(Read(plain), Payload(0x20, "first"));
  EXPECT_EQ(Read(bridge)->kind, KAVROD_RECORD_PAYLOAD_ID);
  ASSERT_EQ(send(plain, ask, sizeof ask, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof ask));
  EXPECT_TRUE(ClosedByLibrary(plain));
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

// The host routes its termination signals on a thread of its own; the
// library's thread, started inside the host whatever its mask, never takes
// one (it would swallow it, or run the host's handler mid-turn).
TEST_F(KavrodTest, ServiceThreadLeavesTheHostsSignalsToTheHost) {
  sigset_t none;
  sigemptyset(&none);
  sigset_t saved;
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &none, &saved), 0);
  Load();
  ASSERT_EQ(pthread_sigmask(SIG_SETMASK, &saved, nullptr), 0);
  int others = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    if (task.path().filename() == std::to_string(getpid())) continue;
    std::ifstream status(task.path() / "status");
    std::string line;
    while (std::getline(status, line)) {
      if (line.rfind("SigBlk:", 0) != 0) continue;
      const unsigned long long blocked = std::stoull(line.substr(7), nullptr, 16);
      for (int signo : {SIGTERM, SIGINT, SIGHUP}) {
        EXPECT_TRUE(blocked >> (signo - 1) & 1) << task.path() << " takes signal " << signo;
      }
      ++others;
    }
  }
  EXPECT_GE(others, 1);
}

// What a crashed run leaves is taken over: the socket replaced, the lock
// file (kept by design) narrowed to its owner, so that no one else can lock
// it and keep the library from serving.
TEST_F(KavrodTest, SocketLeftOverByACrashedRunIsReplaced) {
  const std::string lock = run_dir_ + "/" + KAVROD_LOCK_NAME;
  close(open(lock.c_str(), O_CREAT | O_WRONLY, 0666));
  chmod(lock.c_str(), 0666);
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
  struct stat st {};
  ASSERT_EQ(stat(lock.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// --- The queueing core on its own, in virtual time --------------------------

class CoreTest : public ::testing::Test {
 protected:
  using Core = kavrod::DeliveryCore;

  void Make(kavrod::Limits limits) {
    core_ = std::make_unique<Core>(kavrod::ServerHooks{[] {}, [this] { return client_waiting_; }}, limits);
  }

  int32_t Offer(uint32_t n, int64_t now) {
    void* block = std::malloc(sizeof n);
    std::memcpy(block, &n, sizeof n);
    int32_t result = core_->Deliver(0x20, block, sizeof n, now);
    if (result == -1) std::free(block);
    return result;
  }

  Core::ClientId Plain(int64_t now) {
    kavrod::OutRecord state{};
    Core::ClientId id = core_->Accept(now, &state);
    core_->Promote(id, now);
    return id;
  }

  Core::ClientId Counted(int64_t now, uint32_t credit) {
    kavrod::OutRecord state{};
    Core::ClientId id = core_->Accept(now, &state);
    GrantTo(id, credit);
    return id;
  }

  // A client that asks for a mode of its own (`code`) before anything else.
  Core::ClientId Asking(int64_t now, uint8_t code) {
    kavrod::OutRecord state{};
    Core::ClientId id = core_->Accept(now, &state);
    const uint8_t request[KAVROD_REQUEST_SIZE] = {code};
    core_->Request(id, request, sizeof request, now);
    return id;
  }
  Core::ClientId Acknowledging(int64_t now) { return Asking(now, KAVROD_REQUEST_ACKNOWLEDGED); }
  Core::ClientId Observing(int64_t now) { return Asking(now, KAVROD_REQUEST_OBSERVER); }
  static constexpr uint32_t kMissed = 100000;

  void GrantTo(Core::ClientId id, uint32_t credit) {
    uint8_t request[KAVROD_REQUEST_SIZE] = {KAVROD_REQUEST_CREDIT, 0, 0, 0};
    std::memcpy(request + 4, &credit, sizeof credit);
    core_->Request(id, request, sizeof request);
  }

  void Ack(Core::ClientId id, uint64_t sequence) {
    uint8_t request[KAVROD_ACK_REQUEST_SIZE] = {KAVROD_REQUEST_ACK};
    std::memcpy(request + 8, &sequence, sizeof sequence);
    core_->Request(id, request, sizeof request);
  }

  // What the client is sent next (at most `max`), as payload numbers; link
  // events show as 1000 + code, an observer's missed record as kMissed +
  // the number it missed. The acknowledged client's records are
  // checked to carry the core's start id, and their sequence numbers are
  // kept in `sequences_`.
  std::vector<uint32_t> Take(Core::ClientId id, int64_t now, size_t max = 64) {
    kavrod::OutRecord out[64];
    size_t n = core_->Collect(id, now, out, std::min<size_t>(max, 64));
    core_->Commit(id, n, now);
    std::vector<uint32_t> taken;
    sequences_.clear();
    for (size_t i = 0; i < n; ++i) {
      const uint32_t kind = out[i].header[0];
      if (kind == KAVROD_RECORD_PAYLOAD_ID || kind == KAVROD_RECORD_LINK_EVENT_ID) {
        EXPECT_EQ(out[i].header_size, KAVROD_ID_HEADER_SIZE);
        uint64_t start_id;
        uint64_t sequence;
        std::memcpy(&start_id, out[i].header + 8, 8);
        std::memcpy(&sequence, out[i].header + 16, 8);
        EXPECT_EQ(start_id, core_->StartId());
        sequences_.push_back(sequence);
      } else {
        EXPECT_EQ(out[i].header_size, KAVROD_HEADER_SIZE);
      }
      if (kind == KAVROD_RECORD_MISSED) {
        uint32_t missed;
        std::memcpy(&missed, out[i].header + 4, sizeof missed);
        taken.push_back(kMissed + missed);
      } else if (kind == KAVROD_RECORD_LINK_EVENT || kind == KAVROD_RECORD_LINK_EVENT_ID) {
        taken.push_back(1000 + out[i].header[4]);
      } else {
        uint32_t v;
        std::memcpy(&v, out[i].payload, sizeof v);
        taken.push_back(v);
      }
    }
    return taken;
  }

  std::vector<std::string> Notices() {
    std::vector<void*> blocks;
    std::vector<std::string> notices;
    core_->Reap(&blocks, &notices);
    for (void* b : blocks) std::free(b);
    return notices;
  }

  static std::vector<uint32_t> Range(uint32_t from, uint32_t to) {
    std::vector<uint32_t> v;
    for (uint32_t i = from; i < to; ++i) v.push_back(i);
    return v;
  }

  static std::vector<uint64_t> Sequences(uint64_t from, uint64_t to) {
    std::vector<uint64_t> v;
    for (uint64_t i = from; i < to; ++i) v.push_back(i);
    return v;
  }

  // What the server says when asked whether a client waits to be taken in.
  bool client_waiting_ = false;
  std::unique_ptr<Core> core_;
  std::vector<uint64_t> sequences_;
};

TEST_F(CoreTest, CreditBoundsWhatAClientIsSentAndOnlyWellFormedRequestsCount) {
  Make({});
  Core::ClientId plain = Plain(0);
  Core::ClientId counted = Counted(0, 2);
  kavrod::OutRecord state{};
  Core::ClientId fresh = core_->Accept(0, &state);
  for (uint32_t i = 0; i < 5; ++i) ASSERT_EQ(Offer(i, 0), 1);

  EXPECT_EQ(Take(plain, 0), Range(0, 5));
  EXPECT_EQ(Take(counted, 0), Range(0, 2));
  EXPECT_EQ(Take(counted, 0), Range(0, 0));
  // A new client is sent nothing until it has shown which kind it is.
  EXPECT_TRUE(core_->Introducing(fresh));
  EXPECT_EQ(Take(fresh, 0), Range(0, 0));

  const uint8_t credit9[] = {KAVROD_REQUEST_CREDIT, 0, 0, 0, 9, 0, 0, 0, 0};
  const uint8_t other[] = {7, 0, 0, 0, 9, 0, 0, 0};
  const uint8_t ack_short[] = {KAVROD_REQUEST_ACK, 0, 0, 0, 0, 0, 0, 0};
  for (auto [data, size] : {std::pair{credit9, size_t{9}}, std::pair{credit9, size_t{7}}, std::pair{credit9, size_t{0}},
                            std::pair{other, sizeof other}, std::pair{ack_short, sizeof ack_short}}) {
    core_->Request(counted, data, size);
    core_->Request(fresh, data, size);
  }
  core_->Request(fresh, nullptr, KAVROD_REQUEST_SIZE);
  EXPECT_EQ(Take(counted, 0), Range(0, 0));
  EXPECT_TRUE(core_->Introducing(fresh));

  // Credit adds up; a credit also ends a client's introduction.
  GrantTo(counted, 1);
  GrantTo(counted, 1);
  EXPECT_EQ(Take(counted, 0), Range(2, 4));
  GrantTo(fresh, 0xFFFFFFFF);
  GrantTo(fresh, 0xFFFFFFFF);
  EXPECT_EQ(Take(fresh, 0), Range(0, 5));

  // At the end everything goes, credit or not.
  core_->Signal(KAVROD_EVENT_SHUTDOWN, 0);
  EXPECT_EQ(Take(counted, 0), (std::vector<uint32_t>{4, 1000}));
  EXPECT_EQ(Offer(9, 0), -1);
}

TEST_F(CoreTest, BacklogGoesInOrderToTheFirstClientThatTakesRecords) {
  kavrod::Limits limits;
  limits.backlog_max = 4;
  Make(limits);
  for (uint32_t i = 0; i < 4; ++i) ASSERT_EQ(Offer(i, 0), 1);
  EXPECT_EQ(Offer(4, 0), -1);
  // A client whose connect has returned but who is not yet taken in counts:
  // the backlog grows for it rather than have the payload refused.
  client_waiting_ = true;
  EXPECT_EQ(Offer(4, 0), 1);
  client_waiting_ = false;
  core_->Signal(KAVROD_EVENT_ESTABLISHED, 0);

  // `waiting` came first but takes nothing yet; `taker` takes first.
  Core::ClientId waiting = Counted(1, 0);
  ASSERT_EQ(Offer(5, 1), 1);
  Core::ClientId taker = Plain(2);
  ASSERT_EQ(Offer(6, 2), 1);
  EXPECT_EQ(Take(taker, 2), (std::vector<uint32_t>{0, 1, 2, 3, 4, 1001, 5, 6}));
  GrantTo(waiting, 10);
  EXPECT_EQ(Take(waiting, 3), Range(5, 7));

  // The last client leaves after taking part of its records: the rest wait
  // for the next one, and while a client is connected the backlog's bound
  // does not apply.
  for (uint32_t i = 7; i < 13; ++i) ASSERT_EQ(Offer(i, 3), 1);
  EXPECT_EQ(Take(taker, 3, 2), Range(7, 9));
  core_->Hangup(waiting, nullptr);
  core_->Hangup(taker, nullptr);
  EXPECT_EQ(Offer(13, 4), -1);
  EXPECT_TRUE(Notices().empty());
  core_->Release(waiting);
  core_->Release(taker);
  Core::ClientId next = Plain(5);
  EXPECT_EQ(Take(next, 5), Range(9, 13));
}

// Delivery never waits. A client the next record would put beyond the deep
// buffer is dropped and its records are counted lost; the wait for room
// (TCP only) holds while a client is beyond the hold-back, and ends when it
// moves on or once it has taken nothing for the stall time.
TEST_F(CoreTest, DeliveryDropsAClientBeyondTheBufferAndOnlyTheWaitForRoomHoldsBack) {
  kavrod::Limits limits;
  limits.client_records_max = 8;
  limits.hold_back = 4;
  limits.stall_ms = 100;
  Make(limits);
  Core::ClientId slow = Plain(0);
  Core::ClientId quick = Plain(0);
  int64_t retry_at = 0;
  // Idle for a long time, then a burst: the stall clock starts with the
  // burst, not with the last progress.
  for (uint32_t i = 0; i < 5; ++i) ASSERT_EQ(Offer(i, 1000), 1);
  EXPECT_EQ(Take(quick, 1000), Range(0, 5));
  EXPECT_FALSE(core_->Room(1000, &retry_at));
  EXPECT_EQ(retry_at, 1100);
  EXPECT_EQ(Notices(), std::vector<std::string>{"client 1 is 5 records behind; holding the link back until it "
                                                "takes more"});
  // Any progress restarts the clock; within the hold-back there is room.
  EXPECT_EQ(Take(slow, 1050, 1), Range(0, 1));
  EXPECT_TRUE(core_->Room(1050, &retry_at));
  ASSERT_EQ(Offer(5, 1050), 1);
  EXPECT_FALSE(core_->Room(1149, &retry_at));
  EXPECT_EQ(retry_at, 1150);
  // No progress for the stall time: dropped by the wait, with what it lost.
  EXPECT_TRUE(core_->Room(1150, &retry_at));
  EXPECT_TRUE(core_->Retired(slow));
  EXPECT_EQ(Notices(), std::vector<std::string>{"client 1 dropped: cannot keep up (no progress for 100 ms); 5 "
                                                "records lost to it"});
  EXPECT_EQ(core_->QueryStatus().records_lost, 5u);
  core_->Release(slow);

  // Without the wait, a client falls up to the whole buffer behind and
  // loses nothing; the record that would put it further drops it, however
  // recently it took something, and delivery goes on for the others.
  Core::ClientId other = Plain(1200);
  EXPECT_EQ(Take(quick, 1200), Range(5, 6));
  for (uint32_t i = 6; i < 14; ++i) ASSERT_EQ(Offer(i, 1200), 1);
  EXPECT_FALSE(core_->Retired(quick));
  EXPECT_EQ(Take(other, 1200), Range(6, 14));
  ASSERT_EQ(Offer(14, 1200), 2);
  EXPECT_TRUE(core_->Retired(quick));
  EXPECT_EQ(Notices(), std::vector<std::string>{"client 2 dropped: cannot keep up (8 records behind); 8 records "
                                                "lost to it"});
  const Core::Status status = core_->QueryStatus();
  EXPECT_EQ(status.records_lost, 13u);
  EXPECT_EQ(status.clients, 1u);
  EXPECT_EQ(Take(other, 1200), Range(14, 15));
}

// An observer: no backlog, never holds the producer back, never dropped;
// behind by more than the hold-back it skips to the newest records and is
// told how many it missed, and nothing counts as lost. Whether its socket
// is full (the producer moves it on) or it is merely slow (its own turn
// does).
TEST_F(CoreTest, ObserverTakesNoBacklogNeverHoldsBackAndIsToldWhatItMissed) {
  kavrod::Limits limits;
  limits.client_records_max = 8;
  limits.hold_back = 4;
  Make(limits);
  ASSERT_EQ(Offer(0, 0), 1);
  ASSERT_EQ(Offer(1, 0), 1);
  Core::ClientId observer = Observing(0);
  ASSERT_EQ(Offer(2, 0), 1);
  EXPECT_EQ(Take(observer, 0), Range(2, 3));
  // The backlog waited for the first client that takes records.
  Core::ClientId plain = Plain(0);
  EXPECT_EQ(Take(plain, 0), Range(0, 3));

  for (uint32_t i = 3; i < 10; ++i) ASSERT_EQ(Offer(i, 0), 1);
  EXPECT_EQ(Take(plain, 0), Range(3, 10));
  int64_t retry_at = 0;
  EXPECT_TRUE(core_->Room(10000, &retry_at));
  EXPECT_EQ(Take(observer, 0), (std::vector<uint32_t>{kMissed + 4, 7, 8, 9}));

  core_->SetBlocked(observer, true);
  for (uint32_t i = 10; i < 30; ++i) {
    ASSERT_EQ(Offer(i, 0), 1);
    EXPECT_EQ(Take(plain, 0), Range(i, i + 1));
  }
  core_->SetBlocked(observer, false);
  EXPECT_EQ(Take(observer, 0, 2), (std::vector<uint32_t>{kMissed + 17, 27}));
  EXPECT_EQ(Take(observer, 0), Range(28, 30));

  // Far beyond the buffer without taking anything: still there.
  for (uint32_t i = 30; i < 50; ++i) {
    ASSERT_EQ(Offer(i, 0), 1);
    EXPECT_EQ(Take(plain, 0), Range(i, i + 1));
  }
  EXPECT_FALSE(core_->Retired(observer));
  EXPECT_EQ(Take(observer, 0), (std::vector<uint32_t>{kMissed + 17, 47, 48, 49}));
  EXPECT_TRUE(Notices().empty());
  const Core::Status status = core_->QueryStatus();
  EXPECT_EQ(status.records_lost, 0u);
  EXPECT_EQ(status.clients, 2u);
}

// The acknowledged client: records carry the start id and a gapless
// sequence; what it had not acknowledged when it left goes first, with the
// same identity, to the next one; records are kept while none is
// connected, up to the buffer, beyond which the oldest go and are counted.
TEST_F(CoreTest, AcknowledgedClientGetsWhatItsPredecessorLeftUnacknowledgedFirst) {
  kavrod::Limits limits;
  limits.client_records_max = 8;
  limits.backlog_max = 2;
  Make(limits);
  // The backlog waiting when the first acknowledged client comes is its.
  ASSERT_EQ(Offer(0, 0), 1);
  core_->Signal(KAVROD_EVENT_ESTABLISHED, 0);
  Core::ClientId plain = Plain(0);
  Core::ClientId bridge = Acknowledging(0);
  ASSERT_EQ(Offer(2, 0), 1);
  EXPECT_EQ(Take(bridge, 0), (std::vector<uint32_t>{0, 1001, 2}));
  EXPECT_EQ(sequences_, Sequences(1, 4));
  // A second one is turned away while it is connected.
  Core::ClientId second = Acknowledging(0);
  EXPECT_TRUE(core_->Retired(second));
  core_->Release(second);
  EXPECT_EQ(Notices(), std::vector<std::string>{"client 3 dropped: an acknowledged client is connected already; 0 "
                                                "records lost to it"});

  for (uint32_t i = 3; i < 6; ++i) ASSERT_EQ(Offer(i, 0), 1);
  EXPECT_EQ(Take(bridge, 0, 2), Range(3, 5));
  // An acknowledgement never goes back.
  Ack(bridge, 2);
  Ack(bridge, 1);
  EXPECT_EQ(core_->QueryStatus().records_unacknowledged, 4u);
  core_->Hangup(bridge, nullptr);
  core_->Release(bridge);
  EXPECT_EQ(Take(plain, 0), Range(2, 6));

  // Kept while no acknowledged client is connected.
  for (uint32_t i = 6; i < 8; ++i) ASSERT_EQ(Offer(i, 0), 1);
  Core::ClientId next = Acknowledging(1);
  EXPECT_EQ(Take(next, 1), (std::vector<uint32_t>{2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(sequences_, Sequences(3, 9));
  Ack(next, 8);
  EXPECT_EQ(core_->QueryStatus().records_unacknowledged, 0u);
  core_->Hangup(next, nullptr);
  core_->Release(next);
  core_->Hangup(plain, nullptr);
  core_->Release(plain);

  // With nobody connected: never refused, up to the buffer; beyond it the
  // oldest unacknowledged go, counted as lost.
  for (uint32_t i = 8; i < 18; ++i) ASSERT_EQ(Offer(i, 2), i < 16 ? 1 : 2) << i;
  Core::Status status = core_->QueryStatus();
  EXPECT_EQ(status.records_lost, 2u);
  EXPECT_EQ(status.records_unacknowledged, 8u);
  EXPECT_EQ(Notices().size(), 1u);
  // Acknowledging more than was sent acknowledges what was sent.
  Core::ClientId last = Acknowledging(3);
  EXPECT_EQ(Take(last, 3, 7), Range(10, 17));
  EXPECT_EQ(sequences_, Sequences(11, 18));
  Ack(last, 100);
  EXPECT_EQ(core_->QueryStatus().records_unacknowledged, 1u);
  EXPECT_EQ(Take(last, 3), Range(17, 18));
  status = core_->QueryStatus();
  EXPECT_EQ(status.acknowledged_clients, 1u);
  EXPECT_EQ(status.clients, 1u);
}

// Kept records overflowing: the oldest go, but never under a send. A
// batch collected for the acknowledged client is read outside the lock while
// the producer goes on; the client it overflows is dropped, and the blocks
// of that batch stay until the send is committed and the client released.
TEST_F(CoreTest, OverflowOfKeptRecordsNeverFreesABatchInFlight) {
  kavrod::Limits limits;
  limits.client_records_max = 8;
  Make(limits);
  Core::ClientId bridge = Acknowledging(0);
  for (uint32_t i = 0; i < 4; ++i) ASSERT_EQ(Offer(i, 0), 1);
  kavrod::OutRecord batch[4];
  ASSERT_EQ(core_->Collect(bridge, 0, batch, 4), 4u);
  for (uint32_t i = 4; i < 12; ++i) ASSERT_NE(Offer(i, 0), -1) << i;
  EXPECT_TRUE(core_->Retired(bridge));
  // The send still reads the batch: the same blocks, the same payloads.
  for (uint32_t i = 0; i < 4; ++i) {
    uint32_t v;
    std::memcpy(&v, batch[i].payload, sizeof v);
    EXPECT_EQ(v, i);
  }
  core_->Commit(bridge, 4, 0);
  core_->Release(bridge);
  EXPECT_EQ(core_->QueryStatus().records_lost, 4u);
  // Said once for the episode, however many records it drops; it ends once
  // the kept records are down to half the buffer.
  const auto overflow_lines = [this] {
    int n = 0;
    for (const std::string& line : Notices()) n += line.find("fill the buffer") != std::string::npos;
    return n;
  };
  EXPECT_EQ(overflow_lines(), 1);
  for (uint32_t i = 12; i < 20; ++i) ASSERT_EQ(Offer(i, 1), 2) << i;
  Core::ClientId next = Acknowledging(1);
  EXPECT_EQ(Take(next, 1), Range(12, 20));
  Ack(next, sequences_[0]);
  ASSERT_EQ(Offer(20, 1), 1);
  ASSERT_EQ(Offer(21, 1), 2);
  EXPECT_EQ(overflow_lines(), 0);
  EXPECT_EQ(Take(next, 1), Range(20, 22));
  Ack(next, sequences_.back());
  for (uint32_t i = 22; i < 31; ++i) ASSERT_EQ(Offer(i, 2), i < 30 ? 1 : 2) << i;
  EXPECT_EQ(overflow_lines(), 1);
  EXPECT_EQ(core_->QueryStatus().records_lost, 14u);
}

// Every payload offered is accounted for: one that no one can take (no
// client and the backlog full, or a waiting client's bound reached, in
// records or in bytes) is refused, counted as not taken, and uses up its
// sequence number, so that the acknowledged client sees the gap.
TEST_F(CoreTest, PayloadsNoOneCanTakeAreBoundedCountedAndLeaveAGapInTheSequence) {
  kavrod::Limits limits;
  limits.backlog_max = 2;
  limits.client_bytes_max = 5 * (KAVROD_HEADER_SIZE + 4);
  Make(limits);
  ASSERT_EQ(Offer(0, 0), 1);
  ASSERT_EQ(Offer(1, 0), 1);
  EXPECT_EQ(Offer(2, 0), -1);
  // A client about to be taken in lets the backlog grow, but no further
  // than the bytes one client may be behind.
  client_waiting_ = true;
  EXPECT_EQ(Offer(3, 0), 1);
  EXPECT_EQ(Offer(4, 0), 1);
  EXPECT_EQ(Offer(5, 0), 1);
  EXPECT_EQ(Offer(6, 0), -1);
  client_waiting_ = false;
  void* too_long = std::malloc(KAVROD_PAYLOAD_MAX + 1);
  EXPECT_EQ(core_->Deliver(0x20, too_long, KAVROD_PAYLOAD_MAX + 1, 0), -1);
  std::free(too_long);
  EXPECT_EQ(core_->QueryStatus().records_not_taken, 3u);

  Core::ClientId bridge = Acknowledging(1);
  EXPECT_EQ(Take(bridge, 1), (std::vector<uint32_t>{0, 1, 3, 4, 5}));
  EXPECT_EQ(sequences_, (std::vector<uint64_t>{1, 2, 4, 5, 6}));
  // An acknowledgement that names a gap covers what comes before it.
  Ack(bridge, 3);
  EXPECT_EQ(core_->QueryStatus().records_unacknowledged, 3u);
  ASSERT_EQ(Offer(7, 1), 1);
  EXPECT_EQ(Take(bridge, 1), Range(7, 8));
  EXPECT_EQ(sequences_, Sequences(9, 10));
  Ack(bridge, 8);
  EXPECT_EQ(core_->QueryStatus().records_unacknowledged, 1u);

  // The status record as an older caller sizes it is filled that far.
  struct {
    KavrodStatus status;
    uint64_t guard;
  } old{};
  old.status.size = KAVROD_STATUS_SIZE_V1;
  old.status.records_not_taken = 0xEE;
  ASSERT_TRUE(core_->FillStatus(&old.status));
  EXPECT_EQ(old.status.size, KAVROD_STATUS_SIZE_V1);
  EXPECT_EQ(old.status.records_not_taken, 0xEEu);
  KavrodStatus now{};
  now.size = sizeof now;
  ASSERT_TRUE(core_->FillStatus(&now));
  EXPECT_EQ(now.size, sizeof now);
  EXPECT_EQ(now.records_not_taken, 3u);
  now.size = KAVROD_STATUS_SIZE_V1 - 1;
  EXPECT_FALSE(core_->FillStatus(&now));
  // After the last event nothing is taken, and nothing more is counted.
  core_->Signal(KAVROD_EVENT_SHUTDOWN, 2);
  EXPECT_EQ(Offer(8, 2), -1);
  EXPECT_EQ(core_->QueryStatus().records_not_taken, 3u);
}

// The request to be acknowledged counts as long as the client has been
// sent no record; after that, and while another acknowledged client is
// connected, the client is closed so that it knows. Such refusals come in
// loops (a second bridge reconnecting at once): said once, then at most
// once a minute with the count, and the rest at the end.
TEST_F(CoreTest, AcknowledgedRequestCountsUntilARecordIsSentAndRefusalsAreSaidOnceAMinute) {
  Make({});
  ASSERT_EQ(Offer(0, 0), 1);
  Core::ClientId late = Plain(0);
  EXPECT_EQ(Take(late, 0), Range(0, 1));
  // Served as a plain client already, but not sent anything yet.
  Core::ClientId bridge = Plain(0);
  const uint8_t ask[KAVROD_REQUEST_SIZE] = {KAVROD_REQUEST_ACKNOWLEDGED};
  core_->Request(bridge, ask, sizeof ask, 0);
  ASSERT_EQ(Offer(1, 0), 1);
  EXPECT_EQ(Take(bridge, 0), Range(1, 2));
  EXPECT_EQ(sequences_, Sequences(2, 3));
  core_->Request(late, ask, sizeof ask, 0);
  EXPECT_TRUE(core_->Retired(late));
  core_->Release(late);
  EXPECT_EQ(Notices(), std::vector<std::string>{"client 1 dropped: asked to be the acknowledged client after it was "
                                                "sent records; 1 records lost to it"});

  for (int64_t t = 10; t < 1010; ++t) {
    Core::ClientId second = Acknowledging(t);
    EXPECT_TRUE(core_->Retired(second));
    core_->Release(second);
  }
  EXPECT_EQ(Notices(), std::vector<std::string>{"client 3 dropped: an acknowledged client is connected already; 0 "
                                                "records lost to it"});
  Core::ClientId again = Acknowledging(60010);
  core_->Release(again);
  EXPECT_EQ(Notices(), std::vector<std::string>{"client 1003 dropped: an acknowledged client is connected already "
                                                "(and 999 more clients since the last such line); 0 records lost "
                                                "to it"});
  for (int64_t t = 60011; t < 60016; ++t) core_->Release(Acknowledging(t));
  core_->Signal(KAVROD_EVENT_SHUTDOWN, 60020);
  EXPECT_EQ(Notices(), std::vector<std::string>{"5 more clients dropped since the last such line: an acknowledged "
                                                "client is connected already"});
}

}  // namespace

// --- The record log ----------------------------------------------------------

class RecordLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kavrod_log_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<kavrod::RecordLog> Open(uint64_t max_bytes = 1u << 20) {
    kavrod::RecordLog::Options options;
    options.max_bytes = max_bytes;
    options.retry_ms = 0;
    auto log = std::make_unique<kavrod::RecordLog>(kavrod::NewPosixLogDirectory(dir_), options,
                                                   [this](int level, const std::string& line) {
                                                     said_ += "<" + std::to_string(level) + ">" + line + "\n";
                                                   });
    std::string error;
    EXPECT_TRUE(log->Open(&error)) << error;
    return log;
  }

  static void Append(kavrod::RecordLog& log, uint64_t sequence, const std::string& bytes) {
    ASSERT_TRUE(log.Append(sequence, KAVROD_RECORD_PAYLOAD, 0x20, bytes.data(), bytes.size()).written);
  }

  // (log id, sequence, payload) of every record from `from` on.
  static std::vector<std::tuple<uint64_t, uint64_t, std::string>> All(kavrod::RecordLog& log, uint64_t from = 1) {
    std::vector<kavrod::LoggedRecord> records;
    uint64_t next = 0;
    log.Read(from, UINT64_MAX, 100000, &records, &next);
    std::vector<std::tuple<uint64_t, uint64_t, std::string>> all;
    for (const auto& r : records) all.emplace_back(r.log_id, r.sequence, std::string(r.payload.begin(), r.payload.end()));
    return all;
  }

  std::string Newest() const {
    std::string newest;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      if (e.path().extension() == ".klog" && e.path().filename().string() > newest) newest = e.path().filename();
    }
    return dir_ + "/" + newest;
  }

  std::string dir_;
  std::string said_;
};

TEST_F(RecordLogTest, ATornTailIsCutAndOnlyACleanStopKeepsTheLogId) {
  uint64_t first_id;
  {
    auto log = Open();
    first_id = log->LogId();
    for (uint64_t s = 1; s <= 5; ++s) {
      Append(*log, s, "record " + std::to_string(s));
      if (s == 2) log->Acknowledge(2);
    }
    // Killed: no clean stop, and the last record half written.
  }
  const std::string torn = Newest();
  std::filesystem::resize_file(torn, std::filesystem::file_size(torn) - 3);
  {
    auto log = Open();
    EXPECT_NE(said_.find("<4>record log " + dir_ + ": cut a torn tail of"), std::string::npos) << said_;
    // Sequence 5 may have been issued with the old id: new records get a
    // new one, and go on after what survived.
    EXPECT_NE(log->LogId(), first_id);
    EXPECT_EQ(log->NextSequence(), 5u);
    EXPECT_EQ(log->Acknowledged(), 2u);
    EXPECT_EQ(log->FirstSequenceOfStart(), 5u);
    Append(*log, 5, "after the kill");
    const auto all = All(*log, log->Acknowledged() + 1);
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0], std::make_tuple(first_id, uint64_t{3}, std::string("record 3")));
    EXPECT_EQ(all[2], std::make_tuple(log->LogId(), uint64_t{5}, std::string("after the kill")));
    first_id = log->LogId();
    // Sequence 6 went to a record that never reached the log.
    log->Close(7);
  }
  said_.clear();
  auto log = Open();
  EXPECT_EQ(log->LogId(), first_id);
  EXPECT_EQ(log->NextSequence(), 7u);
  EXPECT_EQ(All(*log, log->Acknowledged() + 1).size(), 3u);
  EXPECT_EQ(said_.find("<4>"), std::string::npos) << said_;
}

TEST_F(RecordLogTest, ALogThatCannotBeReadIsSetAsideAndANewOneStarts) {
  {
    auto log = Open();
    Append(*log, 1, "one");
  }
  {
    std::FILE* f = std::fopen(Newest().c_str(), "r+");
    ASSERT_NE(f, nullptr);
    std::fputs("not a log", f);
    std::fclose(f);
  }
  auto log = Open();
  EXPECT_NE(said_.find("<3>record log " + dir_ + " cannot be read"), std::string::npos) << said_;
  EXPECT_NE(said_.find("set aside in " + dir_ + "/set-aside-"), std::string::npos) << said_;
  EXPECT_EQ(log->NextSequence(), 1u);
  EXPECT_TRUE(All(*log).empty());
  Append(*log, 1, "fresh");
  EXPECT_EQ(All(*log).size(), 1u);
  // A second driver on the same directory is refused.
  kavrod::RecordLog second(kavrod::NewPosixLogDirectory(dir_), {}, nullptr);
  std::string error;
  EXPECT_FALSE(second.Open(&error));
  EXPECT_NE(error.find("in use by another kavro"), std::string::npos) << error;
}

// With the record log, memory is a window: the acknowledged client reads
// the older records back from the log, in order, with their identity; the
// log's bound drops the oldest, counted; a record the log cannot take
// stays in memory, counted, and the log resumes by itself.
TEST_F(RecordLogTest, TheAcknowledgedClientIsServedFromTheLogWithinItsBound) {
  kavrod::Limits limits;
  limits.client_records_max = 8;
  kavrod::DeliveryCore core(kavrod::ServerHooks{[] {}, [] { return false; }}, limits);
  auto log = Open(1u << 20);
  core.AttachLog(log.get());
  const std::string big(1000, 'x');
  constexpr uint32_t kRecords = 2000;  // about twice the bound
  for (uint32_t i = 0; i < kRecords; ++i) {
    std::string bytes = Numbered(i) + big;
    void* block = std::malloc(bytes.size());
    std::memcpy(block, bytes.data(), bytes.size());
    ASSERT_NE(core.Deliver(0x20, block, static_cast<uint32_t>(bytes.size()), 0), -1);
  }
  EXPECT_LE(log->Bytes(), 1u << 20);
  const uint64_t lost = core.QueryStatus().records_lost;
  EXPECT_GT(lost, 0u);
  EXPECT_NE(said_.find("<4>record log " + dir_ + " is full"), std::string::npos) << said_;

  // Writes fail (the file size limit stands in for a full disk).
  struct rlimit saved {};
  getrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit tight = saved;
  tight.rlim_cur = 40;
  setrlimit(RLIMIT_FSIZE, &tight);
  for (uint32_t i = kRecords; i < kRecords + 3; ++i) {
    void* block = std::malloc(4);
    std::memcpy(block, &i, 4);
    EXPECT_EQ(core.Deliver(0x20, block, 4, 0), 1);
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_NE(said_.find("<3>cannot write a record to the record log " + dir_), std::string::npos) << said_;
  EXPECT_EQ(core.QueryStatus().records_not_logged, 3u);
  {
    const uint32_t last = kRecords + 3;
    void* block = std::malloc(4);
    std::memcpy(block, &last, 4);
    EXPECT_EQ(core.Deliver(0x20, block, 4, 0), 1);
  }
  EXPECT_NE(said_.find("is written again; 3 records were kept in memory only meanwhile"), std::string::npos) << said_;

  kavrod::OutRecord state{};
  const auto id = core.Accept(0, &state);
  const uint8_t request[KAVROD_REQUEST_SIZE] = {KAVROD_REQUEST_ACKNOWLEDGED};
  core.Request(id, request, sizeof request);
  std::vector<uint32_t> numbers;
  uint64_t last_sequence = 0;
  for (int round = 0; round < 1000; ++round) {
    kavrod::OutRecord out[64];
    const size_t n = core.Collect(id, 0, out, 64);
    for (size_t i = 0; i < n; ++i) {
      uint64_t log_id, sequence;
      std::memcpy(&log_id, out[i].header + 8, 8);
      std::memcpy(&sequence, out[i].header + 16, 8);
      EXPECT_EQ(out[i].header[0], KAVROD_RECORD_PAYLOAD_ID);
      EXPECT_EQ(log_id, log->LogId());
      EXPECT_GT(sequence, last_sequence);
      last_sequence = sequence;
      uint32_t v;
      std::memcpy(&v, out[i].payload, 4);
      numbers.push_back(v);
    }
    core.Commit(id, n, 0);
    if (n == 0) break;
  }
  // The newest records, every one, in order.
  ASSERT_EQ(numbers.size(), kRecords + 4 - lost);
  for (size_t i = 0; i < numbers.size(); ++i) ASSERT_EQ(numbers[i], lost + i) << i;
  EXPECT_EQ(last_sequence, kRecords + 4);
}

// A driver that calls WaitForRoom before each read has the records of one
// read written together: all of them before the next read (or a link
// event), in order; a group that cannot be written is counted as kept in
// memory only, and the acknowledged client still gets every record.
TEST_F(RecordLogTest, TheRecordsOfOneReadAreWrittenTogetherBeforeTheNextRead) {
  kavrod::DeliveryCore core(kavrod::ServerHooks{[] {}, [] { return false; }}, kavrod::Limits{});
  auto log = Open(1u << 20);
  core.AttachLog(log.get());
  auto deliver = [&core](uint32_t number) {
    void* block = std::malloc(4);
    std::memcpy(block, &number, 4);
    EXPECT_EQ(core.Deliver(0x20, block, 4, 0), 1);
  };
  auto payloads = [&log] {
    std::vector<std::string> seen;
    for (const auto& r : All(*log)) seen.push_back(std::get<2>(r));
    return seen;
  };
  auto number = [](uint32_t n) { return std::string(reinterpret_cast<const char*>(&n), 4); };
  deliver(0);  // before the first WaitForRoom: written at once
  EXPECT_EQ(payloads().size(), 1u);
  EXPECT_EQ(core.WaitForRoom(0), 1);
  const auto written = std::filesystem::file_size(Newest());
  for (uint32_t i = 1; i <= 3; ++i) deliver(i);
  EXPECT_EQ(std::filesystem::file_size(Newest()), written);
  EXPECT_EQ(core.WaitForRoom(0), 1);
  EXPECT_GT(std::filesystem::file_size(Newest()), written);
  EXPECT_EQ(payloads(), (std::vector<std::string>{number(0), number(1), number(2), number(3)}));
  deliver(4);
  core.Signal(KAVROD_EVENT_ESTABLISHED, 0);  // written at once, after what was gathered
  EXPECT_EQ(payloads().size(), 6u);

  struct rlimit saved {};
  getrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit tight = saved;
  tight.rlim_cur = 40;
  setrlimit(RLIMIT_FSIZE, &tight);
  for (uint32_t i = 5; i <= 7; ++i) deliver(i);
  EXPECT_EQ(core.WaitForRoom(0), 1);
  setrlimit(RLIMIT_FSIZE, &saved);
  EXPECT_NE(said_.find("<3>cannot write records to the record log " + dir_), std::string::npos) << said_;
  EXPECT_EQ(core.QueryStatus().records_not_logged, 3u);
  deliver(8);
  EXPECT_EQ(core.WaitForRoom(0), 1);
  EXPECT_NE(said_.find("is written again; 3 records were kept in memory only meanwhile"), std::string::npos) << said_;
  EXPECT_EQ(payloads().back(), number(8));

  kavrod::OutRecord state{};
  const auto id = core.Accept(0, &state);
  const uint8_t request[KAVROD_REQUEST_SIZE] = {KAVROD_REQUEST_ACKNOWLEDGED};
  core.Request(id, request, sizeof request);
  kavrod::OutRecord out[64];
  const size_t n = core.Collect(id, 0, out, 64);
  std::vector<uint32_t> numbers;
  uint64_t last_sequence = 0;
  for (size_t i = 0; i < n; ++i) {
    uint64_t sequence;
    std::memcpy(&sequence, out[i].header + 16, 8);
    EXPECT_GT(sequence, last_sequence);
    last_sequence = sequence;
    if (out[i].header[0] != KAVROD_RECORD_PAYLOAD_ID) continue;
    uint32_t v;
    std::memcpy(&v, out[i].payload, 4);
    numbers.push_back(v);
  }
  core.Commit(id, n, 0);
  EXPECT_EQ(numbers, (std::vector<uint32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8}));
}

// The log keeps everything for the acknowledged client; a plain newcomer
// still gets what it would get without the log: the backlog, or, when its
// connect had returned, all of it.
TEST_F(RecordLogTest, APlainClientGetsTheBacklogAsWithoutTheLog) {
  for (const bool waiting : {false, true}) {
    kavrod::DeliveryCore core(kavrod::ServerHooks{[] {}, [waiting] { return waiting; }}, kavrod::Limits{});
    auto log = Open();
    core.AttachLog(log.get());
    for (uint32_t i = 0; i < 1500; ++i) {
      void* block = std::malloc(4);
      std::memcpy(block, &i, 4);
      ASSERT_EQ(core.Deliver(0x20, block, 4, 0), 1);
    }
    kavrod::OutRecord state{};
    const auto id = core.Accept(0, &state);
    core.Promote(id, 0);
    std::vector<uint32_t> numbers;
    kavrod::OutRecord out[64];
    size_t got;
    while ((got = core.Collect(id, 0, out, 64)) > 0) {
      for (size_t i = 0; i < got; ++i) {
        uint32_t v;
        std::memcpy(&v, out[i].payload, 4);
        numbers.push_back(v);
      }
      core.Commit(id, got, 0);
    }
    const uint32_t first = waiting ? 0 : 1500 - KAVROD_BACKLOG_MAX;
    ASSERT_EQ(numbers.size(), 1500 - first) << waiting;
    EXPECT_EQ(numbers.front(), first);
    EXPECT_EQ(numbers.back(), 1499u);
    log.reset();
    TearDown();
    SetUp();
  }
}
