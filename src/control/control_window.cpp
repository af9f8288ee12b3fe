#include "control/control_window.h"

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "control/configuration.h"
#include "control/status_report.h"
#include "core/delivery.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/link_timers.h"
#include "link/socket_framing.h"
#include "transport/ports.h"
#include "transport/transport.h"

namespace kavro {

bool ControlWindow::Create(const std::string& commandLineTail) {
  if (OnCreate(commandLineTail.c_str()) == -1) {
    // A start that failed as the last one did is given up after a wait, on
    // a timer, so that signals and the status request are answered meanwhile.
    const uint32_t waitMs = p_.control.Lifecycle().StartFailed();
    if (waitMs > 0 && p_.hub.SetTimer(TimerGiveUpStart, waitMs)) {
      givingUp_ = true;
      p_.trace.TraceMessage(LOG_DETAIL, "start failed: giving up in %u ms", waitMs);
      return true;
    }
    // Window creation fails: the window system tears the half-created window
    // down, and its destroy handling ends the process.
    KavroWnd(platform::WM_DESTROY, 0, nullptr);
    return false;
  }
  p_.control.Lifecycle().StartSucceeded();
  return true;
}

int32_t ControlWindow::KavroWnd(uint32_t message, uint32_t wParam, const platform::CopyData* copy) {
  switch (message) {
    case platform::WM_COPYDATA: return copy ? OnCopyData(*copy) : 0;
    case platform::WM_TIMER: return OnTimer(wParam);
    case platform::WM_CLOSE: return OnClose();
    case platform::WM_DESTROY: return OnDestroy();
    default: return 0;
  }
}

int32_t ControlWindow::OnCreate(const char* commandLineTail) {
  p_.trace.TraceMessage(LOG_DETAIL, "KAVRO gestartet");
  if (!OpenConnection(commandLineTail)) {
    p_.trace.TraceMessage(LOG_ERROR, "KavroWnd: OpenConnection failed");
    return -1;
  }
  return 0;
}

int ControlWindow::OpenConnection(const char* linkOverride) {
  p_.trace.TraceMessage(LOG_PROTOCOL, "OpenConnection (0x%x,%s)", TraceAddress(this),
                        linkOverride ? linkOverride : "(null)");
  p_.configuration.LoadConfiguration(p_.config, linkOverride);

  if (linkOverride && *linkOverride) {
    // The override replaces only a configured link of a known kind; the
    // override itself is taken as it stands (main refuses names that do not
    // fit the 7 characters of Link).
    if (!(p_.transport.IsComLink() || p_.transport.IsUsbLink() || p_.transport.IsTcpLink())) return 0;
    strncpy(p_.config.Link, linkOverride, sizeof p_.config.Link - 1);
    p_.config.Link[sizeof p_.config.Link - 1] = '\0';
  }

  SelectLink();
  const bool open = OpenPort();
  // A name of no kind has opened nothing, so nothing ends that is worth a line.
  opened_ = open && (p_.transport.IsComLink() || p_.transport.IsUsbLink() || p_.transport.IsTcpLink());
  if (!open) {
    p_.delivery.SignalLinkEvent(LINK_EVENT_FAILED);
    p_.trace.TraceMessage(LOG_ERROR, "OpenConnection %s failed !", p_.config.Link);
    return 0;
  }

  commWatchThread_ = p_.process.CreateThread([this] { CommWatch(); });
  if (!commWatchThread_) {
    p_.trace.TraceMessage(LOG_ERROR, "OpenConnection %s - CreateThread failed !", p_.config.Link);
    p_.delivery.SignalLinkEvent(LINK_EVENT_FAILED);
    p_.transport.CloseConnection();
    opened_ = false;
    return 0;
  }
  if (p_.transport.IsTcpLink()) return 1;

  p_.hub.Sleep(100);
  // Without its repeat timer the first request still stands; the PBX may
  // answer it.
  p_.timers.StartServiceRequest();
  return 1;
}

void ControlWindow::SelectLink() {
  p_.transport.SelectTransport();
  protocol_ = &layer2_;
  if (p_.transport.IsTcpLink()) protocol_ = p_.framing;
}

bool ControlWindow::OpenPort() {
  if (p_.transport.IsUsbLink()) return p_.usb && p_.usb->OpenUsb(p_.config.Link) != 0;
  if (p_.transport.IsComLink()) {
    return p_.serial.OpenV24(p_.config.Link, p_.config.LinkSpeed, p_.config.ControlLines) != 0;
  }
  // A name of no kind opens nothing: the receive thread's first empty read
  // finds the link gone and releases it.
  if (!p_.transport.IsTcpLink()) {
    p_.control.Lifecycle().Notice(platform::NoticeLevel::Warning,
                                  std::string("link name '") + p_.config.Link +
                                      "' is of no known kind (COMn, USB, TCP, LAN/USB): nothing is opened");
    return true;
  }
  if (!p_.socket || !p_.framing) return false;
  p_.framing->KeepaliveEnabled = 0;
  p_.framing->KeepaliveTimeout = 0;
  if (p_.config.Keepalive & 1) {
    p_.framing->KeepaliveEnabled = 1;
    p_.framing->KeepaliveTimeout = KEEPALIVE_MS;
  }
  if (p_.socket->OpenSocket(p_.config.TapiSvrIpAddr, static_cast<uint16_t>(p_.config.TapiSvrIpPort)) == 0) {
    return false;
  }
  p_.control.SetLinkState(LINK_ESTABLISHED);
  p_.delivery.SignalLinkEvent(LINK_EVENT_ESTABLISHED);
  return true;
}

int ControlWindow::CommWatch() {
  const bool tcp = p_.transport.IsTcpLink();
  const uint32_t readSize = tcp ? COMM_WATCH_TCP_BUFFER : COMM_WATCH_BUFFER;
  std::vector<uint8_t> buffer(readSize, 0);
  L2Frame frame;
  p_.trace.TraceMessage(LOG_DETAIL, "Enter CommWatch Thread");
  while (p_.control.Block.LinkState != LINK_RELEASED) {
    // TCP carries back-pressure to the PBX: while a client is far behind,
    // the socket is not read (outside the link lock, which this thread does
    // not hold here). The library drops a client that stalls, so this ends.
    if (tcp) {
      while (p_.delivery.WaitForRoom(ROOM_WAIT_MS) == 0 && p_.control.Block.LinkState != LINK_RELEASED) {}
      if (p_.control.Block.LinkState == LINK_RELEASED) break;
    }
    const int32_t n = p_.transport.ReceiveConnection(buffer.data(), readSize);
    if (n > 0 && p_.control.Block.LinkState != LINK_RELEASED) {
      p_.trace.TraceHexDump(LOG_PROTOCOL, "Received:", buffer.data(), static_cast<uint32_t>(n));
      if (protocol_) protocol_->ReceiveBytes(frame, buffer.data(), n);
    } else if (p_.transport.IsDisconnected()) {
      p_.trace.TraceMessage(LOG_DETAIL, "Device Disconnected");
      p_.control.ReleaseLink(p_.transport.IsTcpLink() ? LinkEndReason::ConnectionLost : LinkEndReason::DeviceGone);
    }
  }
  p_.trace.TraceMessage(LOG_DETAIL, "Exit CommWatch Thread");
  return 1;
}

std::vector<uint8_t> ControlWindow::StatusAnswer() {
  StatusReport r;
  if (p_.transport.IsComLink())
    r.LinkKind = KAVRO_LINK_KIND_SERIAL;
  else if (p_.transport.IsUsbLink())
    r.LinkKind = KAVRO_LINK_KIND_USB;
  else if (p_.transport.IsTcpLink())
    r.LinkKind = KAVRO_LINK_KIND_TCP;
  r.LinkState = p_.control.State();
  {
    std::lock_guard lock(p_.control.LinkLock);
    r.QueueDepth = static_cast<uint32_t>(p_.control.Block.QueueLast + 1);
  }
  const LinkStatistics& s = p_.control.Stats;
  const uint64_t now = p_.hub.NowMs();
  r.UptimeMs = now - s.StartMs;
  const uint64_t last = s.LastReceivedMs;
  r.SinceReceivedMs = last == LinkStatistics::NEVER ? UINT64_MAX : now - last;
  r.FramesSent = s.FramesSent;
  r.FramesReceived = s.FramesReceived;
  r.PayloadsSent = s.PayloadsSent;
  r.PayloadsReceived = s.PayloadsReceived;
  r.Retransmissions = s.Retransmissions;
  r.Rejected = s.Rejected;
  r.Damaged = s.Damaged;
  r.LinkResets = s.LinkResets;
  r.Link = p_.config.Link;
  r.Device = p_.control.OpenedDevice;
  DeliveryStatus clients;
  if (p_.delivery.QueryStatus(clients)) {
    r.Listeners = static_cast<int32_t>(clients.Clients);
    r.AcknowledgedClients = static_cast<int32_t>(clients.AcknowledgedClients);
    r.RecordsLost = clients.RecordsLost;
    r.RecordsUnacknowledged = clients.RecordsUnacknowledged;
    r.LibraryFlags = clients.LibraryFlags;
  }
  r.RecordsNotTaken = clients.RecordsNotTaken;
  return EncodeStatusAnswer(r);
}

int32_t ControlWindow::OnCopyData(const platform::CopyData& copy) {
  p_.trace.TraceMessage(LOG_DETAIL, "KAVRO Transferdata received,%lx", TraceLongAddress(&copy));
  const uint32_t command = copy.dwData >> 16;
  if (command == COMMAND_SEND_PAYLOAD) {
    if (!protocol_) return 0;
    return protocol_->SendPayload(static_cast<uint8_t>(copy.dwData & 0xFF), copy.lpData, copy.cbData);
  }
  if (command == COMMAND_REQUEST_SERVICE) {
    if (!p_.timers.StartServiceRequest()) return 0;
    p_.control.SetLinkState(LINK_SETUP);
    return 1;
  }
  return 0;
}

int32_t ControlWindow::OnTimer(uint32_t id) {
  // Every timer is one-shot: whoever wants it again starts it again.
  p_.hub.KillTimer(id);
  if (id == TimerGiveUpStart) return OnDestroy();
  p_.trace.TraceMessage(LOG_DETAIL, "TimerEvent");
  p_.timers.OnLinkTimer(id);
  return 0;
}

int32_t ControlWindow::OnClose() {
  p_.trace.TraceMessage(LOG_DETAIL, "WM_CLOSE");
  // Nothing is open while a failed start waits: end at once.
  if (givingUp_) return OnDestroy();
  p_.control.NoteEndReason(LinkEndReason::CloseRequest);
  p_.timers.DisconnectRequest();
  return 0;
}

int32_t ControlWindow::OnDestroy() {
  p_.trace.TraceMessage(LOG_DETAIL, "WM_DESTROY");
  if (opened_) {
    const LinkEndReason reason = p_.control.EndReasonNoted();
    p_.control.Lifecycle().Notice(
        reason == LinkEndReason::CloseRequest ? platform::NoticeLevel::Info : platform::NoticeLevel::Warning,
        std::string("link ") + p_.config.Link + " ended: " + LinkEndReasonText(reason));
  }
  // Closing the transport first makes a read blocked in CommWatch return.
  p_.transport.CloseConnection();
  if (commWatchThread_) {
    if (!commWatchThread_->WaitFor(COMM_WATCH_JOIN_MS)) {
      p_.trace.TraceMessage(LOG_WARNING, "WaitForSingleObject(hCommWatchThread,3000)==WAIT_TIMEOUT!!!");
    }
    commWatchThread_.reset();
  }
  p_.delivery.SignalLinkEvent(LINK_EVENT_SHUTDOWN);
  p_.process.ExitProcess(0);
  return 0;
}

}  // namespace kavro
