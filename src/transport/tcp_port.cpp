#include "transport/tcp_port.h"

#include <string>

#include "core/connection.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "platform/tcp_socket.h"

namespace kavro {

TcpPort::TcpPort(platform::TcpSocket& socket, LinkControl& control, TraceLog& trace)
    : socket_(socket), control_(control), trace_(trace) {}

int32_t TcpPort::OpenSocket(const char* address, uint16_t port) {
  if (address == nullptr) address = "";
  trace_.TraceMessage(LOG_DETAIL, "OpenSocket(%s,%i)", address, port);
  // Nothing to start first: the socket calls need no library set-up here, so
  // the start-up failure ("WSAStartup failed with error %d !") cannot occur.
  trace_.TraceMessage(LOG_DETAIL, "Client connecting to: %s:%u", address, port);
  const int32_t error = socket_.Connect(address, port);
  if (error != 0) {
    trace_.TraceMessage(LOG_ERROR, "connect() failed: %d", error);
    control_.Block.SocketHandle = INVALID_HANDLE;
    control_.Lifecycle().Notice(platform::NoticeLevel::Error, "cannot connect TCP link to " + std::string(address) +
                                                                  ":" + std::to_string(port) + ": " +
                                                                  control_.Lifecycle().ErrorText(error));
    return 0;
  }
  control_.Block.SocketHandle = socket_.Handle();
  control_.OpenedDevice = std::string(address) + ":" + std::to_string(port);
  control_.Lifecycle().Notice(platform::NoticeLevel::Info,
                              "connected TCP link to " + std::string(address) + ":" + std::to_string(port));
  return 1;
}

int32_t TcpPort::CloseSocket() {
  trace_.TraceMessage(LOG_DETAIL, "CloseSocket()");
  if (control_.Block.SocketHandle == INVALID_HANDLE) return 1;
  // shutdown first: it tells the peer and wakes the receive thread's
  // blocked recv, which then sees the link gone. The close waits until that
  // thread (or a keepalive echo it is sending) has left the socket, so no
  // pause is needed before it.
  socket_.Shutdown();
  socket_.Close();
  control_.Block.SocketHandle = INVALID_HANDLE;
  return 1;
}

int32_t TcpPort::SendSocket(const uint8_t* data, uint32_t length) {
  // The whole count is used: a frame of a 65533..65535-byte payload is longer
  // than 16 bits can count, and cutting its count would cut the frame short
  // and leave the peer's framing out of step.
  const uint32_t n = length;
  trace_.TraceMessage(LOG_DETAIL, "SendSocket(0x%x,%i)", TraceAddress(data), static_cast<int>(n));
  if (data == nullptr || n == 0 || n > 0x7FFFFFFF) return 0;
  platform::SendProgress progress;
  const int32_t error = socket_.Send(data, n, progress);
  if (error == 0) return static_cast<int32_t>(n);
  trace_.TraceMessage(LOG_ERROR, "send() failed: error %d !", error);
  if (progress.Sent == 0) return 0;
  trace_.TraceMessage(LOG_ERROR, "send() cut the block after %u of %u bytes: connection closed !", progress.Sent, n);
  if (progress.Closing) return 0;
  control_.Lifecycle().Notice(platform::NoticeLevel::Warning,
                              "TCP link to " + control_.OpenedDevice + ": the PBX took " +
                                  std::to_string(progress.Sent) + " of the " + std::to_string(n) +
                                  " bytes of a frame (" + control_.Lifecycle().ErrorText(error) +
                                  "); the connection is closed, since a cut frame puts its framing out of step");
  return CONNECTION_CUT;
}

int32_t TcpPort::ReceiveSocket(uint8_t* buffer, uint32_t size) {
  if (trace_.Passes(LOG_DETAIL)) {
    trace_.TraceMessage(LOG_DETAIL, "ReceiveSocket(0x%x,%i)", TraceAddress(buffer), static_cast<int>(size));
  }
  if (buffer == nullptr || size == 0) return 0;
  if (size > 0x7FFFFFFF) size = 0x7FFFFFFF;
  int32_t error = 0;
  const int32_t count = socket_.Receive(buffer, size, error);
  if (count < 0) {
    trace_.TraceMessage(LOG_ERROR, "recv() failed: error %d !", error);
    return 0;
  }
  if (count == 0) {
    trace_.TraceMessage(LOG_ERROR, "Server closed connection\n");
    return 0;
  }
  if (trace_.Passes(LOG_DETAIL)) trace_.TraceMessage(LOG_DETAIL, "Received %d bytes from server.", count);
  return count;
}

}  // namespace kavro
