// The Linux socket layer over real loopback connections.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "core/link_control.h"
#include "diag/trace_log.h"
#include "platform/posix/posix_tcp_socket.h"
#include "platform/virtual/virtual_event_hub.h"
#include "support/fakes.h"
#include "transport/tcp_port.h"

namespace kavro {
namespace {

// A listening loopback socket on a port the kernel picks.
class Listener {
 public:
  explicit Listener(int backlog = 1) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, backlog);
    socklen_t size = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    for (int fd : fillers_) close(fd);
    if (peer_ >= 0) close(peer_);
    if (fd_ >= 0) close(fd_);
  }
  // Fills the accept queue of a listener made with backlog 0 and never
  // accepts: the kernel then drops every further SYN, so a connect to it
  // stays pending, as one to an overloaded server does.
  void FillAcceptQueue() {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port_);
    for (int i = 0; i < 2; ++i) {
      const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
      fillers_.push_back(fd);
    }
  }
  uint16_t Port() const { return port_; }
  int Accept() { return peer_ = accept(fd_, nullptr, nullptr); }
  void ClosePeer() {
    close(peer_);
    peer_ = -1;
  }
  void StopListening() {
    close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
  int peer_ = -1;
  uint16_t port_ = 0;
  std::vector<int> fillers_;
};

// Waits until the first bytes of a send reach `peer`: the sender is then
// inside Send and holds the socket.
void AwaitBytesAt(int peer) {
  pollfd p{peer, POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, -1), 1);
}

TEST(PosixTcpSocket, RefusedOrUnparsableConnectFailsAndOpensNothing) {
  Listener gone;
  const uint16_t port = gone.Port();
  gone.StopListening();

  testing::FakeLogBackend backend;
  TraceLog trace(backend);
  trace.TraceMask = LOG_ERROR;
  platform::VirtualEventHub hub;
  LinkControl control(trace, hub);
  platform::PosixTcpSocket socket;
  TcpPort tcp(socket, control, trace);

  EXPECT_EQ(tcp.OpenSocket("127.0.0.1", port), 0);
  EXPECT_TRUE(backend.Contains("connect() failed: " + std::to_string(ECONNREFUSED)));
  EXPECT_EQ(control.Block.SocketHandle, INVALID_HANDLE);
  EXPECT_EQ(socket.Handle(), -1);

  EXPECT_NE(socket.Connect("no.such.address", port), 0);
  EXPECT_NE(socket.Connect("127.0.0.1.5", port), 0);
  EXPECT_EQ(socket.Handle(), -1);
}

TEST(PosixTcpSocket, SendsWholeBlocksReceivesAndSeesThePeerClose) {
  Listener listener;
  platform::PosixTcpSocket socket;
  ASSERT_EQ(socket.Connect("127.0.0.1", listener.Port()), 0);
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);

  // Far more than the socket buffers hold: the send has to go on after
  // partial writes while the peer reads.
  std::vector<uint8_t> block(4 * 1024 * 1024);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 7 + (i >> 12));
  std::vector<uint8_t> got;
  std::thread reader([&] {
    uint8_t buf[65536];
    while (got.size() < block.size()) {
      const ssize_t n = recv(peer, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
  });
  platform::SendProgress progress;
  EXPECT_EQ(socket.Send(block.data(), static_cast<uint32_t>(block.size()), progress), 0);
  reader.join();
  EXPECT_EQ(got, block);

  ASSERT_EQ(send(peer, "\xC5\x00\x01\x7E", 4, 0), 4);
  uint8_t buf[16];
  int32_t error = 0;
  uint32_t total = 0;
  while (total < 4) {
    const int32_t n = socket.Receive(buf + total, sizeof buf - total, error);
    ASSERT_GT(n, 0);
    total += static_cast<uint32_t>(n);
  }
  EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), (std::vector<uint8_t>{0xC5, 0x00, 0x01, 0x7E}));

  listener.ClosePeer();
  EXPECT_EQ(socket.Receive(buf, sizeof buf, error), 0);
  // Writing to a peer that has gone ends in an error number (its reset
  // comes back after the first write), never in SIGPIPE.
  int32_t sendError = 0;
  for (int i = 0; i < 100 && sendError == 0; ++i) sendError = socket.Send(block.data(), 1024, progress);
  EXPECT_TRUE(sendError == EPIPE || sendError == ECONNRESET) << sendError;
}

TEST(PosixTcpSocket, ConnectThatIsNotAnsweredGivesUpAtItsLimitOrOnCancel) {
  Listener overloaded(0);
  overloaded.FillAcceptQueue();
  platform::PosixTcpSocket socket;
  socket.SetConnectLimit(200);
  EXPECT_EQ(socket.Connect("127.0.0.1", overloaded.Port()), ETIMEDOUT);
  EXPECT_EQ(socket.Handle(), -1);

  // A close signal waiting in the pipe ends the connect however long its
  // limit; the pipe is only watched, so the signal is still there for the
  // event loop.
  socket.SetConnectLimit(platform::PosixTcpSocket::CONNECT_LIMIT_MS);
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
  socket.SetCancelDescriptor(pipeFds[0]);
  ASSERT_EQ(write(pipeFds[1], "\x0f", 1), 1);
  EXPECT_EQ(socket.Connect("127.0.0.1", overloaded.Port()), EINTR);
  EXPECT_EQ(socket.Handle(), -1);
  char signo = 0;
  EXPECT_EQ(read(pipeFds[0], &signo, 1), 1);
  close(pipeFds[0]);
  close(pipeFds[1]);
}

// Reads what the peer was sent until the connection ends; false when it
// does not end within two seconds.
bool DrainToEnd(int peer, size_t& count) {
  uint8_t buf[65536];
  for (;;) {
    pollfd p{peer, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1) return false;
    const ssize_t n = recv(peer, buf, sizeof buf, 0);
    if (n <= 0) return true;
    count += static_cast<size_t>(n);
  }
}

// The peer takes the connection and reads nothing. Each block here is far
// larger than the socket buffers, and its limit (half an hour) is far beyond
// the test's: only the cut can end the send. A block cut after its first
// byte ends the connection right behind it.
TEST(PosixTcpSocket, SendCutPartWayByCloseOrCancelEndsTheConnection) {
  const std::vector<uint8_t> huge(32 * 1024 * 1024, 0x5A);
  {
    Listener listener;
    platform::PosixTcpSocket socket;
    ASSERT_EQ(socket.Connect("127.0.0.1", listener.Port()), 0);
    const int peer = listener.Accept();
    ASSERT_GE(peer, 0);
    int32_t result = 0;
    platform::SendProgress progress;
    std::thread sender([&] { result = socket.Send(huge.data(), static_cast<uint32_t>(huge.size()), progress); });
    AwaitBytesAt(peer);
    socket.Close();
    sender.join();
    EXPECT_EQ(result, ECANCELED);
    EXPECT_GT(progress.Sent, 0u);
    EXPECT_TRUE(progress.Closing);
    EXPECT_EQ(socket.Handle(), -1);
  }

  Listener listener;
  platform::PosixTcpSocket socket;
  int pipeFds[2];
  ASSERT_EQ(pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC), 0);
  socket.SetCancelDescriptor(pipeFds[0]);
  ASSERT_EQ(socket.Connect("127.0.0.1", listener.Port()), 0);
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  int32_t result = 0;
  platform::SendProgress progress;
  std::thread sender([&] { result = socket.Send(huge.data(), static_cast<uint32_t>(huge.size()), progress); });
  AwaitBytesAt(peer);
  ASSERT_EQ(write(pipeFds[1], "\x0f", 1), 1);
  sender.join();
  EXPECT_EQ(result, EINTR);
  EXPECT_GT(progress.Sent, 0u);
  EXPECT_TRUE(progress.Closing);
  // The peer gets the head of the block, then the end of the connection:
  // nothing can follow the cut block.
  const uint32_t head = progress.Sent;
  char signo = 0;
  ASSERT_EQ(read(pipeFds[0], &signo, 1), 1);
  const uint8_t small[64] = {};
  EXPECT_NE(socket.Send(small, sizeof small, progress), 0);
  EXPECT_EQ(progress.Sent, 0u);
  size_t count = 0;
  EXPECT_TRUE(DrainToEnd(peer, count));
  EXPECT_EQ(count, head);
  close(pipeFds[0]);
  close(pipeFds[1]);
}

// With the socket's buffers full, a block that cannot start within its
// limit is refused whole, and the connection goes on: the blocks after it
// arrive whole once the peer reads again.
TEST(PosixTcpSocket, SendThatCannotStartIsRefusedWholeAndTheConnectionGoesOn) {
  Listener listener;
  platform::PosixTcpSocket socket;
  ASSERT_EQ(socket.Connect("127.0.0.1", listener.Port()), 0);
  const int peer = listener.Accept();
  ASSERT_GE(peer, 0);
  std::vector<uint8_t> filler(4096, 0x11);
  size_t filled = 0;
  // Until the kernel takes nothing more, also after a pause that lets the
  // window updates settle.
  for (int round = 0; round < 2; ++round) {
    ssize_t n;
    while ((n = send(socket.Handle(), filler.data(), filler.size(), MSG_NOSIGNAL)) > 0)
      filled += static_cast<size_t>(n);
    ASSERT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const uint8_t block[64] = {0x22};
  platform::SendProgress progress;
  EXPECT_EQ(socket.Send(block, sizeof block, progress), ETIMEDOUT);
  EXPECT_EQ(progress.Sent, 0u);

  std::vector<uint8_t> got;
  std::thread reader([&] {
    uint8_t buf[65536];
    while (got.size() < filled + sizeof block) {
      const ssize_t n = recv(peer, buf, sizeof buf, 0);
      if (n <= 0) break;
      got.insert(got.end(), buf, buf + n);
    }
  });
  EXPECT_EQ(socket.Send(block, sizeof block, progress), 0);
  reader.join();
  ASSERT_EQ(got.size(), filled + sizeof block);
  EXPECT_EQ(std::vector<uint8_t>(got.begin() + static_cast<ptrdiff_t>(filled), got.end()),
            std::vector<uint8_t>(block, block + sizeof block));
}

TEST(PosixTcpSocket, ShutdownOrCloseWakesAReceiveBlockedOnAnotherThread) {
  Listener listener;
  platform::PosixTcpSocket socket;
  ASSERT_EQ(socket.Connect("127.0.0.1", listener.Port()), 0);
  ASSERT_GE(listener.Accept(), 0);

  int32_t result = -2;
  std::thread receiver([&] {
    uint8_t buf[64];
    int32_t error = 0;
    result = socket.Receive(buf, sizeof buf, error);
  });
  // The peer stays silent and open: only the shutdown can end the receive.
  socket.Shutdown();
  receiver.join();
  EXPECT_EQ(result, 0);
  socket.Close();
  EXPECT_EQ(socket.Handle(), -1);
  int32_t error = 0;
  uint8_t buf[4];
  EXPECT_EQ(socket.Receive(buf, sizeof buf, error), -1);
  EXPECT_EQ(error, EBADF);

  // Close alone ends the receive too, and waits for it to have left the
  // socket before the descriptor goes. (A receive that starts only after
  // the close finds no socket.)
  Listener second;
  ASSERT_EQ(socket.Connect("127.0.0.1", second.Port()), 0);
  ASSERT_GE(second.Accept(), 0);
  result = -2;
  int32_t receiveError = 0;
  std::thread receiver2([&] {
    uint8_t b[64];
    result = socket.Receive(b, sizeof b, receiveError);
  });
  socket.Close();
  receiver2.join();
  EXPECT_TRUE(result == 0 || (result == -1 && receiveError == EBADF)) << result << " " << receiveError;
}

}  // namespace
}  // namespace kavro
