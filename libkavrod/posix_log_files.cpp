#include "posix_log_files.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace kavrod {

namespace {

// The lock file inside the log directory; left in place.
constexpr const char* kLockName = "lock";

class PosixLogFile final : public LogFile {
 public:
  explicit PosixLogFile(int fd) : fd_(fd) {}
  ~PosixLogFile() override { close(fd_); }

  int Append(const void* data, size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t n = write(fd_, p, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        return errno;
      }
      if (n == 0) return EIO;
      p += n;
      size -= static_cast<size_t>(n);
    }
    return 0;
  }
  int Sync() override { return fdatasync(fd_) == 0 ? 0 : errno; }
  int ReadAt(uint64_t offset, void* data, size_t size, size_t* got) override {
    for (;;) {
      const ssize_t n = pread(fd_, data, size, static_cast<off_t>(offset));
      if (n >= 0) {
        *got = static_cast<size_t>(n);
        return 0;
      }
      if (errno != EINTR) return errno;
    }
  }
  int Truncate(uint64_t size) override { return ftruncate(fd_, static_cast<off_t>(size)) == 0 ? 0 : errno; }
  int Size(uint64_t* size) override {
    struct stat st {};
    if (fstat(fd_, &st) != 0) return errno;
    *size = static_cast<uint64_t>(st.st_size);
    return 0;
  }

 private:
  const int fd_;
};

bool MakeDirectories(const std::string& path, std::string* error) {
  for (size_t pos = 1; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    const std::string part = path.substr(0, pos);
    if (mkdir(part.c_str(), 0750) != 0 && errno != EEXIST) {
      *error = part + ": " + std::strerror(errno);
      return false;
    }
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = path + ": not a directory";
    return false;
  }
  return true;
}

class PosixLogDirectory final : public LogDirectory {
 public:
  explicit PosixLogDirectory(std::string path) : path_(std::move(path)) {}
  ~PosixLogDirectory() override {
    if (lock_fd_ >= 0) close(lock_fd_);
  }

  bool Lock(std::string* error) override {
    if (!MakeDirectories(path_, error)) {
      *error = "cannot create the record log directory " + *error;
      return false;
    }
    const std::string lock = path_ + "/" + kLockName;
    lock_fd_ = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
    if (lock_fd_ < 0) {
      *error = "cannot open " + lock + ": " + std::strerror(errno) + "; give kavro's account write access to " + path_;
      return false;
    }
    if (flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
      *error = errno == EWOULDBLOCK ? "the record log " + path_ + " is in use by another kavro; give each link a log directory of its own"
                                    : "cannot lock " + lock + ": " + std::strerror(errno);
      close(lock_fd_);
      lock_fd_ = -1;
      return false;
    }
    return true;
  }

  bool List(const char* suffix, std::vector<std::string>* names, std::string* error) override {
    DIR* dir = opendir(path_.c_str());
    if (dir == nullptr) {
      *error = "cannot read the record log directory " + path_ + ": " + std::strerror(errno);
      return false;
    }
    const size_t n = std::strlen(suffix);
    while (const dirent* e = readdir(dir)) {
      const std::string name = e->d_name;
      if (name.size() > n && name.compare(name.size() - n, n, suffix) == 0) names->push_back(name);
    }
    closedir(dir);
    return true;
  }

  std::unique_ptr<LogFile> Open(const std::string& name, bool create, int* error) override {
    const std::string file = path_ + "/" + name;
    const int flags = O_RDWR | O_APPEND | O_CLOEXEC | O_NOFOLLOW | (create ? O_CREAT | O_TRUNC : 0);
    const int fd = open(file.c_str(), flags, 0640);
    if (fd < 0) {
      *error = errno;
      return nullptr;
    }
    if (create) {
      // The new name must survive a power loss with the data written to it.
      const int dir = open(path_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (dir >= 0) {
        fsync(dir);
        close(dir);
      }
    }
    return std::make_unique<PosixLogFile>(fd);
  }

  int Remove(const std::string& name) override {
    return unlink((path_ + "/" + name).c_str()) == 0 ? 0 : errno;
  }

  bool SetAside(const std::vector<std::string>& names, std::string* where, std::string* error) override {
    char stamp[64];
    const std::time_t now = std::time(nullptr);
    std::tm tm {};
    gmtime_r(&now, &tm);
    std::strftime(stamp, sizeof stamp, "set-aside-%Y%m%dT%H%M%SZ", &tm);
    std::string folder = path_ + "/" + stamp;
    for (int i = 1; mkdir(folder.c_str(), 0750) != 0; ++i) {
      if (errno != EEXIST || i > 100) {
        *error = folder + ": " + std::strerror(errno);
        return false;
      }
      folder = path_ + "/" + stamp + "-" + std::to_string(i);
    }
    for (const std::string& name : names) {
      if (rename((path_ + "/" + name).c_str(), (folder + "/" + name).c_str()) != 0 && errno != ENOENT) {
        *error = name + ": " + std::strerror(errno);
        return false;
      }
    }
    *where = folder;
    return true;
  }

  std::string Describe(int error) const override { return std::strerror(error); }
  std::string Path() const override { return path_; }

 private:
  const std::string path_;
  int lock_fd_ = -1;
};

}  // namespace

std::unique_ptr<LogDirectory> NewPosixLogDirectory(const std::string& path) {
  return std::make_unique<PosixLogDirectory>(path);
}

}  // namespace kavrod
