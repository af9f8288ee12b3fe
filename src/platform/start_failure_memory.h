// A start that fails the same way as the last one (the same first error
// line: the same cause on the same device) is not told again: under a
// supervisor or a loop that starts the program again, an unplugged cable or
// a busy port would otherwise fill the operator's log with the same lines
// every few seconds. The last failure is remembered in a small file; a
// repeat writes one debug line, and the error line again, with the count,
// once every 10 minutes. Each repeat also waits longer before giving up:
// 2 s, doubling up to 60 s. One logic for every platform; only where the
// file lives and how it is replaced belong to the platform.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
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

// The file, as the platform keeps it: the whole text replaced at once, so a
// reader never sees half a record.
class StartFailureFile {
 public:
  virtual ~StartFailureFile() = default;
  virtual bool Read(std::string& text) = 0;
  // False on failure, with the reason in `why`.
  virtual bool Replace(const std::string& text, std::string& why) = 0;
  virtual void Remove() = 0;
  virtual std::string Where() const = 0;
};

class StartFailureMemory {
 public:
  using Writer = std::function<void(NoticeLevel, const std::string&)>;
  using Clock = std::function<time_t()>;
  // `write` puts out a line of the memory's own; `quiet` leaves out its
  // debug lines.
  explicit StartFailureMemory(Writer write, bool quiet = false, Clock clock = nullptr);

  // Remembers in `file` from now on, reading what an earlier start left.
  void Use(StartFailureFile* file);
  // Whether a line of the sink goes out: after a repeated cause, the rest of
  // that start's story is the same too, and only informational lines pass.
  bool Admit(NoticeLevel level, const std::string& text);
  void Succeeded();
  // How long the process waits before it ends the failed start.
  uint32_t Failed();
  void LinkUp();

  static bool Parse(const std::string& text, StartFailureRecord& record);
  static std::string Format(const StartFailureRecord& record);

 private:
  Writer write_;
  bool quiet_;
  Clock clock_;
  std::mutex mutex_;
  StartFailureFile* file_ = nullptr;
  StartFailureRecord last_;
  // From the start of the process until the link is opened or given up.
  bool starting_ = true;
  // This start's first error line, and whether it repeats the last failure.
  std::string cause_;
  bool repeat_ = false;
};

}  // namespace kavro::platform
