// kavroctl: the command-line client of a running kavro. It sends payloads and
// commands to the control socket and listens to the payloads and link events
// that the default companion library hands out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "../common/hex_text.h"
#include "ctl_protocol.h"

namespace {

using namespace kavro::ctl;
using kavro::tools::ParseHexBytes;
using kavro::tools::ParseNumber;

// kavro answers on its main thread between timer expiries; an answer that
// takes longer than this means the process is stuck, not busy.
constexpr int ANSWER_TIMEOUT_SECONDS = 10;

struct UsageError {
  std::string message;
};

[[noreturn]] void Fail(int code, const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(code);
}

// One line per record, flushed at once so that a script reading a pipe sees
// every record as it comes; a reader that went away ends the listener quietly.
void PrintLine(const std::string& line) {
  if (std::fputs(line.c_str(), stdout) < 0 || std::fputc('\n', stdout) < 0 || std::fflush(stdout) != 0) {
    std::exit(EXIT_OK);
  }
}

std::string SocketPath(const std::string& runDir, const char* name) {
  std::string dir = runDir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir + "/" + name;
}

// Connects a SOCK_SEQPACKET socket to `path`; exits with code 3 and a message
// that says what to do when nothing listens there.
int ConnectOrExit(const std::string& runDir, const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    Fail(EXIT_USAGE, "kavroctl: the socket path " + path + " is too long for a Unix socket; use a shorter --run-dir");
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) Fail(EXIT_UNREACHABLE, std::string("kavroctl: cannot create a socket: ") + std::strerror(errno));
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    close(fd);
    Fail(EXIT_UNREACHABLE, UnreachableMessage(runDir, path, std::strerror(error), error == EACCES || error == EPERM));
  }
  return fd;
}

enum class AnswerOutcome { Answered, ClosedWithoutAnswer };

struct Answer {
  AnswerOutcome outcome = AnswerOutcome::Answered;
  int32_t result = 0;
};

Answer SendRequest(const std::string& runDir, uint32_t message, uint32_t word, const std::vector<uint8_t>& data) {
  const std::string path = SocketPath(runDir, CONTROL_SOCKET_NAME);
  int fd = ConnectOrExit(runDir, path);
  timeval timeout{ANSWER_TIMEOUT_SECONDS, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

  const std::vector<uint8_t> packet = BuildRequest(message, word, data);
  ssize_t sent;
  do {
    sent = send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    int error = errno;
    close(fd);
    Fail(EXIT_UNREACHABLE, "kavroctl: cannot send the request to " + path + ": " + std::strerror(error));
  }

  uint8_t buffer[16];
  ssize_t received;
  do {
    received = recv(fd, buffer, sizeof buffer, MSG_TRUNC);
  } while (received < 0 && errno == EINTR);
  int error = errno;
  close(fd);
  if (received == 0) return {AnswerOutcome::ClosedWithoutAnswer, 0};
  if (received < 0) {
    if (error == EAGAIN || error == EWOULDBLOCK) {
      Fail(EXIT_UNREACHABLE, "kavroctl: kavro on " + runDir + " did not answer within " +
                                 std::to_string(ANSWER_TIMEOUT_SECONDS) + " s");
    }
    if (error == ECONNRESET) return {AnswerOutcome::ClosedWithoutAnswer, 0};
    Fail(EXIT_UNREACHABLE, "kavroctl: no answer from " + path + ": " + std::strerror(error));
  }
  auto result = ParseAnswer(buffer, static_cast<size_t>(received));
  if (!result) {
    Fail(EXIT_UNREACHABLE, "kavroctl: " + path + " gave a malformed answer of " + std::to_string(received) +
                               " bytes; is this a kavro control socket?");
  }
  return {AnswerOutcome::Answered, *result};
}

std::vector<uint8_t> ReadAll(std::istream& in) {
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The payload of `send` and `command`: hex words on the command line, or the
// contents of a file or of standard input (raw bytes, or hex text with --hex).
struct PayloadSource {
  std::vector<std::string> hexWords;
  std::string file;
  bool fromStdin = false;
  bool hexInput = false;
};

std::vector<uint8_t> LoadPayload(const PayloadSource& source) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!source.file.empty() || source.fromStdin) {
    std::vector<uint8_t> raw;
    if (!source.file.empty()) {
      std::ifstream in(source.file, std::ios::binary);
      if (!in) throw UsageError{"kavroctl: cannot read " + source.file + ": " + std::strerror(errno)};
      raw = ReadAll(in);
    } else {
      raw = ReadAll(std::cin);
    }
    if (!source.hexInput) {
      bytes = std::move(raw);
    } else {
      auto parsed = ParseHexBytes(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()), &error);
      if (!parsed) throw UsageError{"kavroctl: " + error};
      bytes = std::move(*parsed);
    }
  } else {
    std::string joined;
    for (const auto& word : source.hexWords) joined += word + " ";
    auto parsed = ParseHexBytes(joined, &error);
    if (!parsed) throw UsageError{"kavroctl: " + error};
    bytes = std::move(*parsed);
  }
  if (bytes.size() > MAX_REQUEST_DATA) {
    throw UsageError{"kavroctl: the payload has " + std::to_string(bytes.size()) + " bytes; a request carries at most " +
                     std::to_string(MAX_REQUEST_DATA)};
  }
  return bytes;
}

void AddPayloadOptions(CLI::App* command, PayloadSource& source, const char* hexHelp) {
  auto* hex = command->add_option("HEX", source.hexWords, hexHelp);
  auto* file = command->add_option("--file", source.file, "take the bytes from the file F (raw bytes)")
                   ->option_text("F");
  auto* in = command->add_flag("--stdin", source.fromStdin, "take the bytes from standard input (raw bytes)");
  command->add_flag("--hex", source.hexInput, "the file or standard input holds hex text, not raw bytes");
  hex->excludes(file)->excludes(in);
  file->excludes(in);
}

int ExitForResult(int32_t result) { return result == 0 ? EXIT_REFUSED : EXIT_OK; }

int RunListen(const std::string& runDir, bool json, std::optional<uint64_t> count, std::optional<double> timeout) {
  const std::string path = SocketPath(runDir, DELIVERY_SOCKET_NAME);
  int fd = ConnectOrExit(runDir, path);
  // With a count, take exactly that many: what this listener would not print
  // stays with the library for the next client. The grant goes out before
  // anything is read, as the library expects.
  if (count) {
    for (const auto& packet : BuildCreditRequests(*count)) {
      ssize_t sent;
      do {
        sent = send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
      } while (sent < 0 && errno == EINTR);
      if (sent < 0) {
        int error = errno;
        close(fd);
        Fail(EXIT_UNREACHABLE, "kavroctl: cannot send the credit to " + path + ": " + std::strerror(error));
      }
    }
  }
  const auto deadline = timeout ? std::optional(std::chrono::steady_clock::now() +
                                                std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                    std::chrono::duration<double>(*timeout)))
                                : std::nullopt;
  // A record is at most the 8-byte head and a 16-bit length of payload.
  std::vector<uint8_t> buffer(8 + 65536);
  uint64_t seen = 0;
  while (!count || seen < *count) {
    int waitMs = -1;
    if (deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      waitMs = static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX));
    }
    pollfd pfd{fd, POLLIN, 0};
    int ready = poll(&pfd, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (ready == 0) continue;
    ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (n == 0) break;  // kavro closed the socket: the link has ended
    size_t size = std::min(static_cast<size_t>(n), buffer.size());
    auto record = DecodeRecord(buffer.data(), size);
    if (!record) {
      std::fprintf(stderr, "kavroctl: ignored a malformed record of %zu bytes\n", size);
      continue;
    }
    if (record->kind == RECORD_LINK_STATE) continue;
    PrintLine(json ? FormatRecordJson(*record) : FormatRecordText(*record));
    ++seen;
  }
  close(fd);
  return EXIT_OK;
}

std::string DefaultRunDir() {
  const char* env = std::getenv("KAVRO_RUN_DIR");
  return env && *env ? env : "/run/kavro";
}

uint32_t ParseWordOrThrow(const std::string& text, const char* what, uint64_t max = UINT32_MAX) {
  auto value = ParseNumber(text, max);
  if (!value) {
    throw UsageError{"kavroctl: " + std::string(what) + " \"" + text + "\" is not a number from 0 to " +
                     std::to_string(max) + " (hex with 0x, or decimal)"};
  }
  return static_cast<uint32_t>(*value);
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);

  CLI::App app{"kavroctl: send payloads and commands to a running kavro, and listen to what it receives."};
  app.name("kavroctl");
  app.footer(
      "Exit codes:\n"
      "  0  success\n"
      "  1  kavro answered 0 (the payload or command was refused)\n"
      "  2  usage error\n"
      "  3  kavro cannot be reached (not running, wrong --run-dir, no permission, no answer)\n"
      "\n"
      "Examples:\n"
      "  kavroctl send --address 0x20 41 42 43\n"
      "  kavroctl listen --json --count 1 --timeout 5\n"
      "  kavroctl close");
  app.set_version_flag("--version", std::string("kavroctl ") + KAVRO_VERSION);
  app.require_subcommand(1);

  std::string runDir = DefaultRunDir();
  bool verbose = false;
  app.add_option("--run-dir", runDir, "directory of kavro's sockets (env KAVRO_RUN_DIR, default /run/kavro)")
      ->option_text("DIR");
  app.add_flag("-v,--verbose", verbose, "print the result of every request");

  auto* sendCmd = app.add_subcommand("send", "send a payload to the PBX (exit 1 when kavro refuses it)");
  std::string addressText = "0";
  PayloadSource sendSource;
  sendCmd->add_option("--address", addressText, "address byte of the payload, 0..255 (default 0)")
      ->option_text("N");
  AddPayloadOptions(sendCmd, sendSource, "payload bytes in hex: \"41 42 43\" or 414243");

  auto* serviceCmd = app.add_subcommand("service", "repeat the service request to the PBX");

  auto* closeCmd = app.add_subcommand("close", "ask kavro to take the link down and exit");

  auto* commandCmd = app.add_subcommand("command", "send any command word with optional data; prints the result");
  std::string wordText;
  std::string messageText = "0x4A";
  PayloadSource commandSource;
  commandCmd->add_option("WORD", wordText, "the 32-bit command word (hex with 0x, or decimal)")->required();
  commandCmd->add_option("--message", messageText, "the message number (default 0x4A, the data transfer)")
      ->option_text("M");
  AddPayloadOptions(commandCmd, commandSource, "data bytes in hex");

  auto* listenCmd = app.add_subcommand("listen", "print the payloads and link events kavro delivers, as they come");
  bool json = false;
  std::optional<uint64_t> count;
  std::optional<double> timeout;
  listenCmd->add_flag("--json", json, "one JSON object per line");
  listenCmd->add_option("--count", count, "stop after N records")->option_text("N")->check(CLI::PositiveNumber);
  listenCmd->add_option("--timeout", timeout, "stop after S seconds")->option_text("S")->check(CLI::NonNegativeNumber);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? EXIT_OK : EXIT_USAGE;
  }

  try {
    if (sendCmd->parsed()) {
      uint32_t address = ParseWordOrThrow(addressText, "the address", 255);
      std::vector<uint8_t> payload = LoadPayload(sendSource);
      if (payload.empty()) throw UsageError{"kavroctl: send needs at least one payload byte"};
      Answer answer = SendRequest(runDir, MSG_COPYDATA, PayloadWord(address), payload);
      if (answer.outcome == AnswerOutcome::ClosedWithoutAnswer) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro closed the connection without an answer");
      }
      if (verbose) std::printf("result %d\n", answer.result);
      if (answer.result == 0) {
        std::fprintf(stderr, "kavroctl: the link driver refused the payload (queue full, too long or no memory)\n");
      }
      return ExitForResult(answer.result);
    }
    if (serviceCmd->parsed()) {
      Answer answer = SendRequest(runDir, MSG_COPYDATA, WORD_SERVICE, {});
      if (answer.outcome == AnswerOutcome::ClosedWithoutAnswer) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro closed the connection without an answer");
      }
      if (verbose) std::printf("result %d\n", answer.result);
      if (answer.result == 0) std::fprintf(stderr, "kavroctl: the service request could not be repeated\n");
      return ExitForResult(answer.result);
    }
    if (closeCmd->parsed()) {
      // The close request always answers 0; kavro may also be gone before the
      // answer reaches us, which is the close having worked.
      Answer answer = SendRequest(runDir, MSG_CLOSE, 0, {});
      if (verbose) {
        if (answer.outcome == AnswerOutcome::Answered) {
          std::printf("result %d\n", answer.result);
        } else {
          std::printf("kavro closed the connection\n");
        }
      }
      return EXIT_OK;
    }
    if (commandCmd->parsed()) {
      uint32_t word = ParseWordOrThrow(wordText, "the command word");
      uint32_t message = ParseWordOrThrow(messageText, "the message");
      std::vector<uint8_t> data = LoadPayload(commandSource);
      Answer answer = SendRequest(runDir, message, word, data);
      if (answer.outcome == AnswerOutcome::ClosedWithoutAnswer) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro closed the connection without an answer");
      }
      std::printf("%d\n", answer.result);
      return ExitForResult(answer.result);
    }
    if (listenCmd->parsed()) return RunListen(runDir, json, count, timeout);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "%s\n", e.message.c_str());
    return EXIT_USAGE;
  }
  return EXIT_USAGE;
}
