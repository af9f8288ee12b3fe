// The default companion library: it passes every payload and link event the
// link driver hands it to the client programs connected to its socket.
//
// Two threads call in (the driver's receive thread and its main thread); a
// service thread of the library's own accepts clients and writes to them. The
// calls only put records on queues and never wait for a client, so a client
// that stalls can never hold up the link. The one exception is the shutdown
// event, which waits (a bounded time) until the clients have been handed
// everything, because the process ends as soon as it returns.
#include "kavrod.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

// A client's own queue may grow this far before the client counts as one
// that cannot keep up. Records are shared between clients, so the byte bound
// is mostly about one client pinning old payloads in memory.
constexpr size_t kClientQueueMax = 4096;
constexpr size_t kClientBytesMax = 128u << 20;
// The first client is handed the whole backlog at once; that alone must never
// count as falling behind.
static_assert(kClientQueueMax > KAVROD_BACKLOG_MAX);
static_assert(kClientBytesMax > size_t{KAVROD_BACKLOG_MAX} * KAVROD_RECORD_MAX);
// A client whose socket stays full this long has stopped reading.
constexpr int64_t kStallMs = 5000;
// How long the shutdown event waits for the clients to take what is queued.
constexpr int64_t kShutdownFlushMs = 2000;
// How often to try again to create the socket when it could not be created.
constexpr int64_t kListenRetryMs = 1000;
// Records written to one client in one turn, so that a fast producer and a
// fast client do not keep the lock from the other threads.
constexpr size_t kSendBatch = 64;
// Packets read (and thrown away) from one client in one turn.
constexpr int kReadBatch = 16;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void PutLe32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

// The library has no trace log of its own: what an operator should know goes
// to standard error, which the service manager collects.
void Report(const std::string& line) {
  std::string text = "kavrod: " + line + "\n";
  ssize_t written = write(STDERR_FILENO, text.data(), text.size());
  (void)written;
}

// Plain formatting rather than std::to_string and std::make_shared: their
// inline statics become unique symbols, which pin the library in memory so
// that unloading it would never run its destructor.
std::string Decimal(unsigned long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%lu", value);
  return text;
}

// One record as it goes on the wire. The payload block is the one the driver
// handed over; it is sent straight from there and freed with the last
// reference, however many clients it went to.
struct Record {
  uint8_t header[KAVROD_HEADER_SIZE] = {};
  void* payload = nullptr;
  uint32_t length = 0;

  Record(uint32_t kind, uint32_t value) {
    PutLe32(header, kind);
    PutLe32(header + 4, value);
  }
  ~Record() { std::free(payload); }
  Record(const Record&) = delete;
  Record& operator=(const Record&) = delete;

  size_t Size() const { return KAVROD_HEADER_SIZE + length; }
};
using RecordRef = std::shared_ptr<Record>;

struct Client {
  int fd = -1;
  unsigned id = 0;
  std::deque<RecordRef> queue;
  size_t bytes = 0;
  // The last send found the socket full: wait for it to drain.
  bool blocked = false;
  int64_t stalled_since = -1;
  // The client shut down its sending side: stop reading from it.
  bool read_closed = false;
  // Set once the client is out; the service thread closes it.
  bool retired = false;
  const char* reason = nullptr;
  size_t lost = 0;
};

class Server {
 public:
  explicit Server(std::string run_dir)
      : path_(std::move(run_dir) + "/" + KAVROD_SOCKET_NAME) {
    wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (wake_fd_ < 0) {
      Report(std::string("cannot start: eventfd: ") + std::strerror(errno));
      stopped_ = true;
      return;
    }
    // Create the socket before the driver goes on, so that a client started
    // right after the driver finds it.
    TryListen(NowMs());
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::exception& e) {
      Report(std::string("cannot start the service thread: ") + e.what());
      stopped_ = true;
    }
  }

  ~Server() {
    Stop();
    if (listen_fd_ >= 0) CloseListener();
    if (wake_fd_ >= 0) close(wake_fd_);
  }

  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  int32_t Deliver(uint32_t address, void* payload, uint32_t length) {
    if (payload == nullptr || length > KAVROD_PAYLOAD_MAX) return -1;
    RecordRef record;
    try {
      record.reset(new Record(KAVROD_RECORD_PAYLOAD, address));
    } catch (const std::bad_alloc&) {
      return -1;
    }
    record->payload = payload;
    record->length = length;
    if (!Enqueue(record, true)) {
      // Not taken: the block goes back to the caller untouched.
      record->payload = nullptr;
      return -1;
    }
    return 1;
  }

  void Signal(uint32_t code) {
    try {
      Enqueue(RecordRef(new Record(KAVROD_RECORD_LINK_EVENT, code)), false);
    } catch (const std::bad_alloc&) {
      Report("link event " + Decimal(code) + " lost: out of memory");
    }
    if (code == KAVROD_EVENT_SHUTDOWN) Stop();
  }

  // Hands the clients what is queued (waiting at most kShutdownFlushMs),
  // closes them and removes the socket. Later calls are refused.
  void Stop() {
    std::lock_guard<std::mutex> stop_guard(stop_mutex_);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (stopping_) return;
      stopping_ = true;
      deadline_ = NowMs() + kShutdownFlushMs;
      Wake();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  // Puts `record` on every connected client's queue, or in the backlog when
  // no client is connected. False when a payload cannot be held.
  bool Enqueue(const RecordRef& record, bool is_payload) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_ || stopped_) return false;
    // A client whose connect has returned counts as connected from then on,
    // even if the service thread has not got round to accepting it.
    AcceptPending();
    bool delivered = false;
    for (auto& client : clients_) {
      if (client->retired) continue;
      try {
        client->queue.push_back(record);
      } catch (const std::bad_alloc&) {
        Retire(*client, "out of memory");
        continue;
      }
      delivered = true;
      client->bytes += record->Size();
      if (client->queue.size() > kClientQueueMax || client->bytes > kClientBytesMax) {
        Retire(*client, "cannot keep up");
      }
    }
    if (!delivered) {
      // Link events are few in a run and cannot be refused, so only payloads
      // are held to the backlog's bound.
      if (is_payload && backlog_.size() >= KAVROD_BACKLOG_MAX) return false;
      try {
        backlog_.push_back(record);
      } catch (const std::bad_alloc&) {
        return false;
      }
    }
    Wake();
    return true;
  }

  // Takes a client out. When it was the last one, what it had not yet been
  // sent waits in the backlog for the next client instead of being lost.
  // Called with the lock held; the service thread closes the socket.
  void Retire(Client& client, const char* reason) {
    if (client.retired) return;
    client.retired = true;
    client.reason = reason;
    bool others = std::any_of(clients_.begin(), clients_.end(),
                              [](const auto& c) { return !c->retired; });
    if (!others && !stopping_) {
      size_t keep = std::min(client.queue.size(),
                             KAVROD_BACKLOG_MAX > backlog_.size() ? KAVROD_BACKLOG_MAX - backlog_.size() : 0);
      client.lost = client.queue.size() - keep;
      // The backlog is empty while a client is connected, but keep the order
      // right whatever it holds: the client's records are the older ones.
      backlog_.insert(backlog_.begin(), client.queue.begin(), client.queue.begin() + static_cast<long>(keep));
    }
    client.queue.clear();
    client.bytes = 0;
    Wake();
  }

  void AcceptPending() {
    if (listen_fd_ < 0) return;
    for (;;) {
      int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        return;
      }
      try {
        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->id = ++last_client_id_;
        // A client that has gone but not yet been noticed must not count as
        // connected here, or the newcomer would miss what waits for it.
        RetireHungUp();
        bool first = std::none_of(clients_.begin(), clients_.end(),
                                  [](const auto& c) { return !c->retired; });
        clients_.push_back(std::move(client));
        if (first) {
          Client& c = *clients_.back();
          c.queue.swap(backlog_);
          for (const auto& r : c.queue) c.bytes += r->Size();
        }
      } catch (const std::bad_alloc&) {
        close(fd);
      }
    }
  }

  void RetireHungUp() {
    std::vector<pollfd> fds;
    std::vector<Client*> probed;
    for (auto& client : clients_) {
      if (client->retired) continue;
      fds.push_back({client->fd, 0, 0});
      probed.push_back(client.get());
    }
    if (fds.empty() || poll(fds.data(), fds.size(), 0) <= 0) return;
    for (size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].revents & (POLLHUP | POLLERR | POLLNVAL)) Retire(*probed[i], nullptr);
    }
  }

  void Wake() {
    if (wake_pending_ || wake_fd_ < 0) return;
    wake_pending_ = true;
    uint64_t one = 1;
    ssize_t written = write(wake_fd_, &one, sizeof one);
    (void)written;
  }

  void TryListen(int64_t now) {
    next_listen_try_ = now + kListenRetryMs;
    std::string failure = Listen();
    if (failure.empty()) {
      listen_failure_.clear();
      return;
    }
    // Said once per distinct reason, not once a second.
    if (failure != listen_failure_) {
      Report("cannot serve clients on " + path_ + ": " + failure + "; retrying");
      listen_failure_ = failure;
    }
  }

  std::string Listen() {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) return "the path is too long for a socket";
    std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("socket: ") + std::strerror(errno);
    // On Linux the mode of the socket before bind becomes the mode of its
    // file, so the file never exists with wider rights; the chmod after bind
    // puts back what the umask took away.
    fchmod(fd, 0660);
    auto* sa = reinterpret_cast<sockaddr*>(&address);
    if (bind(fd, sa, sizeof address) < 0) {
      if (errno != EADDRINUSE) {
        std::string failure = std::string("bind: ") + std::strerror(errno);
        close(fd);
        return failure;
      }
      // The file is left over from an earlier run unless something still
      // answers on it; never take the socket from a running instance.
      int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
      bool alive = probe >= 0 && connect(probe, sa, sizeof address) == 0;
      if (probe >= 0) close(probe);
      if (alive) {
        close(fd);
        return "in use by another process";
      }
      unlink(path_.c_str());
      if (bind(fd, sa, sizeof address) < 0) {
        std::string failure = std::string("bind: ") + std::strerror(errno);
        close(fd);
        return failure;
      }
    }
    chmod(path_.c_str(), 0660);
    if (listen(fd, 64) < 0) {
      std::string failure = std::string("listen: ") + std::strerror(errno);
      unlink(path_.c_str());
      close(fd);
      return failure;
    }
    struct stat st {};
    if (stat(path_.c_str(), &st) == 0) {
      socket_dev_ = st.st_dev;
      socket_ino_ = st.st_ino;
    }
    listen_fd_ = fd;
    return {};
  }

  void CloseListener() {
    close(listen_fd_);
    listen_fd_ = -1;
    // Remove the file only if it is still ours: a new instance may already
    // have put its own socket there.
    struct stat st {};
    if (stat(path_.c_str(), &st) == 0 && st.st_dev == socket_dev_ && st.st_ino == socket_ino_) {
      unlink(path_.c_str());
    }
  }

  // Writes what the client's socket takes, at most one batch.
  void Send(Client& client, int64_t now) {
    size_t sent = 0;
    while (!client.queue.empty() && !client.blocked && sent < kSendBatch) {
      const Record& record = *client.queue.front();
      iovec parts[2] = {{const_cast<uint8_t*>(record.header), KAVROD_HEADER_SIZE},
                        {record.payload, record.length}};
      msghdr message{};
      message.msg_iov = parts;
      message.msg_iovlen = record.length > 0 ? 2 : 1;
      ssize_t n = sendmsg(client.fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          client.blocked = true;
          if (client.stalled_since < 0) client.stalled_since = now;
          return;
        }
        Retire(client, nullptr);
        return;
      }
      client.bytes -= record.Size();
      client.queue.pop_front();
      client.stalled_since = -1;
      ++sent;
    }
  }

  void Receive(Client& client) {
    // Clients have nothing to say; whatever they send is read and dropped so
    // that it does not pile up in the kernel.
    char sink[512];
    for (int i = 0; i < kReadBatch; ++i) {
      ssize_t n = recv(client.fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) Retire(client, nullptr);
        return;
      }
    }
  }

  void CloseRetired() {
    for (auto it = clients_.begin(); it != clients_.end();) {
      Client& client = **it;
      if (!client.retired) {
        ++it;
        continue;
      }
      if (client.reason != nullptr) {
        Report("client " + Decimal(client.id) + " dropped: " + client.reason);
      }
      if (client.lost > 0) {
        Report(Decimal(client.lost) + " records for client " + Decimal(client.id) +
               " lost: backlog full");
      }
      close(client.fd);
      it = clients_.erase(it);
    }
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    std::vector<pollfd> fds;
    std::vector<Client*> polled;
    for (;;) {
      int64_t now = NowMs();
      for (auto& client : clients_) {
        if (!client->retired) Send(*client, now);
        if (!client->retired && client->blocked && client->stalled_since >= 0 &&
            now - client->stalled_since >= kStallMs) {
          Retire(*client, "cannot keep up");
        }
      }
      CloseRetired();

      bool more_to_send = false;
      int64_t wait_until = -1;
      auto wake_at = [&wait_until](int64_t at) {
        if (wait_until < 0 || at < wait_until) wait_until = at;
      };
      for (auto& client : clients_) {
        if (client->queue.empty()) continue;
        if (!client->blocked) more_to_send = true;
        if (client->stalled_since >= 0) wake_at(client->stalled_since + kStallMs);
      }
      if (stopping_) {
        bool flushed = std::all_of(clients_.begin(), clients_.end(),
                                   [](const auto& c) { return c->queue.empty(); });
        if (flushed || now >= deadline_) break;
        wake_at(deadline_);
      } else if (listen_fd_ < 0) {
        if (now >= next_listen_try_) TryListen(now);
        if (listen_fd_ < 0) wake_at(next_listen_try_);
      }

      fds.clear();
      polled.clear();
      fds.push_back({wake_fd_, POLLIN, 0});
      if (listen_fd_ >= 0 && !stopping_) fds.push_back({listen_fd_, POLLIN, 0});
      size_t first_client = fds.size();
      for (auto& client : clients_) {
        // Both read conditions stay true once the client has shut down its
        // sending side; asking for them then would spin.
        short events = client->read_closed ? 0 : POLLIN | POLLRDHUP;
        if (client->blocked) events |= POLLOUT;
        fds.push_back({client->fd, events, 0});
        polled.push_back(client.get());
      }
      int timeout = -1;
      if (more_to_send) {
        timeout = 0;
      } else if (wait_until >= 0) {
        timeout = static_cast<int>(std::max<int64_t>(0, wait_until - now));
      }

      wake_pending_ = false;
      lock.unlock();
      int ready = poll(fds.data(), fds.size(), timeout);
      lock.lock();
      if (ready <= 0) continue;

      if (fds[0].revents & POLLIN) {
        uint64_t count;
        ssize_t n = read(wake_fd_, &count, sizeof count);
        (void)n;
      }
      if (first_client > 1 && (fds[1].revents & POLLIN)) AcceptPending();
      // Only the service thread removes clients, so the pointers taken before
      // the poll are still good.
      for (size_t i = 0; i < polled.size(); ++i) {
        Client& client = *polled[i];
        short revents = fds[first_client + i].revents;
        if (client.retired || revents == 0) continue;
        if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
          Retire(client, nullptr);
          continue;
        }
        if (revents & POLLOUT) client.blocked = false;
        if (revents & POLLIN) Receive(client);
        if (revents & POLLRDHUP) client.read_closed = true;
      }
    }

    for (auto& client : clients_) {
      if (!client->retired && !client->queue.empty()) {
        Report("client " + Decimal(client->id) + " dropped: cannot keep up; " +
               Decimal(client->queue.size()) + " records not delivered at shutdown");
      }
      close(client->fd);
    }
    clients_.clear();
    backlog_.clear();
    if (listen_fd_ >= 0) CloseListener();
    stopped_ = true;
  }

  const std::string path_;
  int wake_fd_ = -1;
  std::thread thread_;
  std::mutex stop_mutex_;

  // Everything below is guarded by mutex_.
  std::mutex mutex_;
  int listen_fd_ = -1;
  dev_t socket_dev_ = 0;
  ino_t socket_ino_ = 0;
  int64_t next_listen_try_ = 0;
  std::string listen_failure_;
  std::vector<std::unique_ptr<Client>> clients_;
  std::deque<RecordRef> backlog_;
  unsigned last_client_id_ = 0;
  bool wake_pending_ = false;
  bool stopping_ = false;
  bool stopped_ = false;
  int64_t deadline_ = 0;
};

// The library's one service, made when the library is loaded and ended when
// it is unloaded; the C interface leaves no other place to keep it.
Server* server = nullptr;

__attribute__((constructor)) void KavrodLoad() {
  const char* run_dir = std::getenv("KAVRO_RUN_DIR");
  if (run_dir == nullptr || *run_dir == '\0') run_dir = KAVROD_DEFAULT_RUN_DIR;
  server = new (std::nothrow) Server(run_dir);
  if (server == nullptr) Report("cannot start: out of memory");
}

__attribute__((destructor)) void KavrodUnload() {
  delete server;
  server = nullptr;
}

}  // namespace

extern "C" {

KAVROD_EXPORT int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) {
  return server != nullptr ? server->Deliver(address, payload, length) : -1;
}

KAVROD_EXPORT void SignalLinkEvent(uint32_t code) {
  if (server != nullptr) server->Signal(code);
}

}  // extern "C"
