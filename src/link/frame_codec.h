// Layer-2 frames on the serial and USB links: the frame record, the control
// codes, the CRC-16 and the encoder that puts a frame on the wire.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kavro {

class TraceLog;
class Connection;
struct LinkStatistics;

constexpr uint8_t SYN = 0x16;

constexpr uint8_t FRAME_RR = 0x01;
constexpr uint8_t FRAME_RNR = 0x05;
constexpr uint8_t FRAME_REJ = 0x09;
constexpr uint8_t FRAME_PF = 0x10;
constexpr uint8_t FRAME_DM = 0x0F;
constexpr uint8_t FRAME_START = 0x3F;
constexpr uint8_t FRAME_DISC = 0x53;
constexpr uint8_t FRAME_UA = 0x73;
constexpr uint8_t FRAME_FRMR = 0x83;
constexpr uint8_t FRAME_I = 0x00;

constexpr uint32_t MAX_I_PAYLOAD = 2038;

struct L2Frame {
  uint8_t Dest = 0;
  uint8_t Type = 0;
  uint32_t Length = 0;
  uint8_t* Buffer = nullptr;
  uint8_t NSend = 0;
  uint8_t NRec = 0;
};

// The name the trace gives an S or U code ("S-RR PF", "U-UA"), or null for a
// code that is no frame of the protocol. The sender puts no code without a
// name on the wire; the parser hands such a code on without a trace line.
const char* FrameTraceName(uint8_t type);

// CRC-16/CCITT-FALSE (polynomial 0x1021, initial 0xFFFF, no reflection, no
// final XOR), table-driven. Over a block followed by its CRC (high byte
// first) it gives 0.
uint16_t Crc16(const uint8_t* data, size_t count);

class FrameCodec {
 public:
  FrameCodec(TraceLog& trace, Connection& connection) : trace_(trace), connection_(connection) {}
  ~FrameCodec();

  // Encodes `frame` and hands it to the transport in one call. Returns 1 when
  // the transport took it, 0 when it was refused or the transport failed; no
  // caller acts on it.
  int SendFrame(const L2Frame& frame);

  // The transmit slot: one heap buffer holding an encoded I-frame while it is
  // handed to the transport.
  uint8_t* AcquireTransmitSlot(uint16_t size);
  void ReleaseTransmitSlot();

  // Where frames handed to the transport are counted; none by default.
  void CountInto(LinkStatistics* stats) { stats_ = stats; }

 private:
  int SendShortFrame(const L2Frame& frame);
  int SendIFrame(const L2Frame& frame);

  TraceLog& trace_;
  Connection& connection_;
  LinkStatistics* stats_ = nullptr;
  uint8_t* slot_ = nullptr;
  bool slotBusy_ = false;
};

}  // namespace kavro
