// The receive parser: a framer. It waits for the PBX's "CTI" answer to the
// service request and reports it, then cuts layer-2 frames out of the byte
// stream and drops noise and damaged frames. It knows only bytes, frames
// and that answer; what the link does about the answer is the listener's.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/link_statistics.h"
#include "link/frame_codec.h"

namespace kavro {

constexpr uint32_t PARSE_SKIP_FIRST_LINE = 0;
constexpr uint32_t PARSE_SERVICE_LINE = 1;
constexpr uint32_t PARSE_HUNT = 2;
constexpr uint32_t PARSE_I_HEADER = 3;
constexpr uint32_t PARSE_I_PAYLOAD = 4;

constexpr uint32_t RECEIVE_BUFFER_SIZE = 4096;

class TraceLog;

// Told when the PBX's answer line arrives.
class ServiceAnswerListener {
 public:
  virtual ~ServiceAnswerListener() = default;
  // `rateText` is the answer line from the first rate it names (the rates
  // tried in the order 1200, 2400, ..., 115200) to the line's end, or null
  // when it names none. It lives in the parser's buffer and is valid only
  // during the call, which the parser makes on the receive thread.
  virtual void ServiceAnswered(const char* rateText) = 0;
};

class ReceiveParser {
 public:
  // Without a listener the answer only moves the parser on to the frame hunt.
  explicit ReceiveParser(TraceLog& trace, ServiceAnswerListener* listener = nullptr);

  // Appends `count` bytes (none when count <= 0) and parses. 1: `frame` holds
  // one complete frame with good CRCs (an I-frame's Buffer is a malloc'd
  // block the caller owns); 0: more bytes are needed, or the service answer
  // has just been reported (whatever followed it in the buffer is gone).
  //
  // ReceiveBuffer never holds more than its 4096 bytes (4095 and the closing
  // zero while text is read). Bytes that do not fit yet wait in a backlog of
  // the same size and are appended as parsing frees room, so a read of up to
  // 4096 bytes on top of a partial frame loses nothing; the backlog is
  // always empty again when a call returns 0. What fits nowhere
  // (a service line longer than 4095 bytes, or more than two buffers' worth
  // handed over between two frames) costs the oldest bytes, with a warning;
  // only a leading part of the stream is ever dropped, so no frame is pieced
  // together across a gap.
  int CheckFrame(L2Frame& frame, const uint8_t* data, int32_t count);

  // Where received payload blocks come from; the receiver of a block frees
  // it with free(). Replaceable so that a failing allocation can be tested.
  using PayloadAllocator = void* (*)(size_t size);
  PayloadAllocator AllocatePayload;

  uint8_t ReceiveBuffer[RECEIVE_BUFFER_SIZE] = {};
  uint16_t FrameBytes = 0;
  uint32_t ParserState = PARSE_SKIP_FIRST_LINE;
  L2Frame PendingHeader;

  // Where frames dropped for a bad CRC or length are counted; none by default.
  void CountInto(LinkStatistics* stats) { stats_ = stats; }

  // Bytes handed over but not yet appended to ReceiveBuffer.
  uint32_t BacklogBytes() const { return backlogBytes_; }

 private:
  int RunStates(L2Frame& frame);
  int SkipFirstLine();
  int ServiceLine();
  void CompleteHandshake(char* cti, uint8_t* cr);
  int Hunt(L2Frame& frame);
  void TakeShortFrame(L2Frame& frame);
  // Records the I-frame header that leads the buffer; false when its length
  // is more than a frame can carry.
  bool RecordIHeader();
  int CheckHeader();
  int TakePayload(L2Frame& frame);

  bool ReadingText() const { return ParserState < PARSE_HUNT; }
  uint32_t Room() const;
  void Drop(uint32_t n);
  void TerminateText();
  void Fill(const uint8_t*& in, uint32_t& left);
  void MakeRoom(const uint8_t* in, uint32_t left);
  void Keep(const uint8_t* in, uint32_t left);

  void NoteDamaged() {
    if (stats_) ++stats_->Damaged;
  }

  TraceLog& trace_;
  ServiceAnswerListener* listener_;
  LinkStatistics* stats_ = nullptr;
  uint8_t backlog_[RECEIVE_BUFFER_SIZE];
  uint32_t backlogBytes_ = 0;
};

}  // namespace kavro
