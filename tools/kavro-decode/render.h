// How kavro-decode prints what it found: lines for people, or one JSON
// object per line for tools.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "decoder.h"
#include "trace_reader.h"

namespace kavro::decode {

// Where an item was found: a hex dump in a trace log, or a plain byte stream.
struct Origin {
  bool fromLog = false;
  size_t logLine = 0;
  std::string stamp;  // "dd.mm.yy hh:mm:ss"
  bool sent = false;  // written by kavro (to the PBX), else read by kavro
};

class Printer {
 public:
  explicit Printer(bool json) : json_(json) {}

  void Decoded(const Item& item, const Origin& origin);
  // A new run of kavro begins at this record.
  void RunStart(const LogRecord& record);
  // The log shows only `shown` bytes of a block of `count` (when known).
  void Gap(const Origin& origin, size_t shown, std::optional<uint32_t> count);
  // Any other trace line, for --with-log.
  void LogLine(const LogRecord& record);

 private:
  void Emit(const std::string& line);
  // Time, log line and direction (or the stream offset) in front of a line.
  std::string TextPrefix(const Origin& origin, uint64_t offset, const char* label);
  static std::string JsonWhere(const Origin& origin, uint64_t offset);

  bool json_;
  std::string lastDate_;
};

// Text as C writes it in a string literal, quotes included: control bytes and
// bytes above 0x7E as escapes, so that any line stays one printable line.
std::string QuoteText(const std::string& text);

// Bytes as text, a dot for every byte that is not printable ASCII.
std::string PrintableText(const std::vector<uint8_t>& bytes);

}  // namespace kavro::decode
