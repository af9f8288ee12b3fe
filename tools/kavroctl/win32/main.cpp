// kavroctl.exe: the command-line client of a running kavro.exe. It finds the
// driver's hidden window by its class and sends it WM_COPYDATA (payloads,
// the service request) or WM_CLOSE, and listens to the payloads and link
// events that KAVROD32.dll hands out on the named pipe \\.\pipe\kavrod.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "../../common/hex_text.h"
#include "../command_line.h"
#include "../ctl_protocol.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

using namespace kavro::ctl;
using kavro::tools::ParseHexBytes;
using kavro::tools::ParseNumber;

constexpr const char* WINDOW_CLASS = "KavroControlProg";
constexpr const char* PIPE_NAME = "\\\\.\\pipe\\kavrod";

// kavro answers on its main thread between timer expiries; an answer that
// takes longer than this means the process is stuck, not busy.
constexpr UINT ANSWER_TIMEOUT_MS = 10000;
// How long listen waits for a busy pipe to offer an instance.
constexpr DWORD PIPE_BUSY_WAIT_MS = 5000;

[[noreturn]] void Fail(int code, const std::string& message) {
  std::fprintf(stderr, "%s\n", message.c_str());
  std::exit(code);
}

std::string SystemText(DWORD error) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 error, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result = text != nullptr ? text : "error " + std::to_string(error);
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.')) result.pop_back();
  return result + " (" + std::to_string(error) + ")";
}

void PrintLine(const std::string& line) {
  if (std::fputs(line.c_str(), stdout) < 0 || std::fputc('\n', stdout) < 0 || std::fflush(stdout) != 0) {
    std::exit(EXIT_OK);
  }
}

HWND FindDriverOrExit() {
  HWND window = FindWindowA(WINDOW_CLASS, nullptr);
  if (window == nullptr) {
    Fail(EXIT_UNREACHABLE,
         "kavroctl: no kavro is running (no window of class KavroControlProg on this desktop); start kavro.exe");
  }
  return window;
}

enum class AnswerOutcome { Answered, GoneWithoutAnswer };

struct Answer {
  AnswerOutcome outcome = AnswerOutcome::Answered;
  int32_t result = 0;
};

// One message to the window, answered synchronously as SendMessageA would,
// but with a time limit so that a stuck driver cannot hang the client.
Answer SendRequest(uint32_t message, uint32_t word, const std::vector<uint8_t>& data) {
  HWND window = FindDriverOrExit();
  DWORD_PTR result = 0;
  LRESULT sent;
  if (message == WM_COPYDATA) {
    COPYDATASTRUCT copy{};
    copy.dwData = word;
    copy.cbData = static_cast<DWORD>(data.size());
    copy.lpData = data.empty() ? nullptr : const_cast<uint8_t*>(data.data());
    sent = SendMessageTimeoutA(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy), SMTO_NORMAL,
                               ANSWER_TIMEOUT_MS, &result);
  } else {
    sent = SendMessageTimeoutA(window, message, word, 0, SMTO_NORMAL, ANSWER_TIMEOUT_MS, &result);
  }
  if (sent == 0) {
    const DWORD error = GetLastError();
    if (error == ERROR_TIMEOUT) {
      Fail(EXIT_UNREACHABLE, "kavroctl: kavro did not answer within " + std::to_string(ANSWER_TIMEOUT_MS / 1000) + " s");
    }
    // The window went away while the message was on its way: the driver
    // ended (a close request that worked, or a link that ended).
    if (!IsWindow(window)) return {AnswerOutcome::GoneWithoutAnswer, 0};
    Fail(EXIT_UNREACHABLE, "kavroctl: cannot reach kavro: " + SystemText(error));
  }
  return {AnswerOutcome::Answered, static_cast<int32_t>(static_cast<LRESULT>(result))};
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
      // Raw bytes: no CR LF translation on the way in.
      _setmode(_fileno(stdin), _O_BINARY);
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

HANDLE OpenPipeOrExit(bool sendsCredit) {
  const uint64_t giveUp = GetTickCount64() + PIPE_BUSY_WAIT_MS;
  for (;;) {
    // Reading, switching to message read mode (a write of attributes), and
    // writing the credit when there is one to send.
    const DWORD access = GENERIC_READ | FILE_WRITE_ATTRIBUTES | (sendsCredit ? FILE_WRITE_DATA : 0);
    HANDLE pipe = CreateFileA(PIPE_NAME, access, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    const DWORD error = GetLastError();
    // Every instance is taken for a moment: the library makes the next one.
    if (error == ERROR_PIPE_BUSY && GetTickCount64() < giveUp) {
      WaitNamedPipeA(PIPE_NAME, 500);
      continue;
    }
    if (error == ERROR_ACCESS_DENIED) {
      Fail(EXIT_UNREACHABLE, std::string("kavroctl: no permission to open ") + PIPE_NAME +
                                 "; run as a user the pipe admits (signed-in users on this PC)");
    }
    Fail(EXIT_UNREACHABLE, std::string("kavroctl: no kavro is running (cannot open ") + PIPE_NAME + ": " +
                               SystemText(error) + "); start kavro.exe with KAVROD32.dll beside it");
  }
}

// 0, or the error of a failed write.
DWORD SendCredit(HANDLE pipe, HANDLE event, uint64_t count) {
  for (const auto& packet : BuildCreditRequests(count)) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD written = 0;
    if (!WriteFile(pipe, packet.data(), static_cast<DWORD>(packet.size()), &written, &overlapped)) {
      const DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) return error;
      // The library reads requests as they come; the pipe's inbound buffer
      // holds many.
      if (!GetOverlappedResult(pipe, &overlapped, &written, TRUE)) return GetLastError();
    }
  }
  return 0;
}

int RunListen(bool json, std::optional<uint64_t> count, std::optional<double> timeout) {
  HANDLE pipe = OpenPipeOrExit(count.has_value());
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
    Fail(EXIT_UNREACHABLE, "kavroctl: cannot read the pipe by records: " + SystemText(GetLastError()));
  }
  HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  // With a count, take exactly what is to be printed: what this listener
  // would not print stays with the library for the next client. The grant
  // goes out at once: a client that has not sent one within a moment of
  // connecting is served as one that takes everything.
  if (count) {
    if (const DWORD error = SendCredit(pipe, event, *count); error != 0) {
      Fail(EXIT_UNREACHABLE, std::string("kavroctl: cannot send the credit to ") + PIPE_NAME + ": " + SystemText(error));
    }
  }
  const std::optional<uint64_t> deadline =
      timeout ? std::optional<uint64_t>(GetTickCount64() + static_cast<uint64_t>(*timeout * 1000.0)) : std::nullopt;
  // A record is at most the 8-byte head and a 16-bit length of payload.
  std::vector<uint8_t> buffer(8 + 65536);
  uint64_t seen = 0;
  while (!count || seen < *count) {
    DWORD waitMs = INFINITE;
    if (deadline) {
      const uint64_t now = GetTickCount64();
      if (now >= *deadline) break;
      waitMs = static_cast<DWORD>(std::min<uint64_t>(*deadline - now, 0x7FFFFFFF));
    }
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    DWORD got = 0;
    BOOL ok = ReadFile(pipe, buffer.data(), static_cast<DWORD>(buffer.size()), &got, &overlapped);
    DWORD error = ok ? 0 : GetLastError();
    if (!ok && error == ERROR_IO_PENDING) {
      if (WaitForSingleObject(event, waitMs) != WAIT_OBJECT_0) {
        CancelIo(pipe);
        GetOverlappedResult(pipe, &overlapped, &got, TRUE);
        break;
      }
      ok = GetOverlappedResult(pipe, &overlapped, &got, FALSE);
      error = ok ? 0 : GetLastError();
    }
    if (!ok) {
      if (error == ERROR_MORE_DATA) {
        std::fprintf(stderr, "kavroctl: ignored a record longer than %zu bytes\n", buffer.size());
        continue;
      }
      break;  // the pipe closed: the link has ended
    }
    auto record = DecodeRecord(buffer.data(), got);
    if (!record) {
      std::fprintf(stderr, "kavroctl: ignored a malformed record of %lu bytes\n", static_cast<unsigned long>(got));
      continue;
    }
    // The link-state record a newer library sends first is no delivery and
    // does not count.
    if (record->kind == RECORD_LINK_STATE) continue;
    PrintLine(json ? FormatRecordJson(*record) : FormatRecordText(*record));
    ++seen;
  }
  CloseHandle(event);
  CloseHandle(pipe);
  return EXIT_OK;
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
  CLI::App app{"kavroctl: send payloads and commands to a running kavro.exe, and listen to what it receives."};
  app.name("kavroctl");
  app.footer(
      "Exit codes:\n"
      "  0  success\n"
      "  1  kavro answered 0 (the payload or command was refused)\n"
      "  2  usage error\n"
      "  3  kavro cannot be reached (not running, no permission, no answer)\n"
      "\n"
      "Examples:\n"
      "  kavroctl send --address 20 41 42 43\n"
      "  kavroctl listen --json --count 1 --timeout 5\n"
      "  kavroctl close");
  app.set_version_flag("--version", std::string("kavroctl ") + KAVRO_VERSION);
  app.require_subcommand(1);

  bool verbose = false;
  app.add_flag("-v,--verbose", verbose, "print the result of every request");

  auto* sendCmd = app.add_subcommand("send", "send a payload to the PBX (exit 1 when kavro refuses it)");
  std::string addressText = "0";
  PayloadSource sendSource;
  sendCmd->add_option("--address", addressText,
                      "address byte of the payload in hex, 00..FF: 20 and 0x20 both mean 0x20 (default 0)")
      ->option_text("HH");
  AddPayloadOptions(sendCmd, sendSource, "payload bytes in hex: \"41 42 43\" or 414243");

  auto* serviceCmd = app.add_subcommand("service", "repeat the service request to the PBX");

  auto* closeCmd = app.add_subcommand("close", "ask kavro to take the link down and exit");

  auto* commandCmd = app.add_subcommand("command", "send any command word with optional data; prints the result");
  std::string wordText;
  std::string messageText = "0x4A";
  PayloadSource commandSource;
  commandCmd->add_option("WORD", wordText, "the 32-bit command word (hex with 0x, or decimal)")->required();
  commandCmd->add_option("--message", messageText,
                         "the window message (default 0x4A, WM_COPYDATA; any other is sent with WORD as wParam)")
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
      const uint32_t address = ParseAddress(addressText);
      std::vector<uint8_t> payload = LoadPayload(sendSource);
      if (payload.empty()) throw UsageError{"kavroctl: send needs at least one payload byte"};
      Answer answer = SendRequest(WM_COPYDATA, PayloadWord(address), payload);
      if (answer.outcome == AnswerOutcome::GoneWithoutAnswer) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro ended without an answer");
      }
      if (verbose) std::printf("result %d\n", answer.result);
      if (answer.result == 0) std::fprintf(stderr, "%s\n", RefusalMessage(payload.size()).c_str());
      return ExitForResult(answer.result);
    }
    if (serviceCmd->parsed()) {
      Answer answer = SendRequest(WM_COPYDATA, WORD_SERVICE, {});
      if (answer.outcome == AnswerOutcome::GoneWithoutAnswer) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro ended without an answer");
      }
      if (verbose) std::printf("result %d\n", answer.result);
      if (answer.result == 0) std::fprintf(stderr, "kavroctl: the service request could not be repeated\n");
      return ExitForResult(answer.result);
    }
    if (closeCmd->parsed()) {
      // The close request always answers 0; kavro may also be gone before
      // the answer comes back, which is the close having worked.
      Answer answer = SendRequest(WM_CLOSE, 0, {});
      if (verbose) {
        if (answer.outcome == AnswerOutcome::Answered) {
          std::printf("result %d\n", answer.result);
        } else {
          std::printf("kavro ended\n");
        }
      }
      return EXIT_OK;
    }
    if (commandCmd->parsed()) {
      uint32_t word = ParseWordOrThrow(wordText, "the command word");
      uint32_t message = ParseWordOrThrow(messageText, "the message");
      std::vector<uint8_t> data = LoadPayload(commandSource);
      Answer answer = SendRequest(message, word, data);
      if (answer.outcome == AnswerOutcome::GoneWithoutAnswer) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro ended without an answer");
      }
      std::printf("%d\n", answer.result);
      return ExitForResult(answer.result);
    }
    if (listenCmd->parsed()) return RunListen(json, count, timeout);
  } catch (const UsageError& e) {
    std::fprintf(stderr, "%s\n", e.message.c_str());
    return EXIT_USAGE;
  }
  return EXIT_USAGE;
}
