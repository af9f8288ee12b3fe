#include "platform/start_failure_memory.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace kavro::platform {

namespace {

std::mutex clockTextMutex;

std::string ClockText(time_t when) {
  // std::localtime shares one result among its callers.
  std::lock_guard<std::mutex> lock(clockTextMutex);
  const struct tm* tm = std::localtime(&when);
  if (tm == nullptr) return std::to_string(static_cast<long long>(when));
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", tm);
  return text;
}

std::string Seconds(uint32_t ms) { return std::to_string(ms / 1000) + " s"; }

}  // namespace

StartFailureMemory::StartFailureMemory(Writer write, bool quiet, Clock clock)
    : write_(std::move(write)), quiet_(quiet), clock_(clock ? std::move(clock) : Clock([] { return std::time(nullptr); })) {}

void StartFailureMemory::Use(StartFailureFile* file) {
  std::lock_guard<std::mutex> lock(mutex_);
  file_ = file;
  last_ = StartFailureRecord{};
  std::string text;
  if (file_ != nullptr && file_->Read(text)) Parse(text, last_);
}

bool StartFailureMemory::Admit(NoticeLevel level, const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (starting_ && file_ != nullptr && level == NoticeLevel::Error && cause_.empty()) {
    cause_ = text;
    repeat_ = last_.count > 0 && text == last_.cause;
  }
  return !(repeat_ && starting_ && level != NoticeLevel::Info);
}

void StartFailureMemory::Succeeded() {
  std::lock_guard<std::mutex> lock(mutex_);
  starting_ = false;
}

uint32_t StartFailureMemory::Failed() {
  std::lock_guard<std::mutex> lock(mutex_);
  starting_ = false;
  if (file_ == nullptr) return 0;
  // A start that failed without an error line of its own still counts.
  const std::string cause = cause_.empty() ? "the start failed" : cause_;
  const time_t now = clock_();
  StartFailureRecord record;
  if (repeat_ || (cause_.empty() && last_.count > 0 && last_.cause == cause)) {
    record = last_;
    record.count += 1;
    record.waitMs =
        record.waitMs == 0 ? START_FAILURE_FIRST_WAIT_MS : std::min(record.waitMs * 2, START_FAILURE_MAX_WAIT_MS);
    // A clock set back must not silence the line for good.
    if (now - record.reported >= START_FAILURE_REPORT_SECONDS || now < record.reported) {
      write_(NoticeLevel::Error, cause + " (" + std::to_string(record.count) + " failed starts since " +
                                     ClockText(record.since) + "; now retried every " + Seconds(record.waitMs) +
                                     " or so)");
      record.reported = now;
    } else if (!quiet_) {
      write_(NoticeLevel::Debug, "the same start failure, " + std::to_string(record.count) + " times in a row since " +
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
  std::string why;
  if (!file_->Replace(Format(record), why)) {
    write_(NoticeLevel::Warning, "cannot remember the start failure in " + file_->Where() + ": " + why);
  }
  last_ = record;
  return record.waitMs;
}

void StartFailureMemory::LinkUp() {
  std::lock_guard<std::mutex> lock(mutex_);
  starting_ = false;
  if (last_.count == 0 || file_ == nullptr) return;
  file_->Remove();
  last_ = StartFailureRecord{};
}

bool StartFailureMemory::Parse(const std::string& text, StartFailureRecord& record) {
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    const unsigned long long number = std::strtoull(value.c_str(), nullptr, 10);
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

std::string StartFailureMemory::Format(const StartFailureRecord& record) {
  std::string cause = record.cause;
  std::replace(cause.begin(), cause.end(), '\n', ' ');
  std::replace(cause.begin(), cause.end(), '\r', ' ');
  std::ostringstream text;
  text << "cause=" << cause << "\ncount=" << record.count << "\nsince=" << static_cast<long long>(record.since)
       << "\nreported=" << static_cast<long long>(record.reported) << "\nwait_ms=" << record.waitMs << "\n";
  return text.str();
}

}  // namespace kavro::platform
