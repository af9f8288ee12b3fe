// Reading kavro's trace log back: records of the form
// "[dd.mm.yy hh:mm:ss] name: text", CR LF ended, whose text may span several
// physical lines (hex dumps do). A line cut by the formatter has lost its
// CR LF, so the next record begins in the middle of a physical line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavro::decode {

struct LogRecord {
  size_t line = 0;                 // physical line (1-based) where the record begins
  std::string stamp;               // "dd.mm.yy hh:mm:ss"
  std::string program;             // the executable's base name
  std::vector<std::string> lines;  // the text: its first line, then any further ones
  bool cut = false;                // the formatter cut the record: its end is missing
};

// True when one of the first lines of `text` begins with a record header.
bool LooksLikeTraceLog(std::string_view text);

// Reads the records of a trace log one by one, so that a log of any size
// is decoded in little memory.
class TraceReader {
 public:
  // `nextLine` gives the next physical line without its line feed, and
  // whether a line feed ended it; false when there is none left.
  using LineSource = std::function<bool(std::string& line, bool& ended)>;
  explicit TraceReader(LineSource nextLine) : nextLine_(std::move(nextLine)) {}

  std::optional<LogRecord> Next();

 private:
  void TakeLine(std::string_view line, bool ended);

  LineSource nextLine_;
  size_t lineNumber_ = 0;
  // Bytes of the current record up to the start of the next line.
  int64_t recordBytes_ = 0;
  bool done_ = false;
  std::optional<LogRecord> current_;
  std::deque<LogRecord> ready_;
};

struct HexDump {
  bool sent = false;  // "SendConnection():" (to the PBX), else "Received:"
  std::vector<uint8_t> bytes;
  bool cut = false;  // the log shows only the first part of the block
};

// The record as a dump of bytes kavro wrote or read, if it is one.
std::optional<HexDump> ParseHexDump(const LogRecord& record);

// The byte count of a "CheckFrame(0x..,0x..,n)" record: how many bytes the
// read before it brought.
std::optional<uint32_t> CheckFrameCount(const LogRecord& record);

// "OpenConnection (...)" begins every run of kavro.
bool IsRunStart(const LogRecord& record);

}  // namespace kavro::decode
