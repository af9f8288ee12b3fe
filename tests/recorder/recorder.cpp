// A companion library for the end-to-end tests: it records every call as one
// line of the file named by KAVRO_RECORD_FILE, so that a test can read what
// the link driver delivered, in order, while the driver runs.
//
//   payload AA HEX    a payload taken: AA the address byte, HEX its bytes,
//                     both in upper-case hexadecimal (no HEX when empty)
//   refused AA HEX    a payload refused because KAVRO_RECORD_REFUSE=1
//   event N           a link event, N in decimal
//
// Each line is appended with one write on a file opened with O_APPEND, so the
// lines of the two calling threads never interleave and a reader never sees
// half a line that is still to be completed by a later write.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#define RECORDER_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

void AppendLine(const std::string& line) {
  const char* path = std::getenv("KAVRO_RECORD_FILE");
  if (path == nullptr || *path == '\0') return;
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t written = write(fd, line.data(), line.size());
  (void)written;  // Nothing to tell the driver; the test sees the gap.
  close(fd);
}

bool Refusing() {
  const char* refuse = std::getenv("KAVRO_RECORD_REFUSE");
  return refuse != nullptr && std::strcmp(refuse, "1") == 0;
}

}  // namespace

RECORDER_EXPORT int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) {
  static const char kHex[] = "0123456789ABCDEF";
  bool refuse = Refusing();
  std::string line = refuse ? "refused " : "payload ";
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
  line += '\n';
  AppendLine(line);
  if (refuse) return -1;  // The caller keeps the block and frees it.
  std::free(payload);
  return 1;
}

RECORDER_EXPORT void SignalLinkEvent(uint32_t code) { AppendLine("event " + std::to_string(code) + "\n"); }
