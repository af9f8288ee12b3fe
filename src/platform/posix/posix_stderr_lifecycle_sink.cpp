#include "platform/posix/posix_stderr_lifecycle_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace kavro::platform {

namespace {

std::string ClockText(time_t when) {
  struct tm tm {};
  localtime_r(&when, &tm);
  char text[32];
  strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
  return text;
}

std::string Seconds(uint32_t ms) { return std::to_string(ms / 1000) + " s"; }

}  // namespace

void StderrLifecycleSink::Write(NoticeLevel level, const std::string& text) {
  // One write per line: the receive thread and the main thread both report,
  // and the trace log's debugger output shares the descriptor.
  const std::string line = "<" + std::to_string(static_cast<int>(level)) + ">kavro: " + text + "\n";
  ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
  (void)ignored;
}

std::string StderrLifecycleSink::ErrorText(int code) {
  char buffer[256] = {};
  // The GNU strerror_r may return a static text instead of filling buffer.
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return text ? text : "error " + std::to_string(code);
}

void StderrLifecycleSink::RememberFailuresIn(const std::string& path) {
  std::lock_guard lock(mutex_);
  memoryPath_ = path;
  last_ = StartFailureRecord{};
  ReadRecord(path, last_);
}

void StderrLifecycleSink::Notice(NoticeLevel level, const std::string& text) {
  if (quiet_ && (level == NoticeLevel::Info || level == NoticeLevel::Debug)) return;
  std::lock_guard lock(mutex_);
  if (starting_ && !memoryPath_.empty() && level == NoticeLevel::Error && cause_.empty()) {
    cause_ = text;
    repeat_ = last_.count > 0 && text == last_.cause;
  }
  // After a repeated cause, the rest of that start's story is the same too.
  if (repeat_ && starting_ && level != NoticeLevel::Info) return;
  Write(level, text);
}

void StderrLifecycleSink::StartSucceeded() {
  std::lock_guard lock(mutex_);
  starting_ = false;
}

uint32_t StderrLifecycleSink::StartFailed() {
  std::lock_guard lock(mutex_);
  starting_ = false;
  if (memoryPath_.empty()) return 0;
  // A start that failed without an error line of its own still counts.
  const std::string cause = cause_.empty() ? "the start failed" : cause_;
  const time_t now = time(nullptr);
  StartFailureRecord record;
  if (repeat_ || (cause_.empty() && last_.count > 0 && last_.cause == cause)) {
    record = last_;
    record.count += 1;
    record.waitMs =
        record.waitMs == 0 ? START_FAILURE_FIRST_WAIT_MS : std::min(record.waitMs * 2, START_FAILURE_MAX_WAIT_MS);
    // A clock set back must not silence the line for good.
    if (now - record.reported >= START_FAILURE_REPORT_SECONDS || now < record.reported) {
      Write(NoticeLevel::Error, cause + " (" + std::to_string(record.count) + " failed starts since " +
                                    ClockText(record.since) + "; now retried every " + Seconds(record.waitMs) +
                                    " or so)");
      record.reported = now;
    } else if (!quiet_) {
      Write(NoticeLevel::Debug, "the same start failure, " + std::to_string(record.count) + " times in a row since " +
                                    ClockText(record.since) + ": waiting " + Seconds(record.waitMs) +
                                    " before giving up");
    }
  } else {
    // A new cause: its lines went out; the next repeat waits.
    record.cause = cause;
    record.count = 1;
    record.since = now;
    record.reported = now;
    record.waitMs = 0;
  }
  if (!WriteRecord(memoryPath_, record)) {
    Write(NoticeLevel::Warning, "cannot remember the start failure in " + memoryPath_ + ": " + ErrorText(errno));
  }
  last_ = record;
  return record.waitMs;
}

void StderrLifecycleSink::LinkUp() {
  std::lock_guard lock(mutex_);
  starting_ = false;
  if (last_.count == 0 || memoryPath_.empty()) return;
  unlink(memoryPath_.c_str());
  last_ = StartFailureRecord{};
}

bool StderrLifecycleSink::ReadRecord(const std::string& path, StartFailureRecord& record) {
  std::ifstream in(path);
  if (!in) return false;
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    const unsigned long long number = strtoull(value.c_str(), nullptr, 10);
    if (name == "cause")
      record.cause = value;
    else if (name == "count")
      record.count = static_cast<uint32_t>(number);
    else if (name == "since")
      record.since = static_cast<time_t>(number);
    else if (name == "reported")
      record.reported = static_cast<time_t>(number);
    else if (name == "wait_ms")
      record.waitMs = static_cast<uint32_t>(std::min<unsigned long long>(number, START_FAILURE_MAX_WAIT_MS));
  }
  return !record.cause.empty();
}

bool StderrLifecycleSink::WriteRecord(const std::string& path, const StartFailureRecord& record) {
  std::string cause = record.cause;
  std::replace(cause.begin(), cause.end(), '\n', ' ');
  std::ostringstream text;
  text << "cause=" << cause << "\ncount=" << record.count << "\nsince=" << static_cast<long long>(record.since)
       << "\nreported=" << static_cast<long long>(record.reported) << "\nwait_ms=" << record.waitMs << "\n";
  const std::string body = text.str();
  // Written beside and renamed over it: a reader never sees half a record.
  const std::string temporary = path + ".new";
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  const bool written = write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
  close(fd);
  if (!written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

}  // namespace kavro::platform
