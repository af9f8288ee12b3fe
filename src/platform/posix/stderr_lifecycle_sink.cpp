#include "platform/posix/stderr_lifecycle_sink.h"

#include <unistd.h>

#include <cstring>

namespace kavro::platform {

void StderrLifecycleSink::Notice(NoticeLevel level, const std::string& text) {
  if (quiet_ && level == NoticeLevel::Info) return;
  // One write per line: the receive thread and the main thread both report,
  // and the trace log's debugger output shares the descriptor.
  const std::string line = "<" + std::to_string(static_cast<int>(level)) + ">kavro: " + text + "\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

std::string StderrLifecycleSink::ErrorText(int code) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static text instead of filling buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text ? text : "error " + std::to_string(code);
}

}  // namespace kavro::platform
