// The TCP port's socket operations over a scripted socket: the handle kept
// in the link control block, and what each receive outcome reports.
#include "transport/tcp_port.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/link_timers.h"
#include "link/socket_framing.h"
#include "platform/virtual/virtual_event_hub.h"
#include "support/fakes.h"

namespace kavro {
namespace {

using testing::Bytes;
using testing::FakeLogBackend;
using testing::FakeTcpSocket;
using Stream = std::vector<uint8_t>;

class TcpPortTest : public ::testing::Test {
 public:
  TcpPortTest() { trace.TraceMask = LOG_ERROR | LOG_WARNING | LOG_PROTOCOL | LOG_DETAIL; }

  FakeLogBackend backend;
  TraceLog trace{backend};
  platform::VirtualEventHub hub;
  LinkControl control{trace, hub};
  FakeTcpSocket socket;
  TcpPort port{socket, control, trace};
};

TEST_F(TcpPortTest, OpenAndCloseKeepTheSocketHandle) {
  EXPECT_EQ(port.OpenSocket("10.1.2.3", 5002), 1);
  EXPECT_EQ(control.Block.SocketHandle, 7);
  EXPECT_TRUE(backend.Contains("OpenSocket(10.1.2.3,5002)"));
  EXPECT_TRUE(backend.Contains("Client connecting to: 10.1.2.3:5002"));
  // The timer is not started by the connection itself.
  EXPECT_FALSE(hub.IsTimerRunning(TimerKeepalive));

  EXPECT_EQ(port.CloseSocket(), 1);
  EXPECT_EQ(socket.calls, (std::vector<std::string>{"connect 10.1.2.3:5002", "shutdown", "close"}));
  EXPECT_EQ(control.Block.SocketHandle, INVALID_HANDLE);
  // A second close finds nothing to do.
  EXPECT_EQ(port.CloseSocket(), 1);
  EXPECT_EQ(socket.calls.size(), 3u);

  socket.connectError = ECONNREFUSED;
  EXPECT_EQ(port.OpenSocket("127.0.0.1", 1), 0);
  EXPECT_TRUE(backend.Contains("connect() failed: " + std::to_string(ECONNREFUSED)));
  EXPECT_EQ(control.Block.SocketHandle, INVALID_HANDLE);
}

TEST_F(TcpPortTest, ReceiveReportsBytesPeerCloseAndErrors) {
  uint8_t buffer[SOCKET_READ_SIZE];
  socket.reads = {
      Bytes({1, 2, 3}),
      Stream{},
  };
  EXPECT_EQ(port.ReceiveSocket(buffer, sizeof buffer), 3);
  EXPECT_TRUE(backend.Contains("Received 3 bytes from server."));
  EXPECT_EQ(port.ReceiveSocket(buffer, sizeof buffer), 0);
  EXPECT_TRUE(backend.Contains("recv() failed: error " + std::to_string(ECONNRESET) + " !"));
  EXPECT_EQ(port.ReceiveSocket(buffer, sizeof buffer), 0);
  EXPECT_TRUE(backend.Contains("Server closed connection\n"));
  EXPECT_EQ(port.ReceiveSocket(nullptr, 10), 0);
  EXPECT_EQ(port.ReceiveSocket(buffer, 0), 0);
}

}  // namespace
}  // namespace kavro
