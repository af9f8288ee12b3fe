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

// The file in the run directory: written beside and renamed over it.
class RunDirFailureFile : public StartFailureFile {
 public:
  explicit RunDirFailureFile(std::string path) : path_(std::move(path)) {}
  bool Read(std::string& text) override {
    std::ifstream in(path_);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
  }
  bool Replace(const std::string& text, std::string& why) override {
    const std::string temporary = path_ + ".new";
    const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
      why = strerror(errno);
      return false;
    }
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int error = errno;
    close(fd);
    if (!written || rename(temporary.c_str(), path_.c_str()) != 0) {
      why = strerror(written ? errno : error);
      unlink(temporary.c_str());
      return false;
    }
    return true;
  }
  void Remove() override { unlink(path_.c_str()); }
  std::string Where() const override { return path_; }

 private:
  std::string path_;
};

}  // namespace

StderrLifecycleSink::StderrLifecycleSink(bool quiet)
    : quiet_(quiet), memory_([this](NoticeLevel level, const std::string& text) { Write(level, text); }, quiet) {}

StderrLifecycleSink::~StderrLifecycleSink() { memory_.Use(nullptr); }

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
  file_ = std::make_unique<RunDirFailureFile>(path);
  memory_.Use(file_.get());
}

void StderrLifecycleSink::Notice(NoticeLevel level, const std::string& text) {
  if (quiet_ && (level == NoticeLevel::Info || level == NoticeLevel::Debug)) return;
  if (memory_.Admit(level, text)) Write(level, text);
}

void StderrLifecycleSink::StartSucceeded() { memory_.Succeeded(); }

uint32_t StderrLifecycleSink::StartFailed() { return memory_.Failed(); }

void StderrLifecycleSink::LinkUp() { memory_.LinkUp(); }

}  // namespace kavro::platform
