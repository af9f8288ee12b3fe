#include "platform/win32/win32_lifecycle_sink.h"

#include <windows.h>

namespace kavro::platform {

void ReportToEventLog(NoticeLevel level, const std::string& text) {
  // Registered per entry: the entries are few, and no handle outlives a
  // call made from the companion library's thread at process exit.
  HANDLE source = RegisterEventSourceA(nullptr, EVENT_SOURCE);
  if (source == nullptr) return;
  const WORD type = level == NoticeLevel::Error     ? EVENTLOG_ERROR_TYPE
                    : level == NoticeLevel::Warning ? EVENTLOG_WARNING_TYPE
                                                    : EVENTLOG_INFORMATION_TYPE;
  const char* strings[1] = {text.c_str()};
  ReportEventA(source, type, 0, EVENT_ID_TEXT, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

std::string SystemErrorText(unsigned long code) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result = text != nullptr ? text : "error";
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.' ||
                             result.back() == ' ')) {
    result.pop_back();
  }
  return result + " (" + std::to_string(code) + ")";
}

void Win32LifecycleSink::Notice(NoticeLevel level, const std::string& text) {
  if (toTraceLog_) toTraceLog_(level, text);
  ReportToEventLog(level, text);
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error != nullptr && error != INVALID_HANDLE_VALUE) {
    // One write per line, the threads taking turns.
    const std::string line = "kavro: " + text + "\r\n";
    std::lock_guard<std::mutex> lock(mutex_);
    DWORD written = 0;
    WriteFile(error, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
}

}  // namespace kavro::platform
