// The trace log's operating-system side on Linux: the log file, standard
// error as the debugger output, local time, /proc/self/exe.
#pragma once

#include "platform/log_backend.h"

namespace kavro::platform {

class PosixLogBackend : public LogBackend {
 public:
  bool CanOpenExisting(const std::string& path) override;
  bool AppendExisting(const std::string& path, const char* data, size_t size) override;
  void DebugOutput(const char* data, size_t size) override;
  LocalTime Now() override;
  std::string ExecutableBaseName() override;
};

}  // namespace kavro::platform
