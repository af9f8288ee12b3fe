// The PBX side's view of the wire: layer-2 frames on the serial line (SYN SYN,
// control, address, CRC-16; I-frames with length, header CRC and payload CRC)
// and the tagged frames of the TCP link (0xC5, 16-bit length, payload).
// Encoders and stream decoders without any I/O, so that the simulator's
// engines and the unit tests share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "link/frame_codec.h"

namespace kavro::pbx {

constexpr uint8_t SERVICE_ESC = 0x1B;
constexpr uint8_t SERVICE_C = 0x43;
constexpr size_t MAX_PAYLOAD = MAX_I_PAYLOAD;

enum class FrameKind { I, S, U };

struct Frame {
  FrameKind kind = FrameKind::U;
  uint8_t control = 0;  // the raw control byte as it came off the wire
  uint8_t address = 0;
  uint8_t ns = 0;  // I-frames
  uint8_t nr = 0;  // I- and S-frames
  std::vector<uint8_t> payload;

  // S-frames: the code without N(R) (0x01 RR, 0x05 RNR, 0x09 REJ, with 0x10 for P/F).
  uint8_t Code() const { return kind == FrameKind::S ? static_cast<uint8_t>(control & 0x1F) : control; }
  bool PollFinal() const { return kind == FrameKind::S && (control & FRAME_PF) != 0; }
  // Address bit 0 marks a command; a command with P/F set is a poll.
  bool IsPoll() const { return PollFinal() && (address & 0x01) != 0; }
};

inline void AppendCrc(std::vector<uint8_t>& out, size_t from, size_t count) {
  const uint16_t crc = Crc16(out.data() + from, count);
  out.push_back(static_cast<uint8_t>(crc >> 8));
  out.push_back(static_cast<uint8_t>(crc & 0xFF));
}

// S-frame: `code` is RR/RNR/REJ with or without P/F; N(R) goes in bits 7..5.
inline std::vector<uint8_t> EncodeS(uint8_t code, uint8_t address, uint8_t nr) {
  std::vector<uint8_t> out{SYN, SYN, static_cast<uint8_t>((code & 0x1F) | ((nr & 7) << 5)), address};
  AppendCrc(out, 2, 2);
  return out;
}

inline std::vector<uint8_t> EncodeU(uint8_t code, uint8_t address = 0) {
  std::vector<uint8_t> out{SYN, SYN, code, address};
  AppendCrc(out, 2, 2);
  return out;
}

inline std::vector<uint8_t> EncodeI(uint8_t address, uint8_t ns, uint8_t nr, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out{SYN,
                           SYN,
                           static_cast<uint8_t>(((nr & 7) << 5) | ((ns & 7) << 1)),
                           address,
                           static_cast<uint8_t>(payload.size() >> 8),
                           static_cast<uint8_t>(payload.size() & 0xFF)};
  AppendCrc(out, 2, 4);
  const size_t payloadStart = out.size();
  out.insert(out.end(), payload.begin(), payload.end());
  AppendCrc(out, payloadStart, payload.size());
  return out;
}

// Cuts frames out of the byte stream from the link driver. Bytes between
// frames are noise, except the two-byte service request ESC 'C', which the
// link driver sends raw before the layer-2 link exists (and again whenever a
// client asks for it), so it is recognised wherever it stands between frames.
// A candidate frame whose CRC fails loses only its first SYN: the hunt goes
// on inside it and finds a good frame that starts there.
class FrameDecoder {
 public:
  struct Item {
    bool serviceRequest = false;
    Frame frame;
  };

  void Feed(const uint8_t* data, size_t count) { buffer_.insert(buffer_.end(), data, data + count); }

  std::optional<Item> Next() {
    for (;;) {
      if (start_ >= buffer_.size()) {
        Compact();
        return std::nullopt;
      }
      const uint8_t* p = buffer_.data() + start_;
      const size_t held = buffer_.size() - start_;
      if (p[0] != SYN) {
        if (Skip()) return Item{true, {}};
        continue;
      }
      if (held < 2) return Wait();
      if (p[1] != SYN) {
        if (Skip()) return Item{true, {}};
        continue;
      }
      if (held < 6) return Wait();
      const uint8_t control = p[2];
      if ((control & 0x01) != 0) {
        if (Crc16(p + 2, 4) != 0) {
          Reject();
          continue;
        }
        Item item;
        item.frame.kind = (control & 0x03) == 0x01 ? FrameKind::S : FrameKind::U;
        item.frame.control = control;
        item.frame.address = p[3];
        item.frame.nr = item.frame.kind == FrameKind::S ? static_cast<uint8_t>(control >> 5) : 0;
        Consume(6);
        return item;
      }
      const size_t length = static_cast<size_t>(p[4]) << 8 | p[5];
      if (length > MAX_PAYLOAD) {
        Reject();
        continue;
      }
      if (held < 8) return Wait();
      if (Crc16(p + 2, 6) != 0) {
        Reject();
        continue;
      }
      if (held < length + 10) return Wait();
      if (Crc16(p + 8, length + 2) != 0) {
        Reject();
        continue;
      }
      Item item;
      item.frame.kind = FrameKind::I;
      item.frame.control = control;
      item.frame.address = p[3];
      item.frame.ns = static_cast<uint8_t>((control >> 1) & 7);
      item.frame.nr = static_cast<uint8_t>(control >> 5);
      item.frame.payload.assign(p + 8, p + 8 + length);
      Consume(length + 10);
      return item;
    }
  }

  void Reset() {
    buffer_.clear();
    start_ = 0;
    escPending_ = false;
  }

  // Bytes thrown away as noise or as parts of damaged frames.
  uint64_t DiscardedBytes() const { return discarded_; }
  uint64_t RejectedFrames() const { return rejected_; }
  size_t HeldBytes() const { return buffer_.size() - start_; }

 private:
  std::optional<Item> Wait() {
    Compact();
    return std::nullopt;
  }

  // Drops one byte that belongs to no frame; true when it completes ESC 'C'.
  bool Skip() {
    const uint8_t byte = buffer_[start_++];
    ++discarded_;
    const bool request = escPending_ && byte == SERVICE_C;
    escPending_ = byte == SERVICE_ESC;
    return request;
  }

  void Reject() {
    ++rejected_;
    ++discarded_;
    ++start_;
    escPending_ = false;
  }

  void Consume(size_t count) {
    start_ += count;
    escPending_ = false;
  }

  void Compact() {
    if (start_ > 0) {
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
      start_ = 0;
    }
  }

  std::vector<uint8_t> buffer_;
  size_t start_ = 0;
  bool escPending_ = false;
  uint64_t discarded_ = 0;
  uint64_t rejected_ = 0;
};

constexpr uint8_t SOCKET_TAG = 0xC5;
constexpr uint8_t KEEPALIVE_MARK = 0xF2;

inline std::vector<uint8_t> EncodeSocketFrame(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out{SOCKET_TAG, static_cast<uint8_t>(payload.size() >> 8),
                           static_cast<uint8_t>(payload.size() & 0xFF)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

// Cuts tagged frames out of the TCP stream. A byte that is not the tag where
// a frame must start is skipped (and counted), so the simulator resynchronises
// on the next tag instead of giving up on the connection.
class SocketFrameDecoder {
 public:
  void Feed(const uint8_t* data, size_t count) { buffer_.insert(buffer_.end(), data, data + count); }

  std::optional<std::vector<uint8_t>> Next() {
    size_t skip = 0;
    while (skip < buffer_.size() && buffer_[skip] != SOCKET_TAG) ++skip;
    if (skip > 0) {
      discarded_ += skip;
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(skip));
    }
    if (buffer_.size() < 3) return std::nullopt;
    const size_t length = static_cast<size_t>(buffer_[1]) << 8 | buffer_[2];
    if (buffer_.size() < 3 + length) return std::nullopt;
    std::vector<uint8_t> payload(buffer_.begin() + 3, buffer_.begin() + 3 + static_cast<std::ptrdiff_t>(length));
    buffer_.erase(buffer_.begin(), buffer_.begin() + 3 + static_cast<std::ptrdiff_t>(length));
    return payload;
  }

  void Reset() { buffer_.clear(); }
  uint64_t DiscardedBytes() const { return discarded_; }
  size_t HeldBytes() const { return buffer_.size(); }

 private:
  std::vector<uint8_t> buffer_;
  uint64_t discarded_ = 0;
};

}  // namespace kavro::pbx
