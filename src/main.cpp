// kavro: the link driver's process entry. One process runs one link: it
// opens the link at start and ends, with exit code 0, when the link ends.
#include <arpa/inet.h>
#include <grp.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "control/configuration.h"
#include "control/control_window.h"
#include "control/delivery_library.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "kavro/kavro_wire.h"
#include "link/frame_codec.h"
#include "link/link_state_machine.h"
#include "link/link_timers.h"
#include "link/receive_parser.h"
#include "link/send_queue.h"
#include "link/socket_framing.h"
#include "platform/posix/control_socket.h"
#include "platform/posix/library_loader.h"
#include "platform/posix/posix_event_hub.h"
#include "platform/posix/posix_log_backend.h"
#include "platform/posix/posix_process.h"
#include "platform/posix/posix_signals.h"
#include "platform/posix/registry_file.h"
#include "platform/posix/serial_device.h"
#include "platform/posix/service_notify.h"
#include "platform/posix/stderr_lifecycle_sink.h"
#include "platform/posix/tcp_socket.h"
#include "platform/posix/usb_device.h"
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
  std::vector<std::string> link;
  bool quiet = false;
  bool checkConfig = false;
};

// Where a value of the key came from: the file, or the default because the
// file has no such value.
const char* SourceOf(kavro::platform::Registry& registry, const char* name) {
  auto key = registry.OpenKey(kavro::KAVRO_REGISTRY_KEY);
  uint32_t size = 0;
  if (!key) return "default";
  const long r = key->QueryValue(name, nullptr, nullptr, &size);
  return r == kavro::platform::ERROR_SUCCESS || r == kavro::platform::ERROR_MORE_DATA ? "file" : "default";
}

// kavro --check-config: the configuration as the start would take it, with
// where each value came from, and whether a link could be opened with it.
// Nothing is opened: the serial device is only looked up, a TCP address only
// parsed.
int CheckConfig(const std::string& registryPath, bool fileRead, kavro::platform::Registry& registry,
                const kavro::LinkConfig& config, const std::string& tail, kavro::SerialPort& serial,
                const kavro::platform::UsbFilter& usbFilter) {
  using namespace kavro;
  std::printf("registry file   %s%s\n", registryPath.c_str(), fileRead ? "" : " (not present: defaults)");
  const char* link = config.Link;
  std::printf("Link            %s (%s)\n", link, !tail.empty() ? "command line" : SourceOf(registry, "Link"));
  bool openable = true;
  const bool com = strncmp(link, "COM", 3) == 0;
  const bool usb = strncmp(link, "USB", 3) == 0;
  const bool tcp = strncmp(link, "TCP", 3) == 0 || strncmp(link, "LAN/USB", 7) == 0;
  if (com) {
    std::printf("LinkSpeed       %s (%s)\n", config.LinkSpeed, SourceOf(registry, "LinkSpeed"));
    std::printf("ControlLines    %u (%s)\n", config.ControlLines, SourceOf(registry, "ControlLines"));
    const std::string device = serial.DevicePathFor(link);
    struct stat st {};
    if (device.empty()) {
      std::printf("device          none: map %s under Ports\n", link);
      openable = false;
    } else if (stat(device.c_str(), &st) != 0) {
      std::printf("device          %s (%s)\n", device.c_str(), strerror(errno));
      openable = false;
    } else {
      std::printf("device          %s\n", device.c_str());
    }
  } else if (usb) {
    if (!usbFilter.active) {
      std::printf("USB filter      none: the first device with bulk endpoints 0x04/0x84\n");
    } else if (usbFilter.matchNothing) {
      std::printf("USB filter      unreadable Ports value USB: no device will match\n");
      openable = false;
    } else {
      std::printf("USB filter      %04x:%04x (file)\n", usbFilter.vendor, usbFilter.product);
    }
  } else if (tcp) {
    in_addr address{};
    const bool valid = inet_pton(AF_INET, config.TapiSvrIpAddr, &address) == 1;
    std::printf("TapiSvrIpAddr   %s (%s)%s\n", config.TapiSvrIpAddr, SourceOf(registry, "TapiSvrIpAddr"),
                valid ? "" : ": not a dotted IPv4 address");
    std::printf("TapiSvrIpPort   %u (%s)\n", config.TapiSvrIpPort, SourceOf(registry, "TapiSvrIpPort"));
    std::printf("Keepalive       %u (%s): %s\n", config.Keepalive, SourceOf(registry, "Keepalive"),
                (config.Keepalive & 1) ? "on" : "off");
    openable = valid && config.TapiSvrIpPort != 0 && config.TapiSvrIpPort <= 65535;
  } else {
    std::printf("kind            none: not COMn, USB, TCP or LAN/USB\n");
    openable = false;
  }
  std::printf("result          %s\n", openable ? "a link can be opened" : "no link can be opened");
  return openable ? 0 : 1;
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

// Passes everything on to the companion library, and tells systemd when the
// link is up: a notify-type unit is active only with the link established.
class ServiceNotifyingDelivery : public kavro::Delivery {
 public:
  ServiceNotifyingDelivery(kavro::Delivery& inner, kavro::platform::LifecycleSink& lifecycle, const char* link)
      : inner_(inner), lifecycle_(lifecycle), link_(link) {}
  int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) override {
    return inner_.DeliverPayload(address, payload, length);
  }
  void SignalLinkEvent(uint32_t code) override {
    inner_.SignalLinkEvent(code);
    if (code == kavro::LINK_EVENT_ESTABLISHED) {
      lifecycle_.LinkUp();
      lifecycle_.Notice(kavro::platform::NoticeLevel::Info, std::string("link ") + link_ + " established");
      kavro::platform::NotifyServiceManager("READY=1\nSTATUS=Link established");
    } else if (code == kavro::LINK_EVENT_FAILED) {
      lifecycle_.Notice(kavro::platform::NoticeLevel::Warning, std::string("link ") + link_ + " could not be set up");
      kavro::platform::NotifyServiceManager("STATUS=Link failed");
    }
  }

 private:
  kavro::Delivery& inner_;
  kavro::platform::LifecycleSink& lifecycle_;
  // LinkConfig's link name, final once the link is opened.
  const char* link_;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace kavro;

  Options opt;
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
      "(companion library or control socket), 2 usage error.\n"
      "SIGTERM, SIGINT and SIGHUP take the link down in order; a second one ends kavro at once.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) return app.exit(e);
    return Fail(EXIT_USAGE, std::string(e.what()) + "; see kavro --help");
  }

  gid_t socketGroup = static_cast<gid_t>(-1);
  if (!opt.socketGroup.empty()) {
    const group* entry = getgrnam(opt.socketGroup.c_str());
    char* end = nullptr;
    const unsigned long number = strtoul(opt.socketGroup.c_str(), &end, 10);
    if (entry != nullptr) {
      socketGroup = entry->gr_gid;
    } else if (*end == '\0' && isdigit(static_cast<unsigned char>(opt.socketGroup[0]))) {
      socketGroup = static_cast<gid_t>(number);
    } else {
      return Fail(EXIT_USAGE, "no group '" + opt.socketGroup + "' for --socket-group; create it or name another");
    }
  }

  std::string tail;
  for (size_t i = 0; i < opt.link.size(); ++i) {
    // By position, not by what is joined so far: an empty word still counts.
    if (i > 0) tail += ' ';
    tail += opt.link[i];
  }
  if (tail.size() > sizeof(LinkConfig{}.Link) - 1) {
    return Fail(EXIT_USAGE,
                "link name '" + tail + "' is longer than 7 characters; name a link such as COM1, USB or TCP");
  }

  platform::IgnoreSigpipe();
  platform::StderrLifecycleSink lifecycle(opt.quiet);

  // Only the default file may be missing; a file named on purpose that is
  // missing or broken is a mistake worth stopping for.
  const bool registryExplicit =
      registryOption->count() > 0 || (getenv("KAVRO_REGISTRY") != nullptr && *getenv("KAVRO_REGISTRY") != '\0');
  std::unique_ptr<platform::RegistryFile> registry = platform::RegistryFile::Load(opt.registry, false);
  if (!registry->IsLoaded()) {
    struct stat st {};
    const bool missing = stat(opt.registry.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
    if (registryExplicit && missing) {
      return Fail(EXIT_CANNOT_START, "registry file " + opt.registry +
                                         " does not exist; name an existing file with --registry (or "
                                         "KAVRO_REGISTRY), or leave both out for the defaults");
    }
    if (registryExplicit) {
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
  platform::PosixLogBackend logBackend;
  TraceLog trace(logBackend);
  trace.InitTraceLog(opt.logDir);

  if (opt.checkConfig) {
    platform::PosixEventHub checkHub;
    LinkControl checkControl(trace, checkHub);
    Configuration checkConfiguration(*registry, trace);
    LinkConfig checkConfig;
    checkConfiguration.LoadConfiguration(checkConfig);
    // As the start does: the command line replaces a link of a known kind.
    const char* configured = checkConfig.Link;
    if (!tail.empty() && (strncmp(configured, "COM", 3) == 0 || strncmp(configured, "USB", 3) == 0 ||
                          strncmp(configured, "TCP", 3) == 0 || strncmp(configured, "LAN/USB", 7) == 0)) {
      snprintf(checkConfig.Link, sizeof checkConfig.Link, "%s", tail.c_str());
    }
    platform::PosixSerialDeviceFactory checkDevices;
    SerialPort checkSerial(checkControl, trace, *registry, checkDevices, checkHub);
    return CheckConfig(opt.registry, registry->IsLoaded(), *registry, checkConfig, tail, checkSerial,
                       ReadUsbFilter(*registry, trace));
  }

  std::string error;
  if (!MakeDirectories(opt.runDir, error)) {
    return Fail(EXIT_CANNOT_START, "cannot create the run directory " + error + "; use --run-dir");
  }
  // A start that fails as the last one did is told once and retried ever
  // more slowly: the run directory outlives the process under the unit.
  lifecycle.RememberFailuresIn(opt.runDir + "/" + START_FAILURE_FILE);
  // The companion library finds its own socket through this.
  setenv("KAVRO_RUN_DIR", opt.runDir.c_str(), 1);

  platform::PosixLibraryLoader loader;
  DeliveryLibrary delivery(loader);
  const std::string libraryPath =
      opt.deliveryLibrary.empty() ? ResolveDefaultDeliveryLibrary(loader) : opt.deliveryLibrary;
  if (!delivery.Load(libraryPath, error)) return Fail(EXIT_CANNOT_START, error);

  platform::PosixEventHub hub;
  if (!hub.Ok()) return Fail(EXIT_CANNOT_START, std::string("cannot create the event loop: ") + strerror(errno));
  LinkControl control(trace, hub);
  control.SetLifecycleSink(&lifecycle);
  hub.SetTimerDispatchLock(&control.LinkLock);

  Configuration configuration(*registry, trace);
  LinkConfig config;
  ServiceNotifyingDelivery notifyingDelivery(delivery, lifecycle, config.Link);

  platform::PosixSerialDeviceFactory serialDevices;
  SerialPort serial(control, trace, *registry, serialDevices, hub);
  platform::LibusbDevice usbDevice;
  UsbPort usb(usbDevice, control, trace, hub);
  usb.SetUsbFilterSource([&registry, &trace] { return ReadUsbFilter(*registry, trace); });
  platform::PosixTcpSocket tcpSocket;
  TcpPort tcp(tcpSocket, control, trace);
  Transport transport(config, trace, control, serial, &usb, &tcp);

  FrameCodec codec(trace, transport);
  codec.CountInto(&control.Stats);
  LinkContext ctx{trace, control, hub, codec, notifyingDelivery, transport};
  LinkStateMachine machine(ctx);
  SendQueue queue(ctx, machine);
  LinkTimers timers(ctx, machine, queue);
  ReceiveParser parser(trace, &timers);
  parser.CountInto(&control.Stats);
  SocketFraming framing(ctx, timers);

  platform::PosixProcess process;
  ControlWindow window(ControlWindowParts{trace, control, hub, process, configuration, config, notifyingDelivery,
                                          transport, serial, &usb, &tcp, &framing, parser, machine, timers, queue});
  hub.SetHandler(&window);

  // Routed before the control socket exists: a signal from then on waits in
  // the hub for the close request, instead of killing the process with its
  // socket file left behind.
  int closeRequests = 0;
  platform::SignalRoute signals(hub);
  const bool routed = signals.Start([&](int) {
    // The first signal asks for an orderly end (DISC); a second one while
    // that is under way ends the process at once.
    if (++closeRequests == 1) {
      window.KavroWnd(platform::WM_CLOSE, 0, nullptr);
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

  platform::ControlSocket controlSocket(hub, window);
  controlSocket.SetStatusSource([&window] { return window.StatusAnswer(); });
  controlSocket.SetNotice([&trace](const std::string& text) { trace.TraceMessage(LOG_WARNING, "%s", text.c_str()); });
  if (!controlSocket.Open(opt.runDir, &error)) return Fail(EXIT_CANNOT_START, error);
  process.AtExit([&controlSocket] { controlSocket.Close(); });
  if (!opt.socketGroup.empty() && !GiveSocketsToGroup(opt.runDir, socketGroup, error)) {
    return Fail(EXIT_CANNOT_START, error);
  }

  if (!window.Create(tail)) return 0;
  hub.Run();
  return 0;
}
