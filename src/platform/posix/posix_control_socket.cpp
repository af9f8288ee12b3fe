#include "platform/posix/posix_control_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace kavro::platform {

namespace {

constexpr size_t kHeader = 8;

uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string ErrnoText(int err) { return std::strerror(err); }

uint64_t MonotonicMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

void EncodeAnswer(int32_t result, uint8_t* out) {
  const uint32_t r = uint32_t(result);
  for (int i = 0; i < 4; i++) out[i] = uint8_t(r >> (8 * i));
}

// Accept failures that mean "no room for one more descriptor now": the
// connection stays queued, so the listener stays readable.
bool OutOfDescriptors(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

// mkdir -p: the directories made here get exactly 0755 whatever the umask,
// so that clients of other users can reach the sockets inside.
bool MakeRunDir(const std::string& dir, std::string* error) {
  if (dir.empty()) {
    *error = "kavro: the run directory is empty; give one with --run-dir";
    return false;
  }
  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = dir.find('/', pos + 1);
    const std::string part = dir.substr(0, pos);
    if (part.empty() || part == "/") continue;
    if (mkdir(part.c_str(), 0755) == 0) {
      chmod(part.c_str(), 0755);
    } else if (errno != EEXIST) {
      *error =
          "kavro: cannot create the run directory " + part + ": " + ErrnoText(errno) + "; create it or use --run-dir";
      return false;
    }
  }
  struct stat st {};
  if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *error = "kavro: the run directory " + dir + " is not a directory; use --run-dir";
    return false;
  }
  return true;
}

bool FillAddress(const std::string& path, sockaddr_un* addr) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() >= sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.data(), path.size());
  return true;
}

std::string InUseText(const std::string& path) {
  return "kavro: another kavro is running on " + path + "; stop it or use --run-dir";
}

enum class Probe { Free, Stale, InUse, Failed };

// Whether a socket file left at `path` still has a listener. A refused
// connect means the run that made it is gone; the probe is non-blocking so
// that a listener with a full backlog counts as alive instead of hanging us.
Probe ProbeExisting(const std::string& path, const sockaddr_un& addr, std::string* error) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return Probe::Free;
    *error = "kavro: cannot examine " + path + ": " + ErrnoText(errno);
    return Probe::Failed;
  }
  if (!S_ISSOCK(st.st_mode)) {
    *error = "kavro: " + path + " exists and is not a socket; remove it or use --run-dir";
    return Probe::Failed;
  }
  const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (probe < 0) {
    *error = "kavro: cannot create a socket: " + ErrnoText(errno);
    return Probe::Failed;
  }
  const int rc = connect(probe, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  const int err = errno;
  close(probe);
  if (rc == 0) return Probe::InUse;
  switch (err) {
    case ECONNREFUSED: return Probe::Stale;
    case ENOENT: return Probe::Free;
    case EAGAIN:
    case EINPROGRESS:
    case EPROTOTYPE:  // someone listens there with another socket type
      return Probe::InUse;
    default:
      *error = "kavro: cannot check " + path + ": " + ErrnoText(err) + "; remove it or use --run-dir";
      return Probe::Failed;
  }
}

}  // namespace

ControlRequest DecodeControlRequest(const uint8_t* packet, size_t length) {
  ControlRequest request;
  if (length < kHeader || length > kHeader + ControlSocket::kMaxData) return request;
  const uint32_t message = ReadLe32(packet);
  switch (message) {
    case WM_COPYDATA:
      request.kind = ControlRequest::Kind::CopyData;
      request.copy = CopyData{ReadLe32(packet + 4), uint32_t(length - kHeader), packet + kHeader};
      break;
    case WM_CLOSE: request.kind = ControlRequest::Kind::Close; break;
    case KAVRO_MSG_STATUS: request.kind = ControlRequest::Kind::Status; break;
    default: break;
  }
  return request;
}

int32_t DispatchControlRequest(MessageHandler& handler, const uint8_t* packet, size_t length) {
  const ControlRequest request = DecodeControlRequest(packet, length);
  switch (request.kind) {
    case ControlRequest::Kind::CopyData: return handler.KavroWnd(WM_COPYDATA, 0, &request.copy);
    case ControlRequest::Kind::Close: return handler.KavroWnd(WM_CLOSE, 0, nullptr);
    case ControlRequest::Kind::Status:
    case ControlRequest::Kind::None: break;
  }
  return 0;
}

bool ControlSocket::Open(const std::string& runDir, std::string* error, const std::string& name) {
  std::string ignored;
  if (!error) error = &ignored;
  if (listenFd_ >= 0) {
    *error = "kavro: the control socket is already open";
    return false;
  }
  if (!MakeRunDir(runDir, error)) return false;
  std::string path = runDir;
  if (path.back() != '/') path += '/';
  path += name;
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) {
    *error = "kavro: the socket path " + path + " is too long; use a shorter --run-dir";
    return false;
  }
  switch (ProbeExisting(path, addr, error)) {
    case Probe::Free: break;
    case Probe::Stale:
      if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        *error = "kavro: cannot remove the stale socket " + path + ": " + ErrnoText(errno);
        return false;
      }
      break;
    case Probe::InUse: *error = InUseText(path); return false;
    case Probe::Failed: return false;
  }

  const int timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timer < 0) {
    *error = "kavro: cannot create the control socket's timer: " + ErrnoText(errno) +
             "; check the open-file limit (ulimit -n)";
    return false;
  }
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = "kavro: cannot create the control socket: " + ErrnoText(errno);
    close(timer);
    return false;
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    close(fd);
    close(timer);
    // Another instance came up between the probe and the bind.
    *error = err == EADDRINUSE ? InUseText(path)
                               : "kavro: cannot create the control socket " + path + ": " + ErrnoText(err) +
                                     "; check the permissions or use --run-dir";
    return false;
  }
  struct stat st {};
  if (chmod(path.c_str(), 0660) != 0 || stat(path.c_str(), &st) != 0 || listen(fd, 16) != 0) {
    const int err = errno;
    close(fd);
    close(timer);
    unlink(path.c_str());
    *error = "kavro: cannot set up the control socket " + path + ": " + ErrnoText(err);
    return false;
  }
  if (!hub_.AddReader(fd, [this] { Accept(); }) || !hub_.AddReader(timer, [this] { OnTimer(); })) {
    hub_.RemoveReader(fd);
    close(fd);
    close(timer);
    unlink(path.c_str());
    *error = "kavro: cannot watch the control socket " + path;
    return false;
  }
  listenFd_ = fd;
  timerFd_ = timer;
  path_ = path;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  acceptPaused_ = false;
  exhausted_ = false;
  full_ = false;
  buffer_.assign(kHeader + kMaxData + 1, 0);
  return true;
}

void ControlSocket::Close() {
  while (!clients_.empty()) DropClient(clients_.begin()->first);
  if (timerFd_ >= 0) {
    hub_.RemoveReader(timerFd_);
    close(timerFd_);
    timerFd_ = -1;
  }
  if (listenFd_ < 0) return;
  hub_.RemoveReader(listenFd_);
  close(listenFd_);
  listenFd_ = -1;
  // Only our own socket file: a later run may have replaced it meanwhile.
  struct stat st {};
  if (lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) unlink(path_.c_str());
}

void ControlSocket::Notice(const std::string& text) {
  if (notice_) notice_(text);
}

void ControlSocket::Accept() {
  // Bounded, so that a flood of connections cannot hold the loop; the
  // listener stays readable and the rest are taken next round.
  for (size_t i = 0; i < kMaxClients; i++) {
    const int fd = accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (OutOfDescriptors(errno)) PauseAccepting(errno);
      return;
    }
    exhausted_ = false;
    if (clients_.size() >= kMaxClients) {
      Refuse(fd);
      continue;
    }
    full_ = false;
    const uint64_t serial = nextSerial_++;
    if (!hub_.AddReader(fd, [this, fd, serial] { ServeClient(fd, serial); })) {
      close(fd);
      continue;
    }
    const bool first = clients_.empty();
    clients_[fd] = Client{serial, MonotonicMs(), false, {}};
    // Later clients fall idle after the earlier ones: the armed time stands.
    if (first) ArmTimer();
  }
}

// No place for one more client. A request it has already sent is taken off
// unread and answered 0, so that it knows nothing went out; one it sends
// later fails on the closed connection.
void ControlSocket::Refuse(int fd) {
  uint8_t scratch[kHeader];
  while (recv(fd, scratch, sizeof scratch, MSG_DONTWAIT | MSG_TRUNC) > 0) {}
  uint8_t answer[4];
  EncodeAnswer(0, answer);
  ssize_t ignored = send(fd, answer, sizeof answer, MSG_DONTWAIT | MSG_NOSIGNAL);
  (void)ignored;
  close(fd);
  if (!full_) Notice("ControlSocket: " + std::to_string(kMaxClients) + " clients connected, new client refused");
  full_ = true;
}

// The pending connection stays queued and the listener readable; watching it
// on would spin the loop until a descriptor comes free. It rests instead, and
// the clients already connected are served meanwhile.
void ControlSocket::PauseAccepting(int err) {
  if (!exhausted_) {
    Notice("ControlSocket: accept failed (" + ErrnoText(err) + "), new clients wait");
    exhausted_ = true;
  }
  hub_.RemoveReader(listenFd_);
  acceptPaused_ = true;
  resumeAtMs_ = MonotonicMs() + acceptPauseMs_;
  ArmTimer();
}

void ControlSocket::ArmTimer() {
  if (timerFd_ < 0) return;
  bool any = false;
  uint64_t due = 0;
  if (acceptPaused_) {
    due = resumeAtMs_;
    any = true;
  }
  for (const auto& [fd, client] : clients_) {
    const uint64_t idleAt = client.last_active_ms + idleMs_;
    if (!any || idleAt < due) due = idleAt;
    any = true;
  }
  itimerspec spec{};
  if (any) {
    const uint64_t now = MonotonicMs();
    // Zero would disarm the timer: one that is due fires at once.
    const uint64_t in = due > now ? due - now : 1;
    spec.it_value.tv_sec = time_t(in / 1000);
    spec.it_value.tv_nsec = long(in % 1000) * 1000000L;
  }
  timerfd_settime(timerFd_, 0, &spec, nullptr);
}

void ControlSocket::OnTimer() {
  uint64_t expirations;
  ssize_t ignored = read(timerFd_, &expirations, sizeof expirations);
  (void)ignored;
  const uint64_t now = MonotonicMs();
  if (acceptPaused_ && now >= resumeAtMs_) {
    acceptPaused_ = false;
    if (!hub_.AddReader(listenFd_, [this] { Accept(); })) PauseAccepting(errno);
  }
  std::vector<int> idle;
  for (const auto& [fd, client] : clients_) {
    if (now >= client.last_active_ms + idleMs_) idle.push_back(fd);
  }
  for (int fd : idle) {
    DropClient(fd);
    Notice("ControlSocket: client idle for " + std::to_string(idleMs_ / 1000) + " s, closed");
  }
  ArmTimer();
}

void ControlSocket::DropClient(int fd) {
  auto it = clients_.find(fd);
  if (it == clients_.end()) return;
  hub_.RemoveReader(fd);
  close(fd);
  clients_.erase(it);
}

bool ControlSocket::WatchRequests(int fd, uint64_t serial) {
  return hub_.AddReader(fd, [this, fd, serial] { ServeClient(fd, serial); });
}

// One request per call: the loop comes back while more are queued, and the
// other clients get their turn in between.
void ControlSocket::ServeClient(int fd, uint64_t serial) {
  // MSG_TRUNC makes recv report the packet's full length, so an oversized
  // request is recognised even though only the buffer's worth is read.
  const ssize_t n = recv(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT | MSG_TRUNC);
  if (n < 0) {
    // ECONNRESET: the client hung up with answers unread. The kernel reports
    // that once, ahead of the requests still queued; those are served on the
    // next rounds and the end of the connection follows them.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR || errno == ECONNRESET) return;
    DropClient(fd);
    return;
  }
  if (n == 0) {
    // Either the end of the connection or an empty packet (a malformed
    // request, answered with 0): only a hung-up peer tells them apart.
    pollfd p{fd, POLLRDHUP, 0};
    if (poll(&p, 1, 0) != 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) {
      DropClient(fd);
      return;
    }
  }
  auto it = clients_.find(fd);
  if (it == clients_.end() || it->second.serial != serial) return;
  it->second.last_active_ms = MonotonicMs();

  // The status is read, never handed to the window procedure: it changes
  // nothing and is answered with more than the procedure's i32.
  std::vector<uint8_t> answer;
  if (status_ && DecodeControlRequest(buffer_.data(), size_t(n)).kind == ControlRequest::Kind::Status) {
    answer = status_();
  } else {
    answer.resize(4);
    EncodeAnswer(DispatchControlRequest(handler_, buffer_.data(), size_t(n)), answer.data());
  }

  // The handler runs the link layer; it may have closed us meanwhile.
  it = clients_.find(fd);
  if (it == clients_.end() || it->second.serial != serial) return;
  Answer(fd, it->second, std::move(answer));
}

void ControlSocket::Answer(int fd, Client& client, std::vector<uint8_t> answer) {
  client.answer = std::move(answer);
  if (send(fd, client.answer.data(), client.answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
      ssize_t(client.answer.size())) {
    return;
  }
  // A client gone after its last request (EPIPE) still has its queued
  // requests served; recv reports the end once they are through.
  if (errno == EPIPE || errno == ECONNRESET) return;
  if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
    DropClient(fd);
    return;
  }
  // Its answers pile up unread. Reading on would leave this answer nowhere to
  // go; the requests wait in the socket, and the client's own sends stall,
  // until it has read enough for this answer to fit.
  client.answer_pending = true;
  const uint64_t serial = client.serial;
  if (!hub_.AddWriter(fd, [this, fd, serial] { FlushAnswer(fd, serial); })) DropClient(fd);
}

void ControlSocket::FlushAnswer(int fd, uint64_t serial) {
  auto it = clients_.find(fd);
  if (it == clients_.end() || it->second.serial != serial || !it->second.answer_pending) return;
  Client& client = it->second;
  if (send(fd, client.answer.data(), client.answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL) !=
      ssize_t(client.answer.size())) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
    if (errno != EPIPE && errno != ECONNRESET) {
      DropClient(fd);
      return;
    }
  } else {
    client.last_active_ms = MonotonicMs();
  }
  client.answer_pending = false;
  if (!WatchRequests(fd, serial)) DropClient(fd);
}

}  // namespace kavro::platform
