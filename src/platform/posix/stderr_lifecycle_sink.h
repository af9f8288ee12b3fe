// Lifecycle lines on standard error, each with a syslog priority prefix
// ("<3>", "<4>", "<6>") that journald turns into the entry's priority.
#pragma once

#include "platform/lifecycle_sink.h"

namespace kavro::platform {

class StderrLifecycleSink : public LifecycleSink {
 public:
  // `quiet` drops the informational lines; warnings and errors still go out.
  explicit StderrLifecycleSink(bool quiet = false) : quiet_(quiet) {}
  void Notice(NoticeLevel level, const std::string& text) override;
  std::string ErrorText(int code) override;

 private:
  bool quiet_;
};

}  // namespace kavro::platform
