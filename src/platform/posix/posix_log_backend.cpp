#include "platform/posix/posix_log_backend.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace kavro::platform {

namespace {
// Never blocks and never takes a terminal: a log path that names a FIFO
// without a reader, or a tty, must not stall or capture the link driver.
// Regular files ignore O_NONBLOCK.
constexpr int kLogOpenFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
}  // namespace

bool PosixLogBackend::StandardErrorIsJournal() {
  // systemd names the device and inode of the stream it connects standard
  // error to; a standard error redirected since then no longer matches.
  const char* stream = getenv("JOURNAL_STREAM");
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (stream == nullptr || sscanf(stream, "%llu:%llu", &device, &inode) != 2) return false;
  struct stat st {};
  return fstat(STDERR_FILENO, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

bool PosixLogBackend::CanOpenExisting(const std::string& path) {
  int fd = open(path.c_str(), kLogOpenFlags);
  if (fd < 0) return false;
  close(fd);
  return true;
}

bool PosixLogBackend::AppendExisting(const std::string& path, const char* data, size_t size) {
  // Opened anew for every line, as the log is meant to be: deleting the file
  // while running stops the file lines, and nothing is buffered.
  int fd = open(path.c_str(), kLogOpenFlags);
  if (fd < 0) return false;
  ssize_t n;
  do {
    n = write(fd, data, size);
  } while (n < 0 && errno == EINTR);
  close(fd);
  return n == static_cast<ssize_t>(size);
}

void PosixLogBackend::DebugOutput(const char* data, size_t size) {
  if (!debugOutput_) return;
  // CR LF ends the lines of the log file; a terminal, a pipe or a file
  // wants LF alone.
  std::string text;
  text.reserve(size);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] != '\r') text += data[i];
  }
  ssize_t n;
  do {
    n = write(STDERR_FILENO, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
}

LocalTime PosixLogBackend::Now() {
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  return LocalTime{tm.tm_mday, tm.tm_mon + 1, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec};
}

std::string PosixLogBackend::ExecutableBaseName() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "kavro";
  path[n] = '\0';
  std::string name(path);
  // An executable replaced while running (a package upgrade) reads back with
  // this mark; the program's name is still the part before it.
  const std::string deleted = " (deleted)";
  if (name.size() > deleted.size() && name.compare(name.size() - deleted.size(), deleted.size(), deleted) == 0) {
    name.erase(name.size() - deleted.size());
  }
  size_t slash = name.rfind('/');
  if (slash != std::string::npos) name.erase(0, slash + 1);
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

}  // namespace kavro::platform
