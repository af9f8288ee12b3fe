// The control window: the event hub's handler on the main thread. It opens
// the connection at creation, runs the receive thread, takes client commands
// (WM_COPYDATA), timer expiries, the close request and the destroy request
// that ends the process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kavro/kavro_wire.h"
#include "link/layer2_protocol.h"
#include "platform/event_hub.h"
#include "platform/process.h"

namespace kavro {

class TraceLog;
class LinkControl;
class Configuration;
struct LinkConfig;
class Delivery;
class Transport;
class SerialPortOps;
class UsbPortOps;
class SocketPortOps;
class SocketFraming;
class ReceiveParser;
class LinkStateMachine;
class LinkTimers;
class SendQueue;

// Command words of WM_COPYDATA (their high 16 bits).
constexpr uint32_t COMMAND_SEND_PAYLOAD = KAVRO_COMMAND_SEND_PAYLOAD;
constexpr uint32_t COMMAND_REQUEST_SERVICE = KAVRO_COMMAND_REQUEST_SERVICE;

// The wait before a failed start is given up (its length comes from the
// lifecycle sink).
constexpr uint32_t TimerGiveUpStart = 0x1300;

constexpr uint32_t COMM_WATCH_BUFFER = 4096;
// TCP is read in larger blocks: a burst of frames then costs a read, a
// look for room and (with the record log) a log write per 64 KiB rather
// than per 4 KiB. The framing still cuts it 4 KiB at a time.
constexpr uint32_t COMM_WATCH_TCP_BUFFER = 65536;
constexpr uint32_t COMM_WATCH_JOIN_MS = 3000;
// One wait of the TCP receive thread for a client far behind; the thread
// looks at the link state between two.
constexpr uint32_t ROOM_WAIT_MS = 200;

struct ControlWindowParts {
  TraceLog& trace;
  LinkControl& control;
  platform::EventHub& hub;
  platform::Process& process;
  Configuration& configuration;
  LinkConfig& config;
  Delivery& delivery;
  Transport& transport;
  SerialPortOps& serial;
  UsbPortOps* usb;        // null: no USB support in this build
  SocketPortOps* socket;  // null: no TCP support in this build
  SocketFraming* framing;
  ReceiveParser& parser;
  LinkStateMachine& machine;
  LinkTimers& timers;
  SendQueue& queue;
};

class ControlWindow : public platform::MessageHandler {
 public:
  explicit ControlWindow(ControlWindowParts parts)
      : p_(parts), layer2_(parts.trace, parts.parser, parts.machine, parts.queue) {}

  // Creates the window: runs WM_CREATE with the command-line tail. On
  // failure the half-created window is torn down, which delivers WM_DESTROY
  // and ends the process, at once or, when the lifecycle sink asks for a
  // wait, on TimerGiveUpStart (a close request ends the wait). Returns false
  // when the process has ended.
  bool Create(const std::string& commandLineTail);

  int32_t KavroWnd(uint32_t message, uint32_t wParam, const platform::CopyData* copy) override;

  int OpenConnection(const char* linkOverride);
  // Picks the port and the protocol of the link name in LinkConfig, once:
  // the layer-2 link on every link that is not TCP. OpenConnection calls it
  // once the name is final.
  void SelectLink();
  // The receive thread's routine.
  int CommWatch();

  // The answer to the status request; main thread.
  std::vector<uint8_t> StatusAnswer();

  // A second close request (signal) while the first is under way.
  void DestroyNow() { KavroWnd(platform::WM_DESTROY, 0, nullptr); }

 private:
  int32_t OnCreate(const char* commandLineTail);
  // Opens the port of the link's kind; false when it could not be opened.
  bool OpenPort();
  int32_t OnCopyData(const platform::CopyData& copy);
  int32_t OnTimer(uint32_t id);
  int32_t OnClose();
  int32_t OnDestroy();

  ControlWindowParts p_;
  Layer2Protocol layer2_;
  // Until SelectLink, the protocol of a link that is not TCP.
  LinkProtocol* protocol_ = &layer2_;
  std::unique_ptr<platform::ThreadHandle> commWatchThread_;
  // The port was opened: its end gets a lifecycle line.
  bool opened_ = false;
  // The start failed and waits on TimerGiveUpStart before the process ends.
  bool givingUp_ = false;
};

}  // namespace kavro
