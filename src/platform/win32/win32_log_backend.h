// The trace log's operating-system side on Windows: kavro.log in the system
// directory, appended through a handle opened with FILE_APPEND_DATA only,
// OutputDebugStringA as the debugger output, local time, the module's name.
#pragma once

#include <string>

#include "platform/log_backend.h"

namespace kavro::platform {

class Win32LogBackend : public LogBackend {
 public:
  bool CanOpenExisting(const std::string& path) override;
  bool AppendExisting(const std::string& path, const char* data, size_t size) override;
  void DebugOutput(const char* data, size_t size) override;
  LocalTime Now() override;
  std::string ExecutableBaseName() override;

  // The Windows system directory with a trailing backslash, where the log
  // lives ("C:\Windows\System32\"; a 32-bit program on 64-bit Windows is
  // shown SysWOW64 there). Empty when the system cannot tell.
  static std::string SystemDirectory();
};

}  // namespace kavro::platform
