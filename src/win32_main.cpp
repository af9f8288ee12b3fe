// kavro.exe: the link driver's process entry on Windows. One process runs
// one link: the command-line tail names it (COM1, USB, TCP, LAN/USB; empty:
// the configured link), the hidden control window opens it on creation, and
// the process ends with exit code 0 when the link ends, from inside the
// window's destroy handling. Exit code 1: KAVROD32.dll is missing or lacks
// one of its two functions.
#include <cstdint>
#include <cstring>
#include <string>

#include "control/configuration.h"
#include "control/control_window.h"
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

namespace {

using namespace kavro;

constexpr int EXIT_CANNOT_START = 1;

// The companion DLL behind the link's delivery contract. Records the library
// reports lost to slow clients are traced.
class OrdinalDelivery : public Delivery {
 public:
  OrdinalDelivery(platform::CompanionLibrary& library, TraceLog& trace) : library_(library), trace_(trace) {}
  // The library is never handed a null block to free; the caller frees it
  // as on any refusal.
  int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) override {
    if (payload == nullptr) return KAVRO_QUEUE_ERROR;
    const int32_t result = library_.DeliverPayload(address, payload, length);
    ReportLosses();
    return result;
  }
  void SignalLinkEvent(uint32_t code) override { library_.SignalLinkEvent(code); }
  bool WaitForRoom(uint32_t timeoutMs) override {
    const bool room = library_.WaitForRoom(timeoutMs) != 0;
    ReportLosses();
    return room;
  }
  bool QueryStatus(DeliveryStatus& status) override {
    KavrodStatusRecord record{};
    record.size = sizeof record;
    if (library_.QueryStatus(&record) != 1) return false;
    status.Clients = record.clients;
    status.AcknowledgedClients = record.acknowledgedClients;
    status.RecordsLost = record.recordsLost;
    status.RecordsUnacknowledged = record.recordsUnacknowledged;
    return true;
  }

 private:
  void ReportLosses() {
    const uint64_t lost = losses_.NewlyLost(*this);
    if (lost == 0) return;
    trace_.TraceMessage(LOG_WARNING, "%lu records lost to slow clients (%lu since the start)",
                        static_cast<unsigned long>(lost), static_cast<unsigned long>(losses_.Seen()));
  }

  platform::CompanionLibrary& library_;
  TraceLog& trace_;
  LossWatch losses_;
};

// A program started from a console or a script with its error output
// redirected gets the reason there too; started otherwise, the trace log
// is the only witness.
void TellStandardError(const std::string& line) {
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error == nullptr || error == INVALID_HANDLE_VALUE) return;
  const std::string text = "kavro: " + line + "\r\n";
  DWORD written = 0;
  WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR commandLine, int /*show*/) {
  platform::Win32LogBackend logBackend;
  TraceLog trace(logBackend);
  trace.InitTraceLog(platform::Win32LogBackend::SystemDirectory());
  if (previousInstance != nullptr) return 0;

  // Imported by ordinal at start: without the library the process does not
  // run at all.
  platform::CompanionLibrary library;
  std::string failure;
  if (!library.Load(platform::COMPANION_LIBRARY_NAME, failure)) {
    trace.TraceMessage(LOG_ERROR, "%s", failure.c_str());
    TellStandardError(failure + "; install KAVROD32.dll beside kavro.exe");
    return EXIT_CANNOT_START;
  }
  OrdinalDelivery delivery(library, trace);

  platform::Win32EventHub hub(instance);
  LinkControl control(trace, hub);
  hub.SetTimerDispatchLock(&control.LinkLock);

  platform::Win32Registry registry;
  Configuration configuration(registry, trace);
  LinkConfig config;

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
  LinkContext ctx{trace, control, hub, codec, delivery, transport};
  LinkStateMachine machine(ctx);
  SendQueue queue(ctx, machine);
  LinkTimers timers(ctx, machine, queue);
  ReceiveParser parser(trace, &timers);
  SocketFraming framing(ctx, timers);

  platform::Win32Process process;
  ControlWindow window(ControlWindowParts{trace, control, hub, process, configuration, config, delivery, transport,
                                          serial, &usb, &tcp, &framing, parser, machine, timers, queue});
  hub.SetHandler(&window);

  // The tail as the system hands it over: not parsed, trimmed or
  // case-folded.
  const std::string tail = commandLine != nullptr ? commandLine : "";
  if (tail.size() > sizeof config.Link - 1) {
    // Cut to the 7 characters a link name has, it could name another port:
    // the link cannot be opened, and ends as a link that failed to open.
    trace.TraceMessage(LOG_ERROR, "KavroWnd: link name %s longer than 7 characters", tail.c_str());
    TellStandardError("link name '" + tail + "' is longer than 7 characters; name a link such as COM1, USB or TCP");
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
  return hub.Run();
}
