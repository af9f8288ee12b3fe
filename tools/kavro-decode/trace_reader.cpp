#include "trace_reader.h"

#include "../common/hex_text.h"

namespace kavro::decode {

namespace {

constexpr std::string_view RECEIVED_TITLE = "Received:";
constexpr std::string_view SENT_TITLE = "SendConnection():";
constexpr std::string_view ROW_MARK = ">>";
// A dump too long for its line ends with "... N more bytes" after the whole
// rows that fit.
constexpr std::string_view MORE_MARK = "... ";
constexpr std::string_view MORE_TAIL = " more bytes";
// "[dd.mm.yy hh:mm:ss] "
constexpr size_t STAMP_FIELD = 21;
// Executable base names are short; a longer "name" is message text.
constexpr size_t MAX_PROGRAM_NAME = 260;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The length of the record header at `at` ("[dd.mm.yy hh:mm:ss] name: "),
// or 0 when none begins there.
size_t HeaderAt(std::string_view line, size_t at) {
  static constexpr std::string_view shape = "[00.00.00 00:00:00] ";
  if (line.size() - at < STAMP_FIELD + 3) return 0;
  for (size_t i = 0; i < shape.size(); ++i) {
    const char c = line[at + i];
    if (shape[i] == '0' ? !IsDigit(c) : c != shape[i]) return 0;
  }
  // The name's end is looked for only as far as a name can reach: a search
  // to the end of the line, for every '[' of a long line, would make reading
  // it quadratic.
  const size_t name = at + STAMP_FIELD;
  const size_t colon = line.substr(name, MAX_PROGRAM_NAME + 2).find(": ");
  if (colon == std::string_view::npos || colon == 0 || colon > MAX_PROGRAM_NAME) return 0;
  return STAMP_FIELD + colon + 2;
}

// kavro's formatter cuts a record at this many bytes (its buffer less the
// terminating zero), CR LF included. Older versions of kavro lost the CR LF
// there, and the next record then followed on the same physical line.
constexpr int64_t RECORD_LIMIT = 1023;

}  // namespace

bool LooksLikeTraceLog(std::string_view text) {
  constexpr int linesLookedAt = 64;
  size_t pos = 0;
  for (int n = 0; n < linesLookedAt && pos < text.size(); ++n) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    if (HeaderAt(text.substr(pos, end - pos), 0) > 0) return true;
    pos = end + 1;
  }
  return false;
}

void TraceReader::TakeLine(std::string_view line, bool ended) {
  const bool cr = !line.empty() && line.back() == '\r';
  if (cr) line.remove_suffix(1);
  ++lineNumber_;
  // Where the current record began, counted from this line's start: on an
  // earlier line it is negative.
  int64_t recordStart = -recordBytes_;
  size_t at = 0;
  for (bool first = true;; first = false) {
    const size_t header = HeaderAt(line, at);
    if (header > 0) {
      if (current_) ready_.push_back(std::move(*current_));
      current_.emplace();
      current_->line = lineNumber_;
      current_->stamp = std::string(line.substr(at + 1, STAMP_FIELD - 4));
      current_->program = std::string(line.substr(at + STAMP_FIELD, header - STAMP_FIELD - 2));
      recordStart = static_cast<int64_t>(at);
      at += header;
    } else if (!first || !current_) {
      recordBytes_ = 0;
      return;  // text before the first record: not kavro's
    }
    // A record runs to its line end unless the formatter cut it, and then
    // the next one begins exactly at the cut. Text that merely looks like a
    // header anywhere else (the PBX's own, say) is part of the record, and
    // a line is looked at once, however many '[' it holds.
    const int64_t cut = recordStart + RECORD_LIMIT;
    const bool cutHere = cut > static_cast<int64_t>(at) && cut < static_cast<int64_t>(line.size()) &&
                         HeaderAt(line, static_cast<size_t>(cut)) > 0;
    const size_t next = cutHere ? static_cast<size_t>(cut) : std::string_view::npos;
    current_->lines.emplace_back(line.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at));
    if (next == std::string_view::npos) break;
    current_->cut = true;
    at = next;
  }
  recordBytes_ = static_cast<int64_t>(line.size() + (cr ? 1 : 0) + (ended ? 1 : 0)) - recordStart;
  // A file that ends without its line end holds a cut last record.
  if (!ended && current_) current_->cut = true;
}

std::optional<LogRecord> TraceReader::Next() {
  std::string line;
  bool ended = true;
  while (ready_.empty() && !done_) {
    if (nextLine_(line, ended)) {
      TakeLine(line, ended);
    } else {
      done_ = true;
      if (current_) ready_.push_back(std::move(*current_));
      current_.reset();
    }
  }
  if (ready_.empty()) return std::nullopt;
  LogRecord record = std::move(ready_.front());
  ready_.pop_front();
  return record;
}

std::optional<HexDump> ParseHexDump(const LogRecord& record) {
  if (record.lines.empty()) return std::nullopt;
  HexDump dump;
  if (record.lines[0] == SENT_TITLE) {
    dump.sent = true;
  } else if (record.lines[0] != RECEIVED_TITLE) {
    return std::nullopt;
  }
  dump.cut = record.cut;
  for (size_t i = 1; i < record.lines.size(); ++i) {
    std::string_view row = record.lines[i];
    if (i > 1) {
      if (row.substr(0, ROW_MARK.size()) != ROW_MARK) return std::nullopt;
      row.remove_prefix(ROW_MARK.size());
    }
    size_t p = 0;
    while (p < row.size()) {
      if (row[p] == ' ') {
        ++p;
        continue;
      }
      size_t q = row.find(' ', p);
      if (q == std::string_view::npos) q = row.size();
      std::string_view token = row.substr(p, q - p);
      if (i + 1 == record.lines.size() && row.substr(p, MORE_MARK.size()) == MORE_MARK) {
        // The count of the bytes left out; nothing follows it.
        std::string_view rest = row.substr(p + MORE_MARK.size());
        if (rest.size() <= MORE_TAIL.size() || rest.substr(rest.size() - MORE_TAIL.size()) != MORE_TAIL) {
          return std::nullopt;
        }
        rest.remove_suffix(MORE_TAIL.size());
        // A block is far shorter; the bound keeps the total a 32-bit count.
        auto more = tools::ParseNumber(rest, UINT32_MAX / 2);
        if (!more || *more == 0) return std::nullopt;
        dump.more = static_cast<uint32_t>(*more);
        dump.cut = true;
        break;
      }
      const bool last = q == row.size() && i + 1 == record.lines.size();
      if (token.size() == 1 && last && record.cut && tools::HexDigitValue(token[0]) >= 0) break;  // half a byte
      if (token.size() != 2 || tools::HexDigitValue(token[0]) < 0 || tools::HexDigitValue(token[1]) < 0) {
        return std::nullopt;
      }
      dump.bytes.push_back(static_cast<uint8_t>(tools::HexDigitValue(token[0]) * 16 + tools::HexDigitValue(token[1])));
      p = q;
    }
  }
  return dump;
}

std::optional<uint32_t> CheckFrameCount(const LogRecord& record) {
  if (record.lines.size() != 1) return std::nullopt;
  std::string_view text = record.lines[0];
  constexpr std::string_view prefix = "CheckFrame(";
  if (text.substr(0, prefix.size()) != prefix || text.back() != ')') return std::nullopt;
  const size_t comma = text.rfind(',');
  if (comma == std::string_view::npos) return std::nullopt;
  auto count = tools::ParseNumber(text.substr(comma + 1, text.size() - comma - 2));
  if (!count) return std::nullopt;
  return static_cast<uint32_t>(*count);
}

bool IsRunStart(const LogRecord& record) {
  return !record.lines.empty() && record.lines[0].rfind("OpenConnection (", 0) == 0;
}

}  // namespace kavro::decode
