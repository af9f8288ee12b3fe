// kavroctl.exe: the command-line client of a running kavro.exe. It finds the
// driver's hidden window by its class and sends it WM_COPYDATA (payloads,
// the service request), WM_CLOSE or the status request, and listens to the
// payloads and link events that KAVROD32.dll hands out on the named pipe
// \\.\pipe\kavrod. Subcommands, options, messages and exit codes are those
// of the Linux kavroctl (command_line.h, subcommands.h).
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <iostream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "../command_line.h"
#include "../ctl_protocol.h"
#include "../subcommands.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

using namespace kavro::ctl;

constexpr const char* WINDOW_CLASS = KAVRO_CONTROL_SOCKET_NAME;
constexpr const char* REPLY_CLASS = "KavroctlStatusReply";
constexpr const char* PIPE_NAME = "\\\\.\\pipe\\kavrod";

// kavro answers on its main thread between timer expiries; an answer that
// takes longer than this means the process is stuck, not busy.
constexpr UINT ANSWER_TIMEOUT_MS = 10000;
// How long listen waits for a busy pipe to offer an instance.
constexpr DWORD PIPE_BUSY_WAIT_MS = 5000;

std::string SystemText(DWORD error) {
  char* text = nullptr;
  FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 error, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string result = text != nullptr ? text : "error " + std::to_string(error);
  if (text != nullptr) LocalFree(text);
  while (!result.empty() && (result.back() == '\n' || result.back() == '\r' || result.back() == '.')) result.pop_back();
  return result + " (" + std::to_string(error) + ")";
}

HWND FindDriverOrExit() {
  HWND window = FindWindowA(WINDOW_CLASS, nullptr);
  if (window == nullptr) {
    Fail(EXIT_UNREACHABLE,
         "kavroctl: no kavro is running (no window of class KavroControlProg on this desktop); start kavro.exe");
  }
  return window;
}

// One message to the window, answered synchronously as SendMessageA would,
// but with a time limit so that a stuck driver cannot hang the client.
// `lParam` is a COPYDATASTRUCT for WM_COPYDATA.
Answer Send(HWND window, uint32_t message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  if (SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, ANSWER_TIMEOUT_MS, &result) == 0) {
    const DWORD error = GetLastError();
    // The window went away while the message was on its way: the driver
    // ended (a close request that worked, or a link that ended).
    if (!IsWindow(window)) return {false, 0, {}};
    if (error == ERROR_TIMEOUT || error == 0) {
      Fail(EXIT_UNREACHABLE, "kavroctl: kavro did not answer within " + std::to_string(ANSWER_TIMEOUT_MS / 1000) + " s");
    }
    Fail(EXIT_UNREACHABLE, "kavroctl: cannot reach kavro: " + SystemText(error));
  }
  return {true, static_cast<int32_t>(static_cast<LRESULT>(result)), {}};
}

// The status record arrives as a WM_COPYDATA to a message-only window of
// ours while the request is under way.
std::vector<uint8_t>* statusRecord = nullptr;

LRESULT CALLBACK ReplyProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COPYDATA && statusRecord != nullptr) {
    const auto* copy = reinterpret_cast<const COPYDATASTRUCT*>(lParam);
    if (copy != nullptr && copy->dwData == KAVRO_MSG_STATUS && copy->lpData != nullptr) {
      const auto* bytes = static_cast<const uint8_t*>(copy->lpData);
      statusRecord->assign(bytes, bytes + copy->cbData);
      return 1;
    }
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

HANDLE OpenPipeOrExit(bool sendsCredit) {
  const uint64_t giveUp = GetTickCount64() + PIPE_BUSY_WAIT_MS;
  for (;;) {
    // Reading, switching to message read mode (a write of attributes), and
    // writing the credit when there is one to send.
    const DWORD access = GENERIC_READ | FILE_WRITE_ATTRIBUTES | (sendsCredit ? FILE_WRITE_DATA : 0);
    // Identification only: a program that took the pipe's name before kavro
    // learns who we are but cannot act as us.
    HANDLE pipe = CreateFileA(PIPE_NAME, access, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
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

// The request asking for batches, the kind of a batch message and the
// longest one (kavrod32.h).
constexpr uint8_t BATCH_REQUEST = 5;
constexpr uint32_t RECORD_BATCH = 7;
constexpr size_t BATCH_MESSAGE_MAX = 12 + 24 + 65535;

// Where each record of a message lies: the message itself, or the records
// of a batch (u32 kind 6, u32 count, then u32 size and the record, count
// times). A batch cut short yields what it holds whole.
std::vector<std::pair<size_t, size_t>> SplitBatch(const uint8_t* data, size_t size) {
  auto le32 = [data](size_t at) {
    return static_cast<uint32_t>(data[at]) | static_cast<uint32_t>(data[at + 1]) << 8 |
           static_cast<uint32_t>(data[at + 2]) << 16 | static_cast<uint32_t>(data[at + 3]) << 24;
  };
  if (size < 8 || le32(0) != RECORD_BATCH) return {{0, size}};
  std::vector<std::pair<size_t, size_t>> records;
  size_t at = 8;
  for (uint32_t i = 0, count = le32(4); i < count && at + 4 <= size; ++i) {
    const size_t length = le32(at);
    if (length > size - at - 4) break;
    records.emplace_back(at + 4, length);
    at += 4 + length;
  }
  return records;
}

// 0, or the error of a failed write.
DWORD SendRequest(HANDLE pipe, HANDLE event, const std::vector<uint8_t>& packet) {
  OVERLAPPED overlapped{};
  overlapped.hEvent = event;
  DWORD written = 0;
  if (!WriteFile(pipe, packet.data(), static_cast<DWORD>(packet.size()), &written, &overlapped)) {
    const DWORD error = GetLastError();
    if (error != ERROR_IO_PENDING) return error;
    if (!GetOverlappedResult(pipe, &overlapped, &written, TRUE)) return GetLastError();
  }
  return 0;
}

// 0, or the error of a failed write.
DWORD SendCredit(HANDLE pipe, HANDLE event, uint64_t count) {
  for (const auto& packet : BuildCreditRequests(count)) {
    // The library reads requests as they come; the pipe's inbound buffer
    // holds many.
    if (const DWORD error = SendRequest(pipe, event, packet); error != 0) return error;
  }
  return 0;
}

class WindowDriver : public Driver {
 public:
  Answer Request(uint32_t message, uint32_t word, const std::vector<uint8_t>& data) override {
    HWND window = FindDriverOrExit();
    if (message != WM_COPYDATA) return Send(window, message, word, 0);
    COPYDATASTRUCT copy{};
    copy.dwData = word;
    copy.cbData = static_cast<DWORD>(data.size());
    copy.lpData = data.empty() ? nullptr : const_cast<uint8_t*>(data.data());
    return Send(window, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copy));
  }

  Answer Status() override {
    HWND window = FindDriverOrExit();
    WNDCLASSA replyClass{};
    replyClass.lpfnWndProc = ReplyProcedure;
    replyClass.hInstance = GetModuleHandleA(nullptr);
    replyClass.lpszClassName = REPLY_CLASS;
    RegisterClassA(&replyClass);
    HWND reply = CreateWindowExA(0, REPLY_CLASS, nullptr, 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 GetModuleHandleA(nullptr), nullptr);
    if (reply == nullptr) Fail(EXIT_UNREACHABLE, "kavroctl: cannot make a window for the answer: " + SystemText(GetLastError()));
    std::vector<uint8_t> record;
    statusRecord = &record;
    // kavro takes the record at once and sends it to `reply` from a thread
    // of its own: it may come while the request is under way or after it
    // has returned 1; the message loop below serves it.
    Answer answer = Send(window, KAVRO_MSG_STATUS, reinterpret_cast<WPARAM>(reply), 0);
    const uint64_t giveUp = GetTickCount64() + ANSWER_TIMEOUT_MS;
    while (answer.answered && answer.result == 1 && record.empty()) {
      const uint64_t now = GetTickCount64();
      if (now >= giveUp) {
        Fail(EXIT_UNREACHABLE, "kavroctl: kavro did not send the status within " +
                                   std::to_string(ANSWER_TIMEOUT_MS / 1000) + " s");
      }
      MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(giveUp - now), QS_ALLINPUT);
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    }
    statusRecord = nullptr;
    DestroyWindow(reply);
    if (answer.answered) answer.bytes = std::move(record);
    return answer;
  }

  int Listen(const Options& options) override {
    // Always writing: the batch request goes out whether or not a credit does.
    HANDLE pipe = OpenPipeOrExit(true);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (!SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr)) {
      Fail(EXIT_UNREACHABLE, "kavroctl: cannot read the pipe by records: " + SystemText(GetLastError()));
    }
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    // With a count, take exactly what is to be printed: what this listener
    // would not print stays with the library for the next client. The grant
    // goes out at once: a client that has not sent one within a moment of
    // connecting is served as one that takes everything.
    if (options.count) {
      if (const DWORD error = SendCredit(pipe, event, *options.count); error != 0) {
        Fail(EXIT_UNREACHABLE,
             std::string("kavroctl: cannot send the credit to ") + PIPE_NAME + ": " + SystemText(error));
      }
    }
    // Several records a message: one read takes what would be dozens.
    if (const DWORD error = SendRequest(pipe, event, {BATCH_REQUEST, 0, 0, 0, 0, 0, 0, 0}); error != 0) {
      Fail(EXIT_UNREACHABLE, std::string("kavroctl: cannot ask ") + PIPE_NAME + " for batches: " + SystemText(error));
    }
    const std::optional<uint64_t> deadline =
        options.timeout ? std::optional<uint64_t>(GetTickCount64() + static_cast<uint64_t>(*options.timeout * 1000.0))
                        : std::nullopt;
    // A batch of records, the longest message the library sends.
    std::vector<uint8_t> buffer(BATCH_MESSAGE_MAX);
    uint64_t seen = 0;
    ListenEnd end = ListenEnd::Done;
    while (!options.count || seen < *options.count) {
      DWORD waitMs = INFINITE;
      if (deadline) {
        const uint64_t now = GetTickCount64();
        if (now >= *deadline) {
          end = ListenEnd::TimedOut;
          break;
        }
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
          end = ListenEnd::TimedOut;
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
        end = ListenEnd::Closed;  // the pipe closed: the link has ended
        break;
      }
      for (const auto& [at, size] : SplitBatch(buffer.data(), got)) {
        auto record = DecodeRecord(buffer.data() + at, size);
        if (!record) {
          std::fprintf(stderr, "kavroctl: ignored a malformed record of %lu bytes\n", static_cast<unsigned long>(size));
          continue;
        }
        // The link-state record every connection starts with is no delivery
        // and does not count.
        if (record->kind == RECORD_LINK_STATE) {
          if (options.state) PrintLine(options.json ? FormatRecordJson(*record) : FormatRecordText(*record));
          continue;
        }
        PrintLine(options.json ? FormatRecordJson(*record) : FormatRecordText(*record));
        ++seen;
      }
    }
    CloseHandle(event);
    CloseHandle(pipe);
    std::string message;
    const int code = ListenExitCode(options, seen, end, &message);
    if (!message.empty()) std::fprintf(stderr, "%s\n", message.c_str());
    return code;
  }

  std::vector<uint8_t> ReadStandardInput() override {
    // Raw bytes: no CR LF translation on the way in.
    _setmode(_fileno(stdin), _O_BINARY);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  }
};

}  // namespace

int main(int argc, char** argv) {
  CommandLine commandLine("", Front::Windows);
  WindowDriver driver;
  return RunKavroctl(commandLine, argc, argv, driver);
}
