// The TCP client connection on Linux, over BSD sockets.
//
// Nothing network-related is set up before Connect: there is no socket
// library to load on first use, to bind by ordinal, or to start and clean up
// around each connection as there is on Windows; the socket calls are part of
// the C library, so a serial or USB link never touches any of it.
//
// The socket is non-blocking and every wait is a poll: on the socket, on a
// wake-up descriptor that Close raises, and on a cancel descriptor that the
// close signals raise. So a connect or a send on the main thread never holds
// the event loop longer than its limit, and a close never releases the
// descriptor while another thread still uses it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "platform/tcp_socket.h"

namespace kavro::platform {

// A lock whose wait can be bounded, built on a condition variable rather than
// std::timed_mutex: glibc serves the latter's timed wait with
// pthread_mutex_clocklock, which the thread sanitizer of this toolchain does
// not see, so it would report every unlock as one of an unlocked mutex.
class BoundedLock {
 public:
  void Lock() {
    std::unique_lock guard(mutex_);
    free_.wait(guard, [this] { return !held_; });
    held_ = true;
  }
  bool TryLockUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock guard(mutex_);
    if (!free_.wait_until(guard, deadline, [this] { return !held_; })) return false;
    held_ = true;
    return true;
  }
  void Unlock() {
    {
      std::lock_guard guard(mutex_);
      held_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool held_ = false;
};

// Releases a BoundedLock, taken before, when the scope ends.
class BoundedLockRelease {
 public:
  explicit BoundedLockRelease(BoundedLock& lock) : lock_(lock) {}
  ~BoundedLockRelease() { lock_.Unlock(); }
  BoundedLockRelease(const BoundedLockRelease&) = delete;
  BoundedLockRelease& operator=(const BoundedLockRelease&) = delete;

 private:
  BoundedLock& lock_;
};

class PosixTcpSocket : public TcpSocket {
 public:
  // A Windows connect gives up after about 21 s of SYN retries; Linux would
  // go on for two minutes, with the start of the process held all along.
  static constexpr uint32_t CONNECT_LIMIT_MS = 20000;
  // A send must start within SEND_CONSTANT_MS plus one millisecond per
  // SEND_BYTES_PER_MS bytes, and once its first byte is out the rest must
  // go within the same limit again: a peer that takes in less than that
  // (16 kB/s) counts as stuck. The largest frame may take about 5 s to start
  // and as long again to finish.
  static constexpr uint32_t SEND_CONSTANT_MS = 1000;
  static constexpr uint32_t SEND_BYTES_PER_MS = 16;

  PosixTcpSocket();
  ~PosixTcpSocket() override;
  PosixTcpSocket(const PosixTcpSocket&) = delete;
  PosixTcpSocket& operator=(const PosixTcpSocket&) = delete;

  // Fails with ETIMEDOUT after the connect limit, with EINTR when the cancel
  // descriptor becomes readable meanwhile.
  int32_t Connect(const char* address, uint16_t port) override;
  // Fails with ETIMEDOUT after the send limit, with ECANCELED when Close cuts
  // it, with EINTR when the cancel descriptor becomes readable. A block cut
  // after its first byte shuts the connection down before the send lock is
  // let go.
  int32_t Send(const uint8_t* data, uint32_t length, SendProgress& progress) override;
  // Returns 0 when Close cuts it, as after Shutdown.
  int32_t Receive(uint8_t* buffer, uint32_t size, int32_t& error) override;
  void Shutdown() override;
  // Wakes a Receive or Send blocked on another thread and waits until both
  // have left the socket before the descriptor is released: its number may
  // be reused at once (the trace log's open, an accept on the control socket).
  void Close() override;
  int32_t Handle() const override { return fd_.load(); }

  // A descriptor that is readable while a request to end the process waits
  // (the close signals' pipe): a connect or a send waiting for the peer then
  // gives up at once, so that the request is served. -1 for none. The
  // descriptor is only watched, never read.
  void SetCancelDescriptor(int fd) { cancelFd_.store(fd); }
  void SetConnectLimit(uint32_t ms) { connectLimitMs_.store(ms); }

 private:
  void Interrupt();
  // Waits until `fd` shows `events`, the limit passes, Close wakes, or the
  // cancel descriptor is raised: 0, ETIMEDOUT, ECANCELED or EINTR. A null
  // deadline waits without a limit.
  int Await(int fd, short events, const int64_t* deadlineMs);

  // Read by the receive thread while the window thread shuts down and closes.
  std::atomic<int> fd_{-1};
  // An eventfd that Close makes readable; Connect drains it for the next
  // connection. -1 when it could not be made (Connect then fails).
  int wakeFd_ = -1;
  int wakeError_ = 0;
  std::atomic<bool> interrupted_{false};
  std::atomic<int> cancelFd_{-1};
  std::atomic<uint32_t> connectLimitMs_{CONNECT_LIMIT_MS};
  // Held for the whole of a receive. Close takes it (and the send lock) so
  // that no thread is inside the socket when the descriptor goes.
  std::mutex readMutex_;
  // Client payloads (window thread) and keepalive echoes (receive thread)
  // share the socket: one block at a time keeps their frames whole on the
  // wire. Timed, so that waiting for the other thread's block counts against
  // the send limit.
  BoundedLock sendMutex_;
  // Keeps Shutdown off a descriptor that Close is releasing.
  std::mutex closeMutex_;
};

}  // namespace kavro::platform
