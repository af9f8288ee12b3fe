// The receive parser: waits for the PBX's "CTI" answer to the service
// request, completes the handshake, then cuts layer-2 frames out of the byte
// stream and drops noise and damaged frames.
#pragma once

#include <cstdint>

#include "link/frame_codec.h"
#include "link/link_context.h"

namespace kavro {

constexpr uint32_t PARSE_SKIP_FIRST_LINE = 0;
constexpr uint32_t PARSE_SERVICE_LINE = 1;
constexpr uint32_t PARSE_HUNT = 2;
constexpr uint32_t PARSE_I_HEADER = 3;
constexpr uint32_t PARSE_I_PAYLOAD = 4;

constexpr uint32_t RECEIVE_BUFFER_SIZE = 4096;

class ReceiveParser {
 public:
  explicit ReceiveParser(LinkContext& ctx) : ctx_(ctx) {}

  // Appends `count` bytes (none when count <= 0) and parses. 1: `frame` holds
  // one complete frame with good CRCs (an I-frame's Buffer is a malloc'd
  // block the caller owns); 0: more bytes are needed.
  int CheckFrame(L2Frame& frame, const uint8_t* data, int32_t count);

  uint8_t ReceiveBuffer[RECEIVE_BUFFER_SIZE] = {};
  uint16_t FrameBytes = 0;
  uint32_t ParserState = PARSE_SKIP_FIRST_LINE;
  L2Frame PendingHeader;

 private:
  LinkContext& ctx_;
};

}  // namespace kavro
