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

namespace {

// The file in %ProgramData%\kavro: written beside and moved over it.
class ProgramDataFailureFile : public StartFailureFile {
 public:
  explicit ProgramDataFailureFile(std::string path) : path_(std::move(path)) {}
  bool Read(std::string& text) override {
    HANDLE file = CreateFileA(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    char buffer[4096];
    DWORD got = 0;
    const bool ok = ReadFile(file, buffer, sizeof buffer, &got, nullptr) != 0;
    CloseHandle(file);
    if (ok) text.assign(buffer, got);
    return ok;
  }
  bool Replace(const std::string& text, std::string& why) override {
    const std::string temporary = path_ + ".new";
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      why = SystemErrorText(GetLastError());
      return false;
    }
    DWORD written = 0;
    const bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) != 0 &&
                    written == text.size();
    const DWORD error = GetLastError();
    CloseHandle(file);
    if (!ok || !MoveFileExA(temporary.c_str(), path_.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      why = SystemErrorText(ok ? GetLastError() : error);
      DeleteFileA(temporary.c_str());
      return false;
    }
    return true;
  }
  void Remove() override { DeleteFileA(path_.c_str()); }
  std::string Where() const override { return path_; }

 private:
  std::string path_;
};

}  // namespace

std::string ProgramDataDirectory() {
  char base[MAX_PATH];
  const DWORD n = GetEnvironmentVariableA("ProgramData", base, sizeof base);
  if (n == 0 || n >= sizeof base) return "";
  const std::string directory = std::string(base) + "\\kavro";
  CreateDirectoryA(directory.c_str(), nullptr);
  return directory;
}

Win32LifecycleSink::Win32LifecycleSink(TraceWriter toTraceLog)
    : toTraceLog_(std::move(toTraceLog)),
      memory_([this](NoticeLevel level, const std::string& text) {
        if (toTraceLog_) toTraceLog_(level, text);
        // The memory's debug line (a repeat, waiting) is for the trace log.
        if (level != NoticeLevel::Debug) Write(level, text);
      }) {}

Win32LifecycleSink::~Win32LifecycleSink() { memory_.Use(nullptr); }

void Win32LifecycleSink::RememberFailuresIn(const std::string& path) {
  file_ = std::make_unique<ProgramDataFailureFile>(path);
  memory_.Use(file_.get());
}

void Win32LifecycleSink::Notice(NoticeLevel level, const std::string& text) {
  if (toTraceLog_) toTraceLog_(level, text);
  // The trace log keeps every line; the Event Log and the error output are
  // spared a repeated failure's story.
  if (memory_.Admit(level, text)) Write(level, text);
}

void Win32LifecycleSink::Write(NoticeLevel level, const std::string& text) {
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
