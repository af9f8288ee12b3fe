// kavroctl's command line: the subcommands and their options, and the checks
// that turn what the user typed into request values, with the messages that
// say what was wrong. Header-only so the unit tests parse command lines
// without running the program.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "../common/hex_text.h"

namespace kavro::ctl {

struct UsageError {
  std::string message;
};

// The longest payload one I-frame of a serial or USB link carries; a TCP
// link carries up to 65535 bytes.
constexpr size_t SERIAL_MAX_PAYLOAD = 2038;

// The payload of `send` and `command`: hex words on the command line, or the
// contents of a file or of standard input (raw bytes, or hex text with --hex).
struct PayloadSource {
  std::vector<std::string> hexWords;
  std::string file;
  bool fromStdin = false;
  bool hexInput = false;
};

// The two fronts share every subcommand, option, message and exit code; on
// Windows the driver is found by its window, so there is no run directory.
enum class Front { Unix, Windows };

struct Options {
  std::string runDir;
  bool verbose = false;
  // send
  std::string address = "0";
  PayloadSource sendSource;
  // command
  std::string word;
  std::string message = "0x4A";
  PayloadSource commandSource;
  // listen
  bool json = false;
  std::optional<uint64_t> count;
  std::optional<double> timeout;
  bool follow = false;
  bool state = false;
};

// Exit codes, shared by every subcommand and both fronts.
constexpr int EXIT_OK = 0;
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_UNREACHABLE = 3;
// listen --count N ended before N records: kavro closed the connection (the
// link ended), or --timeout ran out.
constexpr int EXIT_LISTEN_CLOSED = 4;
constexpr int EXIT_LISTEN_TIMEOUT = 5;

inline std::string ExitCodeHelp(Front front) {
  return std::string(
             "Exit codes:\n"
             "  0  success\n"
             "  1  kavro answered 0 (the payload or command was refused)\n"
             "  2  usage error\n") +
         (front == Front::Unix
              ? "  3  kavro cannot be reached (not running, wrong --run-dir, no permission, no answer)\n"
              : "  3  kavro cannot be reached (not running in this session, no permission, no answer)\n") +
         "  4  listen --count N: kavro closed the connection (the link ended) before N records\n"
         "  5  listen --count N: --timeout ran out before N records\n";
}

class CommandLine {
 public:
  explicit CommandLine(std::string defaultRunDir, Front front = Front::Unix) : front_(front) {
    options.runDir = std::move(defaultRunDir);
    app.name("kavroctl");
    if (front == Front::Windows) {
      app.description("kavroctl: send payloads and commands to a running kavro.exe, and listen to what it receives.");
    }
    app.footer(ExitCodeHelp(front) +
               "\n"
               "Examples:\n"
               "  kavroctl send --address 20 41 42 43\n"
               "  kavroctl listen --json --count 1 --timeout 5\n" +
               (front == Front::Unix ? "  kavroctl listen --follow --run-dir /run/kavro-2\n" : "") +
               "  kavroctl status --json\n"
               "  kavroctl close");
    app.set_version_flag("--version", std::string("kavroctl ") + KAVRO_VERSION);
    app.require_subcommand(1);
    AddGlobalOptions(&app);

    send = app.add_subcommand("send", "send a payload to the PBX (exit 1 when kavro refuses it)");
    send->add_option("--address", options.address,
                     "address byte of the payload in hex, 00..FF: 20 and 0x20 both mean 0x20 (default 0)")
        ->option_text("HH");
    AddPayloadOptions(send, options.sendSource, "payload bytes in hex: \"41 42 43\" or 414243");
    AddGlobalOptions(send);

    service = app.add_subcommand("service", "repeat the service request to the PBX");
    AddGlobalOptions(service);

    close = app.add_subcommand("close", "ask kavro to take the link down and exit (exit 3 when none is running)");
    AddGlobalOptions(close);

    command = app.add_subcommand("command", "send any command word with optional data; prints the result");
    command->add_option("WORD", options.word, "the 32-bit command word (hex with 0x, or decimal)")->required();
    command->add_option("--message", options.message, "the message number (default 0x4A, the data transfer)")
        ->option_text("M");
    AddPayloadOptions(command, options.commandSource, "data bytes in hex");
    AddGlobalOptions(command);

    status = app.add_subcommand("status", "show the link's state and counters");
    status->add_flag("--json", options.json, "one JSON object");
    AddGlobalOptions(status);

    listen = app.add_subcommand("listen", "print the payloads and link events kavro delivers, as they come");
    listen->add_flag("--json", options.json, "one JSON object per line");
    listen->add_option("--count", options.count, "stop after N records (exit 4 or 5 when fewer came)")
        ->option_text("N")
        ->check(CLI::PositiveNumber);
    listen->add_option("--timeout", options.timeout, "stop after S seconds")
        ->option_text("S")
        ->check(CLI::NonNegativeNumber);
    listen->add_flag("--state", options.state,
                     "also print the link-state record every connection starts with (link up or down); it does "
                     "not count");
    if (front == Front::Unix) {
      listen->add_flag("--follow", options.follow,
                       "when kavro ends or is not running, wait for it and go on listening (retry every 200 ms)");
    }
    AddGlobalOptions(listen);
  }

  CommandLine(const CommandLine&) = delete;
  CommandLine& operator=(const CommandLine&) = delete;

  // Throws CLI::ParseError, which app.exit() reports.
  void Parse(int argc, const char* const* argv) { app.parse(argc, argv); }

  CLI::App app{"kavroctl: send payloads and commands to a running kavro, and listen to what it receives."};
  Options options;
  CLI::App* send = nullptr;
  CLI::App* service = nullptr;
  CLI::App* close = nullptr;
  CLI::App* command = nullptr;
  CLI::App* listen = nullptr;
  CLI::App* status = nullptr;

 private:
  Front front_;

  // Users put the run directory after the subcommand as often as before it,
  // so every subcommand takes the global options too, bound to the same
  // values.
  void AddGlobalOptions(CLI::App* on) {
    if (front_ == Front::Unix) {
      on->add_option("--run-dir", options.runDir,
                     "directory of kavro's sockets (env KAVRO_RUN_DIR, default /run/kavro)")
          ->option_text("DIR");
    }
    on->add_flag("-v,--verbose", options.verbose, "print the result of every request");
  }

  static void AddPayloadOptions(CLI::App* on, PayloadSource& source, const char* hexHelp) {
    auto* hex = on->add_option("HEX", source.hexWords, hexHelp);
    auto* file = on->add_option("--file", source.file, "take the bytes from the file F (raw bytes)")->option_text("F");
    auto* in = on->add_flag("--stdin", source.fromStdin, "take the bytes from standard input (raw bytes)");
    on->add_flag("--hex", source.hexInput, "the file or standard input holds hex text, not raw bytes");
    hex->excludes(file)->excludes(in);
    file->excludes(in);
  }
};

// The address byte is written in hex like the payload bytes beside it; a
// 0x prefix is allowed and changes nothing.
inline uint8_t ParseAddress(const std::string& text) {
  std::string_view digits = text;
  if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.remove_prefix(2);
  unsigned value = 0;
  bool valid = !digits.empty();
  for (char c : digits) {
    const int digit = tools::HexDigitValue(c);
    if (digit < 0) {
      valid = false;
      break;
    }
    value = value * 16 + static_cast<unsigned>(digit);
    if (value > 0xFF) {
      valid = false;
      break;
    }
  }
  if (!valid) {
    throw UsageError{"kavroctl: the address \"" + tools::ClipForMessage(text) +
                     "\" is not a hex byte from 00 to FF (20 and 0x20 both mean 0x20)"};
  }
  return static_cast<uint8_t>(value);
}

// A command word or message number: hex with 0x, or decimal.
inline uint32_t ParseWord(const std::string& text, const char* what, uint64_t max = UINT32_MAX) {
  auto value = tools::ParseNumber(text, max);
  if (!value) {
    throw UsageError{"kavroctl: " + std::string(what) + " \"" + tools::ClipForMessage(text) +
                     "\" is not a number from 0 to " + std::to_string(max) + " (hex with 0x, or decimal)"};
  }
  return static_cast<uint32_t>(*value);
}

// kavro answers only 0 to a payload it refuses. The one reason kavroctl can
// tell on its own is a length no serial or USB link carries; a TCP link
// carries it, and refuses it only when its connection fails.
inline std::string RefusalMessage(size_t length) {
  if (length > SERIAL_MAX_PAYLOAD) {
    return "kavroctl: refused: payload of " + std::to_string(length) +
           " bytes is longer than a serial or USB link carries (" + std::to_string(SERIAL_MAX_PAYLOAD) +
           "), or the TCP link is down";
  }
  return "kavroctl: refused: queue full, link going down or not established";
}

// How listen ended, and the exit code and message that say so. Without a
// count, the connection closing (the link ended) and the time running out
// are the normal ends.
enum class ListenEnd { Done, Closed, TimedOut };

inline int ListenExitCode(const Options& options, uint64_t seen, ListenEnd end, std::string* message) {
  message->clear();
  if (!options.count || seen >= *options.count || end == ListenEnd::Done) return EXIT_OK;
  const std::string tally = std::to_string(seen) + " of " + std::to_string(*options.count) + " records";
  if (end == ListenEnd::Closed) {
    *message = "kavroctl: kavro closed the connection after " + tally + " (the link ended)";
    return EXIT_LISTEN_CLOSED;
  }
  *message = "kavroctl: --timeout ran out after " + tally;
  return EXIT_LISTEN_TIMEOUT;
}

}  // namespace kavro::ctl
