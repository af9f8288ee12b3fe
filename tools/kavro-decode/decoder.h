// The byte-stream decoders of kavro-decode: one for the layer-2 framing of
// serial and USB links (with the service handshake in front of it), one for
// the tagged framing of TCP links. Both are fed a stream a piece at a time,
// as kavro read or wrote it, and report every frame, every damaged frame and
// every run of bytes that is no frame, in stream order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kavro::decode {

enum class ItemKind {
  Frame,           // a layer-2 frame, good or damaged
  TcpFrame,        // a tagged frame of the TCP link
  ServiceRequest,  // the two bytes kavro sends before the layer-2 link is set up
  ServiceAnswer,   // the PBX's answer line, the one that contains "CTI"
  Text,            // any other text line
  Noise,           // bytes that belong to no frame
  Incomplete,      // the start of a frame whose end never came
};

enum class FrameClass { I, S, U };

struct CrcCheck {
  bool present = false;
  uint16_t value = 0;     // as received
  uint16_t expected = 0;  // as computed over the protected bytes
  bool Ok() const { return value == expected; }
};

struct Item {
  ItemKind kind = ItemKind::Noise;
  uint64_t offset = 0;       // position of the first byte in its stream
  std::vector<uint8_t> raw;  // every byte the item stands for

  // Layer-2 frames.
  FrameClass frameClass = FrameClass::U;
  std::string type;  // I, RR, RNR, REJ, START, UA, DISC, DM, FRMR or unknown
  uint8_t control = 0;
  uint8_t address = 0;
  uint8_t ns = 0;
  uint8_t nr = 0;
  bool pf = false;
  uint32_t length = 0;  // layer-2 and TCP frames: the payload length as announced
  CrcCheck headerCrc;   // S and U frames: their one CRC
  CrcCheck payloadCrc;
  bool lengthTooLong = false;
  bool ok = true;  // the frame as kavro takes it

  // TCP frames.
  bool keepalive = false;

  // Layer-2 and TCP frames: the payload.
  std::vector<uint8_t> payload;

  // Service answer: the rate text kavro takes from the line, if any.
  std::optional<std::string> rateText;

  // Incomplete frames: the bytes the frame needs in all.
  uint32_t needed = 0;

  // Why bytes were dropped or ignored, when there is more to say than the kind.
  std::string note;
};

using ItemSink = std::function<void(Item&&)>;

// Bytes held for decoding: added at the back, taken from the front, without
// moving what is left each time (a raw file may hold millions of frames).
class HeldBytes {
 public:
  void Append(const uint8_t* data, size_t count);
  void Drop(size_t n);
  size_t Size() const { return bytes_.size() - head_; }
  bool Empty() const { return Size() == 0; }
  const uint8_t* Data() const { return bytes_.data() + head_; }
  uint8_t operator[](size_t i) const { return bytes_[head_ + i]; }
  std::vector<uint8_t> Slice(size_t from, size_t to) const;
  // The position of the first `value`, or size() when there is none.
  size_t Find(uint8_t value) const;

 private:
  static constexpr size_t COMPACT_AFTER = 4096;
  std::vector<uint8_t> bytes_;
  size_t head_ = 0;
};

// The rate text kavro takes from a service answer: the rest of the line from
// the first of the known rates that occurs in it, tried in a fixed order.
std::optional<std::string> FindRateText(const std::string& fromCti);

// Splits bytes that are no frame into service requests, text lines (the
// service answer among them) and noise. For streams whose history is not
// known, so that a handshake found in them is still shown as one.
void ClassifyUnframed(const std::vector<uint8_t>& bytes, uint64_t offset, const ItemSink& sink);

// Layer-2 frames as kavro's receive parser cuts them: a bad CRC drops only
// the two SYN bytes, so the hunt resumes inside the rejected frame.
class SerialDecoder {
 public:
  enum class Start {
    // The stream kavro receives, from the moment it started: the first line
    // is ignored and text lines are read until the service answer.
    ReceivedFromStart,
    // Any other stream: frames from the first byte on; the bytes between
    // frames are sorted by ClassifyUnframed.
    Anywhere,
  };

  SerialDecoder(ItemSink sink, Start start);

  // One piece of the stream (one read or one write of kavro's).
  void Feed(const uint8_t* data, size_t count);
  // The stream ends here, or breaks off (a piece the log does not show
  // whole): what is held is reported as incomplete and the hunt starts anew.
  void Break();

 private:
  enum class Phase { SkipFirstLine, ServiceLine, Hunt };

  void RunText();
  void RunHunt();
  void Consume(size_t n);
  void NoteNoise(size_t n);
  void FlushNoise();
  void Emit(Item&& item);
  Item FrameItem(size_t length) const;

  ItemSink sink_;
  bool classifyUnframed_;
  Phase phase_;
  HeldBytes buffer_;
  uint64_t bufferOffset_ = 0;  // stream position of buffer_[0]
  uint64_t coveredUntil_ = 0;  // bytes before this belong to a damaged frame already shown
  std::vector<uint8_t> noise_;
  uint64_t noiseOffset_ = 0;
};

// Tagged TCP frames: 0xC5, a 16-bit big-endian length, the payload.
class TcpDecoder {
 public:
  enum class Rules {
    // The stream kavro receives: held bytes that do not start with the tag
    // are dropped whole, as kavro does; a partial header waits for the rest.
    KavroReceive,
    // Any other stream: bytes up to the next tag are noise.
    Anywhere,
  };

  TcpDecoder(ItemSink sink, Rules rules);
  void Feed(const uint8_t* data, size_t count);
  void Break();

 private:
  void Emit(Item&& item);
  void EmitNoise(size_t n, std::string note);
  void Consume(size_t n);

  ItemSink sink_;
  Rules rules_;
  HeldBytes buffer_;
  uint64_t bufferOffset_ = 0;
};

}  // namespace kavro::decode
