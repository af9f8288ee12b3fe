// The trace log: one time-stamped line per message whose level passes the
// mask, appended to DIR/kavro.log (only when that file exists at start) and
// passed to the debugger output.
#pragma once

#include <cstdint>
#include <string>

#include "platform/log_backend.h"

namespace kavro {

constexpr uint32_t LOG_ERROR = 0x01;
constexpr uint32_t LOG_WARNING = 0x02;
constexpr uint32_t LOG_PROTOCOL = 0x04;
constexpr uint32_t LOG_DETAIL = 0x08;

// Mask set when the log file exists at start: errors, warnings and the
// protocol trace; bit 0x10 matches no message, so details never pass.
constexpr uint32_t TRACE_MASK_ON = 0x17;

#if defined(__GNUC__)
#define KAVRO_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))
#else
#define KAVRO_PRINTF(fmt, args)
#endif

// Addresses as the trace prints them: for "%x" their low 32 bits, as the
// 32-bit build printed every address; for "%lx" an unsigned long.
inline unsigned TraceAddress(const void* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }
inline unsigned long TraceLongAddress(const void* p) {
  return static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p));
}

// A text from outside (the PBX's service answer and the rate text in it)
// made fit for one trace line: CR, LF and tab as \r, \n and \t, every other
// control character as \xNN, and the backslash doubled, so that a line
// break in it cannot start what reads as a record of its own and the text
// can be read back unambiguously.
std::string TraceText(const char* text);

class TraceLog {
 public:
  explicit TraceLog(platform::LogBackend& backend) : backend_(backend) {}

  // Computes the path DIR/kavro.log and switches the log on when that file
  // exists. Called once, before any other message.
  void InitTraceLog(const std::string& logDir);

  bool Passes(uint32_t level) const { return (TraceMask & level) != 0; }

  // printf-style formats; a line is cut at 1023 characters, and a cut line
  // still ends with CR LF.
  void TraceMessage(uint32_t level, const char* format, ...) KAVRO_PRINTF(3, 4);
  // The title, CR LF, then the bytes as "%02X " in rows of 16, each further
  // row starting with ">>": one line, with as many whole rows as fit it and
  // "... N more bytes" for the rest.
  void TraceHexDump(uint32_t level, const char* title, const void* data, uint32_t count);

  const std::string& LogPath() const { return path_; }

  uint32_t TraceMask = 0;

 private:
  void AppendLogLine(const char* line, size_t size);

  platform::LogBackend& backend_;
  std::string path_;
};

}  // namespace kavro
