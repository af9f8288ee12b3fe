// Lifecycle lines on standard error, each with a syslog priority prefix
// ("<3>", "<4>", "<6>", "<7>") that journald turns into the entry's priority.
//
// A start that fails the same way as the last one is told once, then every
// 10 minutes with a count, and waits longer each time (start_failure_memory.h);
// the last failure is remembered in a small file of the run directory.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/lifecycle_sink.h"
#include "platform/start_failure_memory.h"

namespace kavro::platform {

class StderrLifecycleSink : public LifecycleSink {
 public:
  // `quiet` drops the informational lines; warnings and errors still go out.
  explicit StderrLifecycleSink(bool quiet = false);
  ~StderrLifecycleSink() override;
  // Remembers start failures in the file `path` (in the run directory),
  // reading what an earlier run left there.
  void RememberFailuresIn(const std::string& path);

  void Notice(NoticeLevel level, const std::string& text) override;
  std::string ErrorText(int code) override;
  void StartSucceeded() override;
  uint32_t StartFailed() override;
  void LinkUp() override;

 private:
  void Write(NoticeLevel level, const std::string& text);

  bool quiet_;
  std::mutex mutex_;
  std::unique_ptr<StartFailureFile> file_;
  StartFailureMemory memory_;
};

}  // namespace kavro::platform
