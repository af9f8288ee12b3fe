#include "platform/posix/posix_tcp_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace kavro::platform {

namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

PosixTcpSocket::PosixTcpSocket() {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd_ < 0) wakeError_ = errno;
}

PosixTcpSocket::~PosixTcpSocket() {
  Close();
  if (wakeFd_ >= 0) close(wakeFd_);
}

int PosixTcpSocket::Await(int fd, short events, const int64_t* deadlineMs) {
  for (;;) {
    int timeout = -1;
    if (deadlineMs != nullptr) {
      const int64_t left = *deadlineMs - NowMs();
      if (left <= 0) return ETIMEDOUT;
      timeout = static_cast<int>(left);
    }
    // poll skips a negative descriptor: no cancel descriptor, no watch.
    pollfd fds[3] = {{fd, events, 0}, {wakeFd_, POLLIN, 0}, {cancelFd_.load(), POLLIN, 0}};
    const int ready = poll(fds, 3, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (ready == 0) continue;  // the deadline check above decides
    if (fds[1].revents != 0 || interrupted_) return ECANCELED;
    // The socket first: a connect that completed as the signal came still
    // counts, and the signal is then served as the close request it is.
    if (fds[0].revents != 0) return 0;
    if (fds[2].revents != 0) return EINTR;
  }
}

int32_t PosixTcpSocket::Connect(const char* address, uint16_t port) {
  Close();
  if (wakeFd_ < 0) return wakeError_;
  uint64_t drained;
  while (read(wakeFd_, &drained, sizeof drained) > 0) {}
  interrupted_ = false;

  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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

  int error = 0;
  if (connect(fd, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) < 0) {
    error = errno;
    if (error == EINPROGRESS || error == EINTR) {
      // An address that does not answer at all would keep the kernel sending
      // SYNs for two minutes; the start of the process must not wait that
      // long, nor ignore a close signal meanwhile.
      const int64_t deadline = NowMs() + connectLimitMs_.load();
      error = Await(fd, POLLOUT, &deadline);
      if (error == 0) {
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) < 0) error = errno;
      }
    }
  }
  if (error != 0) {
    close(fd);
    return error;
  }
  fd_.store(fd);
  return 0;
}

int32_t PosixTcpSocket::Send(const uint8_t* data, uint32_t length, SendProgress& progress) {
  progress = SendProgress{};
  // The limit covers the wait for a block of the other thread as well: the
  // caller on the main thread holds the event loop for no longer than this.
  int64_t deadline = NowMs() + SEND_CONSTANT_MS + length / SEND_BYTES_PER_MS;
  if (!sendMutex_.TryLockUntil(std::chrono::steady_clock::time_point(std::chrono::milliseconds(deadline)))) {
    return ETIMEDOUT;
  }
  const BoundedLockRelease release(sendMutex_);
  const int fd = fd_.load();
  if (fd < 0) return EBADF;
  uint32_t done = 0;
  int error = 0;
  while (done < length && error == 0) {
    if (interrupted_) {
      error = ECANCELED;
      break;
    }
    // MSG_NOSIGNAL: a peer that has gone must give EPIPE, not end the
    // process with SIGPIPE.
    const ssize_t n = send(fd, data + done, length - done, MSG_NOSIGNAL);
    if (n > 0) {
      // Begun: the rest gets a limit of its own.
      if (done == 0) deadline = NowMs() + SEND_CONSTANT_MS + (length - static_cast<uint32_t>(n)) / SEND_BYTES_PER_MS;
      done += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      error = EIO;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
      error = errno;
    } else {
      // The socket buffer is full: the peer is not reading. Wait for room,
      // the limit, the close or a close signal, whichever comes first.
      error = Await(fd, POLLOUT, &deadline);
    }
  }
  if (error != 0 && done > 0) {
    // Cut short: whatever followed on this connection would land inside
    // the cut block and put the peer's framing out of step for good. The
    // connection ends here, before the lock lets another block out; the
    // shutdown also wakes the receive thread, which then finds it gone.
    shutdown(fd, SHUT_RDWR);
    progress.Sent = done;
    progress.Closing = error == ECANCELED || error == EINTR;
  }
  return error;
}

int32_t PosixTcpSocket::Receive(uint8_t* buffer, uint32_t size, int32_t& error) {
  std::lock_guard lock(readMutex_);
  const int fd = fd_.load();
  if (fd < 0) {
    error = EBADF;
    return -1;
  }
  for (;;) {
    // Closed by this side: the connection has ended as after Shutdown.
    if (interrupted_) return 0;
    const ssize_t n = recv(fd, buffer, size, 0);
    if (n >= 0) return static_cast<int32_t>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      error = errno;
      return -1;
    }
    // No limit: the PBX may stay silent for as long as it likes. Close
    // ends the wait; the close signals are the main thread's business.
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) {
      error = errno;
      return -1;
    }
  }
}

void PosixTcpSocket::Shutdown() {
  std::lock_guard lock(closeMutex_);
  const int fd = fd_.load();
  // shutdown() makes a recv() blocked on another thread return 0 at once and
  // tells the peer, and the descriptor stays valid until Close.
  if (fd >= 0) shutdown(fd, SHUT_RDWR);
}

void PosixTcpSocket::Interrupt() {
  interrupted_ = true;
  if (wakeFd_ < 0) return;
  // The counter is not read back until the next Connect, so the descriptor
  // stays readable and every later wait ends at once as well.
  uint64_t one = 1;
  ssize_t ignored = write(wakeFd_, &one, sizeof one);
  (void)ignored;
}

void PosixTcpSocket::Close() {
  Interrupt();
  // Both waits have seen the wake-up and left; only now may the descriptor
  // go, or a number reused by another open could be read from or written to.
  // Each of the three is otherwise held alone, so taking them in this fixed
  // order cannot deadlock.
  const std::lock_guard reading(readMutex_);
  sendMutex_.Lock();
  const BoundedLockRelease sending(sendMutex_);
  const std::lock_guard closing(closeMutex_);
  const int fd = fd_.exchange(-1);
  if (fd >= 0) close(fd);
}

}  // namespace kavro::platform
