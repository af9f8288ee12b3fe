// Where the few lifecycle lines go: what is opened, the link coming up and
// ending, and why a start failed. They are for the operator (the journal
// under a service manager) and are written whether or not the trace log is
// on. The system's error text of an error code comes from here too, since
// only the platform layer knows what its codes mean.
#pragma once

#include <cstdint>
#include <string>

namespace kavro::platform {

// Numbered as syslog numbers them, so that a journal reading standard error
// takes the priority from the line's prefix.
enum class NoticeLevel { Error = 3, Warning = 4, Info = 6, Debug = 7 };

class LifecycleSink {
 public:
  virtual ~LifecycleSink() = default;
  // One line, without a trailing newline.
  virtual void Notice(NoticeLevel level, const std::string& text) = 0;
  // The system's text for an error code a platform call reported.
  virtual std::string ErrorText(int code) = 0;

  // How the start ended. A sink that remembers start failures across runs
  // keeps quiet about one that repeats the last, and tells how long the
  // process waits before it gives up the failed start (a supervisor that
  // restarts it at once then retries ever more slowly); 0 ends it at once.
  virtual void StartSucceeded() {}
  virtual uint32_t StartFailed() { return 0; }
  // The link came up: a failure that follows is a new one.
  virtual void LinkUp() {}
};

// Drops every line: for tests and for builds without an operator's channel.
class NullLifecycleSink : public LifecycleSink {
 public:
  void Notice(NoticeLevel, const std::string&) override {}
  std::string ErrorText(int code) override { return "error " + std::to_string(code); }
};

}  // namespace kavro::platform
