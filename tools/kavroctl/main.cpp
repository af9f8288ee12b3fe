// kavroctl: the command-line client of a running kavro. It sends payloads and
// commands to the control socket and listens to the payloads and link events
// that the default companion library hands out.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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
#include "command_line.h"
#include "ctl_protocol.h"

namespace {

using namespace kavro::ctl;
using kavro::tools::ParseHexBytes;

// kavro answers on its main thread between timer expiries; an answer that
// takes longer than this means the process is stuck, not busy.
constexpr int ANSWER_TIMEOUT_SECONDS = 10;

// How often `listen --follow` tries to reach a kavro that is not there: soon
// enough to catch a restart by its service, rare enough to cost nothing.
constexpr int FOLLOW_RETRY_MS = 200;

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

// Connects a SOCK_SEQPACKET socket to `path`; -1 with errno set when
// nothing listens there.
int TryConnect(const std::string& path) {
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
    errno = error;
    return -1;
  }
  return fd;
}

bool PermissionDenied(int error) { return error == EACCES || error == EPERM; }

// Exits with code 3 and a message that says what to do when nothing listens
// at `path`.
int ConnectOrExit(const std::string& runDir, const std::string& path) {
  int fd = TryConnect(path);
  if (fd < 0) {
    int error = errno;
    Fail(EXIT_UNREACHABLE, UnreachableMessage(runDir, path, std::strerror(error), PermissionDenied(error)));
  }
  return fd;
}

enum class AnswerOutcome { Answered, ClosedWithoutAnswer };

struct Answer {
  AnswerOutcome outcome = AnswerOutcome::Answered;
  int32_t result = 0;
  // The whole answer packet.
  std::vector<uint8_t> bytes;
};

// Room for the status answer, the only one longer than an i32.
constexpr size_t ANSWER_BUFFER = 4096;

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

  std::vector<uint8_t> buffer(ANSWER_BUFFER);
  ssize_t received;
  do {
    received = recv(fd, buffer.data(), buffer.size(), MSG_TRUNC);
  } while (received < 0 && errno == EINTR);
  int error = errno;
  close(fd);
  if (received == 0) return {AnswerOutcome::ClosedWithoutAnswer, 0, {}};
  if (received < 0) {
    if (error == EAGAIN || error == EWOULDBLOCK) {
      Fail(EXIT_UNREACHABLE,
           "kavroctl: kavro on " + runDir + " did not answer within " + std::to_string(ANSWER_TIMEOUT_SECONDS) + " s");
    }
    if (error == ECONNRESET) return {AnswerOutcome::ClosedWithoutAnswer, 0, {}};
    Fail(EXIT_UNREACHABLE, "kavroctl: no answer from " + path + ": " + std::strerror(error));
  }
  if (message == MSG_STATUS && static_cast<size_t>(received) <= buffer.size()) {
    buffer.resize(static_cast<size_t>(received));
    return {AnswerOutcome::Answered, 1, std::move(buffer)};
  }
  auto result = ParseAnswer(buffer.data(), static_cast<size_t>(received));
  if (!result) {
    Fail(EXIT_UNREACHABLE, "kavroctl: " + path + " gave a malformed answer of " + std::to_string(received) +
                               " bytes; is this a kavro control socket?");
  }
  return {AnswerOutcome::Answered, *result, {}};
}

std::vector<uint8_t> ReadAll(std::istream& in) {
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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
    throw UsageError{"kavroctl: the payload has " + std::to_string(bytes.size()) +
                     " bytes; a request carries at most " + std::to_string(MAX_REQUEST_DATA)};
  }
  return bytes;
}

int ExitForResult(int32_t result) { return result == 0 ? EXIT_REFUSED : EXIT_OK; }

// The end of --timeout; max() without one.
using Deadline = std::chrono::steady_clock::time_point;

// Milliseconds to the deadline for poll: -1 without one, 0 once it passed.
int MillisecondsLeft(const Deadline& deadline) {
  if (deadline == Deadline::max()) return -1;
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(left.count(), INT32_MAX));
}

// The errno of a failed send, or 0.
int SendCredit(int fd, uint64_t count) {
  for (const auto& packet : BuildCreditRequests(count)) {
    ssize_t sent;
    do {
      sent = send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent < 0) return errno;
  }
  return 0;
}

enum class ListenEnd { Done, Closed };

// Prints the records of one connection until the count or the deadline is
// reached (Done) or the connection ends (Closed: kavro ended, or refused the
// client). `onFirstRecord` runs when the first record arrives, which is when
// the library has taken this client in.
template <typename OnFirstRecord>
ListenEnd ListenOn(int fd, const Options& options, const Deadline& deadline, uint64_t& seen,
                   OnFirstRecord onFirstRecord) {
  // A record is at most the 8-byte head and a 16-bit length of payload.
  std::vector<uint8_t> buffer(8 + 65536);
  bool first = true;
  while (!options.count || seen < *options.count) {
    int waitMs = MillisecondsLeft(deadline);
    if (waitMs == 0) return ListenEnd::Done;
    pollfd pfd{fd, POLLIN, 0};
    int ready = poll(&pfd, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return ListenEnd::Closed;
    }
    if (ready == 0) continue;
    ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ListenEnd::Closed;
    }
    if (n == 0) return ListenEnd::Closed;  // kavro closed the socket: the link has ended
    if (first) {
      first = false;
      onFirstRecord();
    }
    size_t size = std::min(static_cast<size_t>(n), buffer.size());
    auto record = DecodeRecord(buffer.data(), size);
    if (!record) {
      std::fprintf(stderr, "kavroctl: ignored a malformed record of %zu bytes\n", size);
      continue;
    }
    if (record->kind == RECORD_LINK_STATE) continue;
    PrintLine(options.json ? FormatRecordJson(*record) : FormatRecordText(*record));
    ++seen;
  }
  return ListenEnd::Done;
}

int RunListen(const Options& options) {
  const std::string& runDir = options.runDir;
  const std::string path = SocketPath(runDir, DELIVERY_SOCKET_NAME);
  // Beyond some thirty years the conversion to clock ticks would overflow;
  // such a timeout is none.
  const Deadline deadline =
      options.timeout && *options.timeout < 1e9
          ? std::chrono::steady_clock::now() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                   std::chrono::duration<double>(*options.timeout))
          : Deadline::max();
  uint64_t seen = 0;
  // One line when kavro cannot be reached and one when it can again, not
  // one per attempt: a restart by the service is routine.
  bool waiting = false;
  auto pause = [&] {
    int waitMs = MillisecondsLeft(deadline);
    poll(nullptr, 0, waitMs < 0 ? FOLLOW_RETRY_MS : std::min(waitMs, FOLLOW_RETRY_MS));
  };
  while (MillisecondsLeft(deadline) != 0) {
    int fd = TryConnect(path);
    if (fd < 0) {
      int error = errno;
      // A socket kavroctl may not open stays so across restarts.
      if (!options.follow || PermissionDenied(error)) {
        Fail(EXIT_UNREACHABLE, UnreachableMessage(runDir, path, std::strerror(error), PermissionDenied(error)));
      }
      if (!waiting) {
        std::fprintf(stderr, "kavroctl: no kavro is running on %s (cannot connect to %s: %s); trying every %d ms\n",
                     runDir.c_str(), path.c_str(), std::strerror(error), FOLLOW_RETRY_MS);
        waiting = true;
      }
      pause();
      continue;
    }
    // With a count, take exactly what is still to be printed: what this
    // listener would not print stays with the library for the next client.
    // The grant goes out before anything is read, as the library expects.
    if (options.count) {
      if (int error = SendCredit(fd, *options.count - seen); error != 0) {
        close(fd);
        if (!options.follow) {
          Fail(EXIT_UNREACHABLE, "kavroctl: cannot send the credit to " + path + ": " + std::strerror(error));
        }
        pause();
        continue;
      }
    }
    ListenEnd end = ListenOn(fd, options, deadline, seen, [&] {
      if (waiting) std::fprintf(stderr, "kavroctl: connected to kavro on %s\n", runDir.c_str());
      waiting = false;
    });
    close(fd);
    if (end == ListenEnd::Done || !options.follow) break;
    if (!waiting) {
      std::fprintf(stderr, "kavroctl: lost kavro on %s; reconnecting every %d ms\n", runDir.c_str(), FOLLOW_RETRY_MS);
      waiting = true;
    }
    pause();
  }
  return EXIT_OK;
}

std::string DefaultRunDir() {
  const char* env = std::getenv("KAVRO_RUN_DIR");
  return env && *env ? env : "/run/kavro";
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);

  CommandLine commandLine(DefaultRunDir());
  try {
    commandLine.Parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = commandLine.app.exit(e);
    return code == 0 ? EXIT_OK : EXIT_USAGE;
  }
  const Options& options = commandLine.options;
  const std::string& runDir = options.runDir;
  const bool verbose = options.verbose;

  try {
    if (commandLine.send->parsed()) {
      uint8_t address = ParseAddress(options.address);
      std::vector<uint8_t> payload = LoadPayload(options.sendSource);
      if (payload.empty()) throw UsageError{"kavroctl: send needs at least one payload byte"};
      Answer answer = SendRequest(runDir, MSG_COPYDATA, PayloadWord(address), payload);
      if (answer.outcome == AnswerOutcome::ClosedWithoutAnswer) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro closed the connection without an answer");
      }
      if (verbose) std::printf("result %d\n", answer.result);
      if (answer.result == 0) std::fprintf(stderr, "%s\n", RefusalMessage(payload.size()).c_str());
      return ExitForResult(answer.result);
    }
    if (commandLine.service->parsed()) {
      Answer answer = SendRequest(runDir, MSG_COPYDATA, WORD_SERVICE, {});
      if (answer.outcome == AnswerOutcome::ClosedWithoutAnswer) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro closed the connection without an answer");
      }
      if (verbose) std::printf("result %d\n", answer.result);
      if (answer.result == 0) std::fprintf(stderr, "kavroctl: the service request could not be repeated\n");
      return ExitForResult(answer.result);
    }
    if (commandLine.close->parsed()) {
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
    if (commandLine.command->parsed()) {
      uint32_t word = ParseWord(options.word, "the command word");
      uint32_t message = ParseWord(options.message, "the message");
      std::vector<uint8_t> data = LoadPayload(options.commandSource);
      Answer answer = SendRequest(runDir, message, word, data);
      if (answer.outcome == AnswerOutcome::ClosedWithoutAnswer) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro closed the connection without an answer");
      }
      std::printf("%d\n", answer.result);
      return ExitForResult(answer.result);
    }
    if (commandLine.listen->parsed()) return RunListen(options);
    if (commandLine.status->parsed()) {
      Answer answer = SendRequest(runDir, MSG_STATUS, 0, {});
      if (answer.outcome == AnswerOutcome::ClosedWithoutAnswer) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro closed the connection without an answer");
      }
      auto status = ParseStatus(answer.bytes.data(), answer.bytes.size());
      if (!status) {
        Fail(EXIT_UNREACHABLE,
             "kavroctl: kavro on " + runDir + " gave no status record; it may be older than this kavroctl");
      }
      std::fputs((options.json ? FormatStatusJson(*status) + "\n" : FormatStatusText(*status)).c_str(), stdout);
      return EXIT_OK;
    }
  } catch (const UsageError& e) {
    std::fprintf(stderr, "%s\n", e.message.c_str());
    return EXIT_USAGE;
  }
  return EXIT_USAGE;
}
