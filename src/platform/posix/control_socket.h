// The control window as client programs see it on Linux: a SOCK_SEQPACKET
// Unix socket at RUN_DIR/KavroControlProg. A request is one packet
//   u32 message, u32 word, data bytes       (little-endian)
// and is answered with one packet, the window procedure's i32 result.
// WM_COPYDATA carries the command word and the data; WM_CLOSE is the close
// request; anything else, a packet shorter than 8 bytes or one longer than
// 8 + 65535 bytes is answered with 0 and reaches no one.
//
// Every request is handled on the hub's main thread, one at a time, like a
// window message. A client is served one request per readiness, so several
// clients take turns and each connection's answers come in request order. A
// client that goes away, stops reading its answers or sends garbage is
// dropped (or answered with 0) and never holds up the loop.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kavro/kavro_wire.h"
#include "platform/event_hub.h"
#include "platform/posix/posix_event_hub.h"

namespace kavro::platform {

class ControlSocket {
 public:
  static constexpr const char* kDefaultName = KAVRO_CONTROL_SOCKET_NAME;
  // Beyond this many clients at once a new connection is closed on accept.
  static constexpr size_t kMaxClients = 64;
  static constexpr size_t kMaxData = KAVRO_REQUEST_DATA_MAX;

  // The hub serves the socket; the handler (the window procedure) gets the
  // requests. Both must outlive this object.
  ControlSocket(PosixEventHub& hub, MessageHandler& handler) : hub_(hub), handler_(handler) {}
  ~ControlSocket() { Close(); }
  ControlSocket(const ControlSocket&) = delete;
  ControlSocket& operator=(const ControlSocket&) = delete;

  // Creates `run_dir` (mode 0755, with its missing parents) and the socket
  // `run_dir`/`name` (mode 0660), and starts serving it. A socket file left
  // behind by a run that died is replaced; one a running process still
  // listens on is not. On failure returns false with a one-line message for
  // standard error in `*error`.
  bool Open(const std::string& run_dir, std::string* error, const std::string& name = kDefaultName);
  // Stops serving, drops every client and removes the socket file (only if it
  // is still the one this object created). Idempotent.
  void Close();

  const std::string& Path() const { return path_; }
  size_t ClientCount() const { return clients_.size(); }

 private:
  void Accept();
  void ServeClient(int fd, uint64_t serial);
  void DropClient(int fd);
  int32_t Handle(const uint8_t* packet, size_t length);

  PosixEventHub& hub_;
  MessageHandler& handler_;
  std::string path_;
  int listen_fd_ = -1;
  dev_t dev_ = 0;
  ino_t ino_ = 0;
  // Client descriptor -> serial of its connection, so that a callback queued
  // for a dropped client is not taken for a new one reusing the descriptor.
  std::map<int, uint64_t> clients_;
  uint64_t next_serial_ = 0;
  std::vector<uint8_t> buffer_;
};

}  // namespace kavro::platform
