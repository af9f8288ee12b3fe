// The Linux socket layer over real loopback connections.
#include "platform/posix/tcp_socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "control/link_control.h"
#include "diag/trace_log.h"
#include "platform/virtual/virtual_event_hub.h"
#include "support/fakes.h"
#include "transport/tcp_port.h"

namespace kavro {
namespace {

// A listening loopback socket on a port the kernel picks.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd_, 1);
    socklen_t size = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size);
    port_ = ntohs(a.sin_port);
  }
  ~Listener() {
    if (peer_ >= 0) close(peer_);
    if (fd_ >= 0) close(fd_);
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
};

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
  TcpPort tcp(socket, control, trace, hub);

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
  EXPECT_EQ(socket.Send(block.data(), static_cast<uint32_t>(block.size())), 0);
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
  for (int i = 0; i < 100 && sendError == 0; ++i) sendError = socket.Send(block.data(), 1024);
  EXPECT_TRUE(sendError == EPIPE || sendError == ECONNRESET) << sendError;
}

TEST(PosixTcpSocket, ShutdownWakesAReceiveBlockedOnAnotherThread) {
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

  // Close alone does the same, and releases the descriptor only once the
  // receive has left it: its number is never closed under a call in use.
  listener.ClosePeer();
  ASSERT_EQ(socket.Connect("127.0.0.1", listener.Port()), 0);
  ASSERT_GE(listener.Accept(), 0);
  result = -2;
  std::thread closed([&] {
    uint8_t b[64];
    int32_t e = 0;
    result = socket.Receive(b, sizeof b, e);
  });
  socket.Close();
  closed.join();
  EXPECT_LE(result, 0);
}

}  // namespace
}  // namespace kavro
