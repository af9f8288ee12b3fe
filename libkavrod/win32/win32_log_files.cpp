#include "win32_log_files.h"

#include <windows.h>

#include <cstdio>
#include <ctime>

namespace kavrod32 {

namespace {

constexpr const char* kLockName = "lock";

// Every handle shares reading and deleting, so that a segment can be
// removed while the reader still has it open.
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_DELETE;

class Win32LogFile final : public kavrod::LogFile {
 public:
  Win32LogFile(HANDLE file, uint64_t size) : file_(file), end_(size) {}
  ~Win32LogFile() override { CloseHandle(file_); }

  int Append(const void* data, size_t size) override {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      OVERLAPPED at{};
      at.Offset = static_cast<DWORD>(end_);
      at.OffsetHigh = static_cast<DWORD>(end_ >> 32);
      DWORD written = 0;
      const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
      if (!WriteFile(file_, p, chunk, &written, &at)) return static_cast<int>(GetLastError());
      if (written == 0) return ERROR_WRITE_FAULT;
      end_ += written;
      p += written;
      size -= written;
    }
    return 0;
  }
  int Sync() override { return FlushFileBuffers(file_) ? 0 : static_cast<int>(GetLastError()); }
  int ReadAt(uint64_t offset, void* data, size_t size, size_t* got) override {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    const DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    if (!ReadFile(file_, data, chunk, &n, &at)) {
      const DWORD error = GetLastError();
      if (error != ERROR_HANDLE_EOF) return static_cast<int>(error);
    }
    *got = n;
    return 0;
  }
  int Truncate(uint64_t size) override {
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(file_, to, nullptr, FILE_BEGIN) || !SetEndOfFile(file_)) {
      return static_cast<int>(GetLastError());
    }
    end_ = size;
    return 0;
  }
  int Size(uint64_t* size) override {
    LARGE_INTEGER s;
    if (!GetFileSizeEx(file_, &s)) return static_cast<int>(GetLastError());
    *size = static_cast<uint64_t>(s.QuadPart);
    return 0;
  }

 private:
  const HANDLE file_;
  // Where the next append goes: the log has one writer at a time.
  uint64_t end_;
};

bool MakeDirectories(const std::string& path, std::string* error) {
  for (size_t pos = 0; pos != std::string::npos;) {
    pos = path.find_first_of("\\/", pos + 1);
    const std::string part = path.substr(0, pos);
    if (part.empty() || part.back() == ':') continue;
    if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      *error = part + ": error " + std::to_string(GetLastError());
      return false;
    }
  }
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    *error = path + ": not a folder";
    return false;
  }
  return true;
}

class Win32LogDirectory final : public kavrod::LogDirectory {
 public:
  explicit Win32LogDirectory(std::string path) : path_(std::move(path)) {}
  ~Win32LogDirectory() override {
    if (lock_ != INVALID_HANDLE_VALUE) CloseHandle(lock_);
  }

  bool Lock(std::string* error) override {
    if (!MakeDirectories(path_, error)) {
      *error = "cannot create the record log folder " + *error;
      return false;
    }
    const std::string lock = path_ + "\\" + kLockName;
    // No sharing at all: a second kavro.exe cannot open it while this
    // handle lives, and the system closes it when the process ends.
    lock_ = CreateFileA(lock.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                        nullptr);
    if (lock_ == INVALID_HANDLE_VALUE) {
      const DWORD e = GetLastError();
      *error = e == ERROR_SHARING_VIOLATION
                   ? "the record log " + path_ + " is in use by another kavro; give each link a folder of its own"
                   : "cannot open " + lock + ": " + Describe(static_cast<int>(e));
      return false;
    }
    return true;
  }

  bool List(const char* suffix, std::vector<std::string>* names, std::string* error) override {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path_ + "\\*" + suffix).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_FILE_NOT_FOUND) return true;
      *error = "cannot read the record log folder " + path_ + ": " + Describe(static_cast<int>(GetLastError()));
      return false;
    }
    do {
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names->push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return true;
  }

  std::unique_ptr<kavrod::LogFile> Open(const std::string& name, bool create, int* error) override {
    const std::string file = path_ + "\\" + name;
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                           create ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      *error = static_cast<int>(GetLastError());
      return nullptr;
    }
    LARGE_INTEGER size{};
    GetFileSizeEx(h, &size);
    return std::make_unique<Win32LogFile>(h, static_cast<uint64_t>(size.QuadPart));
  }

  int Remove(const std::string& name) override {
    return DeleteFileA((path_ + "\\" + name).c_str()) ? 0 : static_cast<int>(GetLastError());
  }

  bool SetAside(const std::vector<std::string>& names, std::string* where, std::string* error) override {
    char stamp[64];
    const std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "set-aside-%Y%m%dT%H%M%SZ", std::gmtime(&now));
    std::string folder = path_ + "\\" + stamp;
    for (int i = 1; !CreateDirectoryA(folder.c_str(), nullptr); ++i) {
      if (GetLastError() != ERROR_ALREADY_EXISTS || i > 100) {
        *error = folder + ": " + Describe(static_cast<int>(GetLastError()));
        return false;
      }
      folder = path_ + "\\" + stamp + "-" + std::to_string(i);
    }
    for (const std::string& name : names) {
      if (!MoveFileA((path_ + "\\" + name).c_str(), (folder + "\\" + name).c_str()) &&
          GetLastError() != ERROR_FILE_NOT_FOUND) {
        *error = name + ": " + Describe(static_cast<int>(GetLastError()));
        return false;
      }
    }
    *where = folder;
    return true;
  }

  std::string Describe(int error) const override {
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                   static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
    return s.empty() ? "error " + std::to_string(error) : s + " (error " + std::to_string(error) + ")";
  }
  std::string Path() const override { return path_; }

 private:
  const std::string path_;
  HANDLE lock_ = INVALID_HANDLE_VALUE;
};

}  // namespace

std::unique_ptr<kavrod::LogDirectory> NewWin32LogDirectory(const std::string& path) {
  return std::make_unique<Win32LogDirectory>(path);
}

}  // namespace kavrod32
