// The trace log's operating-system side on Linux: the log file, standard
// error as the debugger output, local time, /proc/self/exe.
//
// The debugger output copies each trace line to standard error, with LF
// line ends, for whoever runs kavro by hand. Under systemd, standard error
// is the journal: the trace log file is then the lines' only home, so that
// the journal keeps the lifecycle lines and is not doubled by the trace.
#pragma once

#include "platform/log_backend.h"

namespace kavro::platform {

class PosixLogBackend : public LogBackend {
 public:
  PosixLogBackend() : debugOutput_(!StandardErrorIsJournal()) {}
  // True when standard error is the stream systemd connected to the journal.
  static bool StandardErrorIsJournal();
  bool CanOpenExisting(const std::string& path) override;
  bool AppendExisting(const std::string& path, const char* data, size_t size) override;
  void DebugOutput(const char* data, size_t size) override;
  LocalTime Now() override;
  std::string ExecutableBaseName() override;

 private:
  bool debugOutput_;
};

}  // namespace kavro::platform
