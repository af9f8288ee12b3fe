#include "link/frame_codec.h"

#include <array>
#include <cstdlib>
#include <cstring>

#include "core/connection.h"
#include "core/link_statistics.h"
#include "diag/trace_log.h"

namespace kavro {

namespace {

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (int i = 0; i < 256; ++i) {
    uint16_t crc = static_cast<uint16_t>(i << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021) : static_cast<uint16_t>(crc << 1);
    }
    table[i] = crc;
  }
  return table;
}

constexpr std::array<uint16_t, 256> CRC_TABLE = MakeCrcTable();

}  // namespace

const char* FrameTraceName(uint8_t type) {
  switch (type) {
    case FRAME_RR: return "S-RR";
    case FRAME_RNR: return "S-RNR";
    case FRAME_REJ: return "S-REJ";
    case FRAME_RR | FRAME_PF: return "S-RR PF";
    case FRAME_RNR | FRAME_PF: return "S-RNR PF";
    case FRAME_REJ | FRAME_PF: return "S-REJ PF";
    case FRAME_DM: return "U-DM";
    case FRAME_START: return "U-START";
    case FRAME_DISC: return "U-DISC";
    case FRAME_UA: return "U-UA";
    case FRAME_FRMR: return "U-FRMR";
    default: return nullptr;
  }
}

uint16_t Crc16(const uint8_t* data, size_t count) {
  uint16_t crc = 0xFFFF;
  for (size_t i = 0; i < count; ++i) {
    crc = static_cast<uint16_t>((crc << 8) ^ CRC_TABLE[((crc >> 8) ^ data[i]) & 0xFF]);
  }
  return crc;
}

FrameCodec::~FrameCodec() { ReleaseTransmitSlot(); }

uint8_t* FrameCodec::AcquireTransmitSlot(uint16_t size) {
  if (slotBusy_) return nullptr;
  slot_ = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (!slot_) return nullptr;
  slotBusy_ = true;
  return slot_;
}

void FrameCodec::ReleaseTransmitSlot() {
  free(slot_);
  slot_ = nullptr;
  slotBusy_ = false;
}

int FrameCodec::SendFrame(const L2Frame& frame) {
  int sent = 0;
  switch (frame.Type & 3) {
    case 0: sent = SendIFrame(frame); break;
    case 2: break;
    default: sent = SendShortFrame(frame); break;
  }
  if (sent && stats_) ++stats_->FramesSent;
  return sent;
}

int FrameCodec::SendShortFrame(const L2Frame& frame) {
  const bool supervisory = (frame.Type & 3) == 1;
  const char* name = FrameTraceName(frame.Type);
  if (!name) return 0;
  if (supervisory) {
    trace_.TraceMessage(LOG_PROTOCOL, "SendFrame %s Dest %x NRec %x", name, frame.Dest, frame.NRec);
  } else {
    trace_.TraceMessage(LOG_PROTOCOL, "SendFrame %s", name);
  }
  uint8_t wire[6];
  wire[0] = SYN;
  wire[1] = SYN;
  // An S-frame carries N(R) in its top three bits; a U-frame is its code.
  wire[2] = supervisory ? static_cast<uint8_t>(frame.Type | (frame.NRec << 5)) : frame.Type;
  wire[3] = frame.Dest;
  const uint16_t crc = Crc16(wire + 2, 2);
  wire[4] = static_cast<uint8_t>(crc >> 8);
  wire[5] = static_cast<uint8_t>(crc);
  return connection_.SendConnection(wire, 6) != 0 ? 1 : 0;
}

int FrameCodec::SendIFrame(const L2Frame& frame) {
  trace_.TraceMessage(LOG_PROTOCOL, "SendFrame I-Frame Dest: %x NSend: %x NRec %x Length %x &Buffer %lx", frame.Dest,
                      frame.NSend, frame.NRec, frame.Length, TraceLongAddress(frame.Buffer));
  if (frame.Buffer == nullptr || frame.Length > MAX_I_PAYLOAD) return 0;
  const uint16_t size = static_cast<uint16_t>(frame.Length + 10);
  uint8_t* slot = AcquireTransmitSlot(size);
  if (!slot) return 0;
  slot[0] = SYN;
  slot[1] = SYN;
  slot[2] = static_cast<uint8_t>((frame.NRec << 5) | ((frame.NSend & 7) << 1));
  slot[3] = frame.Dest;
  slot[4] = static_cast<uint8_t>(frame.Length >> 8);
  slot[5] = static_cast<uint8_t>(frame.Length);
  const uint16_t headerCrc = Crc16(slot + 2, 4);
  slot[6] = static_cast<uint8_t>(headerCrc >> 8);
  slot[7] = static_cast<uint8_t>(headerCrc);
  if (frame.Length) memcpy(slot + 8, frame.Buffer, frame.Length);
  const uint16_t payloadCrc = Crc16(slot + 8, frame.Length);
  slot[8 + frame.Length] = static_cast<uint8_t>(payloadCrc >> 8);
  slot[9 + frame.Length] = static_cast<uint8_t>(payloadCrc);
  const int32_t sent = connection_.SendConnection(slot, size);
  ReleaseTransmitSlot();
  return sent != 0 ? 1 : 0;
}

}  // namespace kavro
