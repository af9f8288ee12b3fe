// Lifecycle lines on standard error, each with a syslog priority prefix
// ("<3>", "<4>", "<6>", "<7>") that journald turns into the entry's priority.
//
// A start that fails the same way as the last one (the same first error
// line: the same cause on the same device) is not written again: under a
// supervisor that restarts the process, an unplugged cable would otherwise
// fill the journal with the same two lines every few seconds. The last
// failure is remembered in a small file of the run directory; a repeat
// writes one debug line, and the error line again, with the count, once
// every 10 minutes. Each repeat also waits longer before giving up: 2 s,
// doubling up to 60 s.
#pragma once

#include <cstdint>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/lifecycle_sink.h"

namespace kavro::platform {

// What the file of the last start failure holds.
struct StartFailureRecord {
  std::string cause;    // the failed start's first error line
  uint32_t count = 0;   // starts in a row that failed with it
  time_t since = 0;     // when the first of them failed
  time_t reported = 0;  // when the error line was last written
  uint32_t waitMs = 0;  // how long the last of them waited
};

constexpr uint32_t START_FAILURE_FIRST_WAIT_MS = 2000;
constexpr uint32_t START_FAILURE_MAX_WAIT_MS = 60000;
constexpr time_t START_FAILURE_REPORT_SECONDS = 600;

class StderrLifecycleSink : public LifecycleSink {
 public:
  // `quiet` drops the informational lines; warnings and errors still go out.
  explicit StderrLifecycleSink(bool quiet = false) : quiet_(quiet) {}
  // Remembers start failures in the file `path` (in the run directory),
  // reading what an earlier run left there.
  void RememberFailuresIn(const std::string& path);

  void Notice(NoticeLevel level, const std::string& text) override;
  std::string ErrorText(int code) override;
  void StartSucceeded() override;
  uint32_t StartFailed() override;
  void LinkUp() override;

  static bool ReadRecord(const std::string& path, StartFailureRecord& record);
  static bool WriteRecord(const std::string& path, const StartFailureRecord& record);

 private:
  void Write(NoticeLevel level, const std::string& text);

  bool quiet_;
  std::mutex mutex_;
  std::string memoryPath_;
  StartFailureRecord last_;
  // From the start of the process until the link is opened or given up.
  bool starting_ = true;
  // This start's first error line, and whether it repeats the last failure.
  std::string cause_;
  bool repeat_ = false;
};

}  // namespace kavro::platform
