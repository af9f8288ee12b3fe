// What kavroctl does with a parsed command line, the same on both fronts:
// the payload is read and checked, the request sent, the answer turned into
// output and an exit code. The fronts give only the way to the driver (the
// control socket, or the hidden window), the listener and standard input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#include "../common/hex_text.h"
#include "command_line.h"
#include "ctl_protocol.h"

namespace kavro::ctl {

[[noreturn]] inline void Fail(int code, const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(code);
}

// One line per record, flushed at once so that a script reading a pipe sees
// every record as it comes; a reader that went away ends the listener quietly.
inline void PrintLine(const std::string& line) {
  if (std::fputs(line.c_str(), stdout) < 0 || std::fputc('\n', stdout) < 0 || std::fflush(stdout) != 0) {
    std::exit(EXIT_OK);
  }
}

struct Answer {
  // False: the driver ended (or closed the connection) before answering.
  bool answered = true;
  int32_t result = 0;
  // The status answer's whole record.
  std::vector<uint8_t> bytes;
};

class Driver {
 public:
  virtual ~Driver() = default;
  // Sends one request and waits for its answer; exits with
  // EXIT_UNREACHABLE and a message when the driver cannot be reached.
  virtual Answer Request(uint32_t message, uint32_t word, const std::vector<uint8_t>& data) = 0;
  // The status request; its record, or an Answer without bytes.
  virtual Answer Status() = 0;
  // listen: prints records until the end, returns the exit code.
  virtual int Listen(const Options& options) = 0;
  // Standard input as raw bytes.
  virtual std::vector<uint8_t> ReadStandardInput() = 0;
};

inline std::vector<uint8_t> LoadPayload(const PayloadSource& source, Driver& driver) {
  std::vector<uint8_t> bytes;
  std::string error;
  if (!source.file.empty() || source.fromStdin) {
    std::vector<uint8_t> raw;
    if (!source.file.empty()) {
      std::ifstream in(source.file, std::ios::binary);
      if (!in) throw UsageError{"kavroctl: cannot read " + source.file + ": " + std::strerror(errno)};
      raw.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } else {
      raw = driver.ReadStandardInput();
    }
    if (!source.hexInput) {
      bytes = std::move(raw);
    } else {
      auto parsed =
          tools::ParseHexBytes(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()), &error);
      if (!parsed) throw UsageError{"kavroctl: " + error};
      bytes = std::move(*parsed);
    }
  } else {
    std::string joined;
    for (const auto& word : source.hexWords) joined += word + " ";
    auto parsed = tools::ParseHexBytes(joined, &error);
    if (!parsed) throw UsageError{"kavroctl: " + error};
    bytes = std::move(*parsed);
  }
  if (bytes.size() > MAX_REQUEST_DATA) {
    throw UsageError{"kavroctl: the payload has " + std::to_string(bytes.size()) +
                     " bytes; a request carries at most " + std::to_string(MAX_REQUEST_DATA)};
  }
  return bytes;
}

inline int ExitForResult(int32_t result) { return result == 0 ? EXIT_REFUSED : EXIT_OK; }

inline Answer AnsweredOrExit(const Answer& answer) {
  if (!answer.answered) Fail(EXIT_UNREACHABLE, "kavroctl: kavro ended without an answer");
  return answer;
}

// Runs the parsed subcommand; returns the exit code.
inline int RunSubcommand(const CommandLine& commandLine, Driver& driver) {
  const Options& options = commandLine.options;
  try {
    if (commandLine.send->parsed()) {
      const uint8_t address = ParseAddress(options.address);
      std::vector<uint8_t> payload = LoadPayload(options.sendSource, driver);
      if (payload.empty()) throw UsageError{"kavroctl: send needs at least one payload byte"};
      const Answer answer = AnsweredOrExit(driver.Request(MSG_COPYDATA, PayloadWord(address), payload));
      if (options.verbose) std::printf("result %d\n", answer.result);
      if (answer.result == 0) std::fprintf(stderr, "%s\n", RefusalMessage(payload.size()).c_str());
      return ExitForResult(answer.result);
    }
    if (commandLine.service->parsed()) {
      const Answer answer = AnsweredOrExit(driver.Request(MSG_COPYDATA, WORD_SERVICE, {}));
      if (options.verbose) std::printf("result %d\n", answer.result);
      if (answer.result == 0) std::fprintf(stderr, "kavroctl: the service request could not be repeated\n");
      return ExitForResult(answer.result);
    }
    if (commandLine.close->parsed()) {
      // The close request always answers 0; kavro may also be gone before
      // the answer comes back, which is the close having worked. No kavro
      // to ask is exit 3 (the request exits with it).
      const Answer answer = driver.Request(MSG_CLOSE, 0, {});
      if (options.verbose) {
        if (answer.answered) {
          std::printf("result %d\n", answer.result);
        } else {
          std::printf("kavro ended\n");
        }
      }
      return EXIT_OK;
    }
    if (commandLine.command->parsed()) {
      const uint32_t word = ParseWord(options.word, "the command word");
      const uint32_t message = ParseWord(options.message, "the message");
      std::vector<uint8_t> data = LoadPayload(options.commandSource, driver);
      const Answer answer = AnsweredOrExit(driver.Request(message, word, data));
      std::printf("%d\n", answer.result);
      return ExitForResult(answer.result);
    }
    if (commandLine.listen->parsed()) return driver.Listen(options);
    if (commandLine.status->parsed()) {
      const Answer answer = AnsweredOrExit(driver.Status());
      auto status = ParseStatus(answer.bytes.data(), answer.bytes.size());
      if (!status) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro gave no status record; it may be older than this kavroctl");
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

// Parses and runs; the whole of either front's main once its driver exists.
inline int RunKavroctl(CommandLine& commandLine, int argc, const char* const* argv, Driver& driver) {
  try {
    commandLine.Parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = commandLine.app.exit(e);
    return code == 0 ? EXIT_OK : EXIT_USAGE;
  }
  return RunSubcommand(commandLine, driver);
}

}  // namespace kavro::ctl
