#include "platform/posix/control_socket.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kavro::platform {

namespace {

constexpr size_t kHeader = 8;

uint32_t ReadLe32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

std::string ErrnoText(int err) { return std::strerror(err); }

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
      *error = "kavro: cannot create the run directory " + part + ": " + ErrnoText(errno) +
               "; create it or use --run-dir";
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
    case ECONNREFUSED:
      return Probe::Stale;
    case ENOENT:
      return Probe::Free;
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

bool ControlSocket::Open(const std::string& run_dir, std::string* error, const std::string& name) {
  std::string ignored;
  if (!error) error = &ignored;
  if (listen_fd_ >= 0) {
    *error = "kavro: the control socket is already open";
    return false;
  }
  if (!MakeRunDir(run_dir, error)) return false;
  std::string path = run_dir;
  if (path.back() != '/') path += '/';
  path += name;
  sockaddr_un addr;
  if (!FillAddress(path, &addr)) {
    *error = "kavro: the socket path " + path + " is too long; use a shorter --run-dir";
    return false;
  }
  switch (ProbeExisting(path, addr, error)) {
    case Probe::Free:
      break;
    case Probe::Stale:
      if (unlink(path.c_str()) != 0 && errno != ENOENT) {
        *error = "kavro: cannot remove the stale socket " + path + ": " + ErrnoText(errno);
        return false;
      }
      break;
    case Probe::InUse:
      *error = InUseText(path);
      return false;
    case Probe::Failed:
      return false;
  }

  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = "kavro: cannot create the control socket: " + ErrnoText(errno);
    return false;
  }
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
    const int err = errno;
    close(fd);
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
    unlink(path.c_str());
    *error = "kavro: cannot set up the control socket " + path + ": " + ErrnoText(err);
    return false;
  }
  if (!hub_.AddReader(fd, [this] { Accept(); })) {
    close(fd);
    unlink(path.c_str());
    *error = "kavro: cannot watch the control socket " + path;
    return false;
  }
  listen_fd_ = fd;
  path_ = path;
  dev_ = st.st_dev;
  ino_ = st.st_ino;
  buffer_.assign(kHeader + kMaxData + 1, 0);
  return true;
}

void ControlSocket::Close() {
  while (!clients_.empty()) DropClient(clients_.begin()->first);
  if (listen_fd_ < 0) return;
  hub_.RemoveReader(listen_fd_);
  close(listen_fd_);
  listen_fd_ = -1;
  // Only our own socket file: a later run may have replaced it meanwhile.
  struct stat st {};
  if (lstat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) unlink(path_.c_str());
}

void ControlSocket::Accept() {
  // Bounded, so that a flood of connections cannot hold the loop; the
  // listener stays readable and the rest are taken next round.
  for (size_t i = 0; i < kMaxClients; i++) {
    const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (clients_.size() >= kMaxClients) {
      close(fd);
      continue;
    }
    const uint64_t serial = next_serial_++;
    if (!hub_.AddReader(fd, [this, fd, serial] { ServeClient(fd, serial); })) {
      close(fd);
      continue;
    }
    clients_[fd] = serial;
  }
}

void ControlSocket::DropClient(int fd) {
  auto it = clients_.find(fd);
  if (it == clients_.end()) return;
  hub_.RemoveReader(fd);
  close(fd);
  clients_.erase(it);
}

int32_t ControlSocket::Handle(const uint8_t* packet, size_t length) {
  if (length < kHeader || length > kHeader + kMaxData) return 0;
  const uint32_t message = ReadLe32(packet);
  const uint32_t word = ReadLe32(packet + 4);
  switch (message) {
    case WM_COPYDATA: {
      CopyData copy{word, uint32_t(length - kHeader), packet + kHeader};
      return handler_.KavroWnd(WM_COPYDATA, 0, &copy);
    }
    case WM_CLOSE:
      return handler_.KavroWnd(WM_CLOSE, 0, nullptr);
    default:
      return 0;
  }
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
  const int32_t result = Handle(buffer_.data(), size_t(n));

  // The handler runs the link layer; it may have closed us meanwhile.
  auto it = clients_.find(fd);
  if (it == clients_.end() || it->second != serial) return;
  uint8_t answer[4];
  const uint32_t r = uint32_t(result);
  answer[0] = uint8_t(r);
  answer[1] = uint8_t(r >> 8);
  answer[2] = uint8_t(r >> 16);
  answer[3] = uint8_t(r >> 24);
  if (send(fd, answer, sizeof answer, MSG_DONTWAIT | MSG_NOSIGNAL) == ssize_t(sizeof answer)) return;
  // A client gone after its last request (EPIPE) still has its queued
  // requests served; recv reports the end once they are through. One that
  // is there but does not read its answers (EAGAIN) can no longer be
  // answered in order, and must not make us wait: it is dropped.
  if (errno == EPIPE || errno == ECONNRESET) return;
  DropClient(fd);
}

}  // namespace kavro::platform
