#include "transport/tcp_port.h"

#include <cstdlib>
#include <cstring>

#include "core/connection.h"
#include "core/delivery.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/link_timers.h"
#include "platform/event_hub.h"
#include "platform/tcp_socket.h"

namespace kavro {

namespace {

// The trace prints addresses the way the 32-bit build did: their low 32 bits.
unsigned Low32(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

uint32_t KeepaliveMsFromEnvironment() {
  const char* text = std::getenv(KEEPALIVE_TEST_VARIABLE);
  if (text == nullptr || *text == '\0') return KEEPALIVE_MS;
  char* end = nullptr;
  const unsigned long ms = std::strtoul(text, &end, 10);
  if (*end != '\0' || ms == 0 || ms > KEEPALIVE_MS) return KEEPALIVE_MS;
  return static_cast<uint32_t>(ms);
}

}  // namespace

TcpPort::TcpPort(platform::TcpSocket& socket, LinkControl& control, TraceLog& trace,
                 platform::EventHub& hub)
    : socket_(socket), control_(control), trace_(trace), hub_(hub),
      keepaliveMs_(KeepaliveMsFromEnvironment()) {}

void TcpPort::Attach(LinkContext& ctx) {
  connection_ = &ctx.connection;
  delivery_ = &ctx.delivery;
}

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
    return 0;
  }
  control_.Block.SocketHandle = socket_.Handle();
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
  trace_.TraceMessage(LOG_DETAIL, "SendSocket(0x%x,%i)", Low32(data), static_cast<int>(n));
  if (data == nullptr || n == 0 || n > 0x7FFFFFFF) return 0;
  const int32_t error = socket_.Send(data, n);
  if (error != 0) {
    trace_.TraceMessage(LOG_ERROR, "send() failed: error %d !", error);
    return 0;
  }
  return static_cast<int32_t>(n);
}

int32_t TcpPort::ReceiveSocket(uint8_t* buffer, uint32_t size) {
  trace_.TraceMessage(LOG_DETAIL, "ReceiveSocket(0x%x,%i)", Low32(buffer), static_cast<int>(size));
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
  trace_.TraceMessage(LOG_DETAIL, "Received %d bytes from server.", count);
  return count;
}

int32_t TcpPort::SendSocketFrame(const uint8_t* payload, uint32_t length) {
  // The length field has 16 bits: a longer payload cannot be framed, and
  // sending its low 16 bits' worth would hand the peer a truncated payload.
  if (length > SOCKET_MAX_PAYLOAD) {
    trace_.TraceMessage(LOG_ERROR, "SendSocketFrame failed - payload of %u bytes too long !", length);
    return 0;
  }
  const uint32_t n = length;
  if (payload == nullptr || n == 0) {
    trace_.TraceMessage(LOG_ERROR, "SendSocketFrame failed - pData or nDatalen 0 !");
    return 0;
  }
  auto* wire = static_cast<uint8_t*>(std::malloc(n + SOCKET_HEADER_SIZE));
  trace_.TraceMessage(LOG_DETAIL, "SendSocketFrame(0x%x,%i)", Low32(payload), static_cast<int>(n));
  if (wire == nullptr) {
    trace_.TraceMessage(LOG_ERROR, "SendSocketFrame failed - malloc !");
    return 0;
  }
  wire[0] = SOCKET_FRAME_TAG;
  wire[1] = static_cast<uint8_t>(n >> 8);
  wire[2] = static_cast<uint8_t>(n & 0xFF);
  std::memcpy(wire + SOCKET_HEADER_SIZE, payload, n);
  const int32_t r = connection_ ? connection_->SendConnection(wire, n + SOCKET_HEADER_SIZE) : 0;
  std::free(wire);
  if (r == static_cast<int32_t>(n + SOCKET_HEADER_SIZE)) return 1;
  trace_.TraceMessage(LOG_ERROR, "SendSocketFrame failed !");
  return 0;
}

int32_t TcpPort::CheckSocketFrame(L2Frame* frame, const uint8_t* data, int32_t length) {
  trace_.TraceMessage(LOG_DETAIL, "CheckSocketFrame((0x%x,0x%x,%i)", Low32(frame), Low32(data), length);
  frameCut_ = false;
  if (frame == nullptr) return 0;

  if (length > 0 && data != nullptr) {
    // The buffer holds at most one incomplete frame after a drain, so one
    // read always fits; a caller handing over more at once is refused whole
    // rather than written past the end.
    if (static_cast<uint32_t>(length) > SOCKET_BUFFER_SIZE - static_cast<uint32_t>(SocketBytes)) {
      trace_.TraceMessage(LOG_ERROR, "CheckSocketFrame failed: %i bytes do not fit beside %i held !",
                          length, SocketBytes);
      return 0;
    }
    // Frames cut from the last read left their remainder behind them; it is
    // moved to the front once per read, not once per frame.
    if (heldStart_ > 0) {
      std::memmove(SocketBuffer.data(), SocketBuffer.data() + heldStart_, static_cast<size_t>(SocketBytes));
      heldStart_ = 0;
    }
    std::memcpy(SocketBuffer.data() + SocketBytes, data, static_cast<size_t>(length));
    SocketBytes += length;
  }
  if (SocketBytes == 0) {
    heldStart_ = 0;
    return 0;
  }

  const uint8_t* held = SocketBuffer.data() + heldStart_;
  // No search for the next tag: without a checksum nothing tells a tag byte
  // from payload, so everything held is given up.
  if (held[0] != SOCKET_FRAME_TAG) {
    const int size = (SocketBytes > 1 ? held[1] * 256 : 0) + (SocketBytes > 2 ? held[2] : 0);
    trace_.TraceMessage(LOG_ERROR, "CheckSocketFrame failed: Unknown Data Tag 0x%x, Size %i!", held[0], size);
    SocketBytes = 0;
    heldStart_ = 0;
    return 0;
  }
  // TCP is a byte stream: a header (or part of one) that came alone waits
  // for the read that brings the rest.
  if (SocketBytes < static_cast<int32_t>(SOCKET_HEADER_SIZE)) return 0;

  const uint32_t payloadLength = held[1] * 256u + held[2];
  const int32_t frameSize = static_cast<int32_t>(SOCKET_HEADER_SIZE + payloadLength);
  if (SocketBytes < frameSize) return 0;

  frame->Dest = TCP_ADDRESS_BYTE;
  frame->Length = payloadLength;
  frame->Buffer = nullptr;
  if (payloadLength > 0) {
    frame->Buffer = static_cast<uint8_t*>(std::malloc(payloadLength));
    if (frame->Buffer) std::memcpy(frame->Buffer, held + SOCKET_HEADER_SIZE, payloadLength);
  }

  SocketBytes -= frameSize;
  heldStart_ = SocketBytes > 0 ? heldStart_ + static_cast<uint32_t>(frameSize) : 0;
  frameCut_ = true;
  return frame->Buffer ? static_cast<int32_t>(payloadLength) : 0;
}

void TcpPort::ReceiveSocketBytes(L2Frame& frame, const uint8_t* data, int32_t length) {
  int32_t offset = 0;
  do {
    // Hand over at most one read's worth at a time and drain behind it: the
    // buffer is sized for exactly that.
    const int32_t chunk = length - offset < static_cast<int32_t>(SOCKET_READ_SIZE)
                              ? length - offset
                              : static_cast<int32_t>(SOCKET_READ_SIZE);
    int32_t n = CheckSocketFrame(&frame, data ? data + offset : nullptr, chunk > 0 ? chunk : 0);
    // An empty frame yields no payload but is a frame all the same: the
    // frames held behind it are taken now, not on some later read.
    while (n > 0 || FrameCut()) {
      if (n > 0) ProcessSocketFrame(&frame);
      n = CheckSocketFrame(&frame, data, 0);
    }
    offset += chunk > 0 ? chunk : 0;
  } while (offset < length);
}

int32_t TcpPort::ProcessSocketFrame(L2Frame* frame) {
  trace_.TraceMessage(LOG_DETAIL, "ProcessSocketFrame(0x%x)", Low32(frame));
  if (frame == nullptr) {
    trace_.TraceMessage(LOG_ERROR, "ProcessSocketFrame failed: Receiveframe is NULL !");
    return 0;
  }
  // Once the peer has shown that it sends keepalives, any traffic from it
  // proves the connection alive; before that, only client payloads and
  // keepalives start the timer.
  if (KeepaliveSeen == 1 && KeepaliveTimeout != 0) RestartTimer(TimerKeepalive, keepaliveMs_);

  if (KeepaliveEnabled == 1 && frame->Length != 0 && frame->Buffer != nullptr &&
      frame->Buffer[0] == KEEPALIVE_MARK) {
    KeepaliveSeen = 1;
    trace_.TraceMessage(LOG_DETAIL, "ProcessSocketFrame Connection-KeepAlive");
    if (KeepaliveTimeout != 0) hub_.SetTimer(TimerKeepalive, keepaliveMs_);
    SendSocketFrame(frame->Buffer, frame->Length & 0xFFFF);
    std::free(frame->Buffer);
    frame->Buffer = nullptr;
    return 1;
  }

  if (frame->Buffer == nullptr || delivery_ == nullptr) {
    std::free(frame->Buffer);
    frame->Buffer = nullptr;
    return 0;
  }
  if (delivery_->DeliverPayload(frame->Dest, frame->Buffer, frame->Length) == KAVRO_QUEUE_ERROR) {
    trace_.TraceMessage(LOG_ERROR, "ProcessSocketFrame failed: KAVRO_QUEUE_ERROR !");
    std::free(frame->Buffer);
    frame->Buffer = nullptr;
    return 0;
  }
  // The library owns the block now.
  frame->Buffer = nullptr;
  return 1;
}

void TcpPort::RestartTimer(uint32_t id, uint32_t ms) {
  hub_.KillTimer(id);
  hub_.SetTimer(id, ms);
}

}  // namespace kavro
