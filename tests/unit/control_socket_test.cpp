#include "platform/posix/posix_control_socket.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kavro::platform {
namespace {

constexpr uint32_t kUnknownMessage = 0x0111;

struct Request {
  uint32_t message;
  uint32_t word;
  std::vector<uint8_t> data;
  std::thread::id thread;
};

// The window procedure: records every call; the result is chosen per test.
class Recorder : public MessageHandler {
 public:
  int32_t KavroWnd(uint32_t message, uint32_t wParam, const CopyData* copy) override {
    std::lock_guard lock(mutex_);
    Request r{message, wParam, {}, std::this_thread::get_id()};
    if (copy) {
      r.word = copy->dwData;
      r.data.assign(copy->lpData, copy->lpData + copy->cbData);
    }
    calls_.push_back(r);
    return result ? result(r) : 1;
  }
  std::vector<Request> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  std::function<int32_t(const Request&)> result;

 private:
  std::mutex mutex_;
  std::vector<Request> calls_;
};

// A client program: blocking socket with generous time limits, so that a
// fault shows as a failed expectation instead of a hung test.
class Client {
 public:
  explicit Client(const std::string& path) : Client() { Connect(path); }
  // A socket not yet connected.
  Client() {
    fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    timeval tv{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  }
  bool Connect(const std::string& path) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    return connected_;
  }
  // True once the other end has closed the connection (waits up to 10 s).
  bool ClosedByPeer(int timeout_ms = 10000) {
    // An answer still unread (the refusal, when our own send already met the
    // closed connection) comes before the end. A peer that closes with our
    // last request unread resets the connection instead of ending it.
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) != 1) return false;
      uint8_t b[8];
      const ssize_t n = recv(fd_, b, sizeof b, MSG_DONTWAIT);
      if (n <= 0) return n == 0 || errno == ECONNRESET;
    }
  }
  ~Client() { Close(); }
  bool Connected() const { return connected_; }
  int Fd() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }
  bool SendRaw(const std::vector<uint8_t>& packet) {
    return send(fd_, packet.data(), packet.size(), MSG_NOSIGNAL) == ssize_t(packet.size());
  }
  bool Send(uint32_t message, uint32_t word, const std::string& data = "") {
    return SendRaw(Packet(message, word, std::vector<uint8_t>(data.begin(), data.end())));
  }
  // The next answer; INT32_MIN stands for none (closed or timed out).
  int32_t Answer() {
    uint8_t b[8];
    if (recv(fd_, b, sizeof b, 0) != 4) return INT32_MIN;
    return int32_t(uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24);
  }
  int32_t Call(uint32_t message, uint32_t word, const std::string& data = "") {
    return Send(message, word, data) ? Answer() : INT32_MIN;
  }
  static std::vector<uint8_t> Packet(uint32_t message, uint32_t word, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> p(8);
    for (int i = 0; i < 4; i++) {
      p[i] = uint8_t(message >> (8 * i));
      p[4 + i] = uint8_t(word >> (8 * i));
    }
    p.insert(p.end(), data.begin(), data.end());
    return p;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

class ControlSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kavro-ctl-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    base_ = tmpl;
    run_dir_ = base_ + "/run/kavro";
    ASSERT_TRUE(hub_.Ok());
  }
  void TearDown() override {
    StopLoop();
    control_.Close();
    std::filesystem::remove_all(base_);
  }
  bool Open() {
    std::string error;
    const bool ok = control_.Open(run_dir_, &error);
    EXPECT_TRUE(ok) << error;
    return ok;
  }
  // The loop thread plays the main thread of kavro.
  void StartLoop() {
    loop_ = std::thread([this] { hub_.Run(); });
  }
  void StopLoop() {
    if (!loop_.joinable()) return;
    hub_.Stop();
    loop_.join();
  }
  std::string SocketPath() const { return run_dir_ + "/KavroControlProg"; }

  // The control socket's notices, as the trace log would get them.
  void RecordNotices() {
    control_.SetNotice([this](const std::string& text) {
      std::lock_guard lock(notice_mutex_);
      notices_.push_back(text);
    });
  }
  bool WaitForNotice(const std::string& part) {
    for (int i = 0; i < 1000; i++) {
      {
        std::lock_guard lock(notice_mutex_);
        for (const auto& n : notices_) {
          if (n.find(part) != std::string::npos) return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  std::string base_, run_dir_;
  std::mutex notice_mutex_;
  std::vector<std::string> notices_;
  PosixEventHub hub_;
  Recorder recorder_;
  ControlSocket control_{hub_, recorder_};
  std::thread loop_;
};

TEST_F(ControlSocketTest, CopyDataAndCloseReachTheHandlerOnTheLoopThreadAndTheResultComesBack) {
  ASSERT_TRUE(Open());
  recorder_.result = [](const Request& r) { return r.word == 0x00020000 ? -1 : int32_t(r.data.size()); };
  StartLoop();
  Client c(SocketPath());
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.Call(WM_COPYDATA, 0x00010020, "hello"), 5);
  EXPECT_EQ(c.Call(WM_COPYDATA, 0x00020000, "x"), -1);
  EXPECT_EQ(c.Call(WM_COPYDATA, 0x11110000), 0);  // no data bytes at all
  EXPECT_EQ(c.Call(WM_CLOSE, 0x1234, "ignored"), 0);
  const auto calls = recorder_.Calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].message, WM_COPYDATA);
  EXPECT_EQ(calls[0].word, 0x00010020u);
  EXPECT_EQ(std::string(calls[0].data.begin(), calls[0].data.end()), "hello");
  EXPECT_EQ(calls[2].word, 0x11110000u);
  EXPECT_TRUE(calls[2].data.empty());
  EXPECT_EQ(calls[3].message, WM_CLOSE);
  EXPECT_TRUE(calls[3].data.empty());
  for (auto& r : calls) EXPECT_EQ(r.thread, loop_.get_id());
}

TEST_F(ControlSocketTest, ManyRequestsOnOneConnectionAreAnsweredInOrderWhileOthersTakeTurns) {
  ASSERT_TRUE(Open());
  recorder_.result = [](const Request& r) { return int32_t(r.word); };
  StartLoop();
  Client a(SocketPath()), b(SocketPath());
  ASSERT_TRUE(a.Connected() && b.Connected());
  constexpr uint32_t kCount = 100;
  // Sent back to back before reading a single answer.
  for (uint32_t i = 0; i < kCount; i++) {
    ASSERT_TRUE(a.Send(WM_COPYDATA, 0x00010000 + i, std::string(i, char(i))));
    ASSERT_TRUE(b.Send(WM_COPYDATA, 0x00020000 + i));
  }
  for (uint32_t i = 0; i < kCount; i++) {
    EXPECT_EQ(a.Answer(), int32_t(0x00010000 + i));
    EXPECT_EQ(b.Answer(), int32_t(0x00020000 + i));
  }
  // Each connection's requests reach the handler in their order, intact.
  uint32_t next_a = 0, next_b = 0;
  for (auto& r : recorder_.Calls()) {
    if ((r.word >> 16) == 1) {
      EXPECT_EQ(r.word, 0x00010000 + next_a);
      EXPECT_EQ(r.data, std::vector<uint8_t>(next_a, uint8_t(next_a)));
      next_a++;
    } else {
      EXPECT_EQ(r.word, 0x00020000 + next_b++);
    }
  }
  EXPECT_EQ(next_a, kCount);
  EXPECT_EQ(next_b, kCount);
}

TEST_F(ControlSocketTest, MalformedOversizedAndUnknownRequestsGet0AndReachNobody) {
  ASSERT_TRUE(Open());
  StartLoop();
  Client c(SocketPath());
  ASSERT_TRUE(c.Connected());
  ASSERT_TRUE(c.SendRaw({0x4A, 0, 0}));  // 3 bytes
  EXPECT_EQ(c.Answer(), 0);
  ASSERT_TRUE(c.SendRaw({0x4A, 0, 0, 0, 1, 0, 1}));  // 7 bytes
  EXPECT_EQ(c.Answer(), 0);
  ASSERT_TRUE(c.SendRaw({}));  // an empty packet is not the end of the connection
  EXPECT_EQ(c.Answer(), 0);
  EXPECT_EQ(c.Call(kUnknownMessage, 0x00010000, "abc"), 0);
  EXPECT_EQ(c.Call(WM_TIMER, 0x1200), 0);  // clients cannot fire our timers
  EXPECT_EQ(c.Call(WM_DESTROY, 0), 0);     // nor end the process behind the link's back
  std::vector<uint8_t> big(8 + ControlSocket::kMaxData + 1, 0xA5);
  ASSERT_TRUE(c.SendRaw(Client::Packet(WM_COPYDATA, 0x00010001, std::vector<uint8_t>(big.begin() + 8, big.end()))));
  EXPECT_EQ(c.Answer(), 0);
  EXPECT_TRUE(recorder_.Calls().empty());

  // The connection still works, and the largest request passes whole.
  std::vector<uint8_t> largest(ControlSocket::kMaxData);
  for (size_t i = 0; i < largest.size(); i++) largest[i] = uint8_t(i * 7);
  ASSERT_TRUE(c.SendRaw(Client::Packet(WM_COPYDATA, 0x00010002, largest)));
  EXPECT_EQ(c.Answer(), 1);
  const auto calls = recorder_.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].word, 0x00010002u);
  EXPECT_EQ(calls[0].data, largest);
}

TEST_F(ControlSocketTest, ClientsThatVanishOrAreSlowToReadNeverDisturbTheOthers) {
  std::promise<void> entered, release;
  std::shared_future<void> go = release.get_future().share();
  recorder_.result = [&](const Request& r) {
    if (r.word == 0x00030000) {
      entered.set_value();
      go.wait();
    }
    if ((r.word >> 16) == 2) return int32_t(r.word & 0xFFFF);
    return 1;
  };
  ASSERT_TRUE(Open());
  StartLoop();
  {
    // Connects and goes without a word.
    Client gone(SocketPath());
    ASSERT_TRUE(gone.Connected());
  }
  {
    // Fire and forget: the requests sent before hanging up are still served,
    // also when the client leaves an answer unread (the kernel then reports
    // a reset ahead of the queued request). A third client holds the loop
    // inside the handler meanwhile, so that the hang-up comes first.
    Client quick(SocketPath()), holder(SocketPath());
    ASSERT_TRUE(quick.Send(WM_COPYDATA, 0x00010007, "last words"));
    pollfd answered{quick.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&answered, 1, 10000), 1);
    ASSERT_TRUE(holder.Send(WM_COPYDATA, 0x00030000));
    entered.get_future().wait();
    EXPECT_TRUE(quick.Send(WM_CLOSE, 0));
    quick.Close();
    release.set_value();
    EXPECT_EQ(holder.Answer(), 1);
  }
  // Sends on without reading until its answers fill the socket and we stop
  // taking its requests (its own sends then stall): it is waited for.
  Client slow(SocketPath());
  ASSERT_TRUE(slow.Connected());
  uint32_t sent = 0;
  for (;;) {
    const std::vector<uint8_t> packet = Client::Packet(WM_COPYDATA, 0x00020000 + (sent & 0xFFFF), {});
    if (send(slow.Fd(), packet.data(), packet.size(), MSG_DONTWAIT | MSG_NOSIGNAL) == ssize_t(packet.size())) {
      sent++;
      continue;
    }
    ASSERT_EQ(errno, EAGAIN);
    pollfd room{slow.Fd(), POLLOUT, 0};
    if (poll(&room, 1, 500) == 0) break;
    ASSERT_LT(sent, 1000000u) << "requests are taken on although their answers cannot be written";
  }

  Client good(SocketPath());
  ASSERT_TRUE(good.Connected());
  EXPECT_EQ(good.Call(WM_COPYDATA, 0x00010003, "ok"), 1);

  // Every request of the slow client is answered, in order, once it reads.
  for (uint32_t i = 0; i < sent; i++) {
    const int32_t answer = slow.Answer();
    ASSERT_EQ(answer, int32_t(i & 0xFFFF)) << "answer " << i << " of " << sent;
  }
  EXPECT_EQ(slow.Call(WM_COPYDATA, 0x00020000 + 7), 7);

  // The quick client's two requests in its order, then the good one's (the
  // slow one's may come between them: clients take turns).
  std::vector<Request> quick_calls;
  for (auto& r : recorder_.Calls()) {
    if ((r.word >> 16) != 2 && r.word != 0x00030000) quick_calls.push_back(r);
  }
  ASSERT_EQ(quick_calls.size(), 3u);
  EXPECT_EQ(quick_calls[0].word, 0x00010007u);
  EXPECT_EQ(std::string(quick_calls[0].data.begin(), quick_calls[0].data.end()), "last words");
  EXPECT_EQ(quick_calls[1].message, WM_CLOSE);
  EXPECT_EQ(quick_calls[2].word, 0x00010003u);
  StopLoop();
  EXPECT_EQ(control_.ClientCount(), 2u);  // only `slow` and `good` are left
}

TEST_F(ControlSocketTest, ClientsBeyondTheCapAreRefusedUnseenUntilAPlaceComesFree) {
  RecordNotices();
  ASSERT_TRUE(Open());
  StartLoop();
  std::vector<std::unique_ptr<Client>> held;
  for (size_t i = 0; i < ControlSocket::kMaxClients; i++) {
    held.push_back(std::make_unique<Client>(SocketPath()));
    ASSERT_EQ(held.back()->Call(WM_COPYDATA, 0x00010000, "in"), 1) << i;
  }
  Client extra(SocketPath());
  ASSERT_TRUE(extra.Connected());
  // Answered 0 when its request came before the refusal, else the send
  // fails on the closed connection; either way it is told and then closed.
  const int32_t refused = extra.Call(WM_COPYDATA, 0x00010001, "out");
  EXPECT_TRUE(refused == 0 || refused == INT32_MIN) << refused;
  EXPECT_TRUE(extra.ClosedByPeer());
  EXPECT_TRUE(WaitForNotice("ControlSocket: 64 clients connected, new client refused"));

  // The loop notices the hang-up and the new connection in either order.
  held.front()->Close();
  int32_t result = INT32_MIN;
  for (int attempt = 0; attempt < 100 && result != 1; attempt++) {
    Client next(SocketPath());
    result = next.Call(WM_COPYDATA, 0x00010002, "in again");
  }
  EXPECT_EQ(result, 1);
  for (const auto& r : recorder_.Calls()) EXPECT_NE(r.word, 0x00010001u);
}

TEST_F(ControlSocketTest, IdleConnectionIsClosedWhileABusyOneIsKept) {
  RecordNotices();
  control_.SetTimes(300, ControlSocket::kAcceptPauseMs);
  ASSERT_TRUE(Open());
  StartLoop();
  Client idle(SocketPath()), busy(SocketPath());
  ASSERT_EQ(idle.Call(WM_COPYDATA, 0x00010000, "once"), 1);
  int calls = 0;
  while (!idle.ClosedByPeer(20)) {
    ASSERT_EQ(busy.Call(WM_COPYDATA, 0x00010001, "again"), 1);
    ASSERT_LT(++calls, 5000) << "the idle connection was never closed";
  }
  EXPECT_EQ(busy.Call(WM_COPYDATA, 0x00010001, "still here"), 1);
  EXPECT_TRUE(WaitForNotice("ControlSocket: client idle for "));
}

TEST_F(ControlSocketTest, OutOfDescriptorsTheListenerRestsAndServesTheWaitingClientLater) {
  RecordNotices();
  control_.SetTimes(ControlSocket::kIdleMs, 50);
  ASSERT_TRUE(Open());
  StartLoop();
  Client served(SocketPath());
  ASSERT_EQ(served.Call(WM_COPYDATA, 0x00010000, "before"), 1);

  // From here no descriptor is left to accept with: the limit is the lowest
  // free descriptor number.
  Client waiting;
  const int lowest_free = dup(0);
  ASSERT_GE(lowest_free, 0);
  close(lowest_free);
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old_limit), 0);
  rlimit tight = old_limit;
  tight.rlim_cur = rlim_t(lowest_free);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
  const bool connected = waiting.Connect(SocketPath());
  const bool noticed = WaitForNotice("ControlSocket: accept failed (Too many open files), new clients wait");
  // Clients already connected are served meanwhile.
  const int32_t meanwhile = served.Call(WM_COPYDATA, 0x00010001, "meanwhile");
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &old_limit), 0);
  ASSERT_TRUE(connected);
  EXPECT_TRUE(noticed);
  EXPECT_EQ(meanwhile, 1);
  // Once a descriptor is free again the waiting client is taken and served.
  EXPECT_EQ(waiting.Call(WM_COPYDATA, 0x00010002, "after"), 1);
}

TEST_F(ControlSocketTest, CreatesTheRunDirectoryAndASocketOthersOfTheGroupMayUseAndRemovesItOnClose) {
  const mode_t old_mask = umask(077);
  ASSERT_TRUE(Open());
  umask(old_mask);
  EXPECT_EQ(control_.Path(), SocketPath());
  struct stat st {};
  ASSERT_EQ(stat(run_dir_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(stat((base_ + "/run").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  ASSERT_EQ(lstat(SocketPath().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0660u);
  control_.Close();
  EXPECT_NE(lstat(SocketPath().c_str(), &st), 0);
  control_.Close();  // twice is harmless
}

TEST_F(ControlSocketTest, StaleSocketOfACrashedRunIsReplacedButALiveOneIsNot) {
  // A crashed run leaves its socket file with nobody listening.
  std::filesystem::create_directories(run_dir_);
  {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, SocketPath().c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    close(fd);
  }
  ASSERT_TRUE(Open());

  // A second instance on the same run directory must not steal it.
  Recorder other_handler;
  ControlSocket other(hub_, other_handler);
  std::string error;
  EXPECT_FALSE(other.Open(run_dir_, &error));
  EXPECT_EQ(error, "kavro: another kavro is running on " + SocketPath() + "; stop it or use --run-dir");
  other.Close();  // must leave the running instance's socket alone

  StartLoop();
  Client c(SocketPath());
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.Call(WM_COPYDATA, 0x00010000, "x"), 1);
  EXPECT_TRUE(other_handler.Calls().empty());
}

TEST_F(ControlSocketTest, UnusablePathsFailWithAMessage) {
  std::filesystem::create_directories(run_dir_);
  {
    std::FILE* f = std::fopen(SocketPath().c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  std::string error;
  EXPECT_FALSE(control_.Open(run_dir_, &error));
  EXPECT_NE(error.find("is not a socket"), std::string::npos) << error;
  // The file is not ours to remove.
  EXPECT_TRUE(std::filesystem::exists(SocketPath()));

  error.clear();
  EXPECT_FALSE(control_.Open(SocketPath() + "/sub", &error));
  EXPECT_NE(error.find("kavro: cannot create the run directory"), std::string::npos) << error;
}

}  // namespace
}  // namespace kavro::platform
