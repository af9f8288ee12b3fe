// The lifecycle lines on Windows: what is opened, the link coming up and
// ending and why, every start failure with the system's error text. They go
// to the trace log when it is on, always to the Windows Event Log (event
// source "kavro", message id 1 of kavro.exe's message table, whose text is
// the line), and to the error output when the program has one (started from
// a script with its output redirected). A start that fails as the last one
// did is told once, then every 10 minutes with a count, and waits longer
// each time (start_failure_memory.h); the last failure is remembered in
// %ProgramData%\kavro, where the users who run kavro.exe may write (the
// installer makes it so), unlike beside the trace log or under HKLM.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/lifecycle_sink.h"
#include "platform/start_failure_memory.h"

namespace kavro::platform {

constexpr const char* EVENT_SOURCE = "kavro";
// Every entry: id 1 of the message table, "%1".
constexpr unsigned long EVENT_ID_TEXT = 1;

// One Event Log entry of source "kavro": error, warning or information as
// `level` says. Nothing happens when the log cannot be reached.
void ReportToEventLog(NoticeLevel level, const std::string& text);

// The system's text of an error code, with the code: "Access is denied (5)".
std::string SystemErrorText(unsigned long code);

// %ProgramData%\kavro: kavro's own data shared by every user of the PC
// (created when missing, as far as the caller may); empty when the system
// names no such folder.
std::string ProgramDataDirectory();

class Win32LifecycleSink : public LifecycleSink {
 public:
  // `toTraceLog` writes a line to the trace log (when it is on); the
  // program wires it, since the trace log is a room above this one.
  using TraceWriter = std::function<void(NoticeLevel, const std::string&)>;
  explicit Win32LifecycleSink(TraceWriter toTraceLog);
  ~Win32LifecycleSink() override;
  // Remembers start failures in the file `path`, reading what an earlier
  // start left there.
  void RememberFailuresIn(const std::string& path);

  void Notice(NoticeLevel level, const std::string& text) override;
  std::string ErrorText(int code) override { return SystemErrorText(static_cast<unsigned long>(code)); }
  void StartSucceeded() override { memory_.Succeeded(); }
  uint32_t StartFailed() override { return memory_.Failed(); }
  void LinkUp() override { memory_.LinkUp(); }

 private:
  void Write(NoticeLevel level, const std::string& text);

  TraceWriter toTraceLog_;
  std::mutex mutex_;
  std::unique_ptr<StartFailureFile> file_;
  StartFailureMemory memory_;
};

}  // namespace kavro::platform
