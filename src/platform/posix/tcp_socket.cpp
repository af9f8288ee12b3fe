#include "platform/posix/tcp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kavro::platform {

namespace {

// A connect interrupted by a signal goes on in the background; wait for its
// outcome instead of starting a second one (which would fail with EALREADY).
int AwaitInterruptedConnect(int fd) {
  pollfd p{fd, POLLOUT, 0};
  int r;
  do {
    r = poll(&p, 1, -1);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return errno;
  int error = 0;
  socklen_t size = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) return errno;
  return error;
}

}  // namespace

PosixTcpSocket::~PosixTcpSocket() { Close(); }

int32_t PosixTcpSocket::Connect(const char* address, uint16_t port) {
  Close();
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(port);
  // The address text is not checked beforehand: one that does not parse
  // fails here, the way a connect to an unusable address fails.
  if (address == nullptr || inet_pton(AF_INET, address, &peer.sin_addr) != 1) {
    close(fd);
    return EADDRNOTAVAIL;
  }

  // Blocking, with the kernel's own time limit (the SYN retries).
  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0) {
    error = errno == EINTR ? AwaitInterruptedConnect(fd) : errno;
  }
  if (error != 0) {
    close(fd);
    return error;
  }
  fd_.store(fd);
  return 0;
}

int32_t PosixTcpSocket::Send(const uint8_t* data, uint32_t length) {
  std::lock_guard lock(sendMutex_);
  std::shared_lock use(useMutex_);
  const int fd = fd_.load();
  if (fd < 0) return EBADF;
  uint32_t done = 0;
  while (done < length) {
    // MSG_NOSIGNAL: a peer that has gone must give EPIPE, not end the
    // process with SIGPIPE.
    const ssize_t n = send(fd, data + done, length - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    done += static_cast<uint32_t>(n);
  }
  return 0;
}

int32_t PosixTcpSocket::Receive(uint8_t* buffer, uint32_t size, int32_t& error) {
  std::shared_lock use(useMutex_);
  const int fd = fd_.load();
  if (fd < 0) {
    error = EBADF;
    return -1;
  }
  for (;;) {
    const ssize_t n = recv(fd, buffer, size, 0);
    if (n >= 0) return static_cast<int32_t>(n);
    if (errno == EINTR) continue;
    error = errno;
    return -1;
  }
}

void PosixTcpSocket::Shutdown() {
  const int fd = fd_.load();
  // Unlike close(), shutdown() makes a recv() blocked on another thread
  // return 0 at once, and the descriptor stays valid until Close.
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void PosixTcpSocket::Close() {
  const int fd = fd_.exchange(-1);
  if (fd < 0) return;
  // Wake a send or receive blocked on the other thread, then wait for it to
  // leave the descriptor before the number is released.
  shutdown(fd, SHUT_RDWR);
  std::unique_lock use(useMutex_);
  close(fd);
}

}  // namespace kavro::platform
