// Feeds arbitrary control socket packets, through the decoding the control
// socket uses, into the control window of a whole serial link in virtual
// time, between acknowledgements and frames from the peer and the passing of
// time.
//
// Input: one byte choosing the link state to start in, then steps, each one
// flag byte and a 16-bit little-endian count:
//   flag & 3 == 0  a request packet: the next `count` bytes (fewer where the
//                  input ends); with flag bit 7 it claims to be longer than
//                  any request may be, as recv reports a truncated packet
//   flag & 3 == 1  the peer acknowledges everything sent (RR, N(R) = V(S))
//   flag & 3 == 2  `count` milliseconds pass (timers fire, posted messages
//                  are handled)
//   flag & 3 == 3  the peer sends a U-frame (START, UA, DISC or DM by
//                  `count`), or with flag bit 2 an I-frame whose N(R) is
//                  `count` & 7
// Checked beyond crashes: a packet that is short, oversized or of an unknown
// message, and a command of an unknown word, is answered 0, reaches no one
// and sends nothing; a payload answered 1 went out at once or waits at the
// tail of the queue, one answered 0 left no trace; payloads leave the queue
// first in, first out; nothing is taken once the link is going down.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "control/configuration.h"
#include "control/control_window.h"
#include "core/delivery.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "kavro/kavro_wire.h"
#include "link/frame_codec.h"
#include "link/link_state_machine.h"
#include "link/link_timers.h"
#include "link/receive_parser.h"
#include "link/send_queue.h"
#include "platform/posix/posix_control_socket.h"
#include "platform/registry.h"
#include "platform/virtual/virtual_event_hub.h"
#include "transport/ports.h"
#include "transport/transport.h"

namespace {

using namespace kavro;

constexpr size_t kHeader = 8;
constexpr size_t kLargest = kHeader + platform::ControlSocket::kMaxData;

class SilentBackend : public platform::LogBackend {
 public:
  bool CanOpenExisting(const std::string&) override { return true; }
  bool AppendExisting(const std::string&, const char*, size_t) override { return true; }
  void DebugOutput(const char*, size_t) override {}
  platform::LocalTime Now() override { return {}; }
  std::string ExecutableBaseName() override { return "fuzz"; }
};

class NoRegistry : public platform::Registry {
 public:
  std::unique_ptr<platform::RegistryKey> OpenKey(const char*) override { return nullptr; }
};

// The serial port: every block written is one frame (or the service request).
class RecordingSerial : public SerialPortOps {
 public:
  int32_t OpenV24(const char*, const char*, uint32_t) override { return 1; }
  int32_t InitV24(const char*) override { return 1; }
  int32_t CloseV24() override { return 1; }
  int32_t SendV24(const uint8_t* data, uint32_t length) override {
    sent.emplace_back(data, data + length);
    return 1;
  }
  int32_t ReceiveV24(uint8_t*, uint32_t) override { return 0; }
  int32_t IsV24Closed() override { return 0; }
  std::vector<std::vector<uint8_t>> sent;
};

class StubDelivery : public Delivery {
 public:
  int32_t DeliverPayload(uint32_t, void* payload, uint32_t) override {
    free(payload);
    return 0;
  }
  void SignalLinkEvent(uint32_t) override {}
};

class StubProcess : public platform::Process {
 public:
  std::unique_ptr<platform::ThreadHandle> CreateThread(std::function<void()>) override { return nullptr; }
  void ExitProcess(int) override { exited = true; }
  bool exited = false;
};

// Counts what reaches the window procedure.
class Counting : public platform::MessageHandler {
 public:
  explicit Counting(platform::MessageHandler& inner) : inner_(inner) {}
  int32_t KavroWnd(uint32_t message, uint32_t wParam, const platform::CopyData* copy) override {
    calls++;
    return inner_.KavroWnd(message, wParam, copy);
  }
  int calls = 0;

 private:
  platform::MessageHandler& inner_;
};

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct Sent {
  bool iframe = false;
  uint8_t dest = 0;
  std::vector<uint8_t> payload;
};

Sent Decode(const std::vector<uint8_t>& block) {
  Sent s;
  if (block.size() >= 10 && block[0] == SYN && block[1] == SYN && (block[2] & 1) == 0) {
    const size_t length = size_t(block[4]) << 8 | block[5];
    if (block.size() != length + 10) abort();
    s.iframe = true;
    s.dest = block[3];
    s.payload.assign(block.begin() + 8, block.begin() + 8 + long(length));
  }
  return s;
}

struct Rig {
  Rig() {
    trace.InitTraceLog("/fuzz");  // every trace line formatted, as with the log on
    std::strcpy(config.Link, "COM1");
    window.SelectLink();
    hub.SetHandler(&window);
  }
  ~Rig() { hub.SetHandler(nullptr); }

  SilentBackend backend;
  TraceLog trace{backend};
  platform::VirtualEventHub hub;
  LinkControl control{trace, hub};
  NoRegistry registry;
  Configuration configuration{registry, trace};
  LinkConfig config;
  RecordingSerial serial;
  Transport transport{config, trace, control, serial, nullptr, nullptr};
  FrameCodec codec{trace, transport};
  StubDelivery delivery;
  LinkContext ctx{trace, control, hub, codec, delivery, transport};
  LinkStateMachine machine{ctx};
  SendQueue queue{ctx, machine};
  LinkTimers timers{ctx, machine, queue};
  ReceiveParser parser{trace, &timers};
  StubProcess process;
  ControlWindow window{ControlWindowParts{trace, control, hub, process, configuration, config, delivery, transport,
                                          serial, nullptr, nullptr, nullptr, parser, machine, timers, queue}};
  Counting counting{window};

  uint16_t State() { return control.Block.LinkState.load(); }

  void PeerU(uint8_t code) {
    L2Frame frame;
    frame.Type = code;
    machine.ProcessFrame(frame);
  }

  void Establish() {
    control.Block.LinkState.store(LINK_SETUP);
    hub.SetTimer(T200, 50);
    hub.FireNext();
    PeerU(FRAME_UA);
    if (State() != LINK_ESTABLISHED) abort();
  }

  void Start(uint8_t choice) {
    switch (choice % 7) {
      case 0:  // the service request is out, the PBX has not answered
        timers.RequestService(1);
        control.Block.RetryCount = 1;
        hub.SetTimer(TimerServiceRequest, SERVICE_REQUEST_MS);
        break;
      case 1:  // after the PBX's answer, before START
        control.Block.LinkState.store(LINK_SETUP);
        hub.SetTimer(T200, 50);
        break;
      case 2: Establish(); break;
      case 3:
        Establish();
        hub.Advance(T203_MS);  // the idle poll
        break;
      case 4:
        Establish();
        timers.DisconnectRequest();
        break;
      case 5:
        Establish();
        control.ReleaseLink();
        break;
      default:  // a peer's DISC, just before the release
        Establish();
        control.Block.LinkState.store(LINK_IDLE);
        break;
    }
    serial.sent.clear();
  }

  // The queue as the link holds it.
  std::vector<Sent> Queue() {
    std::vector<Sent> q;
    for (int32_t i = 0; i <= control.Block.QueueLast; i++) {
      const SendQueueEntry& e = queue.Entries[i];
      q.push_back(Sent{true, e.dest, std::vector<uint8_t>(e.data.get(), e.data.get() + e.length)});
    }
    return q;
  }

  void Request(const uint8_t* packet, size_t claimed) {
    const platform::ControlRequest request = platform::DecodeControlRequest(packet, claimed);
    const uint16_t state = State();
    const int32_t queue_last = control.Block.QueueLast;
    const int32_t send_seq = machine.Vars.SendSeq;
    const size_t sent_before = serial.sent.size();
    const int calls_before = counting.calls;

    const int32_t result = platform::DispatchControlRequest(counting, packet, claimed);
    if (result != 0 && result != 1) abort();
    std::vector<Sent> sent;
    for (size_t i = sent_before; i < serial.sent.size(); i++) sent.push_back(Decode(serial.sent[i]));

    // The decoding itself.
    const bool well_formed = claimed >= kHeader && claimed <= kLargest;
    const uint32_t message = well_formed ? Le32(packet) : 0;
    const bool known = well_formed && (message == platform::WM_COPYDATA || message == platform::WM_CLOSE);
    // The status request is decoded too, but answered by the socket itself:
    // its dispatch reaches no one, like an unknown message.
    const bool status = well_formed && message == KAVRO_MSG_STATUS;
    if ((known || status) != (request.kind != platform::ControlRequest::Kind::None)) abort();
    if (status != (request.kind == platform::ControlRequest::Kind::Status)) abort();
    if (request.kind == platform::ControlRequest::Kind::CopyData &&
        (request.copy.dwData != Le32(packet + 4) || request.copy.cbData != claimed - kHeader ||
         request.copy.lpData != packet + kHeader)) {
      abort();
    }

    const uint32_t command = request.copy.dwData >> 16;
    const bool unknown_command = request.kind == platform::ControlRequest::Kind::CopyData &&
                                 command != COMMAND_SEND_PAYLOAD && command != COMMAND_REQUEST_SERVICE;
    if (!known || unknown_command) {
      // Reaches no one (or the window, which does nothing with it).
      if (!known && counting.calls != calls_before) abort();
      if (result != 0 || !sent.empty() || State() != state || control.Block.QueueLast != queue_last ||
          machine.Vars.SendSeq != send_seq) {
        abort();
      }
      return;
    }
    if (request.kind == platform::ControlRequest::Kind::Close) {
      if (result != 0) abort();
      return;
    }
    if (command == COMMAND_REQUEST_SERVICE) {
      if (result != 1 || sent.size() != 1 || serial.sent.back() != std::vector<uint8_t>{0x1B, 0x43} ||
          State() != LINK_SETUP) {
        abort();
      }
      return;
    }

    // A payload.
    const uint8_t dest = uint8_t(request.copy.dwData);
    const std::vector<uint8_t> data(request.copy.lpData, request.copy.lpData + request.copy.cbData);
    if (data.empty()) {
      if (result != 1 || !sent.empty() || control.Block.QueueLast != queue_last) abort();
      return;
    }
    const bool going_down = state == LINK_DISCONNECTING || state == LINK_RELEASED || state == LINK_IDLE;
    if (going_down && result != 0) abort();
    if (result == 0) {
      if (!sent.empty() || control.Block.QueueLast != queue_last || machine.Vars.SendSeq != send_seq) abort();
      return;
    }
    if (!sent.empty()) {
      if (sent.size() != 1 || !sent[0].iframe || sent[0].dest != dest || sent[0].payload != data ||
          control.Block.QueueLast != queue_last || machine.Vars.SendSeq != ((send_seq + 1) & 7)) {
        abort();
      }
    } else {
      const std::vector<Sent> queue = Queue();
      if (control.Block.QueueLast != queue_last + 1 || queue.back().dest != dest || queue.back().payload != data) {
        abort();
      }
    }
  }

  // A frame from the peer. When the queue loses one entry on an
  // established link, its head has gone out as the step's last I-frame (the
  // queue is emptied whole only on the way down).
  template <typename Step>
  void Peer(Step step) {
    const std::vector<Sent> queue = Queue();
    const size_t sent_before = serial.sent.size();
    step();
    if (State() != LINK_ESTABLISHED) return;
    if (control.Block.QueueLast < int32_t(queue.size()) - 2) abort();
    if (control.Block.QueueLast != int32_t(queue.size()) - 2) return;
    Sent last;
    for (size_t i = sent_before; i < serial.sent.size(); i++) {
      Sent s = Decode(serial.sent[i]);
      if (s.iframe) last = s;
    }
    if (!last.iframe || last.dest != queue.front().dest || last.payload != queue.front().payload) abort();
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  auto rig = std::make_unique<Rig>();
  rig->Start(data[0]);
  // What recv fills for a packet longer than any request: the buffer's
  // worth of its beginning.
  static std::vector<uint8_t> buffer(kLargest + 1, 0);

  size_t at = 1;
  while (at + 3 <= size && !rig->process.exited) {
    const uint8_t flag = data[at];
    const size_t count = size_t(data[at + 1]) | size_t(data[at + 2]) << 8;
    at += 3;
    switch (flag & 3) {
      case 0: {
        const size_t n = std::min(count, size - at);
        if (flag & 0x80) {
          std::memcpy(buffer.data(), data + at, n);
          rig->Request(buffer.data(), kLargest + 1 + n * 16);
          std::memset(buffer.data(), 0, n);
        } else {
          // An exact-size copy, so that a read past the packet shows as an
          // overflow.
          std::vector<uint8_t> packet(data + at, data + at + n);
          rig->Request(packet.data(), n);
        }
        at += n;
        break;
      }
      case 1:
        rig->Peer([&] {
          L2Frame frame;
          frame.Type = FRAME_RR;
          frame.NRec = uint8_t(rig->machine.Vars.SendSeq);
          rig->machine.ProcessFrame(frame);
        });
        break;
      case 2: rig->hub.Advance(std::min<size_t>(count, 20000)); break;
      default:
        if (flag & 4) {
          rig->Peer([&] {
            L2Frame frame;
            frame.Type = FRAME_I;
            frame.Dest = 0x21;
            frame.Length = 1;
            frame.Buffer = static_cast<uint8_t*>(malloc(1));
            frame.Buffer[0] = uint8_t(count);
            frame.NSend = uint8_t(rig->machine.Vars.RecvSeq);
            frame.NRec = uint8_t(count & 7);
            rig->machine.ProcessFrame(frame);
          });
        } else {
          static constexpr uint8_t kCodes[] = {FRAME_START, FRAME_UA, FRAME_DISC, FRAME_DM};
          rig->Peer([&] { rig->PeerU(kCodes[count & 3]); });
        }
        break;
    }
  }
  return 0;
}
