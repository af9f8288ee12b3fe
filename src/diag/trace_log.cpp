#include "diag/trace_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace kavro {

namespace {
// The formatter writes at most this many bytes, the terminating zero
// included, and cuts what is longer; a cut line still ends with CR LF, so
// that the next line starts on a line of its own.
constexpr size_t FORMAT_LIMIT = 1024;
// A line's time stamp "[dd.mm.yy hh:mm:ss] " and the ": " after the name.
constexpr size_t LINE_HEAD = 22;
// Room kept in a dump's line for the note on what it leaves out.
constexpr size_t DUMP_NOTE_ROOM = 32;
// One row of a dump: 16 bytes as "%02X " and "\r\n>>".
constexpr size_t DUMP_ROW = 16 * 3 + 4;
}  // namespace

std::string TraceText(const char* text) {
  std::string out;
  if (text == nullptr) return out;
  static const char digits[] = "0123456789ABCDEF";
  for (const char* p = text; *p != '\0'; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\x";
          out += digits[c >> 4];
          out += digits[c & 0x0F];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out;
}

void TraceLog::InitTraceLog(const std::string& logDir) {
  path_ = logDir;
  if (!path_.empty() && path_.back() != '/' && path_.back() != '\\') path_ += '/';
  path_ += "kavro.log";
  // The log is switched on only by the file's presence: it is never created.
  TraceMask = backend_.CanOpenExisting(path_) ? TRACE_MASK_ON : 0;
}

void TraceLog::TraceMessage(uint32_t level, const char* format, ...) {
  if (!Passes(level)) return;
  const platform::LocalTime t = backend_.Now();

  char text[FORMAT_LIMIT];
  va_list args;
  va_start(args, format);
  vsnprintf(text, sizeof text, format, args);
  va_end(args);

  const std::string name = backend_.ExecutableBaseName();
  char line[FORMAT_LIMIT];
  int n = snprintf(line, sizeof line, "[%02d.%02d.%02d %02d:%02d:%02d] %s: %s\r\n", t.day, t.month, t.year % 100,
                   t.hour, t.minute, t.second, name.c_str(), text);
  if (n < 0) return;
  size_t size = static_cast<size_t>(n);
  if (size >= sizeof line) {
    size = sizeof line - 1;
    line[size - 2] = '\r';
    line[size - 1] = '\n';
  }
  AppendLogLine(line, size);
  backend_.DebugOutput(line, size);
}

void TraceLog::AppendLogLine(const char* line, size_t size) {
  // One write(2) on a file opened with O_APPEND: two writers (threads or
  // processes) each get their own end offset, so no line overwrites another.
  backend_.AppendExisting(path_, line, size);
}

void TraceLog::TraceHexDump(uint32_t level, const char* title, const void* data, uint32_t count) {
  if (!Passes(level)) return;
  // The dump is one trace line, whole rows of it as fit; what does not fit
  // is counted, not cut off in the middle of a row.
  const size_t head = LINE_HEAD + backend_.ExecutableBaseName().size() + 2;
  const size_t budget = FORMAT_LIMIT - 1 - head - DUMP_NOTE_ROOM;
  std::string text;
  text += title ? title : "";
  text += "\r\n";
  const auto* bytes = static_cast<const uint8_t*>(data);
  static const char digits[] = "0123456789ABCDEF";
  uint32_t shown = 0;
  for (; bytes && shown < count; ++shown) {
    if (shown % 16 == 0 && text.size() + DUMP_ROW > budget) break;
    text += digits[bytes[shown] >> 4];
    text += digits[bytes[shown] & 0x0F];
    text += ' ';
    if ((shown + 1) % 16 == 0) text += "\r\n>>";
  }
  if (bytes && shown < count) text += "... " + std::to_string(count - shown) + " more bytes";
  TraceMessage(level, "%s", text.c_str());
}

}  // namespace kavro
