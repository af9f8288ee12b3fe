// kavro-pbx: a PBX simulator. By default it creates a pseudo-terminal and
// plays the PBX end of a serial link on it; with --tcp it is the PBX's TCP
// server. Received payloads go to standard output, one line each; payloads to
// send come from standard input (one hex line each) or from --pattern.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "../common/hex_text.h"
#include "pbx_engine.h"
#include "pbx_frames.h"
#include "pbx_tcp.h"

namespace {

using namespace kavro::pbx;

constexpr int EXIT_OK = 0;
constexpr int EXIT_ABNORMAL = 1;
constexpr int EXIT_USAGE = 2;

// After the link ended with DISC the link driver still closes its side; give
// it this long before the pseudo-terminal goes away under it.
constexpr int64_t LINGER_MS = 2000;
// While nobody holds the line open the master reports a hang-up on every
// poll; look again this often instead of spinning.
constexpr int64_t HANGUP_RECHECK_MS = 100;

volatile sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

void InstallSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: poll must return so the loop sees the flag
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

struct Settings {
  bool json = false;
  bool verbose = false;
  bool quiet = false;
  bool stay = false;
  bool printPathOnly = false;
  std::string pathFile;
  // Serial: each of our payloads the link driver acknowledged, one hex
  // line each, written as the acknowledgement comes.
  FILE* acked = nullptr;
};

void Log(const Settings& settings, const std::string& text) {
  if (!settings.quiet) std::fprintf(stderr, "kavro-pbx: %s\n", text.c_str());
}

void PrintLine(const std::string& line) {
  if (std::fputs(line.c_str(), stdout) < 0 || std::fputc('\n', stdout) < 0 || std::fflush(stdout) != 0) {
    // Whoever read our output is gone; the simulation has no one to report to.
    std::exit(EXIT_ABNORMAL);
  }
}

std::string FormatPayload(const Event& event, bool json) {
  if (json) {
    return "{\"kind\":\"payload\",\"address\":" + std::to_string(event.address) +
           ",\"length\":" + std::to_string(event.payload.size()) + ",\"hex\":\"" +
           kavro::tools::FormatHex(event.payload, false) + "\"}";
  }
  char head[64];
  std::snprintf(head, sizeof head, "payload addr=0x%02X len=%zu", event.address, event.payload.size());
  std::string line = head;
  if (!event.payload.empty()) line += " " + kavro::tools::FormatHex(event.payload, true);
  return line;
}

void Report(const Settings& settings, std::vector<Event> events) {
  for (const auto& event : events) {
    if (event.kind == EventKind::Acknowledged && settings.acked != nullptr) {
      std::fprintf(settings.acked, "%s\n", kavro::tools::FormatHex(event.payload, false).c_str());
      std::fflush(settings.acked);
    }
    if (event.kind == EventKind::Payload) {
      PrintLine(FormatPayload(event, settings.json));
    } else if (!event.detail || settings.verbose) {
      Log(settings, event.text);
    }
  }
}

// Writes the path (or port) for scripts: to a temporary file first, then
// renamed, so a script that waits for the file never reads half of it.
bool WriteAnnouncementFile(const std::string& file, const std::string& text) {
  const std::string temporary = file + ".tmp";
  FILE* out = std::fopen(temporary.c_str(), "w");
  if (!out) return false;
  bool ok = std::fprintf(out, "%s\n", text.c_str()) > 0;
  ok = std::fclose(out) == 0 && ok;
  return ok && std::rename(temporary.c_str(), file.c_str()) == 0;
}

// Bytes waiting for a non-blocking descriptor.
class Writer {
 public:
  void Add(const std::vector<uint8_t>& bytes) { pending_.insert(pending_.end(), bytes.begin(), bytes.end()); }
  bool Empty() const { return pending_.empty(); }
  void Clear() { pending_.clear(); }

  // False when the descriptor failed for good.
  bool Flush(int fd, bool socket) {
    while (!pending_.empty()) {
      ssize_t n = socket ? send(fd, pending_.data(), pending_.size(), MSG_NOSIGNAL)
                         : write(fd, pending_.data(), pending_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        return false;
      }
      pending_.erase(pending_.begin(), pending_.begin() + n);
    }
    return true;
  }

 private:
  std::vector<uint8_t> pending_;
};

// Standard input as a source of payloads: one hex line each; blank lines and
// lines starting with # are skipped.
class StdinPayloads {
 public:
  // Standard input stays blocking: it may be the user's terminal, shared with
  // the shell, which must not find it non-blocking afterwards. Read() is only
  // called after poll reported it readable and reads once.
  StdinPayloads(bool enabled, size_t maxLength) : open_(enabled), maxLength_(maxLength) {}
  bool Open() const { return open_; }

  template <typename Queue>
  void Read(const Settings& settings, Queue&& queue) {
    char buffer[4096];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      open_ = false;
      if (!line_.empty()) TakeLine(settings, queue);
      return;
    }
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] == '\n') {
        TakeLine(settings, queue);
      } else {
        line_.push_back(buffer[i]);
      }
    }
  }

 private:
  template <typename Queue>
  void TakeLine(const Settings& settings, Queue&& queue) {
    std::string line = std::move(line_);
    line_.clear();
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string::npos || line[first] == '#') return;
    std::string error;
    auto bytes = kavro::tools::ParseHexBytes(line, &error);
    if (!bytes) {
      Log(settings, "input line ignored: " + error);
    } else if (bytes->empty() || bytes->size() > maxLength_) {
      Log(settings, "input line ignored: a payload has 1 to " + std::to_string(maxLength_) + " bytes");
    } else {
      queue(std::move(*bytes));
    }
  }

  bool open_;
  size_t maxLength_;
  std::string line_;
};

int PollTimeout(std::optional<int64_t> deadline, int64_t now, int64_t cap = -1) {
  int64_t wait = -1;
  if (deadline) wait = std::max<int64_t>(0, *deadline - now);
  if (cap >= 0 && (wait < 0 || wait > cap)) wait = cap;
  return static_cast<int>(std::min<int64_t>(wait, 60000));
}

int RunSerial(const Settings& settings, const SerialOptions& options, bool readStdin, const std::string& symlinkPath) {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    std::fprintf(stderr, "kavro-pbx: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
    return EXIT_ABNORMAL;
  }
  char path[256];
  if (ptsname_r(master, path, sizeof path) != 0) {
    std::fprintf(stderr, "kavro-pbx: cannot name the pseudo-terminal: %s\n", std::strerror(errno));
    return EXIT_ABNORMAL;
  }
  // The line is raw from the start: CR must reach the link driver as CR, or
  // the service answer would never end a line on its side.
  termios tio{};
  if (tcgetattr(master, &tio) == 0) {
    cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(master, TCSANOW, &tio);
  }
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);

  if (!symlinkPath.empty()) {
    unlink(symlinkPath.c_str());
    if (symlink(path, symlinkPath.c_str()) != 0) {
      std::fprintf(stderr, "kavro-pbx: cannot create the link %s: %s\n", symlinkPath.c_str(), std::strerror(errno));
      return EXIT_ABNORMAL;
    }
  }
  if (!settings.pathFile.empty() && !WriteAnnouncementFile(settings.pathFile, path)) {
    std::fprintf(stderr, "kavro-pbx: cannot write %s: %s\n", settings.pathFile.c_str(), std::strerror(errno));
    return EXIT_ABNORMAL;
  }
  PrintLine(settings.printPathOnly ? std::string(path) : "kavro-pbx: serial line ready on " + std::string(path));

  SerialEngine engine(options);
  StdinPayloads input(readStdin, MAX_PAYLOAD);
  Writer writer;
  bool hungUp = false;
  // After a link ended with DISC the link driver closing the line is no news.
  bool hangupExpected = false;
  std::optional<int64_t> lingerUntil;
  int exitCode = EXIT_OK;

  auto finish = [&](int code) {
    if (!symlinkPath.empty()) unlink(symlinkPath.c_str());
    close(master);
    return code;
  };

  for (;;) {
    if (g_stop) return finish(EXIT_OK);
    int64_t now = NowMs();
    engine.Tick(now);
    for (auto& chunk : engine.TakeOutput()) writer.Add(chunk);
    Report(settings, engine.TakeEvents());
    if (!hungUp && !writer.Flush(master, false)) hungUp = true;

    if (engine.Ended()) {
      if (settings.stay) {
        Log(settings, "waiting for the next link driver on " + std::string(path));
        engine.Reset();
        hangupExpected = true;
      } else if (!lingerUntil) {
        lingerUntil = now + LINGER_MS;
        exitCode = engine.EndedNormally() ? EXIT_OK : EXIT_ABNORMAL;
      }
    }
    if (lingerUntil && (hungUp || now >= *lingerUntil)) return finish(exitCode);

    std::optional<int64_t> deadline = engine.NextDeadline();
    if (lingerUntil && (!deadline || *lingerUntil < *deadline)) deadline = lingerUntil;
    pollfd fds[2];
    nfds_t count = 0;
    if (!hungUp) fds[count++] = pollfd{master, static_cast<short>(POLLIN | (writer.Empty() ? 0 : POLLOUT)), 0};
    const nfds_t stdinIndex = count;
    if (input.Open()) fds[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
    int ready = poll(fds, count, PollTimeout(deadline, now, hungUp ? HANGUP_RECHECK_MS : -1));
    if (ready < 0 && errno != EINTR) {
      std::fprintf(stderr, "kavro-pbx: poll failed: %s\n", std::strerror(errno));
      return finish(EXIT_ABNORMAL);
    }

    // The master reports the line hung up until someone opens the slave
    // again; a read that no longer fails with EIO means someone has.
    uint8_t buffer[4096];
    bool tryRead = hungUp || (ready > 0 && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0);
    while (tryRead) {
      ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) {
        hungUp = false;
        engine.Receive(buffer, static_cast<size_t>(n), NowMs());
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        hungUp = false;
      } else {
        if (!hungUp && !engine.Ended() && !hangupExpected) {
          if (settings.stay) {
            Log(settings, "the line was hung up without a disconnect; waiting for the next link driver");
            engine.Reset();
            writer.Clear();
          } else {
            Log(settings, "the line was hung up without a disconnect");
            return finish(EXIT_ABNORMAL);
          }
        }
        hungUp = true;
        hangupExpected = false;
      }
      break;
    }
    for (auto& chunk : engine.TakeOutput()) writer.Add(chunk);
    Report(settings, engine.TakeEvents());

    if (ready > 0 && input.Open() && (fds[stdinIndex].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      input.Read(settings, [&engine](std::vector<uint8_t> payload) { engine.Queue(std::move(payload)); });
    }
  }
}

int ListenSocket(uint16_t port, uint16_t* bound) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 1) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  *bound = ntohs(address.sin_port);
  return fd;
}

// One connection from the link driver; returns the exit code it ends with.
int RunTcpSession(const Settings& settings, TcpEngine& engine, StdinPayloads& input, int client) {
  fcntl(client, F_SETFL, fcntl(client, F_GETFL) | O_NONBLOCK);
  Writer writer;
  engine.Reset();
  engine.Start(NowMs());
  for (;;) {
    if (g_stop) {
      close(client);
      return EXIT_OK;
    }
    int64_t now = NowMs();
    engine.Tick(now);
    for (auto& chunk : engine.TakeOutput()) writer.Add(chunk);
    Report(settings, engine.TakeEvents());
    if (!writer.Flush(client, true)) {
      Log(settings, std::string("connection lost: ") + std::strerror(errno));
      close(client);
      return EXIT_ABNORMAL;
    }
    if (engine.CloseWanted() && writer.Empty()) {
      // Half-close first and drain: closing with unread bytes would reset the
      // connection and could destroy frames the link driver has not read yet.
      shutdown(client, SHUT_WR);
      uint8_t sink[4096];
      const int64_t until = NowMs() + 1000;
      for (;;) {
        pollfd pfd{client, POLLIN, 0};
        int64_t left = until - NowMs();
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
        ssize_t n = recv(client, sink, sizeof sink, 0);
        if (n <= 0) break;
      }
      close(client);
      return EXIT_OK;
    }

    pollfd fds[2];
    nfds_t count = 0;
    fds[count++] = pollfd{client, static_cast<short>(POLLIN | (writer.Empty() ? 0 : POLLOUT)), 0};
    if (input.Open()) fds[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
    int ready = poll(fds, count, PollTimeout(engine.NextDeadline(), now));
    if (ready < 0 && errno != EINTR) {
      close(client);
      return EXIT_ABNORMAL;
    }
    if (ready <= 0) continue;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
      uint8_t buffer[4096];
      ssize_t n = recv(client, buffer, sizeof buffer, 0);
      if (n > 0) {
        engine.Receive(buffer, static_cast<size_t>(n), NowMs());
        Report(settings, engine.TakeEvents());
      } else if (n == 0) {
        Log(settings, "connection closed by the link driver");
        close(client);
        return EXIT_OK;
      } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        Log(settings, std::string("connection lost: ") + std::strerror(errno));
        close(client);
        return EXIT_ABNORMAL;
      }
    }
    if (count > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      input.Read(settings, [&engine](std::vector<uint8_t> payload) { engine.Queue(std::move(payload)); });
    }
  }
}

int RunTcp(const Settings& settings, const TcpOptions& options, uint16_t port, bool readStdin) {
  uint16_t bound = 0;
  int listener = ListenSocket(port, &bound);
  if (listener < 0) {
    std::fprintf(stderr, "kavro-pbx: cannot listen on 127.0.0.1:%u: %s\n", port, std::strerror(errno));
    return EXIT_ABNORMAL;
  }
  if (!settings.pathFile.empty() && !WriteAnnouncementFile(settings.pathFile, std::to_string(bound))) {
    std::fprintf(stderr, "kavro-pbx: cannot write %s: %s\n", settings.pathFile.c_str(), std::strerror(errno));
    return EXIT_ABNORMAL;
  }
  PrintLine(settings.printPathOnly ? std::to_string(bound)
                                   : "kavro-pbx: listening on 127.0.0.1:" + std::to_string(bound));

  TcpEngine engine(options);
  // A payload has 1 to 65535 bytes: the frame's length field has 16 bits.
  StdinPayloads input(readStdin, 65535);
  for (;;) {
    pollfd fds[2];
    nfds_t count = 0;
    fds[count++] = pollfd{listener, POLLIN, 0};
    if (input.Open()) fds[count++] = pollfd{STDIN_FILENO, POLLIN, 0};
    int ready = poll(fds, count, -1);
    if (g_stop) break;
    if (ready <= 0) continue;
    if (count > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      input.Read(settings, [&engine](std::vector<uint8_t> payload) { engine.Queue(std::move(payload)); });
    }
    if (!(fds[0].revents & POLLIN)) continue;
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int client = accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    if (client < 0) continue;
    char peerText[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &peer.sin_addr, peerText, sizeof peerText);
    Log(settings, "connection from " + std::string(peerText) + ":" + std::to_string(ntohs(peer.sin_port)));
    if (!settings.stay) {
      close(listener);
      return RunTcpSession(settings, engine, input, client);
    }
    RunTcpSession(settings, engine, input, client);
    if (g_stop) break;
    Log(settings, "waiting for the next link driver on 127.0.0.1:" + std::to_string(bound));
  }
  close(listener);
  return EXIT_OK;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "kavro-pbx: a PBX simulator for kavro. It plays the PBX end of a serial link on a new pseudo-terminal "
      "(default) or serves the PBX's TCP link (--tcp). Received payloads are printed on standard output, one "
      "line each; payloads to send are read from standard input, one hex line each (\"41 42 43\"), or made up "
      "with --pattern. Progress goes to standard error."};
  app.name("kavro-pbx");
  app.footer(
      "Exit codes:\n"
      "  0  the link ended normally (DISC answered, or the TCP connection closed), or a stop signal\n"
      "  1  the link ended otherwise (line hung up without DISC, DISC unanswered, connection reset),\n"
      "     or the pseudo-terminal or socket could not be set up\n"
      "  2  usage error\n"
      "\n"
      "Examples:\n"
      "  kavro-pbx --path-file /tmp/pbx.path --pattern 5\n"
      "  kavro-pbx --tcp 0 --port-file /tmp/pbx.port --keepalive-ms 5000");
  app.set_version_flag("--version", std::string("kavro-pbx ") + KAVRO_VERSION);

  Settings settings;
  SerialOptions serial;
  TcpOptions tcp;
  std::optional<uint16_t> tcpPort;
  std::string rate = "9600";
  std::string answer;
  std::string addressText = "0";
  std::string symlinkPath;
  uint32_t patternCount = 0;
  int64_t interval = 100;
  size_t patternLength = 4;
  uint32_t silentAfter = 0;
  uint32_t seed = 1;
  std::string ackedFile;

  // Shared by both modes.
  app.add_flag("--json", settings.json, "print received payloads as JSON objects, one per line");
  app.add_flag("-v,--verbose", settings.verbose, "report every frame exchanged on standard error");
  app.add_flag("-q,--quiet", settings.quiet, "report nothing on standard error");
  app.add_flag("--stay", settings.stay, "keep running after the link ends and serve the next link driver");
  app.add_flag("--print-path-only", settings.printPathOnly,
               "print only the device path (TCP: the port) as the first line");
  app.add_option("--pattern", patternCount, "send N test payloads once the link is up (no standard input then)")
      ->option_text("N");
  app.add_option("--pattern-length", patternLength, "bytes per test payload (default 4): k, k+1, ... for payload k")
      ->option_text("L")
      ->check(CLI::Range(1, 2038));
  app.add_option("--interval", interval, "milliseconds between test payloads (default 100)")
      ->option_text("MS")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--silent-after", silentAfter,
                 "serial: answer nothing after N received frames; TCP: send nothing after N sent frames")
      ->option_text("N");
  app.add_option("--seed", seed, "seed of the fault injection's random numbers (default 1)")->option_text("S");

  // Serial mode.
  auto* pathFileOpt =
      app.add_option("--path-file", settings.pathFile, "write the device path (TCP: use --port-file) to F")
          ->option_text("F");
  auto* numberedOpt = app.add_flag("--pattern-numbered", serial.patternNumbered,
                                   "serial: test payloads carry their number as text, counted on across link drivers");
  auto* ackedOpt = app.add_option("--acked-file", ackedFile,
                                  "serial: append each payload the link driver acknowledged to F, one hex line each")
                       ->option_text("F");
  auto* symlinkOpt = app.add_option("--symlink", symlinkPath, "serial: also make PATH a symbolic link to the device")
                         ->option_text("PATH");
  auto* rateOpt =
      app.add_option("--rate", rate, "serial: line speed named in the service answer (default 9600)")->option_text("R");
  auto* answerOpt = app.add_option("--answer", answer, "serial: the whole service answer line (default \"CTI RATE\")")
                        ->option_text("TEXT");
  auto* addressOpt = app.add_option("--address", addressText, "serial: address byte of the payloads sent (default 0)")
                         ->option_text("N");
  auto* dropOpt = app.add_option("--drop-every", serial.dropEvery,
                                 "serial: drop every Nth received I-frame without acknowledging it")
                      ->option_text("N");
  auto* noiseOpt =
      app.add_option("--noise-every", serial.noiseEvery, "serial: put a few random bytes before every Nth frame sent")
          ->option_text("N");
  auto* corruptOpt =
      app.add_option("--corrupt-every", serial.corruptEvery, "serial: flip one bit in every Nth frame sent")
          ->option_text("N");
  auto* noAnswerOpt = app.add_flag("--no-answer", serial.noAnswer, "serial: never answer the service request");
  auto* discOpt = app.add_option("--send-disc-after", serial.sendDiscAfterMs,
                                 "serial: send DISC MS milliseconds after the link came up")
                      ->option_text("MS")
                      ->check(CLI::NonNegativeNumber);

  // TCP mode.
  app.add_option("--tcp", tcpPort, "serve the TCP link on 127.0.0.1:PORT (0: any free port)")->option_text("PORT");
  auto* portFileOpt =
      app.add_option("--port-file", settings.pathFile, "TCP: write the bound port to F")->option_text("F");
  auto* keepaliveOpt = app.add_option("--keepalive-ms", tcp.keepaliveMs,
                                      "TCP: send a keepalive frame every MS milliseconds (default 20000, 0: off)")
                           ->option_text("MS")
                           ->check(CLI::NonNegativeNumber);
  auto* garbageOpt =
      app.add_option("--garbage-after", tcp.garbageAfter, "TCP: send a burst of garbage bytes after N frames sent")
          ->option_text("N");
  auto* closeOpt = app.add_option("--close-after", tcp.closeAfter, "TCP: close the connection after N frames sent")
                       ->option_text("N");
  pathFileOpt->excludes(portFileOpt);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? EXIT_OK : EXIT_USAGE;
  }

  auto usage = [](const std::string& message) {
    std::fprintf(stderr, "kavro-pbx: %s\nRun with --help for more information.\n", message.c_str());
    return EXIT_USAGE;
  };
  if (settings.verbose && settings.quiet) return usage("--verbose and --quiet exclude each other");

  InstallSignals();
  const bool readStdin = patternCount == 0;

  if (tcpPort) {
    for (CLI::Option* option : {pathFileOpt, symlinkOpt, rateOpt, answerOpt, addressOpt, dropOpt, noiseOpt, corruptOpt,
                                noAnswerOpt, discOpt, numberedOpt, ackedOpt}) {
      if (option->count() > 0) return usage(option->get_name() + " is for the serial mode only");
    }
    tcp.silentAfter = silentAfter;
    tcp.patternCount = patternCount;
    tcp.patternIntervalMs = interval;
    tcp.patternLength = patternLength;
    tcp.seed = seed;
    return RunTcp(settings, tcp, *tcpPort, readStdin);
  }

  for (CLI::Option* option : {portFileOpt, keepaliveOpt, garbageOpt, closeOpt}) {
    if (option->count() > 0) return usage(option->get_name() + " is for the TCP mode only");
  }
  auto address = kavro::tools::ParseNumber(addressText, 255);
  if (!address) return usage("--address takes a number from 0 to 255 (hex with 0x, or decimal)");
  serial.address = static_cast<uint8_t>(*address);
  serial.answerLine = answer.empty() ? "CTI " + rate : answer;
  if (serial.answerLine.find('\r') != std::string::npos) return usage("the service answer cannot hold a CR");
  serial.silentAfter = silentAfter;
  serial.patternCount = patternCount;
  serial.patternIntervalMs = interval;
  serial.patternLength = patternLength;
  serial.seed = seed;
  if (!ackedFile.empty()) {
    settings.acked = std::fopen(ackedFile.c_str(), "a");
    if (settings.acked == nullptr) return usage("cannot open " + ackedFile + ": " + std::strerror(errno));
  }
  return RunSerial(settings, serial, readStdin, symlinkPath);
}
