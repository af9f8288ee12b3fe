// What the trace log needs from the operating system: the log file (appended
// to, never created), the debugger output, local time and the executable's
// base name.
#pragma once

#include <cstddef>
#include <string>

namespace kavro::platform {

struct LocalTime {
  int day = 1;      // 1..31
  int month = 1;    // 1..12
  int year = 2000;  // full year
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class LogBackend {
 public:
  virtual ~LogBackend() = default;
  // True when `path` exists and can be opened for writing (never created).
  virtual bool CanOpenExisting(const std::string& path) = 0;
  // Appends `size` bytes to the existing file `path` in one write, so that
  // lines of two threads or processes never overwrite each other.
  virtual bool AppendExisting(const std::string& path, const char* data, size_t size) = 0;
  // The stand-in for the debugger output (standard error on Linux).
  virtual void DebugOutput(const char* data, size_t size) = 0;
  virtual LocalTime Now() = 0;
  // The base name of the running executable, without directory or extension.
  virtual std::string ExecutableBaseName() = 0;
};

}  // namespace kavro::platform
