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
#include "../common/unix_socket.h"
#include "command_line.h"
#include "ctl_protocol.h"
#include "subcommands.h"

namespace {

using namespace kavro::ctl;

// kavro answers on its main thread between timer expiries; an answer that
// takes longer than this means the process is stuck, not busy.
constexpr int ANSWER_TIMEOUT_SECONDS = 10;

// How often `listen --follow` tries to reach a kavro that is not there: soon
// enough to catch a restart by its service, rare enough to cost nothing.
constexpr int FOLLOW_RETRY_MS = 200;

using kavro::tools::SocketPath;

// Connects a SOCK_SEQPACKET socket to `path`; -1 with errno set when
// nothing listens there.
int TryConnect(const std::string& path) {
  const int fd = kavro::tools::ConnectSeqpacket(path);
  if (fd < 0 && errno == ENAMETOOLONG) {
    Fail(EXIT_USAGE, "kavroctl: the socket path " + path + " is too long for a Unix socket; use a shorter --run-dir");
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
  if (received == 0) return {false, 0, {}};
  if (received < 0) {
    if (error == EAGAIN || error == EWOULDBLOCK) {
      Fail(EXIT_UNREACHABLE,
           "kavroctl: kavro on " + runDir + " did not answer within " + std::to_string(ANSWER_TIMEOUT_SECONDS) + " s");
    }
    if (error == ECONNRESET) return {false, 0, {}};
    Fail(EXIT_UNREACHABLE, "kavroctl: no answer from " + path + ": " + std::strerror(error));
  }
  if (message == MSG_STATUS && static_cast<size_t>(received) <= buffer.size()) {
    buffer.resize(static_cast<size_t>(received));
    return {true, 1, std::move(buffer)};
  }
  auto result = ParseAnswer(buffer.data(), static_cast<size_t>(received));
  if (!result) {
    Fail(EXIT_UNREACHABLE, "kavroctl: " + path + " gave a malformed answer of " + std::to_string(received) +
                               " bytes; is this a kavro control socket?");
  }
  return {true, *result, {}};
}

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

// Prints the records of one connection until the count is reached (Done),
// the deadline passes (TimedOut) or the connection ends (Closed: kavro
// ended, or refused the client). `onFirstRecord` runs when the first record arrives, which is when
// the library has taken this client in.
template <typename OnFirstRecord>
ListenEnd ListenOn(int fd, const Options& options, const Deadline& deadline, uint64_t& seen,
                   OnFirstRecord onFirstRecord) {
  // A record is at most the 8-byte head and a 16-bit length of payload.
  std::vector<uint8_t> buffer(8 + 65536);
  bool first = true;
  while (!options.count || seen < *options.count) {
    int waitMs = MillisecondsLeft(deadline);
    if (waitMs == 0) return ListenEnd::TimedOut;
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
    if (record->kind == RECORD_LINK_STATE) {
      if (options.state) PrintLine(options.json ? FormatRecordJson(*record) : FormatRecordText(*record));
      continue;
    }
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
  ListenEnd end = ListenEnd::TimedOut;
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
    end = ListenOn(fd, options, deadline, seen, [&] {
      if (waiting) std::fprintf(stderr, "kavroctl: connected to kavro on %s\n", runDir.c_str());
      waiting = false;
    });
    close(fd);
    if (end != ListenEnd::Closed || !options.follow) break;
    end = ListenEnd::TimedOut;
    if (!waiting) {
      std::fprintf(stderr, "kavroctl: lost kavro on %s; reconnecting every %d ms\n", runDir.c_str(), FOLLOW_RETRY_MS);
      waiting = true;
    }
    pause();
  }
  std::string message;
  const int code = ListenExitCode(options, seen, end, &message);
  if (!message.empty()) std::fprintf(stderr, "%s\n", message.c_str());
  return code;
}

std::string DefaultRunDir() {
  const char* env = std::getenv("KAVRO_RUN_DIR");
  return env && *env ? env : "/run/kavro";
}

// The control socket and the companion library's socket in the run
// directory.
class SocketDriver : public Driver {
 public:
  explicit SocketDriver(const Options& options) : options_(options) {}
  Answer Request(uint32_t message, uint32_t word, const std::vector<uint8_t>& data) override {
    return SendRequest(options_.runDir, message, word, data);
  }
  Answer Status() override { return SendRequest(options_.runDir, MSG_STATUS, 0, {}); }
  int Listen(const Options& options) override { return RunListen(options); }
  std::vector<uint8_t> ReadStandardInput() override {
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }

 private:
  const Options& options_;
};

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  CommandLine commandLine(DefaultRunDir());
  SocketDriver driver(commandLine.options);
  return RunKavroctl(commandLine, argc, argv, driver);
}
