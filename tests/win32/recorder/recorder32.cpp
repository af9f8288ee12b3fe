// A companion DLL for the end-to-end tests of kavro.exe: it records every
// call as one line of the file named by KAVRO_RECORD_FILE (a Windows path),
// so that a test can read what the driver delivered, in order, even when
// the process ends right after its last call.
//
//   payload AA HEX    a payload taken: AA the address byte, HEX its bytes
//   event N           a link event, N in decimal
//
// Built twice: with both ordinals, and (KAVRO_RECORDER_ONE_ORDINAL) as a
// library that lacks ordinal 8, which the driver must refuse to run with.
#include <cstdint>
#include <cstdlib>
#include <string>

#include <windows.h>

namespace {

void AppendLine(const std::string& line) {
  char path[MAX_PATH] = {};
  if (GetEnvironmentVariableA("KAVRO_RECORD_FILE", path, sizeof path) == 0) return;
  // Append-only access: the lines of the two calling threads never mix.
  HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

extern "C" int32_t __stdcall DeliverPayload(uint32_t address, void* payload, uint32_t length) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string line = "payload ";
  line += kHex[(address >> 4) & 0xF];
  line += kHex[address & 0xF];
  if (length > 0) {
    line += ' ';
    const auto* bytes = static_cast<const uint8_t*>(payload);
    for (uint32_t i = 0; i < length; ++i) {
      line += kHex[bytes[i] >> 4];
      line += kHex[bytes[i] & 0xF];
    }
  }
  AppendLine(line + "\n");
  // The block comes from msvcrt.dll's malloc, as this library's free is.
  std::free(payload);
  return 1;
}

extern "C" void __stdcall SignalLinkEvent(uint32_t code) { AppendLine("event " + std::to_string(code) + "\n"); }
