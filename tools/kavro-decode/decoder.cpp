#include "decoder.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "link/frame_codec.h"
#include "link/receive_parser.h"
#include "link/socket_framing.h"

namespace kavro::decode {

namespace {

constexpr uint8_t CR = 0x0D;
constexpr uint8_t SERVICE_REQUEST[2] = {0x1B, 0x43};

// The rates a service answer may name, in the order kavro tries them: the
// first that occurs anywhere in the line wins, so "9600/1200" names 1200.
constexpr const char* RATE_TEXTS[] = {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"};

// The text kavro holds while it waits for the service answer, the closing
// zero aside.
constexpr size_t MAX_TEXT_BYTES = RECEIVE_BUFFER_SIZE - 1;

constexpr size_t SHORT_FRAME_BYTES = 6;
constexpr size_t I_HEADER_BYTES = 8;
constexpr size_t I_OVERHEAD_BYTES = 10;

uint16_t BigEndian16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

bool IsTextByte(uint8_t b) { return (b >= 0x20 && b < 0x7F) || b == '\t' || b == '\n' || b == '\r'; }

std::string SupervisoryName(uint8_t control) {
  switch (control & 0x0F) {
    case FRAME_RR: return "RR";
    case FRAME_RNR: return "RNR";
    case FRAME_REJ: return "REJ";
    default: return "unknown";
  }
}

std::string UnnumberedName(uint8_t control) {
  switch (control) {
    case FRAME_START: return "START";
    case FRAME_UA: return "UA";
    case FRAME_DISC: return "DISC";
    case FRAME_DM: return "DM";
    case FRAME_FRMR: return "FRMR";
    default: return "unknown";
  }
}

}  // namespace

void HeldBytes::Append(const uint8_t* data, size_t count) { bytes_.insert(bytes_.end(), data, data + count); }

void HeldBytes::Drop(size_t n) {
  head_ += n;
  if (head_ >= bytes_.size()) {
    bytes_.clear();
    head_ = 0;
  } else if (head_ >= COMPACT_AFTER && head_ * 2 >= bytes_.size()) {
    bytes_.erase(bytes_.begin(), bytes_.begin() + static_cast<ptrdiff_t>(head_));
    head_ = 0;
  }
}

std::vector<uint8_t> HeldBytes::Slice(size_t from, size_t to) const {
  return std::vector<uint8_t>(Data() + from, Data() + to);
}

size_t HeldBytes::Find(uint8_t value) const {
  if (Empty()) return 0;
  const uint8_t* found = static_cast<const uint8_t*>(std::memchr(Data(), value, Size()));
  return found ? static_cast<size_t>(found - Data()) : Size();
}

std::optional<std::string> FindRateText(const std::string& fromCti) {
  for (const char* rate : RATE_TEXTS) {
    size_t at = fromCti.find(rate);
    if (at != std::string::npos) return fromCti.substr(at);
  }
  return std::nullopt;
}

void ClassifyUnframed(const std::vector<uint8_t>& bytes, uint64_t offset, const ItemSink& sink) {
  std::vector<uint8_t> noise;
  uint64_t noiseOffset = 0;
  auto addNoise = [&](size_t from, size_t to) {
    if (from >= to) return;
    if (noise.empty()) noiseOffset = offset + from;
    noise.insert(noise.end(), bytes.begin() + static_cast<ptrdiff_t>(from), bytes.begin() + static_cast<ptrdiff_t>(to));
  };
  auto flushNoise = [&] {
    if (noise.empty()) return;
    Item item;
    item.kind = ItemKind::Noise;
    item.offset = noiseOffset;
    item.raw = std::move(noise);
    noise.clear();
    sink(std::move(item));
  };
  // A line is the text bytes in front of a carriage return; whatever binary
  // precedes them stays noise.
  auto segment = [&](size_t from, size_t to) {
    size_t pos = from;
    while (pos < to) {
      size_t cr = pos;
      while (cr < to && bytes[cr] != CR) ++cr;
      if (cr == to) {
        addNoise(pos, to);
        return;
      }
      size_t start = cr;
      while (start > pos && IsTextByte(bytes[start - 1])) --start;
      bool printable = false;
      for (size_t i = start; i < cr; ++i) printable = printable || (bytes[i] > 0x20 && bytes[i] < 0x7F);
      if (!printable) {
        addNoise(pos, cr + 1);
      } else {
        addNoise(pos, start);
        flushNoise();
        Item item;
        item.offset = offset + start;
        item.raw.assign(bytes.begin() + static_cast<ptrdiff_t>(start), bytes.begin() + static_cast<ptrdiff_t>(cr + 1));
        std::string line(item.raw.begin(), item.raw.end() - 1);
        size_t cti = line.find("CTI");
        if (cti != std::string::npos) {
          item.kind = ItemKind::ServiceAnswer;
          item.rateText = FindRateText(line.substr(cti));
        } else {
          item.kind = ItemKind::Text;
        }
        sink(std::move(item));
      }
      pos = cr + 1;
    }
  };
  size_t from = 0;
  for (size_t i = 0; i + 1 < bytes.size();) {
    if (bytes[i] == SERVICE_REQUEST[0] && bytes[i + 1] == SERVICE_REQUEST[1]) {
      segment(from, i);
      flushNoise();
      Item item;
      item.kind = ItemKind::ServiceRequest;
      item.offset = offset + i;
      item.raw.assign(SERVICE_REQUEST, SERVICE_REQUEST + 2);
      sink(std::move(item));
      i += 2;
      from = i;
    } else {
      ++i;
    }
  }
  segment(from, bytes.size());
  flushNoise();
}

// ---------------------------------------------------------------------------

SerialDecoder::SerialDecoder(ItemSink sink, Start start)
    : sink_(std::move(sink)),
      classifyUnframed_(start == Start::Anywhere),
      phase_(start == Start::ReceivedFromStart ? Phase::SkipFirstLine : Phase::Hunt) {}

void SerialDecoder::Feed(const uint8_t* data, size_t count) {
  buffer_.Append(data, count);
  if (phase_ != Phase::Hunt) RunText();
  if (phase_ == Phase::Hunt) RunHunt();
  FlushNoise();
}

void SerialDecoder::Consume(size_t n) {
  buffer_.Drop(n);
  bufferOffset_ += n;
}

void SerialDecoder::NoteNoise(size_t n) {
  // Bytes of a damaged frame that the hunt passes over again are that
  // frame's, already shown with it.
  size_t skip = 0;
  if (coveredUntil_ > bufferOffset_) skip = static_cast<size_t>(std::min<uint64_t>(coveredUntil_ - bufferOffset_, n));
  if (skip == n) return;
  if (!noise_.empty() && noiseOffset_ + noise_.size() != bufferOffset_ + skip) FlushNoise();
  if (noise_.empty()) noiseOffset_ = bufferOffset_ + skip;
  noise_.insert(noise_.end(), buffer_.Data() + skip, buffer_.Data() + n);
}

void SerialDecoder::FlushNoise() {
  if (noise_.empty()) return;
  std::vector<uint8_t> noise = std::move(noise_);
  noise_.clear();
  if (classifyUnframed_) {
    ClassifyUnframed(noise, noiseOffset_, sink_);
    return;
  }
  Item item;
  item.kind = ItemKind::Noise;
  item.offset = noiseOffset_;
  item.raw = std::move(noise);
  sink_(std::move(item));
}

void SerialDecoder::Emit(Item&& item) {
  FlushNoise();
  sink_(std::move(item));
}

Item SerialDecoder::FrameItem(size_t length) const {
  Item item;
  item.kind = ItemKind::Frame;
  item.offset = bufferOffset_;
  item.raw = buffer_.Slice(0, length);
  item.control = buffer_[2];
  item.address = buffer_[3];
  return item;
}

void SerialDecoder::RunText() {
  while (phase_ != Phase::Hunt) {
    const size_t cr = buffer_.Find(CR);
    if (phase_ == Phase::SkipFirstLine) {
      // The PBX may still be sending a line from before the service request:
      // kavro throws away everything up to the first carriage return.
      if (buffer_.Empty()) return;
      Item item;
      item.kind = ItemKind::Text;
      item.offset = bufferOffset_;
      const bool lineEnds = cr < buffer_.Size();
      const size_t n = lineEnds ? cr + 1 : buffer_.Size();
      item.raw = buffer_.Slice(0, n);
      item.note = "first line after start: ignored by kavro";
      Emit(std::move(item));
      Consume(n);
      if (!lineEnds) return;
      phase_ = Phase::ServiceLine;
      continue;
    }
    if (cr == buffer_.Size()) {
      // kavro holds no more text than its receive buffer; a longer line
      // costs it the oldest bytes.
      if (buffer_.Size() > MAX_TEXT_BYTES) {
        Item item;
        item.kind = ItemKind::Noise;
        item.offset = bufferOffset_;
        item.raw = buffer_.Slice(0, buffer_.Size() - MAX_TEXT_BYTES);
        item.note = "a line longer than kavro holds: dropped by kavro";
        Consume(item.raw.size());
        Emit(std::move(item));
      }
      return;
    }
    // kavro searches the held bytes as a C string: a zero byte ends it.
    const size_t end = buffer_.Find(0);
    size_t cti = std::string::npos;
    for (size_t i = 0; i + 3 <= end; ++i) {
      if (buffer_[i] == 'C' && buffer_[i + 1] == 'T' && buffer_[i + 2] == 'I') {
        cti = i;
        break;
      }
    }
    Item item;
    item.offset = bufferOffset_;
    item.raw = buffer_.Slice(0, cr + 1);
    if (cti != std::string::npos && cti < cr) {
      item.kind = ItemKind::ServiceAnswer;
      item.rateText = FindRateText(std::string(buffer_.Data() + cti, buffer_.Data() + std::min(cr, end)));
      Emit(std::move(item));
      Consume(cr + 1);
      phase_ = Phase::Hunt;
      if (!buffer_.Empty()) {
        // The parser starts the frame hunt with an empty buffer.
        Item rest;
        rest.kind = ItemKind::Noise;
        rest.offset = bufferOffset_;
        rest.raw = buffer_.Slice(0, buffer_.Size());
        rest.note = "came in the same read as the service answer: discarded by kavro";
        Emit(std::move(rest));
        Consume(buffer_.Size());
      }
      return;
    }
    item.kind = ItemKind::Text;
    item.note = "no \"CTI\": ignored by kavro";
    Emit(std::move(item));
    Consume(cr + 1);
  }
}

void SerialDecoder::RunHunt() {
  for (;;) {
    const size_t size = buffer_.Size();
    // Everything before a SYN pair (or a SYN that ends the held bytes) is
    // dropped by the hunt, whatever comes later.
    size_t start = 0;
    while (start < size && !(buffer_[start] == SYN && (start + 1 == size || buffer_[start + 1] == SYN))) ++start;
    if (start > 0) {
      NoteNoise(start);
      Consume(start);
      continue;
    }
    if (size < SHORT_FRAME_BYTES) return;

    const uint8_t control = buffer_[2];
    if (control & 1) {
      Item item = FrameItem(SHORT_FRAME_BYTES);
      if ((control & 3) == 1) {
        item.frameClass = FrameClass::S;
        item.type = SupervisoryName(control);
        item.nr = control >> 5;
        item.pf = (control & FRAME_PF) != 0;
      } else {
        item.frameClass = FrameClass::U;
        item.type = UnnumberedName(control);
      }
      item.headerCrc = {true, BigEndian16(buffer_.Data() + 4), Crc16(buffer_.Data() + 2, 2)};
      item.ok = item.headerCrc.Ok();
      const bool ok = item.ok;
      if (!ok) coveredUntil_ = bufferOffset_ + SHORT_FRAME_BYTES;
      Emit(std::move(item));
      Consume(ok ? SHORT_FRAME_BYTES : 2);
      continue;
    }

    // Control bits 1..0 of 00 or 10: an I-frame (bit 4 is not looked at).
    const uint32_t length = BigEndian16(buffer_.Data() + 4);
    if (length > MAX_I_PAYLOAD) {
      Item item = FrameItem(SHORT_FRAME_BYTES);
      item.frameClass = FrameClass::I;
      item.type = "I";
      item.ns = (control >> 1) & 7;
      item.nr = control >> 5;
      item.pf = (control & FRAME_PF) != 0;
      item.length = length;
      item.lengthTooLong = true;
      item.ok = false;
      coveredUntil_ = bufferOffset_ + SHORT_FRAME_BYTES;
      Emit(std::move(item));
      Consume(2);
      continue;
    }
    if (size < I_HEADER_BYTES) return;
    const CrcCheck header{true, BigEndian16(buffer_.Data() + 6), Crc16(buffer_.Data() + 2, 4)};
    const size_t whole = length + I_OVERHEAD_BYTES;
    if (header.Ok() && size < whole) return;

    Item item = FrameItem(header.Ok() ? whole : I_HEADER_BYTES);
    item.frameClass = FrameClass::I;
    item.type = "I";
    item.ns = (control >> 1) & 7;
    item.nr = control >> 5;
    item.pf = (control & FRAME_PF) != 0;
    item.length = length;
    item.headerCrc = header;
    if (header.Ok()) {
      item.payload = buffer_.Slice(I_HEADER_BYTES, I_HEADER_BYTES + length);
      item.payloadCrc = {true, BigEndian16(buffer_.Data() + I_HEADER_BYTES + length),
                         Crc16(buffer_.Data() + I_HEADER_BYTES, length)};
    }
    item.ok = header.Ok() && item.payloadCrc.Ok();
    const bool ok = item.ok;
    const size_t span = item.raw.size();
    if (!ok) coveredUntil_ = bufferOffset_ + span;
    Emit(std::move(item));
    Consume(ok ? span : 2);
  }
}

void SerialDecoder::Break() {
  if (!buffer_.Empty()) {
    Item item;
    item.offset = bufferOffset_;
    item.raw = buffer_.Slice(0, buffer_.Size());
    if (phase_ != Phase::Hunt) {
      item.kind = ItemKind::Text;
      item.note = "no line end yet";
    } else if (buffer_[0] == SYN) {
      item.kind = ItemKind::Incomplete;
      item.needed = SHORT_FRAME_BYTES;
      // Only an I-frame can be held past six bytes; its header tells its size.
      if (buffer_.Size() >= SHORT_FRAME_BYTES) {
        const uint8_t control = buffer_[2];
        item.frameClass = FrameClass::I;
        item.type = "I";
        item.control = control;
        item.address = buffer_[3];
        item.ns = (control >> 1) & 7;
        item.nr = control >> 5;
        item.pf = (control & FRAME_PF) != 0;
        item.length = BigEndian16(buffer_.Data() + 4);
        item.needed = item.length + I_OVERHEAD_BYTES;
        if (buffer_.Size() >= I_HEADER_BYTES)
          item.headerCrc = {true, BigEndian16(buffer_.Data() + 6), Crc16(buffer_.Data() + 2, 4)};
      }
    } else {
      item.kind = ItemKind::Noise;
    }
    Emit(std::move(item));
    Consume(buffer_.Size());
  }
  FlushNoise();
}

// ---------------------------------------------------------------------------

TcpDecoder::TcpDecoder(ItemSink sink, Rules rules) : sink_(std::move(sink)), rules_(rules) {}

void TcpDecoder::Consume(size_t n) {
  buffer_.Drop(n);
  bufferOffset_ += n;
}

void TcpDecoder::Emit(Item&& item) { sink_(std::move(item)); }

void TcpDecoder::EmitNoise(size_t n, std::string note) {
  Item item;
  item.kind = ItemKind::Noise;
  item.offset = bufferOffset_;
  item.raw = buffer_.Slice(0, n);
  item.note = std::move(note);
  Emit(std::move(item));
  Consume(n);
}

void TcpDecoder::Feed(const uint8_t* data, size_t count) {
  buffer_.Append(data, count);
  for (;;) {
    if (rules_ == Rules::KavroReceive) {
      if (buffer_.Empty()) return;
      if (buffer_[0] != SOCKET_FRAME_TAG) {
        EmitNoise(buffer_.Size(), "no 0xC5 tag in front: kavro drops every byte it holds");
        return;
      }
    } else {
      size_t tag = buffer_.Find(SOCKET_FRAME_TAG);
      if (tag > 0) EmitNoise(tag, "");
    }
    // A partial header waits for the rest of the frame.
    if (buffer_.Size() < SOCKET_HEADER_SIZE) return;
    const uint32_t length = BigEndian16(buffer_.Data() + 1);
    const size_t whole = SOCKET_HEADER_SIZE + length;
    if (buffer_.Size() < whole) return;
    Item item;
    item.kind = ItemKind::TcpFrame;
    item.offset = bufferOffset_;
    item.raw = buffer_.Slice(0, whole);
    item.length = length;
    item.payload = buffer_.Slice(SOCKET_HEADER_SIZE, whole);
    item.keepalive = length > 0 && item.payload[0] == KEEPALIVE_MARK;
    if (length == 0) item.note = "empty: nothing to deliver";
    Emit(std::move(item));
    Consume(whole);
  }
}

void TcpDecoder::Break() {
  if (buffer_.Empty()) return;
  Item item;
  item.offset = bufferOffset_;
  item.raw = buffer_.Slice(0, buffer_.Size());
  if (buffer_[0] == SOCKET_FRAME_TAG) {
    item.kind = ItemKind::Incomplete;
    item.needed = SOCKET_HEADER_SIZE;
    if (buffer_.Size() >= SOCKET_HEADER_SIZE) item.needed = SOCKET_HEADER_SIZE + BigEndian16(buffer_.Data() + 1);
    if (item.needed <= buffer_.Size()) {
      // Whole frames behind an empty one that no later read fetched.
      item.note = "held by kavro, never taken: no read followed";
    }
  } else {
    item.kind = ItemKind::Noise;
  }
  Emit(std::move(item));
  Consume(buffer_.Size());
}

}  // namespace kavro::decode
