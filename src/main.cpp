// kavro: the link driver's process entry. One process runs one link: it
// opens the link at start and ends, with exit code 0, when the link ends.
#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "control/config_check.h"
#include "control/configuration.h"
#include "control/control_window.h"
#include "control/delivery_library.h"
#include "control/lifecycle_delivery.h"
#include "control/record_log_settings.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "kavro/kavro_wire.h"
#include "link/frame_codec.h"
#include "link/link_state_machine.h"
#include "link/link_timers.h"
#include "link/receive_parser.h"
#include "link/send_queue.h"
#include "link/socket_framing.h"
#include "platform/posix/posix_control_socket.h"
#include "platform/posix/posix_library_loader.h"
#include "platform/posix/posix_event_hub.h"
#include "platform/posix/posix_log_backend.h"
#include "platform/posix/posix_process.h"
#include "platform/posix/posix_signals.h"
#include "platform/posix/posix_registry_file.h"
#include "platform/posix/posix_serial_device.h"
#include "platform/posix/posix_service_notify.h"
#include "platform/posix/posix_stderr_lifecycle_sink.h"
#include "platform/posix/posix_tcp_socket.h"
#include "platform/posix/posix_usb_device.h"
#include "transport/serial_port.h"
#include "transport/tcp_port.h"
#include "transport/transport.h"
#include "transport/usb_port.h"

namespace {

constexpr int EXIT_CANNOT_START = 1;
constexpr int EXIT_USAGE = 2;
// In the run directory: the last start failure, its count and its wait.
constexpr const char* START_FAILURE_FILE = "last-failure";

struct Options {
  std::string registry = "/etc/kavro/kavro.reg";
  std::string runDir = "/run/kavro";
  std::string logDir = "/var/log";
  std::string deliveryLibrary;
  std::string socketGroup;
  std::string recordLogMax;
  std::string recordLogSync;
  kavro::RecordLogSettings recordLog;
  std::vector<std::string> link;
  bool quiet = false;
  bool checkConfig = false;
  // Worked out from the above.
  bool registryExplicit = false;  // named with --registry or KAVRO_REGISTRY
  gid_t socketGroupId = static_cast<gid_t>(-1);
  std::string tail;  // the LINK words joined
};

// A start-up step that ends the process returns its exit code; one that
// lets the start go on returns this.
constexpr int GO_ON = -1;

// The account kavro runs as, by name where it has one.
std::string AccountName() {
  const passwd* account = getpwuid(geteuid());
  return account != nullptr ? account->pw_name : "uid " + std::to_string(geteuid());
}

// What an account refused a device needs: its group, when the group may
// read and write it, else access the device's mode does not give at all.
std::string DeviceAccessAdvice(const struct stat& st) {
  const group* owner = getgrgid(st.st_gid);
  const std::string name = owner != nullptr ? owner->gr_name : std::to_string(st.st_gid);
  if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
    return "add the account to group " + name + " (usermod -aG " + name + " " + AccountName() +
           "), then start kavro anew";
  }
  char mode[8];
  snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  return std::string("the device's mode ") + mode + " gives its group " + name +
         " no read and write access: change it (a udev rule) or run kavro as its owner";
}

// kavro --check-config on Linux: values come from the file or are
// defaults; the serial device is looked up and tried for the read and write
// access the start needs, a TCP address only parsed.
class FileConfigProbe : public kavro::ConfigCheckProbe {
 public:
  FileConfigProbe(kavro::platform::Registry& registry, const std::set<std::string>& taken, kavro::SerialPort& serial,
                  const kavro::platform::UsbFilter& usbFilter)
      : registry_(registry), taken_(taken), serial_(serial), usbFilter_(usbFilter) {}
  // What the load took, not merely what the file holds: a value of a group
  // the link does not read, or one of the wrong type, is no source.
  std::string SourceOf(const char* name) override { return taken_.count(name) != 0 ? "file" : "default"; }
  bool StoredText(const char* name, std::string* text) override {
    return kavro::StoredRegistryText(registry_, name, text);
  }
  std::string SerialDevice(const char* link, bool* openable) override {
    const std::string device = serial_.DevicePathFor(link);
    struct stat st {};
    *openable = false;
    if (device.empty()) return std::string("none: map ") + link + " under Ports";
    if (stat(device.c_str(), &st) != 0) return device + " (" + strerror(errno) + ")";
    // The start opens the device for reading and writing: an account that
    // may only see it would pass a mere lookup and fail at the start.
    if (access(device.c_str(), R_OK | W_OK) != 0) {
      const int error = errno;
      std::string line = device + " (" + strerror(error) + " for account " + AccountName() + ")";
      if (error == EACCES) line += "\n" + kavro::ConfigCheckLine("access", DeviceAccessAdvice(st));
      return line;
    }
    *openable = true;
    return device;
  }
  std::vector<std::string> UsbDevice(bool* openable) override {
    *openable = true;
    if (!usbFilter_.active) {
      return {kavro::ConfigCheckLine("USB filter", "none: the first device with bulk endpoints 0x04/0x84")};
    }
    if (usbFilter_.matchNothing) {
      *openable = false;
      return {kavro::ConfigCheckLine("USB filter", "unreadable Ports value USB: no device will match")};
    }
    char filter[32];
    snprintf(filter, sizeof filter, "%04x:%04x (file)", usbFilter_.vendor, usbFilter_.product);
    return {kavro::ConfigCheckLine("USB filter", filter)};
  }
  bool IsAddress(const char* text) override {
    in_addr address{};
    return inet_pton(AF_INET, text, &address) == 1;
  }

 private:
  kavro::platform::Registry& registry_;
  const std::set<std::string>& taken_;
  kavro::SerialPort& serial_;
  const kavro::platform::UsbFilter& usbFilter_;
};

int CheckConfig(const std::string& registryPath, kavro::platform::Registry& registry, bool fileRead,
                const std::set<std::string>& taken,
                const kavro::LinkConfig& config, const std::string& tail, kavro::SerialPort& serial,
                const kavro::platform::UsbFilter& usbFilter, const kavro::RecordLogSettings& recordLog) {
  std::printf(
      "%s\n",
      kavro::ConfigCheckLine("registry file", registryPath + (fileRead ? "" : " (not present: defaults)")).c_str());
  FileConfigProbe probe(registry, taken, serial, usbFilter);
  const kavro::ConfigCheck check = kavro::CheckConfiguration(config, !tail.empty(), probe);
  for (const std::string& line : check.lines) std::printf("%s\n", line.c_str());
  for (const std::string& line : kavro::RecordLogCheckLines(recordLog)) std::printf("%s\n", line.c_str());
  return check.openable ? 0 : 1;
}

int Fail(int code, const std::string& message) {
  // The library loader and the control socket name the program in their
  // messages already; one prefix per line, after the journal's priority.
  const std::string prefix = "kavro: ";
  const bool named = message.compare(0, prefix.size(), prefix) == 0;
  fprintf(stderr, "<3>%s%s\n", named ? "" : prefix.c_str(), message.c_str());
  return code;
}

bool MakeDirectories(const std::string& path, std::string& error) {
  std::string partial;
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0755) == 0) {
      // The umask must not narrow it: clients of other users reach the
      // sockets through this directory.
      chmod(partial.c_str(), 0755);
    } else if (errno != EEXIST) {
      error = partial + ": " + strerror(errno);
      return false;
    }
  }
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = path + ": not a directory";
    return false;
  }
  return true;
}

// The sockets are created 0660 with the process's group; --socket-group
// hands them to another group, so that its members can be clients without
// kavro running in that group.
bool GiveSocketsToGroup(const std::string& runDir, gid_t group, std::string& error) {
  for (const char* name : {"KavroControlProg", "kavrod"}) {
    const std::string path = runDir + "/" + name;
    if (lchown(path.c_str(), static_cast<uid_t>(-1), group) != 0 && errno != ENOENT) {
      error = "cannot give " + path + " to the socket group: " + strerror(errno) +
              "; run kavro as root or as a member of that group";
      return false;
    }
  }
  return true;
}

// The command line's options.
int ParseCommandLine(int argc, char** argv, Options& opt) {
  using namespace kavro;
  CLI::App app{
      "kavro: the link driver between CTI client programs and a PBX.\n"
      "Opens the link named by the registry file (or by LINK), keeps it up, takes\n"
      "client payloads on RUN_DIR/" KAVRO_CONTROL_SOCKET_NAME
      " and hands every received payload\n"
      "to the companion library. Ends with exit code 0 whenever the link ends.",
      "kavro"};
  app.set_version_flag("--version", std::string("kavro ") + KAVRO_VERSION);
  auto* registryOption = app.add_option("--registry", opt.registry, "registry export file holding the configuration")
                             ->type_name("FILE")
                             ->envname("KAVRO_REGISTRY")
                             ->capture_default_str();
  app.add_option("--run-dir", opt.runDir, "directory of the control and client sockets")
      ->type_name("DIR")
      ->envname("KAVRO_RUN_DIR")
      ->capture_default_str();
  app.add_option("--log-dir", opt.logDir, "directory of the trace log kavro.log (written only if it exists)")
      ->type_name("DIR")
      ->envname("KAVRO_LOG_DIR")
      ->capture_default_str();
  app.add_option("--delivery-library", opt.deliveryLibrary, "companion library to load instead of libkavrod.so.1")
      ->type_name("FILE")
      ->envname("KAVRO_DELIVERY_LIBRARY");
  app.add_option("--socket-group", opt.socketGroup,
                 "group (name or number) given the sockets, so that its members can be clients")
      ->type_name("GROUP")
      ->envname("KAVRO_SOCKET_GROUP");
  auto* recordLogOption =
      app.add_option("--record-log", opt.recordLog.Directory,
                     "directory of the record log: every record is kept there until the acknowledged client "
                     "acknowledges it, across restarts of kavro (env KAVRO_RECORD_LOG)")
          ->type_name("DIR");
  auto* recordLogMaxOption =
      app.add_option("--record-log-max", opt.recordLogMax,
                     "bound of the record log, in bytes or with K, M or G (default 256M; env KAVRO_RECORD_LOG_MAX)")
          ->type_name("SIZE");
  auto* recordLogSyncOption =
      app.add_option("--record-log-sync", opt.recordLogSync,
                     "default: records are synced to disk within 50 ms; always: each before the PBX is told it "
                     "arrived (env KAVRO_RECORD_LOG_SYNC)")
          ->type_name("default|always");
  app.add_flag("--check-config", opt.checkConfig,
               "print the effective configuration with the source of each value and exit: 0 when a link "
               "could be opened with it, 1 when not; nothing is opened");
  app.add_flag("--quiet,-q", opt.quiet, "leave out the informational lifecycle lines on standard error")
      ->envname("KAVRO_QUIET");
  app.add_option("LINK", opt.link,
                 "link name replacing the configured one (COM1, USB, TCP, LAN/USB...); words are joined by blanks")
      ->type_name("");
  app.footer(
      "Exit codes: 0 the link ended (in every way a link ends), 1 kavro could not start\n"
      "(companion library, record log or control socket), 2 usage error.\n"
      "SIGTERM, SIGINT and SIGHUP take the link down in order; a second one ends kavro at once.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return Fail(EXIT_USAGE, std::string(e.what()) + "; see kavro --help");
  }
  opt.registryExplicit =
      registryOption->count() > 0 || (getenv("KAVRO_REGISTRY") != nullptr && *getenv("KAVRO_REGISTRY") != '\0');
  // An option wins over its variable; each says where it came from.
  auto take = [](CLI::Option* option, const char* variable, std::string& value, std::string& source) {
    if (option->count() > 0) {
      source = "command line";
    } else if (const char* text = getenv(variable); text != nullptr && *text != '\0') {
      value = text;
      source = "environment";
    }
  };
  RecordLogSettings& log = opt.recordLog;
  take(recordLogOption, "KAVRO_RECORD_LOG", log.Directory, log.DirectorySource);
  take(recordLogMaxOption, "KAVRO_RECORD_LOG_MAX", opt.recordLogMax, log.MaxSource);
  take(recordLogSyncOption, "KAVRO_RECORD_LOG_SYNC", opt.recordLogSync, log.SyncSource);
  if (!opt.recordLogMax.empty() && !ParseRecordLogSize(opt.recordLogMax, &log.MaxBytes)) {
    return Fail(EXIT_USAGE, "--record-log-max " + opt.recordLogMax +
                                ": give a size of at least 1M, in bytes or with K, M or G (such as 256M)");
  }
  if (!opt.recordLogSync.empty() && !ParseRecordLogSync(opt.recordLogSync, &log.SyncAlways)) {
    return Fail(EXIT_USAGE, "--record-log-sync " + opt.recordLogSync + ": give default or always");
  }
  return GO_ON;
}

// What the command line names: the socket group's number and the link name.
int ResolveNames(Options& opt) {
  if (!opt.socketGroup.empty()) {
    const group* entry = getgrnam(opt.socketGroup.c_str());
    char* end = nullptr;
    const unsigned long number = strtoul(opt.socketGroup.c_str(), &end, 10);
    if (entry != nullptr) {
      opt.socketGroupId = entry->gr_gid;
    } else if (*end == '\0' && isdigit(static_cast<unsigned char>(opt.socketGroup[0]))) {
      opt.socketGroupId = static_cast<gid_t>(number);
    } else {
      return Fail(EXIT_USAGE, "no group '" + opt.socketGroup + "' for --socket-group; create it or name another");
    }
  }

  for (size_t i = 0; i < opt.link.size(); ++i) {
    // By position, not by what is joined so far: an empty word still counts.
    if (i > 0) opt.tail += ' ';
    opt.tail += opt.link[i];
  }
  if (opt.tail.size() > sizeof(kavro::LinkConfig{}.Link) - 1) {
    return Fail(EXIT_USAGE,
                "link name '" + opt.tail + "' is longer than 7 characters; name a link such as COM1, USB or TCP");
  }
  return GO_ON;
}

// The registry file. Only the default file may be missing; a file named on
// purpose that is missing or broken is a mistake worth stopping for.
int LoadRegistry(const Options& opt, kavro::platform::LifecycleSink& lifecycle,
                 std::unique_ptr<kavro::platform::RegistryFile>& registry) {
  using namespace kavro;
  registry = platform::RegistryFile::Load(opt.registry, false);
  if (!registry->IsLoaded()) {
    struct stat st {};
    const bool missing = stat(opt.registry.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
    if (opt.registryExplicit && missing) {
      return Fail(EXIT_CANNOT_START, "registry file " + opt.registry +
                                         " does not exist; name an existing file with --registry (or "
                                         "KAVRO_REGISTRY), or leave both out for the defaults");
    }
    if (opt.registryExplicit) {
      return Fail(EXIT_CANNOT_START, registry->Error() + "; correct the file or name another with --registry");
    }
    if (missing) {
      lifecycle.Notice(platform::NoticeLevel::Info, "no registry file " + opt.registry + ": the defaults apply");
    } else {
      lifecycle.Notice(
          platform::NoticeLevel::Warning,
          registry->Error().substr(registry->Error().compare(0, 7, "kavro: ") == 0 ? 7 : 0) + "; the defaults apply");
    }
  }
  // A misspelt key or value name is read as absent: say so, since the
  // defaults then apply in its place without a word.
  for (const std::string& slip : registry->NearMisses(
           {KAVRO_REGISTRY_KEY, PortsKeyPath()},
           {"USBEnabled", "Link", "LinkSpeed", "ControlLines", "TapiSvrIpAddr", "TapiSvrIpPort", "Keepalive"})) {
    lifecycle.Notice(platform::NoticeLevel::Warning, slip);
  }
  return GO_ON;
}

// A log file that is there but cannot be written leaves the trace off:
// say so, or the operator waits for lines that never come.
void WarnOfUnwritableTraceLog(kavro::TraceLog& trace, kavro::platform::LifecycleSink& lifecycle) {
  using namespace kavro;
  if (trace.TraceMask == 0 && access(trace.LogPath().c_str(), F_OK) == 0) {
    const int fd = open(trace.LogPath().c_str(), O_WRONLY | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
    } else {
      // Taken before the account's name is looked up, which may set it anew.
      const int error = errno;
      lifecycle.Notice(platform::NoticeLevel::Warning,
                       "trace log " + trace.LogPath() + " exists but account " + AccountName() + " cannot write it (" +
                           strerror(error) + "): the trace is off; give the account write access to the file");
    }
  }
}

// kavro --check-config: the configuration as the start would take it.
int RunCheckConfig(const Options& opt, kavro::platform::RegistryFile& registry, kavro::TraceLog& trace) {
  using namespace kavro;
  platform::PosixEventHub checkHub;
  LinkControl checkControl(trace, checkHub);
  Configuration checkConfiguration(registry, trace);
  LinkConfig checkConfig;
  const std::string& tail = opt.tail;
  checkConfiguration.LoadConfiguration(checkConfig, tail.empty() ? nullptr : tail.c_str());
  // As the start does: the command line replaces a link of a known kind.
  const char* configured = checkConfig.Link;
  if (!tail.empty() && (strncmp(configured, "COM", 3) == 0 || strncmp(configured, "USB", 3) == 0 ||
                        strncmp(configured, "TCP", 3) == 0 || strncmp(configured, "LAN/USB", 7) == 0)) {
    snprintf(checkConfig.Link, sizeof checkConfig.Link, "%s", tail.c_str());
  }
  platform::PosixSerialDeviceFactory checkDevices;
  SerialPort checkSerial(checkControl, trace, registry, checkDevices, checkHub);
  return CheckConfig(opt.registry, registry, registry.IsLoaded(), checkConfiguration.TakenFromFile(), checkConfig, tail,
                     checkSerial, ReadUsbFilter(registry, trace), opt.recordLog);
}

// The run directory, the memory of start failures in it, and what the
// companion library reads from the environment.
int PrepareRunDirectory(const Options& opt, kavro::platform::StderrLifecycleSink& lifecycle) {
  std::string error;
  if (!MakeDirectories(opt.runDir, error)) {
    return Fail(EXIT_CANNOT_START, "cannot create the run directory " + error + "; use --run-dir");
  }
  // A start that fails as the last one did is told once and retried ever
  // more slowly: the run directory outlives the process under the unit.
  lifecycle.RememberFailuresIn(opt.runDir + "/" + START_FAILURE_FILE);
  // The companion library finds its own socket through this, and gives it to
  // the socket group itself each time it creates it (it may create it later,
  // when the run directory is free again).
  setenv("KAVRO_RUN_DIR", opt.runDir.c_str(), 1);
  if (!opt.socketGroup.empty()) {
    setenv("KAVRO_SOCKET_GROUP", std::to_string(opt.socketGroupId).c_str(), 1);
  } else {
    unsetenv("KAVRO_SOCKET_GROUP");
  }
  return GO_ON;
}

// Everything one link runs on, built in the order the parts need each other.
struct LinkDriver {
  LinkDriver(kavro::TraceLog& trace, kavro::platform::LifecycleSink& lifecycle, kavro::platform::RegistryFile& registry,
             kavro::Delivery& library)
      : control(trace, hub),
        configuration(registry, trace),
        // systemd counts a notify-type unit active only with the link established.
        delivery(library, lifecycle, &trace, config.Link,
                 [](uint32_t code) {
                   if (code == kavro::LINK_EVENT_ESTABLISHED) {
                     kavro::platform::NotifyServiceManager("READY=1\nSTATUS=Link established");
                   }
                   if (code == kavro::LINK_EVENT_FAILED) kavro::platform::NotifyServiceManager("STATUS=Link failed");
                 }),
        serial(control, trace, registry, serialDevices, hub),
        usb(usbDevice, control, trace, hub),
        tcp(tcpSocket, control, trace),
        transport(config, trace, control, serial, &usb, &tcp),
        codec(trace, transport),
        ctx{trace, control, hub, codec, delivery, transport},
        machine(ctx),
        queue(ctx, machine),
        timers(ctx, machine, queue),
        parser(trace, &timers),
        framing(ctx, timers),
        window(kavro::ControlWindowParts{trace, control, hub, process, configuration, config, delivery, transport,
                                         serial, &usb, &tcp, &framing, parser, machine, timers, queue}),
        signals(hub),
        controlSocket(hub, window) {
    control.SetLifecycleSink(&lifecycle);
    hub.SetTimerDispatchLock(&control.LinkLock);
    usb.SetUsbFilterSource([&registry, &trace] { return kavro::ReadUsbFilter(registry, trace); });
    codec.CountInto(&control.Stats);
    parser.CountInto(&control.Stats);
    hub.SetHandler(&window);
    controlSocket.SetStatusSource([this] { return window.StatusAnswer(); });
    controlSocket.SetNotice(
        [&trace](const std::string& text) { trace.TraceMessage(kavro::LOG_WARNING, "%s", text.c_str()); });
  }

  // Routed before the control socket exists: a signal waits in the hub for
  // the close request, instead of killing the process with its socket file
  // left behind.
  int RouteSignals() {
    const bool routed = signals.Start([this](int) {
      // The first signal asks for an orderly end (DISC); a second one while
      // that is under way ends the process at once.
      if (++closeRequests == 1) {
        window.KavroWnd(kavro::platform::WM_CLOSE, 0, nullptr);
      } else {
        window.DestroyNow();
      }
    });
    if (!routed) {
      return Fail(EXIT_CANNOT_START, std::string("cannot route SIGTERM, SIGINT and SIGHUP: ") + strerror(errno) +
                                         "; check the open-file limit (ulimit -n)");
    }
    // The connect runs before the hub does, and a send to a stuck peer holds
    // it: both give up when a close signal comes. A signal during the connect
    // thus ends the start (event 18, then the shutdown), as a second one would.
    tcpSocket.SetCancelDescriptor(signals.PendingDescriptor());
    return GO_ON;
  }

  int OpenControlSocket(const Options& opt) {
    std::string error;
    if (!controlSocket.Open(opt.runDir, &error)) return Fail(EXIT_CANNOT_START, error);
    process.AtExit([this] { controlSocket.Close(); });
    if (!opt.socketGroup.empty() && !GiveSocketsToGroup(opt.runDir, opt.socketGroupId, error)) {
      return Fail(EXIT_CANNOT_START, error);
    }
    return GO_ON;
  }

  // Opens the link and serves it until the process ends.
  int Run(const std::string& tail) {
    if (!window.Create(tail)) return 0;
    hub.Run();
    return 0;
  }

  kavro::platform::PosixEventHub hub;
  kavro::LinkControl control;
  kavro::Configuration configuration;
  kavro::LinkConfig config;
  kavro::LifecycleDelivery delivery;
  kavro::platform::PosixSerialDeviceFactory serialDevices;
  kavro::SerialPort serial;
  kavro::platform::LibusbDevice usbDevice;
  kavro::UsbPort usb;
  kavro::platform::PosixTcpSocket tcpSocket;
  kavro::TcpPort tcp;
  kavro::Transport transport;
  kavro::FrameCodec codec;
  kavro::LinkContext ctx;
  kavro::LinkStateMachine machine;
  kavro::SendQueue queue;
  kavro::LinkTimers timers;
  kavro::ReceiveParser parser;
  kavro::SocketFraming framing;
  kavro::platform::PosixProcess process;
  kavro::ControlWindow window;
  kavro::platform::SignalRoute signals;
  kavro::platform::ControlSocket controlSocket;
  int closeRequests = 0;
};

}  // namespace

// The start-up, step by step, in the order the user documentation gives.
int main(int argc, char** argv) {
  using namespace kavro;
  // Before any thread exists (the companion library starts its own): only
  // the signal route, on this thread, takes the close signals. One sent
  // before the route is set up waits for it instead of killing the process.
  platform::BlockRoutedSignals();
  Options opt;
  if (const int code = ParseCommandLine(argc, argv, opt); code != GO_ON) return code;
  if (const int code = ResolveNames(opt); code != GO_ON) return code;

  platform::IgnoreSigpipe();
  platform::StderrLifecycleSink lifecycle(opt.quiet);
  std::unique_ptr<platform::RegistryFile> registry;
  if (const int code = LoadRegistry(opt, lifecycle, registry); code != GO_ON) return code;

  platform::PosixLogBackend logBackend;
  TraceLog trace(logBackend);
  trace.InitTraceLog(opt.logDir);
  WarnOfUnwritableTraceLog(trace, lifecycle);
  if (opt.checkConfig) return RunCheckConfig(opt, *registry, trace);

  if (const int code = PrepareRunDirectory(opt, lifecycle); code != GO_ON) return code;
  platform::PosixLibraryLoader loader;
  DeliveryLibrary library(loader);
  std::string error;
  const std::string libraryPath =
      opt.deliveryLibrary.empty() ? ResolveDefaultDeliveryLibrary(loader) : opt.deliveryLibrary;
  if (!library.Load(libraryPath, error)) return Fail(EXIT_CANNOT_START, error);
  // Before the link opens: the first record already goes to the log.
  if (!opt.recordLog.Directory.empty() && !library.OpenRecordLog(opt.recordLog, error)) {
    return Fail(EXIT_CANNOT_START, error);
  }

  // Large and long-lived: on the heap rather than the main thread's stack.
  auto driver = std::make_unique<LinkDriver>(trace, lifecycle, *registry, library);
  if (!driver->hub.Ok()) {
    return Fail(EXIT_CANNOT_START, std::string("cannot create the event loop: ") + strerror(errno));
  }
  driver->machine.SetHandOverOutsideLock(!opt.recordLog.Directory.empty() && opt.recordLog.SyncAlways);
  if (const int code = driver->RouteSignals(); code != GO_ON) return code;
  if (const int code = driver->OpenControlSocket(opt); code != GO_ON) return code;
  return driver->Run(opt.tail);
}
