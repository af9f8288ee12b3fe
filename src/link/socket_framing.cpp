#include "link/socket_framing.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/connection.h"
#include "core/delivery.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/link_timers.h"

namespace kavro {

namespace {

uint32_t KeepaliveMsFromEnvironment() {
  const char* text = std::getenv(KEEPALIVE_TEST_VARIABLE);
  if (text == nullptr || *text == '\0') return KEEPALIVE_MS;
  char* end = nullptr;
  const unsigned long ms = std::strtoul(text, &end, 10);
  if (*end != '\0' || ms == 0 || ms > KEEPALIVE_MS) return KEEPALIVE_MS;
  return static_cast<uint32_t>(ms);
}

}  // namespace

SocketFraming::SocketFraming(LinkContext& ctx, LinkTimers& timers)
    : ctx_(ctx), timers_(timers), keepaliveMs_(KeepaliveMsFromEnvironment()) {}

int32_t SocketFraming::SendPayload(uint8_t /*dest*/, const uint8_t* data, uint32_t length) {
  // Told 1 only when the frame went out whole: a client must not believe a
  // payload was sent that the socket refused. An empty payload is refused
  // too, with the framing's own trace line. The keepalive restarts with the
  // framing's own time, so that both restarts of the timer agree.
  const int32_t sent = SendSocketFrame(data, length);
  if (sent) ++ctx_.control.Stats.PayloadsSent;
  if (KeepaliveTimeout != 0) timers_.StartTimer(TimerKeepalive, keepaliveMs_);
  return sent ? 1 : 0;
}

int32_t SocketFraming::SendSocketFrame(const uint8_t* payload, uint32_t length) {
  // The length field has 16 bits: a longer payload cannot be framed, and
  // sending its low 16 bits' worth would hand the peer a truncated payload.
  if (length > SOCKET_MAX_PAYLOAD) {
    ctx_.trace.TraceMessage(LOG_ERROR, "SendSocketFrame failed - payload of %u bytes too long !", length);
    return 0;
  }
  const uint32_t n = length;
  if (payload == nullptr || n == 0) {
    ctx_.trace.TraceMessage(LOG_ERROR, "SendSocketFrame failed - pData or nDatalen 0 !");
    return 0;
  }
  auto* wire = static_cast<uint8_t*>(std::malloc(n + SOCKET_HEADER_SIZE));
  ctx_.trace.TraceMessage(LOG_DETAIL, "SendSocketFrame(0x%x,%i)", TraceAddress(payload), static_cast<int>(n));
  if (wire == nullptr) {
    ctx_.trace.TraceMessage(LOG_ERROR, "SendSocketFrame failed - malloc !");
    return 0;
  }
  wire[0] = SOCKET_FRAME_TAG;
  wire[1] = static_cast<uint8_t>(n >> 8);
  wire[2] = static_cast<uint8_t>(n & 0xFF);
  std::memcpy(wire + SOCKET_HEADER_SIZE, payload, n);
  const int32_t r = ctx_.connection.SendConnection(wire, n + SOCKET_HEADER_SIZE);
  std::free(wire);
  if (r == static_cast<int32_t>(n + SOCKET_HEADER_SIZE)) {
    ++ctx_.control.Stats.FramesSent;
    return 1;
  }
  ctx_.trace.TraceMessage(LOG_ERROR, "SendSocketFrame failed !");
  if (r == CONNECTION_CUT) {
    // A frame is whole on the wire or the connection ends: the port has
    // closed it, and the link ends as a lost connection.
    ctx_.delivery.SignalLinkEvent(LINK_EVENT_FAILED);
    ctx_.control.ReleaseLink(LinkEndReason::ConnectionLost);
  }
  return 0;
}

int32_t SocketFraming::CheckSocketFrame(L2Frame* frame, const uint8_t* data, int32_t length) {
  // Asked first: a varargs call per frame costs as much as the parse itself
  // while the trace log is off.
  if (ctx_.trace.Passes(LOG_DETAIL)) {
    ctx_.trace.TraceMessage(LOG_DETAIL, "CheckSocketFrame((0x%x,0x%x,%i)", TraceAddress(frame), TraceAddress(data),
                            length);
  }
  frameCut_ = false;
  if (frame == nullptr) return 0;
  if (length > 0 && data != nullptr && !AppendSocketBytes(data, length)) return 0;
  if (SocketBytes == 0) {
    heldStart_ = 0;
    return 0;
  }

  const uint8_t* held = SocketBuffer.data() + heldStart_;
  // No search for the next tag: without a checksum nothing tells a tag byte
  // from payload, so everything held is given up.
  if (held[0] != SOCKET_FRAME_TAG) {
    const int size = (SocketBytes > 1 ? held[1] * 256 : 0) + (SocketBytes > 2 ? held[2] : 0);
    ctx_.trace.TraceMessage(LOG_ERROR, "CheckSocketFrame failed: Unknown Data Tag 0x%x, Size %i!", held[0], size);
    ++ctx_.control.Stats.Damaged;
    SocketBytes = 0;
    heldStart_ = 0;
    return 0;
  }
  // TCP is a byte stream: a header (or part of one) that came alone waits
  // for the read that brings the rest.
  if (SocketBytes < static_cast<int32_t>(SOCKET_HEADER_SIZE)) return 0;
  const uint32_t payloadLength = held[1] * 256u + held[2];
  if (SocketBytes < static_cast<int32_t>(SOCKET_HEADER_SIZE + payloadLength)) return 0;
  return TakeSocketFrame(*frame, payloadLength);
}

bool SocketFraming::AppendSocketBytes(const uint8_t* data, int32_t length) {
  // The buffer holds at most one incomplete frame after a drain, so one
  // read always fits; a caller handing over more at once is refused whole
  // rather than written past the end.
  if (static_cast<uint32_t>(length) > SOCKET_BUFFER_SIZE - static_cast<uint32_t>(SocketBytes)) {
    ctx_.trace.TraceMessage(LOG_ERROR, "CheckSocketFrame failed: %i bytes do not fit beside %i held !", length,
                            SocketBytes);
    return false;
  }
  // Frames cut from the last read left their remainder behind them; it is
  // moved to the front once per read, not once per frame.
  if (heldStart_ > 0) {
    std::memmove(SocketBuffer.data(), SocketBuffer.data() + heldStart_, static_cast<size_t>(SocketBytes));
    heldStart_ = 0;
  }
  std::memcpy(SocketBuffer.data() + SocketBytes, data, static_cast<size_t>(length));
  SocketBytes += length;
  return true;
}

int32_t SocketFraming::TakeSocketFrame(L2Frame& frame, uint32_t payloadLength) {
  const uint8_t* held = SocketBuffer.data() + heldStart_;
  frame.Dest = TCP_ADDRESS_BYTE;
  frame.Length = payloadLength;
  frame.Buffer = nullptr;
  if (payloadLength > 0) {
    frame.Buffer = static_cast<uint8_t*>(std::malloc(payloadLength));
    if (frame.Buffer) std::memcpy(frame.Buffer, held + SOCKET_HEADER_SIZE, payloadLength);
  }

  const int32_t frameSize = static_cast<int32_t>(SOCKET_HEADER_SIZE + payloadLength);
  SocketBytes -= frameSize;
  heldStart_ = SocketBytes > 0 ? heldStart_ + static_cast<uint32_t>(frameSize) : 0;
  frameCut_ = true;
  return frame.Buffer ? static_cast<int32_t>(payloadLength) : 0;
}

void SocketFraming::ReceiveSocketBytes(L2Frame& frame, const uint8_t* data, int32_t length) {
  int32_t offset = 0;
  bool processed = false;
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
      if (n > 0) {
        ProcessSocketFrame(&frame);
        processed = true;
      }
      n = CheckSocketFrame(&frame, data, 0);
    }
    offset += chunk > 0 ? chunk : 0;
  } while (offset < length);
  if (processed) ctx_.control.NoteReceivedNow();
}

int32_t SocketFraming::ProcessSocketFrame(L2Frame* frame) {
  if (ctx_.trace.Passes(LOG_DETAIL)) ctx_.trace.TraceMessage(LOG_DETAIL, "ProcessSocketFrame(0x%x)", TraceAddress(frame));
  if (frame == nullptr) {
    ctx_.trace.TraceMessage(LOG_ERROR, "ProcessSocketFrame failed: Receiveframe is NULL !");
    return 0;
  }
  PayloadBlock payload(frame->Buffer);
  frame->Buffer = nullptr;
  ctx_.control.CountFrameReceived();
  // Once the peer has shown that it sends keepalives, any traffic from it
  // proves the connection alive; before that, only client payloads and
  // keepalives start the timer.
  if (KeepaliveSeen == 1 && KeepaliveTimeout != 0) timers_.RestartTimer(TimerKeepalive, keepaliveMs_);

  if (KeepaliveEnabled == 1 && frame->Length != 0 && payload && payload[0] == KEEPALIVE_MARK) {
    KeepaliveSeen = 1;
    ctx_.trace.TraceMessage(LOG_DETAIL, "ProcessSocketFrame Connection-KeepAlive");
    if (KeepaliveTimeout != 0) timers_.StartTimer(TimerKeepalive, keepaliveMs_);
    SendSocketFrame(payload.get(), frame->Length & 0xFFFF);
    return 1;
  }

  if (!payload) return 0;
  ctx_.control.CountPayloadReceived();
  if (HandOver(ctx_.delivery, frame->Dest, std::move(payload), frame->Length) == KAVRO_QUEUE_ERROR) {
    ctx_.trace.TraceMessage(LOG_ERROR, "ProcessSocketFrame failed: KAVRO_QUEUE_ERROR !");
    return 0;
  }
  return 1;
}

}  // namespace kavro
