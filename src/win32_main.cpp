// kavro.exe: the link driver's process entry on Windows. One process runs
// one link: the command-line tail names it (COM1, USB, TCP, LAN/USB; empty:
// the configured link), the hidden control window opens it on creation, and
// the process ends with exit code 0 when the link ends, from inside the
// window's destroy handling. Exit code 1: KAVROD32.dll is missing or lacks
// one of its two functions, or kavro.exe runs already in this session.
//
// One kavro.exe serves the PC: the link is held with a mutex in the global
// namespace. A start in another session (the logon start of a second user)
// says which session holds the link and waits, without a window, to take it
// over when that one ends.
//
// kavro.exe --check-config [LINK] checks the configuration instead and
// prints it on the console it was started from (exit 0: a link can be
// opened with it, 1: not).
#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "control/config_check.h"
#include "control/configuration.h"
#include "control/control_window.h"
#include "control/lifecycle_delivery.h"
#include "control/record_log_settings.h"
#include "core/delivery.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/link_context.h"
#include "link/link_state_machine.h"
#include "link/link_timers.h"
#include "link/receive_parser.h"
#include "link/send_queue.h"
#include "link/socket_framing.h"
#include "platform/win32/companion_library.h"
#include "platform/win32/win32_event_hub.h"
#include "platform/win32/win32_lifecycle_sink.h"
#include "platform/win32/win32_log_backend.h"
#include "platform/win32/win32_process.h"
#include "platform/win32/win32_registry.h"
#include "platform/win32/win32_serial_device.h"
#include "platform/win32/win32_tcp_socket.h"
#include "platform/win32/win32_usb_device.h"
#include "transport/serial_port.h"
#include "transport/tcp_port.h"
#include "transport/transport.h"
#include "transport/usb_port.h"

// Last: its macros would rename the portable headers' names.
#include <windows.h>
#include <sddl.h>

#include <cstdio>
#include <utility>

namespace {

using namespace kavro;

constexpr int EXIT_CANNOT_START = 1;

// The companion DLL behind the link's delivery contract.
class OrdinalDelivery : public Delivery {
 public:
  explicit OrdinalDelivery(platform::CompanionLibrary& library) : library_(library) {}
  // The library is never handed a null block to free; the caller frees it
  // as on any refusal.
  int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) override {
    if (payload == nullptr) return KAVRO_QUEUE_ERROR;
    return library_.DeliverPayload(address, payload, length);
  }
  void SignalLinkEvent(uint32_t code) override { library_.SignalLinkEvent(code); }
  int32_t WaitForRoom(uint32_t timeoutMs) override { return library_.WaitForRoom(timeoutMs); }
  bool QueryStatus(DeliveryStatus& status) override {
    KavrodStatusRecord record{};
    record.size = sizeof record;
    if (library_.QueryStatus(&record) != 1) return false;
    status.Clients = record.clients;
    status.AcknowledgedClients = record.acknowledgedClients;
    status.RecordsLost = record.recordsLost;
    status.RecordsUnacknowledged = record.recordsUnacknowledged;
    status.LibraryFlags = record.flags;
    return true;
  }

 private:
  platform::CompanionLibrary& library_;
};

// Where a line for the person who started kavro.exe goes: the error (or
// output) handle it was given when started from a script with redirected
// output; else the console of the program that started it, if any (a GUI
// program has none of its own). Null when there is neither.
HANDLE ConsoleHandle(DWORD which) {
  HANDLE given = GetStdHandle(which);
  if (given != nullptr && given != INVALID_HANDLE_VALUE && GetFileType(given) != FILE_TYPE_UNKNOWN) return given;
  static HANDLE console = [] {
    if (!AttachConsole(ATTACH_PARENT_PROCESS)) return static_cast<HANDLE>(nullptr);
    HANDLE out = CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    return out == INVALID_HANDLE_VALUE ? static_cast<HANDLE>(nullptr) : out;
  }();
  return console;
}

void WriteConsoleText(DWORD which, const std::string& text) {
  HANDLE out = ConsoleHandle(which);
  if (out == nullptr) return;
  DWORD written = 0;
  WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// A start that fails: the reason goes to the trace log (when on), the Event
// Log, and the console or error output kavro.exe was started with.
void TellStartFailure(TraceLog& trace, const std::string& traced, const std::string& advice) {
  trace.TraceMessage(LOG_ERROR, "%s", traced.c_str());
  platform::ReportToEventLog(platform::NoticeLevel::Error, traced + "; " + advice);
  WriteConsoleText(STD_ERROR_HANDLE, "kavro: " + traced + "; " + advice + "\r\n");
}

// The sink the companion library's notices reach through the exported
// KavroLifecycleNotice, once the program has one.
platform::LifecycleSink* exportedSink = nullptr;

// The registry key this build reads, missing: say so, and say where the
// values are if they sit in the other registry view, since the defaults
// (COM2) then open a port nobody meant.
void ReportMissingKey(platform::Registry& registry, platform::LifecycleSink& lifecycle) {
  if (registry.OpenKey(KAVRO_REGISTRY_KEY)) return;
  const std::string own = platform::Win32Registry::FullPath(KAVRO_REGISTRY_KEY) + " (" +
                          platform::Win32Registry::ViewName() + ")";
  if (platform::Win32Registry::ExistsInOtherView(KAVRO_REGISTRY_KEY)) {
    lifecycle.Notice(platform::NoticeLevel::Warning,
                     "registry key " + own + " does not exist, but " +
                         platform::Win32Registry::FullPath(KAVRO_REGISTRY_KEY, true) + " (" +
                         platform::Win32Registry::OtherViewName() + ") does: kavro.exe reads only the " +
                         platform::Win32Registry::ViewName() +
                         ", so the defaults apply; move the values there (reg add ... " +
                         (sizeof(void*) == 8 ? "/reg:64" : "/reg:32") + ")");
  } else {
    lifecycle.Notice(platform::NoticeLevel::Info, "registry key " + own + " does not exist: the defaults apply");
  }
}

// kavro.exe --check-config: where a value came from is the registry view
// this build reads, or the default; a COM port is opened and closed again
// to see whether it can be; USB discovery runs, WinUSB is not touched.
class RegistryConfigProbe : public ConfigCheckProbe {
 public:
  RegistryConfigProbe(platform::Registry& registry, const std::set<std::string>& taken, SerialPort& serial,
                      platform::Win32UsbDevice& usb)
      : registry_(registry), taken_(taken), serial_(serial), usb_(usb) {}
  // What the load took, not merely what the key holds.
  std::string SourceOf(const char* name) override {
    return taken_.count(name) != 0 ? platform::Win32Registry::ViewName() : "default";
  }
  bool StoredText(const char* name, std::string* text) override { return StoredRegistryText(registry_, name, text); }
  std::string SerialDevice(const char* link, bool* openable) override {
    const std::string device = serial_.DevicePathFor(link);
    HANDLE port = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    *openable = port != INVALID_HANDLE_VALUE;
    if (*openable) {
      CloseHandle(port);
      return device + ": can be opened";
    }
    const DWORD error = GetLastError();
    return device + ": cannot be opened: " + platform::SystemErrorText(error) +
           (error == ERROR_ACCESS_DENIED ? "; is it in use (a running kavro.exe)?" : "");
  }
  std::vector<std::string> UsbDevice(bool* openable) override {
    std::vector<platform::UsbDeviceInfo> found;
    *openable = usb_.Discover(platform::UsbFilter{}, found) == platform::USB_SUCCESS && !found.empty();
    if (!*openable) {
      return {ConfigCheckLine("USB device", "none present with interface class bbecb87c-b337-4655-a692-c13b97b61a0f")};
    }
    std::vector<std::string> lines;
    for (size_t i = 0; i < found.size(); ++i) {
      lines.push_back(ConfigCheckLine("USB device", found[i].path + (i == 0 ? "" : " (not used: the first one is)")));
    }
    return lines;
  }
  bool IsAddress(const char* text) override {
    // Four decimal numbers up to 255, separated by dots.
    int parts = 0;
    const char* p = text;
    while (parts < 4) {
      if (*p < '0' || *p > '9') return false;
      unsigned value = 0;
      int digits = 0;
      while (*p >= '0' && *p <= '9' && digits < 4) value = value * 10 + static_cast<unsigned>(*p++ - '0'), ++digits;
      if (digits > 3 || value > 255) return false;
      if (++parts < 4 && *p++ != '.') return false;
    }
    return *p == '\0';
  }

 private:
  platform::Registry& registry_;
  const std::set<std::string>& taken_;
  SerialPort& serial_;
  platform::Win32UsbDevice& usb_;
};

int CheckConfig(TraceLog& trace, const std::string& tail) {
  platform::Win32Registry registry;
  platform::Win32EventHub hub(GetModuleHandleA(nullptr));
  LinkControl control(trace, hub);
  Configuration configuration(registry, trace);
  LinkConfig config;
  configuration.LoadConfiguration(config, tail.empty() ? nullptr : tail.c_str());
  const char* configured = config.Link;
  // As the start does: the command line replaces a link of a known kind.
  if (!tail.empty() && (strncmp(configured, "COM", 3) == 0 || strncmp(configured, "USB", 3) == 0 ||
                        strncmp(configured, "TCP", 3) == 0 || strncmp(configured, "LAN/USB", 7) == 0)) {
    snprintf(config.Link, sizeof config.Link, "%s", tail.c_str());
  }
  platform::Win32SerialDeviceFactory devices;
  SerialPort serial(control, trace, registry, devices, hub);
  platform::SystemWinUsbCalls usbCalls;
  platform::Win32UsbDevice usb(usbCalls);
  RegistryConfigProbe probe(registry, configuration.TakenFromFile(), serial, usb);

  std::string out;
  const std::string key = platform::Win32Registry::FullPath(KAVRO_REGISTRY_KEY);
  const bool present = registry.OpenKey(KAVRO_REGISTRY_KEY) != nullptr;
  out += ConfigCheckLine("registry key", key + " (" + platform::Win32Registry::ViewName() + ")" +
                                             (present ? "" : ": not present, the defaults apply")) +
         "\r\n";
  if (!present && platform::Win32Registry::ExistsInOtherView(KAVRO_REGISTRY_KEY)) {
    out += ConfigCheckLine("", "found only in the " + std::string(platform::Win32Registry::OtherViewName()) + " at " +
                                   platform::Win32Registry::FullPath(KAVRO_REGISTRY_KEY, true) +
                                   ", which this kavro.exe does not read: move the values") +
           "\r\n";
  }
  if (tail.size() > sizeof config.Link - 1) {
    out += ConfigCheckLine("Link", tail + " (command line): longer than 7 characters") + "\r\n";
    out += ConfigCheckLine("result", "no link can be opened") + "\r\n";
    WriteConsoleText(STD_OUTPUT_HANDLE, out);
    return 1;
  }
  const ConfigCheck check = CheckConfiguration(config, !tail.empty(), probe);
  for (const std::string& line : check.lines) out += line + "\r\n";
  RecordLogSettings recordLog;
  std::string unreadable;
  if (ReadRecordLogSettings(registry, recordLog, unreadable)) {
    for (const std::string& line : RecordLogCheckLines(recordLog)) out += line + "\r\n";
  } else {
    out += ConfigCheckLine("record log", unreadable) + "\r\n";
  }
  WriteConsoleText(STD_OUTPUT_HANDLE, out);
  return check.openable && unreadable.empty() ? 0 : 1;
}

// The option that makes kavro.exe check instead of run: the tail's first
// word. What follows it is the link to check.
constexpr const char* CHECK_CONFIG = "--check-config";

bool IsCheckConfig(const std::string& tail, std::string* link) {
  const size_t n = strlen(CHECK_CONFIG);
  if (tail.compare(0, n, CHECK_CONFIG) != 0 || (tail.size() > n && tail[n] != ' ')) return false;
  const size_t start = tail.find_first_not_of(' ', n);
  *link = start == std::string::npos ? std::string() : tail.substr(start);
  while (!link->empty() && link->back() == ' ') link->pop_back();
  return true;
}

// The link's lock, one for the PC: a named mutex in the global namespace,
// owned (not merely opened) by the kavro.exe that runs the link, until the
// process ends; an abandoned one is taken over.
constexpr const char* INSTANCE_MUTEX = "Global\\KavroControlProg";
// Every signed-in user may wait for it and own it: the next session's
// kavro.exe takes the link over from the last one's.
constexpr const char* INSTANCE_MUTEX_SECURITY = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x1F0001;;;IU)";
// Who holds the link, for the start that finds it held: in
// %ProgramData%\kavro, "session=N process=P started=T" (the process's
// creation time, so that a number given to another process since is not
// taken for the holder).
constexpr const char* HOLDER_FILE = "\\link-holder";
// Set by the installer (kavro-close.exe) before it replaces the files: the
// running link is closed as by WM_CLOSE, and a start waiting for the link
// gives up. Manual-reset; administrators and SYSTEM may set it.
constexpr const char* STOP_EVENT = "Global\\KavroStop";
constexpr const char* STOP_EVENT_SECURITY = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x100000;;;IU)";
constexpr const char* FAILURE_FILE = "\\last-failure";

HANDLE OpenInstanceMutex() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorA(INSTANCE_MUTEX_SECURITY, SDDL_REVISION_1, &descriptor, nullptr);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE mutex = CreateMutexA(descriptor != nullptr ? &attributes : nullptr, FALSE, INSTANCE_MUTEX);
  if (descriptor != nullptr) LocalFree(descriptor);
  // Made by an older kavro.exe of another user, with its default rights:
  // waiting on it is all this one needs.
  if (mutex == nullptr && GetLastError() == ERROR_ACCESS_DENIED) mutex = OpenMutexA(SYNCHRONIZE, FALSE, INSTANCE_MUTEX);
  return mutex;
}

HANDLE OpenStopEvent() {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ConvertStringSecurityDescriptorToSecurityDescriptorA(STOP_EVENT_SECURITY, SDDL_REVISION_1, &descriptor, nullptr);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  HANDLE event = CreateEventA(descriptor != nullptr ? &attributes : nullptr, TRUE, FALSE, STOP_EVENT);
  if (descriptor != nullptr) LocalFree(descriptor);
  if (event == nullptr && GetLastError() == ERROR_ACCESS_DENIED) event = OpenEventA(SYNCHRONIZE, FALSE, STOP_EVENT);
  return event;
}

// Turns the installer's stop into the window's close request, so that it
// takes the link down as kavroctl close does.
DWORD WINAPI WatchStop(void* shared) {
  auto* watched = static_cast<std::pair<HANDLE, HWND>*>(shared);
  if (WaitForSingleObject(watched->first, INFINITE) == WAIT_OBJECT_0) PostMessageA(watched->second, WM_CLOSE, 0, 0);
  return 0;
}

struct LinkHolder {
  bool known = false;
  DWORD session = 0;
  DWORD process = 0;
};

// When a process started: with its number, it names the process, as the
// number alone is soon given to another.
unsigned long long ProcessStart(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return static_cast<unsigned long long>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

void WriteHolder(const std::string& directory) {
  if (directory.empty()) return;
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  const std::string text = "session=" + std::to_string(session) + " process=" + std::to_string(GetCurrentProcessId()) +
                           " started=" + std::to_string(ProcessStart(GetCurrentProcess())) + "\r\n";
  HANDLE file = CreateFileA((directory + HOLDER_FILE).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

// The holder as it wrote itself down, if that process still runs.
LinkHolder ReadHolder(const std::string& directory) {
  LinkHolder holder;
  if (directory.empty()) return holder;
  HANDLE file = CreateFileA((directory + HOLDER_FILE).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return holder;
  char text[128] = {};
  DWORD got = 0;
  ReadFile(file, text, sizeof text - 1, &got, nullptr);
  CloseHandle(file);
  unsigned long session = 0;
  unsigned long process = 0;
  unsigned long long started = 0;
  if (sscanf(text, "session=%lu process=%lu started=%llu", &session, &process, &started) != 3) return holder;
  HANDLE running = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process);
  if (running == nullptr) return holder;
  const bool alive = WaitForSingleObject(running, 0) == WAIT_TIMEOUT && ProcessStart(running) == started;
  CloseHandle(running);
  holder.known = alive;
  holder.session = session;
  holder.process = process;
  return holder;
}

}  // namespace

// The companion library's way to its lifecycle lines: see kavro_host.h.
extern "C" __declspec(dllexport) void KavroLifecycleNotice(uint32_t level, const char* text) {
  if (exportedSink == nullptr || text == nullptr) return;
  const platform::NoticeLevel notice = level <= 3   ? platform::NoticeLevel::Error
                                       : level == 4 ? platform::NoticeLevel::Warning
                                                    : platform::NoticeLevel::Info;
  exportedSink->Notice(notice, text);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int /*show*/) {
  platform::Win32LogBackend logBackend;
  TraceLog trace(logBackend);
  // The tail as the system hands it over: not parsed, trimmed or
  // case-folded (but for the check that runs instead of the link).
  const std::string tail = commandLine != nullptr ? commandLine : "";
  std::string checkedLink;
  // The check opens no trace log: the file belongs to the running link's
  // kavro.exe, and what the check finds goes to its console.
  if (IsCheckConfig(tail, &checkedLink)) return CheckConfig(trace, checkedLink);
  trace.InitTraceLog(platform::Win32LogBackend::SystemDirectory());
  if (previousInstance != nullptr) return 0;

  // One link per PC: a second kavro.exe would open a second link to the same
  // PBX, and clients would reach one or the other.
  const std::string dataDirectory = platform::ProgramDataDirectory();
  HANDLE stopEvent = OpenStopEvent();
  HANDLE instanceMutex = OpenInstanceMutex();
  if (instanceMutex == nullptr) {
    TellStartFailure(trace, "cannot open the link's lock " + std::string(INSTANCE_MUTEX) + ": " +
                                platform::SystemErrorText(GetLastError()),
                     "check that no other program uses that name");
    return EXIT_CANNOT_START;
  }
  DWORD taken = WaitForSingleObject(instanceMutex, 0);
  if (taken == WAIT_TIMEOUT) {
    const LinkHolder holder = ReadHolder(dataDirectory);
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    if (holder.known && holder.session == session) {
      TellStartFailure(trace, "kavro.exe is running already in this session (process " +
                                  std::to_string(holder.process) + ")",
                       "end it first (kavroctl close) to start another");
      return EXIT_CANNOT_START;
    }
    const std::string who = holder.known ? "kavro.exe in session " + std::to_string(holder.session) + " (process " +
                                               std::to_string(holder.process) + ")"
                                         : "another process (" + std::string(INSTANCE_MUTEX) + " is held)";
    const std::string line = "the link is held by " + who + "; waiting to take it over when that one ends";
    trace.TraceMessage(LOG_PROTOCOL, "%s", line.c_str());
    platform::ReportToEventLog(platform::NoticeLevel::Info, line);
    WriteConsoleText(STD_ERROR_HANDLE, "kavro: " + line + "\r\n");
    HANDLE waits[2] = {instanceMutex, stopEvent};
    taken = WaitForMultipleObjects(stopEvent != nullptr ? 2 : 1, waits, FALSE, INFINITE);
    if (taken == WAIT_OBJECT_0 + 1) {
      trace.TraceMessage(LOG_PROTOCOL, "%s", "stopped waiting for the link: the installer asked kavro.exe to end");
      return 0;
    }
  }
  if (taken == WAIT_ABANDONED) {
    trace.TraceMessage(LOG_PROTOCOL, "%s", "the link's last holder ended without letting it go: taken over");
  } else if (taken != WAIT_OBJECT_0) {
    TellStartFailure(trace, "cannot take the link's lock: " + platform::SystemErrorText(GetLastError()),
                     "start kavro.exe again");
    return EXIT_CANNOT_START;
  }
  WriteHolder(dataDirectory);

  // Imported by ordinal at start: without the library the process does not
  // run at all.
  platform::CompanionLibrary library;
  std::string failure;
  if (!library.Load(platform::COMPANION_LIBRARY_NAME, failure)) {
    TellStartFailure(trace, failure, "install KAVROD32.dll beside kavro.exe");
    return EXIT_CANNOT_START;
  }
  OrdinalDelivery ordinalDelivery(library);
  platform::Win32LifecycleSink lifecycle([&trace](platform::NoticeLevel level, const std::string& text) {
    const uint32_t traceLevel = level == platform::NoticeLevel::Error     ? LOG_ERROR
                                : level == platform::NoticeLevel::Warning ? LOG_WARNING
                                                                          : LOG_PROTOCOL;
    trace.TraceMessage(traceLevel, "%s", text.c_str());
  });
  exportedSink = &lifecycle;
  if (!dataDirectory.empty()) lifecycle.RememberFailuresIn(dataDirectory + FAILURE_FILE);

  platform::Win32EventHub hub(instance);
  LinkControl control(trace, hub);
  control.SetLifecycleSink(&lifecycle);
  hub.SetTimerDispatchLock(&control.LinkLock);

  platform::Win32Registry registry;
  ReportMissingKey(registry, lifecycle);
  // The record log, before the link opens: the first record goes to it.
  RecordLogSettings recordLog;
  if (!ReadRecordLogSettings(registry, recordLog, failure)) {
    TellStartFailure(trace, failure, "correct the value (see the Windows page of the documentation)");
    return EXIT_CANNOT_START;
  }
  if (!recordLog.Directory.empty()) {
    char message[512] = {};
    const int32_t opened = library.OpenRecordLog(recordLog.Directory.c_str(), recordLog.MaxBytes,
                                                 recordLog.SyncAlways ? 1u : 0u, message, sizeof message);
    if (opened != 1) {
      TellStartFailure(trace,
                       opened == -1 ? std::string("KAVROD32.dll lacks KavrodOpenRecordLog (ordinal 12), which "
                                                  "RecordLog needs")
                                    : "cannot open the record log " + recordLog.Directory + ": " + message,
                       opened == -1 ? "install the KAVROD32.dll built with kavro.exe, or remove RecordLog"
                                    : "give the folder to the users who run kavro.exe, or remove RecordLog");
      return EXIT_CANNOT_START;
    }
  }
  Configuration configuration(registry, trace);
  LinkConfig config;
  LifecycleDelivery delivery(ordinalDelivery, lifecycle, nullptr, config.Link);

  platform::Win32SerialDeviceFactory serialDevices;
  SerialPort serial(control, trace, registry, serialDevices, hub);
  platform::SystemWinUsbCalls usbCalls;
  platform::Win32UsbDevice usbDevice(usbCalls);
  UsbPort usb(usbDevice, control, trace, hub);
  platform::Win32TcpSocket tcpSocket;
  // The connect runs inside the window's creation; clients that send to the
  // window meanwhile are served from the connect's wait, and a close request
  // among them gives the connect up.
  tcpSocket.SetConnectWaitHook([&hub] { return hub.ServeSentMessagesDuringStart(); });
  TcpPort tcp(tcpSocket, control, trace);
  Transport transport(config, trace, control, serial, &usb, &tcp);

  FrameCodec codec(trace, transport);
  codec.CountInto(&control.Stats);
  LinkContext ctx{trace, control, hub, codec, delivery, transport};
  LinkStateMachine machine(ctx);
  machine.SetHandOverOutsideLock(!recordLog.Directory.empty() && recordLog.SyncAlways);
  SendQueue queue(ctx, machine);
  LinkTimers timers(ctx, machine, queue);
  ReceiveParser parser(trace, &timers);
  parser.CountInto(&control.Stats);
  SocketFraming framing(ctx, timers);

  platform::Win32Process process;
  ControlWindow window(ControlWindowParts{trace, control, hub, process, configuration, config, delivery, transport,
                                          serial, &usb, &tcp, &framing, parser, machine, timers, queue});
  hub.SetHandler(&window);
  hub.SetStatusSource([&window] { return window.StatusAnswer(); });

  if (tail.size() > sizeof config.Link - 1) {
    // Cut to the 7 characters a link name has, it could name another port:
    // the link cannot be opened, and ends as a link that failed to open.
    TellStartFailure(trace, "KavroWnd: link name " + tail + " longer than 7 characters",
                     "name a link such as COM1, USB or TCP");
    delivery.SignalLinkEvent(LINK_EVENT_FAILED);
    delivery.SignalLinkEvent(LINK_EVENT_SHUTDOWN);
    return 0;
  }

  // A failed open ends the process inside the creation (event 0, exit 0),
  // whether or not the window system follows a failed WM_CREATE with
  // WM_DESTROY.
  if (!hub.CreateControlWindow(control.Block.WindowClassName, platform::CONTROL_WINDOW_TITLE,
                               [&window, &tail] { return window.Create(tail); })) {
    return 0;
  }
  static std::pair<HANDLE, HWND> watched{stopEvent, static_cast<HWND>(hub.Window())};
  if (stopEvent != nullptr) CloseHandle(CreateThread(nullptr, 0, WatchStop, &watched, 0, nullptr));
  return hub.Run();
}
