#include "link/receive_parser.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "diag/trace_log.h"

namespace kavro {

namespace {

constexpr uint8_t CR = 0x0D;

// While text is read the buffer keeps a closing zero behind the last byte.
constexpr uint32_t TEXT_CAPACITY = RECEIVE_BUFFER_SIZE - 1;

// Frame sizes the hunt needs before it can check a candidate.
constexpr uint32_t SHORT_FRAME_BYTES = 6;
constexpr uint32_t I_HEADER_BYTES = 8;
constexpr uint32_t I_OVERHEAD_BYTES = 10;

// The rates the PBX may name, tried in this order: the first that occurs
// anywhere in the answer wins, so "9600/1200" switches to 1200.
constexpr const char* RATE_TEXTS[] = {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"};

// What a step of the state machine asks of its caller.
constexpr int STEP_MORE = 0;       // needs more bytes: return 0
constexpr int STEP_FRAME = 1;      // the record holds a frame: return 1
constexpr int STEP_GO_ON = 2;      // the state changed: run the next step
constexpr int STEP_HANDSHAKE = 3;  // service answer seen: return 0, input gone

void* MallocPayload(size_t size) { return malloc(size); }

}  // namespace

ReceiveParser::ReceiveParser(TraceLog& trace, ServiceAnswerListener* listener)
    : AllocatePayload(&MallocPayload), trace_(trace), listener_(listener) {}

int ReceiveParser::CheckFrame(L2Frame& frame, const uint8_t* data, int32_t count) {
  trace_.TraceMessage(LOG_PROTOCOL, "CheckFrame(0x%x,0x%x,%i)", TraceAddress(&frame), TraceAddress(data), count);
  trace_.TraceMessage(LOG_PROTOCOL, "CheckFrame() FrameBytes %i,State 0x%x", FrameBytes, ParserState);

  const uint8_t* in = data;
  uint32_t left = (count > 0 && data != nullptr) ? static_cast<uint32_t>(count) : 0;
  for (;;) {
    Fill(in, left);
    const int step = RunStates(frame);
    if (step == STEP_FRAME) {
      Keep(in, left);
      return 1;
    }
    if (step == STEP_HANDSHAKE) {
      // Whatever followed the answer line is lost with it.
      backlogBytes_ = 0;
      return 0;
    }
    if (backlogBytes_ == 0 && left == 0) return 0;
    if (Room() == 0) MakeRoom(in, left);
  }
}

uint32_t ReceiveParser::Room() const {
  const uint32_t capacity = ReadingText() ? TEXT_CAPACITY : RECEIVE_BUFFER_SIZE;
  return FrameBytes < capacity ? capacity - FrameBytes : 0;
}

void ReceiveParser::Drop(uint32_t n) {
  n = std::min<uint32_t>(n, FrameBytes);
  memmove(ReceiveBuffer, ReceiveBuffer + n, FrameBytes - n);
  FrameBytes = static_cast<uint16_t>(FrameBytes - n);
}

void ReceiveParser::TerminateText() { ReceiveBuffer[FrameBytes] = 0; }

// Appends the backlog first, then new input, as far as the buffer has room.
void ReceiveParser::Fill(const uint8_t*& in, uint32_t& left) {
  uint32_t room = Room();
  const uint32_t fromBacklog = std::min(room, backlogBytes_);
  if (fromBacklog > 0) {
    memcpy(ReceiveBuffer + FrameBytes, backlog_, fromBacklog);
    FrameBytes = static_cast<uint16_t>(FrameBytes + fromBacklog);
    backlogBytes_ -= fromBacklog;
    memmove(backlog_, backlog_ + fromBacklog, backlogBytes_);
    room -= fromBacklog;
  }
  const uint32_t fromInput = std::min(room, left);
  if (fromInput > 0) {
    memcpy(ReceiveBuffer + FrameBytes, in, fromInput);
    FrameBytes = static_cast<uint16_t>(FrameBytes + fromInput);
    in += fromInput;
    left -= fromInput;
  }
  if (ReadingText()) TerminateText();
}

// The parser wants more bytes but the buffer is full. In the text states
// that is one line without its carriage return: keep its newest part, making
// room for no more than the input up to the next carriage return, so that
// the line comes out the same however the reads split it. The frame hunt
// always makes progress on a full buffer (a frame is at most 2048 bytes), so
// reaching this there means a corrupt pending header: start over.
void ReceiveParser::MakeRoom(const uint8_t* in, uint32_t left) {
  if (ReadingText()) {
    // Text never waits in the backlog: nothing is returned before the answer.
    const auto* cr = static_cast<const uint8_t*>(left > 0 ? memchr(in, CR, left) : nullptr);
    const uint32_t wanted = cr != nullptr ? static_cast<uint32_t>(cr - in) + 1 : left + backlogBytes_;
    const uint32_t n = std::min<uint32_t>(wanted, FrameBytes);
    trace_.TraceMessage(LOG_WARNING, "CheckFrame: line too long, %u bytes dropped", n);
    Drop(n);
    TerminateText();
    return;
  }
  trace_.TraceMessage(LOG_WARNING, "CheckFrame: receive buffer full, %u bytes dropped", unsigned(FrameBytes));
  FrameBytes = 0;
  ParserState = PARSE_HUNT;
}

// A frame is being returned with input left over: park it in the backlog.
// Only a caller that hands over more than a read's worth between two frames
// can overflow both buffers; then the oldest bytes of the stream go, so that
// what stays is one unbroken run of bytes.
void ReceiveParser::Keep(const uint8_t* in, uint32_t left) {
  const uint64_t held = uint64_t(FrameBytes) + backlogBytes_ + left;
  if (held > 2 * uint64_t(RECEIVE_BUFFER_SIZE)) {
    uint64_t excess = held - 2 * uint64_t(RECEIVE_BUFFER_SIZE);
    trace_.TraceMessage(LOG_WARNING, "CheckFrame: receive buffer full, %llu bytes dropped",
                        static_cast<unsigned long long>(excess));
    const uint32_t fromBuffer = static_cast<uint32_t>(std::min<uint64_t>(excess, FrameBytes));
    Drop(fromBuffer);
    excess -= fromBuffer;
    const uint32_t fromBacklog = static_cast<uint32_t>(std::min<uint64_t>(excess, backlogBytes_));
    backlogBytes_ -= fromBacklog;
    memmove(backlog_, backlog_ + fromBacklog, backlogBytes_);
    excess -= fromBacklog;
    in += excess;
    left -= static_cast<uint32_t>(excess);
    // The hunt restarts on whatever byte now leads.
    ParserState = PARSE_HUNT;
  }
  Fill(in, left);
  if (left == 0) return;
  memcpy(backlog_ + backlogBytes_, in, left);
  backlogBytes_ += left;
}

int ReceiveParser::RunStates(L2Frame& frame) {
  for (;;) {
    int step;
    switch (ParserState) {
      case PARSE_SKIP_FIRST_LINE: step = SkipFirstLine(); break;
      case PARSE_SERVICE_LINE: step = ServiceLine(); break;
      case PARSE_HUNT: step = Hunt(frame); break;
      case PARSE_I_HEADER: step = CheckHeader(); break;
      case PARSE_I_PAYLOAD: step = TakePayload(frame); break;
      default: ParserState = PARSE_HUNT; continue;
    }
    if (step != STEP_GO_ON) return step;
  }
}

// The PBX may still be sending a line from before the service request; its
// tail is worthless, whatever it holds.
int ReceiveParser::SkipFirstLine() {
  const auto* cr = static_cast<const uint8_t*>(memchr(ReceiveBuffer, CR, FrameBytes));
  if (cr == nullptr) {
    FrameBytes = 0;
    TerminateText();
    return STEP_MORE;
  }
  Drop(static_cast<uint32_t>(cr - ReceiveBuffer) + 1);
  TerminateText();
  ParserState = PARSE_SERVICE_LINE;
  trace_.TraceMessage(LOG_PROTOCOL, "CTIINIT %s", TraceText(reinterpret_cast<const char*>(ReceiveBuffer)).c_str());
  return STEP_GO_ON;
}

int ReceiveParser::ServiceLine() {
  for (;;) {
    trace_.TraceMessage(LOG_PROTOCOL, "CTICHECK:%s", TraceText(reinterpret_cast<const char*>(ReceiveBuffer)).c_str());
    auto* cr = static_cast<uint8_t*>(memchr(ReceiveBuffer, CR, FrameBytes));
    if (cr == nullptr) {
      trace_.TraceMessage(LOG_PROTOCOL, "CTICHECK:No CR");
      return STEP_MORE;
    }
    char* cti = strstr(reinterpret_cast<char*>(ReceiveBuffer), "CTI");
    if (cti != nullptr && reinterpret_cast<uint8_t*>(cti) < cr) {
      CompleteHandshake(cti, cr);
      return STEP_HANDSHAKE;
    }
    Drop(static_cast<uint32_t>(cr - ReceiveBuffer) + 1);
    TerminateText();
  }
}

void ReceiveParser::CompleteHandshake(char* cti, uint8_t* cr) {
  trace_.TraceMessage(LOG_PROTOCOL, "CTICHECK2:%s", TraceText(cti).c_str());
  *cr = 0;
  const char* rate = nullptr;
  for (const char* text : RATE_TEXTS) {
    rate = strstr(cti, text);
    if (rate != nullptr) break;
  }
  // Every byte after the line is discarded; the bytes themselves stay put,
  // so the rate text is intact while the listener reads it.
  FrameBytes = 0;
  ParserState = PARSE_HUNT;
  if (listener_ != nullptr) listener_->ServiceAnswered(rate);
}

int ReceiveParser::Hunt(L2Frame& frame) {
  for (;;) {
    if (FrameBytes < SHORT_FRAME_BYTES) return STEP_MORE;
    const auto* syn = static_cast<const uint8_t*>(memchr(ReceiveBuffer, SYN, FrameBytes));
    if (syn == nullptr) {
      FrameBytes = 0;
      return STEP_MORE;
    }
    if (syn != ReceiveBuffer) {
      Drop(static_cast<uint32_t>(syn - ReceiveBuffer));
      continue;
    }
    if (ReceiveBuffer[1] != SYN) {
      Drop(1);
      continue;
    }
    // A rejected candidate loses only its SYN pair: a frame may begin inside
    // it.
    if ((ReceiveBuffer[2] & 1) == 0) {
      if (!RecordIHeader()) {
        NoteDamaged();
        Drop(2);
        continue;
      }
      ParserState = PARSE_I_HEADER;
      return STEP_GO_ON;
    }
    if (Crc16(ReceiveBuffer + 2, 4) != 0) {
      NoteDamaged();
      Drop(2);
      continue;
    }
    TakeShortFrame(frame);
    return STEP_FRAME;
  }
}

// An S-frame's code keeps its P/F bit and loses its N(R); a U-frame's code is
// its whole control byte.
void ReceiveParser::TakeShortFrame(L2Frame& frame) {
  const uint8_t control = ReceiveBuffer[2];
  const bool supervisory = (control & 3) == 1;
  frame.Dest = ReceiveBuffer[3];
  frame.Type = supervisory ? control & 0x1F : control;
  frame.NRec = supervisory ? control >> 5 : 0;
  frame.NSend = 0;
  frame.Length = 0;
  frame.Buffer = nullptr;
  Drop(SHORT_FRAME_BYTES);
  const char* name = FrameTraceName(frame.Type);
  if (name == nullptr) return;
  if (supervisory) {
    trace_.TraceMessage(LOG_PROTOCOL, "CheckFrame %s Dest %x NRec %x", name, frame.Dest, frame.NRec);
  } else {
    trace_.TraceMessage(LOG_PROTOCOL, "CheckFrame %s", name);
  }
}

bool ReceiveParser::RecordIHeader() {
  const uint8_t control = ReceiveBuffer[2];
  PendingHeader.Dest = ReceiveBuffer[3];
  PendingHeader.Type = FRAME_I;
  PendingHeader.NSend = (control >> 1) & 7;
  PendingHeader.NRec = control >> 5;
  PendingHeader.Length = ReceiveBuffer[4] * 256u + ReceiveBuffer[5];
  return PendingHeader.Length <= MAX_I_PAYLOAD;
}

int ReceiveParser::CheckHeader() {
  if (FrameBytes < I_HEADER_BYTES) return STEP_MORE;
  if (Crc16(ReceiveBuffer + 2, 6) == 0) {
    ParserState = PARSE_I_PAYLOAD;
    return STEP_GO_ON;
  }
  trace_.TraceMessage(LOG_WARNING, "I-Frame HeaderCheck Failed");
  NoteDamaged();
  Drop(2);
  ParserState = PARSE_HUNT;
  return STEP_GO_ON;
}

int ReceiveParser::TakePayload(L2Frame& frame) {
  const uint32_t length = PendingHeader.Length;
  const uint32_t total = length + I_OVERHEAD_BYTES;
  if (FrameBytes < total) return STEP_MORE;
  if (Crc16(ReceiveBuffer + I_HEADER_BYTES, length + 2) != 0) {
    NoteDamaged();
    Drop(2);
    ParserState = PARSE_HUNT;
    return STEP_GO_ON;
  }

  // An empty payload still gets a block of its own: the receiver hands
  // every I-frame's block on or frees it, and malloc(0) may give null.
  auto* block = static_cast<uint8_t*>(AllocatePayload(length > 0 ? length : 1));
  if (block == nullptr) {
    // Unacknowledged, the frame comes again from the PBX once its T200
    // runs out; handing it on without its payload would lose it for good.
    trace_.TraceMessage(LOG_ERROR, "CheckFrame I-Frame Dest: %x NSend: %x NRec %x Length %x dropped: out of memory",
                        PendingHeader.Dest, PendingHeader.NSend, PendingHeader.NRec, length);
    Drop(total);
    ParserState = PARSE_HUNT;
    return STEP_GO_ON;
  }
  if (length > 0) memcpy(block, ReceiveBuffer + I_HEADER_BYTES, length);
  frame.Dest = PendingHeader.Dest;
  frame.Type = FRAME_I;
  frame.Length = length;
  frame.NSend = PendingHeader.NSend;
  frame.NRec = PendingHeader.NRec;
  frame.Buffer = block;
  Drop(total);
  ParserState = PARSE_HUNT;
  trace_.TraceMessage(LOG_PROTOCOL, "CheckFrame I-Frame Dest: %x NSend: %x NRec %x Length %x &Buffer %lx", frame.Dest,
                      frame.NSend, frame.NRec, frame.Length, TraceLongAddress(frame.Buffer));
  return STEP_FRAME;
}

}  // namespace kavro
