// The control window as client programs see it on Linux: a SOCK_SEQPACKET
// Unix socket at RUN_DIR/KavroControlProg. A request is one packet
//   u32 message, u32 word, data bytes       (little-endian)
// and is answered with one packet, the window procedure's i32 result.
// WM_COPYDATA carries the command word and the data; WM_CLOSE is the close
// request; KAVRO_MSG_STATUS is answered with the status record; anything else, a packet shorter than 8 bytes or one
// longer than 8 + 65535 bytes is answered with 0 and reaches no one.
//
// Every request is handled on the hub's main thread, one at a time, like a
// window message. A client is served one request per readiness, so several
// clients take turns, and every request gets exactly one answer, in order.
// While a client's answer cannot be written (it is slow to read), its
// requests are left unread and the answer waits for its socket to drain:
// the client is waited for, never dropped, and never holds up the loop.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "kavro/kavro_wire.h"
#include "platform/event_hub.h"
#include "platform/posix/posix_event_hub.h"

namespace kavro::platform {

// What one request packet asks of the window procedure. `length` is the
// packet's whole length, which may be more than the bytes at `packet` when
// the receive buffer cut an oversized packet short: such a packet is
// refused before any of its data is looked at.
struct ControlRequest {
  enum class Kind { None, CopyData, Close, Status };
  Kind kind = Kind::None;
  CopyData copy;  // CopyData only; points into the packet
};
ControlRequest DecodeControlRequest(const uint8_t* packet, size_t length);

// Decodes the packet and hands it to the window procedure; the answer to
// send back (0 for everything that reaches no one).
int32_t DispatchControlRequest(MessageHandler& handler, const uint8_t* packet, size_t length);

class ControlSocket {
 public:
  static constexpr const char* kDefaultName = KAVRO_CONTROL_SOCKET_NAME;
  // Beyond this many clients at once a new connection is answered 0 and
  // closed: every client costs a descriptor, and the link needs its own.
  static constexpr size_t kMaxClients = 64;
  static constexpr size_t kMaxData = KAVRO_REQUEST_DATA_MAX;
  // A connection that has neither sent a request nor taken an answer for this
  // long is closed, so that idle connections cannot fill the client places.
  static constexpr uint32_t kIdleMs = 60000;
  // With no descriptor left for a new connection the listener would stay
  // readable and the loop would spin: it rests this long instead.
  static constexpr uint32_t kAcceptPauseMs = 250;

  // The hub serves the socket; the handler (the window procedure) gets the
  // requests. Both must outlive this object.
  ControlSocket(PosixEventHub& hub, MessageHandler& handler) : hub_(hub), handler_(handler) {}
  ~ControlSocket() { Close(); }
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Where the lines about refused, idle and unaccepted clients go (the trace
  // log); none by default.
  void SetNotice(std::function<void(const std::string&)> notice) { notice_ = std::move(notice); }
  // What answers the status request (the whole answer packet); without it
  // the request is answered 0 like any unknown message.
  void SetStatusSource(std::function<std::vector<uint8_t>()> status) { status_ = std::move(status); }
  // Shorter idle time and pause, for tests; before Open.
  void SetTimes(uint32_t idleMs, uint32_t acceptPauseMs) {
    idleMs_ = idleMs;
    acceptPauseMs_ = acceptPauseMs;
  }

  // Creates `runDir` (mode 0755, with its missing parents) and the socket
  // `runDir`/`name` (mode 0660), and starts serving it. A socket file left
  // behind by a run that died is replaced; one a running process still
  // listens on is not. On failure returns false with a one-line message for
  // standard error in `*error`.
  bool Open(const std::string& runDir, std::string* error, const std::string& name = kDefaultName);
  // Stops serving, drops every client and removes the socket file (only if it
  // is still the one this object created). Idempotent.
  void Close();

  const std::string& Path() const { return path_; }
  size_t ClientCount() const { return clients_.size(); }

 private:
  struct Client {
    // So that a callback queued for a dropped client is not taken for a new
    // one reusing the descriptor.
    uint64_t serial = 0;
    uint64_t last_active_ms = 0;
    // The answer the socket could not take yet; no request is read meanwhile.
    bool answer_pending = false;
    std::vector<uint8_t> answer;
  };

  void Accept();
  void Refuse(int fd);
  void PauseAccepting(int err);
  void ServeClient(int fd, uint64_t serial);
  void Answer(int fd, Client& client, std::vector<uint8_t> answer);
  void FlushAnswer(int fd, uint64_t serial);
  bool WatchRequests(int fd, uint64_t serial);
  void DropClient(int fd);
  void OnTimer();
  void ArmTimer();
  void Notice(const std::string& text);

  PosixEventHub& hub_;
  MessageHandler& handler_;
  std::function<void(const std::string&)> notice_;
  std::function<std::vector<uint8_t>()> status_;
  uint32_t idleMs_ = kIdleMs;
  uint32_t acceptPauseMs_ = kAcceptPauseMs;
  std::string path_;
  int listenFd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  // One timer for the idle check and the end of an accept pause.
  int timerFd_ = -1;
  bool acceptPaused_ = false;
  uint64_t resumeAtMs_ = 0;
  // Set while accept keeps failing for want of descriptors, and while every
  // new client is refused for want of a place, so that one line tells of
  // each, not one per pause or per connection.
  bool exhausted_ = false;
  bool full_ = false;
  std::map<int, Client> clients_;
  uint64_t nextSerial_ = 0;
  std::vector<uint8_t> buffer_;
};

}  // namespace kavro::platform
