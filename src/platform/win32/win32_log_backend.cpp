#include "platform/win32/win32_log_backend.h"

#include <windows.h>

namespace kavro::platform {

namespace {

// Append-only access: every WriteFile goes to the end of the file as it is
// at that moment, so lines of the two threads and of other processes never
// overwrite each other, without a lock or a seek that could race.
HANDLE OpenForAppend(const std::string& path) {
  return CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

}  // namespace

bool Win32LogBackend::CanOpenExisting(const std::string& path) {
  HANDLE file = OpenForAppend(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

bool Win32LogBackend::AppendExisting(const std::string& path, const char* data, size_t size) {
  // Opened anew for every line: deleting the file while running stops the
  // file lines, and nothing is held back in a buffer.
  HANDLE file = OpenForAppend(path);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr);
  CloseHandle(file);
  return ok && written == size;
}

void Win32LogBackend::DebugOutput(const char* data, size_t size) {
  std::string line(data, size);
  OutputDebugStringA(line.c_str());
}

LocalTime Win32LogBackend::Now() {
  SYSTEMTIME t{};
  GetLocalTime(&t);
  return LocalTime{t.wDay, t.wMonth, t.wYear, t.wHour, t.wMinute, t.wSecond};
}

std::string Win32LogBackend::ExecutableBaseName() {
  char path[MAX_PATH + 1] = {};
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return "kavro";
  std::string name(path, n);
  const size_t separator = name.find_last_of("\\/:");
  if (separator != std::string::npos) name.erase(0, separator + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

std::string Win32LogBackend::SystemDirectory() {
  char directory[MAX_PATH + 1] = {};
  const UINT n = GetSystemDirectoryA(directory, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::string path(directory, n);
  if (path.back() != '\\') path += '\\';
  return path;
}

}  // namespace kavro::platform
