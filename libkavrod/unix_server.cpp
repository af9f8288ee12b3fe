#include "unix_server.h"

#include "posix_log_files.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kavrod {

namespace {

// Records handed to one sendmmsg call: one client's turn.
constexpr size_t kSendBatch = 128;
// Request packets read from one client in one turn, so that a client that
// floods cannot starve the others.
constexpr int kReadBatch = 64;
// Turns the service thread may take without polling while records keep
// coming: the poll would only find out what the next turn finds anyway, and
// new clients, credit and hang-ups can wait that long.
constexpr int kBusyTurns = 16;
// Done payload blocks the service thread leaves for the producer to free
// while the link runs (see DeliveryCore::Reap); an idle link holds no more
// than this.
constexpr uint64_t kLeaveRecords = 256;
constexpr uint64_t kLeaveBytes = 256 * 1024;
// How long the shutdown event waits for the clients to take what is queued.
constexpr int64_t kShutdownFlushMs = 2000;
// How often to try again to create the socket when it could not be created.
constexpr int64_t kListenRetryMs = 1000;
// How long the listener is left alone when accepting fails for want of
// descriptors or memory: it stays readable, and asking again at once would
// spin.
constexpr int64_t kAcceptPauseMs = 500;
// A new client is asked again and again whether it has read its first
// record, less often the longer it waits.
constexpr int64_t kIntroCheckMaxMs = 64;

// The service thread starts with the host's asynchronous signals blocked: a
// signal sent to the process must reach the thread the host routes it on
// (kavro's main loop), never this one, which would swallow it or run the
// host's handler in the middle of a client's turn. Faults stay deliverable.
class HostSignalsBlocked {
 public:
  HostSignalsBlocked() {
    sigset_t all;
    sigfillset(&all);
    for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) sigdelset(&all, fault);
    pthread_sigmask(SIG_BLOCK, &all, &saved_);
  }
  ~HostSignalsBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
  HostSignalsBlocked(const HostSignalsBlocked&) = delete;
  HostSignalsBlocked& operator=(const HostSignalsBlocked&) = delete;

 private:
  sigset_t saved_;
};

std::string Decimal(unsigned long long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llu", value);
  return text;
}

}  // namespace

UnixServer::UnixServer(const std::string& run_dir, Limits limits, gid_t group)
    : core_(ServerHooks{[this] { Wake(); }, [this] { return ClientWaiting(); }}, limits),
      path_(run_dir + "/" + KAVROD_SOCKET_NAME),
      lock_path_(run_dir + "/" + KAVROD_LOCK_NAME),
      group_(group) {
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) {
    Report(std::string("cannot start: eventfd: ") + std::strerror(errno));
    core_.Shutdown();
    stopped_ = true;
    return;
  }
  // Create the socket before the driver goes on, so that a client started
  // right after the driver finds it.
  TryListen(MonotonicMs());
  try {
    // The new thread inherits the mask it is created with.
    HostSignalsBlocked blocked;
    thread_ = std::thread([this] { Run(); });
  } catch (const std::exception& e) {
    Report(std::string("cannot start the service thread: ") + e.what());
    core_.Shutdown();
    if (listen_fd_ >= 0) CloseListener();
    stopped_ = true;
  }
}

UnixServer::~UnixServer() {
  Stop();
  if (wake_fd_ >= 0) close(wake_fd_);
}

int32_t UnixServer::Deliver(uint32_t address, void* payload, uint32_t length) {
  return core_.Deliver(address, payload, length);
}

int32_t UnixServer::WaitForRoom(uint32_t timeout_ms) { return core_.WaitForRoom(timeout_ms); }

bool UnixServer::QueryStatus(KavrodStatus* status) const { return core_.FillStatus(status); }

bool UnixServer::OpenRecordLog(const std::string& directory, uint64_t max_bytes, bool sync_always,
                               std::string* error) {
  if (log_ != nullptr) {
    *error = "the record log is open already";
    return false;
  }
  RecordLog::Options options;
  options.max_bytes = max_bytes;
  options.sync_always = sync_always;
  auto log = std::make_unique<RecordLog>(NewPosixLogDirectory(directory), options, [this](int level, const std::string& line) {
    Report("<" + std::to_string(level) + ">" + line);
  });
  if (!log->Open(error)) return false;
  log_ = std::move(log);
  core_.AttachLog(log_.get());
  return true;
}

void UnixServer::Signal(uint32_t code) {
  core_.Signal(code, MonotonicMs());
  if (code == KAVROD_EVENT_SHUTDOWN) Stop();
}

void UnixServer::Stop() {
  std::lock_guard<std::mutex> guard(stop_mutex_);
  if (stopped_) return;
  stopped_ = true;
  core_.Shutdown();
  if (thread_.joinable()) thread_.join();
}

bool UnixServer::ClientWaiting() {
  const int fd = listener_.load(std::memory_order_acquire);
  if (fd < 0) return false;
  pollfd p{fd, POLLIN, 0};
  if (poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0) return true;
  // Asked after the listener: a connection taken off it since is flagged
  // until the core has it.
  return accepting_.load();
}

void UnixServer::Wake() {
  if (wake_fd_ < 0) return;
  uint64_t one = 1;
  ssize_t written = write(wake_fd_, &one, sizeof one);
  (void)written;
}

// The library has no trace log of its own: what an operator should know goes
// to standard error, which the service manager collects.
void UnixServer::Report(const std::string& line) {
  // A line may name its priority for the journal ("<3>..."): it goes
  // before the library's name, as the driver's own lines have it.
  const bool leveled = line.size() > 3 && line[0] == '<' && line[2] == '>' && line[1] >= '0' && line[1] <= '7';
  std::string text = leveled ? line.substr(0, 3) + "kavrod: " + line.substr(3) + "\n" : "kavrod: " + line + "\n";
  ssize_t written = write(STDERR_FILENO, text.data(), text.size());
  (void)written;
}

void UnixServer::TryListen(int64_t now) {
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

std::string UnixServer::Listen() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path_.size() >= sizeof address.sun_path) return "the path is too long for a socket";
  std::memcpy(address.sun_path, path_.c_str(), path_.size() + 1);

  // Whether another instance serves this directory is the lock's to say.
  // Connecting to its socket to find out would make the probe a client, one
  // that takes the backlog with it.
  if (lock_fd_ < 0) {
    // The owner's alone: whoever can open the file can lock it, and so keep
    // the library from serving. A file left by an older run with wider
    // rights is narrowed.
    int fd = open(lock_path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return "cannot open " + lock_path_ + ": " + std::strerror(errno);
    fchmod(fd, 0600);
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      close(fd);
      if (error == EWOULDBLOCK) return "in use by another process (" + lock_path_ + " is locked)";
      return "cannot lock " + lock_path_ + ": " + std::strerror(error);
    }
    lock_fd_ = fd;
  }

  int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) return std::string("socket: ") + std::strerror(errno);
  // On Linux the mode of the socket before bind becomes the mode of its
  // file, so the file never exists with wider rights; the chmod after bind
  // puts back what the umask took away.
  fchmod(fd, 0660);
  // With the lock held, a socket file already there is left over from a run
  // that ended without removing it.
  unlink(path_.c_str());
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0) {
    std::string failure = std::string("bind: ") + std::strerror(errno);
    close(fd);
    return failure;
  }
  chmod(path_.c_str(), 0660);
  // Every socket this library creates, the ones made on a later retry
  // included, goes to the group that clients are in.
  if (group_ != static_cast<gid_t>(-1) && lchown(path_.c_str(), static_cast<uid_t>(-1), group_) != 0) {
    std::string failure = "cannot give the socket to group " + Decimal(group_) + ": " + std::strerror(errno);
    unlink(path_.c_str());
    close(fd);
    return failure;
  }
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
  listener_.store(fd, std::memory_order_release);
  return {};
}

void UnixServer::CloseListener() {
  // Producers are refused by now: the core stops before the listener does.
  listener_.store(-1, std::memory_order_release);
  close(listen_fd_);
  listen_fd_ = -1;
  // Remove the file only if it is still ours, and before the lock goes, so
  // that a successor never finds its own socket removed.
  struct stat st {};
  if (stat(path_.c_str(), &st) == 0 && st.st_dev == socket_dev_ && st.st_ino == socket_ino_) {
    unlink(path_.c_str());
  }
  if (lock_fd_ >= 0) {
    close(lock_fd_);
    lock_fd_ = -1;
  }
}

// Takes one connection per turn. The poll that said the listener was
// readable looked at the listener before the clients, so any client that
// left before this one came has been seen to leave: a newcomer never takes
// the place of one that has gone unnoticed, whose records belong to the
// backlog.
void UnixServer::AcceptClients(int64_t now) {
  for (;;) {
    accepting_.store(true);
    int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      accepting_.store(false);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) return;
      // Out of descriptors or memory: the connection stays queued and the
      // listener readable. Leave it for a while rather than spin on it.
      if (!accept_failure_reported_) {
        Report(std::string("cannot accept clients: ") + std::strerror(errno) + "; trying again every " +
               Decimal(kAcceptPauseMs) + " ms");
        accept_failure_reported_ = true;
      }
      accept_paused_until_ = now + kAcceptPauseMs;
      return;
    }
    if (accept_failure_reported_) {
      Report("accepting clients again");
      accept_failure_reported_ = false;
    }
    OutRecord state{};
    DeliveryCore::ClientId id = core_.Accept(now, &state);
    accepting_.store(false);
    if (id == 0) {
      // Closed before the link-state record, which tells the client why.
      close(fd);
      ++refused_unreported_;
      ReportRefusals(now, false);
      return;
    }
    // A fresh socket has room for one small record.
    if (send(fd, state.header, KAVROD_HEADER_SIZE, MSG_DONTWAIT | MSG_NOSIGNAL) != KAVROD_HEADER_SIZE) {
      core_.Hangup(id, nullptr);
      core_.Release(id);
      close(fd);
      return;
    }
    Conn c;
    c.id = id;
    c.fd = fd;
    c.check_at = now;
    conns_.push_back(c);
    return;
  }
}

// A new client gets nothing but its link-state record until the library
// knows whether it counts its records. A client that sends a credit does so
// before it reads, so once the link-state record has left the client's
// socket, any credit it sent is already waiting here: no credit then means a
// plain client that takes everything.
void UnixServer::CheckIntroduction(Conn& c, int64_t now) {
  if (!core_.Introducing(c.id)) {
    c.check_at = -1;
    return;
  }
  int unread = 0;
  if (ioctl(c.fd, SIOCOUTQ, &unread) != 0) unread = 0;
  if (unread > 0) {
    c.check_delay = std::clamp<int64_t>(c.check_delay * 2, 1, kIntroCheckMaxMs);
    c.check_at = now + c.check_delay;
    return;
  }
  if (!c.read_closed) ReadRequests(c);
  core_.Promote(c.id, now);
  c.check_at = -1;
}

void UnixServer::ReadRequests(Conn& c) {
  uint8_t packet[64];
  for (int i = 0; i < kReadBatch; ++i) {
    // MSG_TRUNC: the packet's real length, so that a longer one is not
    // mistaken for the request at its start.
    ssize_t n = recv(c.fd, packet, sizeof packet, MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        core_.Hangup(c.id, nullptr);
        hung_up_ = true;
      }
      return;
    }
    // An empty packet and the end of the client's sending side both read as
    // 0, the end again and again; poll tells them apart on the next turn.
    if (n == 0) return;
    if (static_cast<size_t>(n) <= sizeof packet) core_.Request(c.id, packet, static_cast<size_t>(n));
  }
}

// Sends the client one batch; returns how many records went out.
size_t UnixServer::SendSome(Conn& c, int64_t now, uint64_t* work) {
  OutRecord out[kSendBatch];
  const size_t n = core_.Collect(c.id, now, out, kSendBatch);
  if (n == 0) return 0;
  mmsghdr messages[kSendBatch];
  iovec parts[2 * kSendBatch];
  for (size_t i = 0; i < n; ++i) {
    parts[2 * i] = {out[i].header, out[i].header_size};
    parts[2 * i + 1] = {const_cast<void*>(out[i].payload), out[i].length};
    // Field by field: zeroing the whole entry costs a memset call per
    // record.
    msghdr& h = messages[i].msg_hdr;
    h.msg_name = nullptr;
    h.msg_namelen = 0;
    h.msg_iov = &parts[2 * i];
    h.msg_iovlen = out[i].length > 0 ? 2 : 1;
    h.msg_control = nullptr;
    h.msg_controllen = 0;
    h.msg_flags = 0;
    messages[i].msg_len = 0;
  }
  int sent = sendmmsg(c.fd, messages, static_cast<unsigned>(n), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0) {
    if (errno == EINTR) return 0;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      c.blocked = true;
      core_.SetBlocked(c.id, true);
    } else {
      core_.Hangup(c.id, nullptr);
      hung_up_ = true;
    }
    return 0;
  }
  *work = core_.Commit(c.id, static_cast<size_t>(sent), now);
  if (static_cast<size_t>(sent) < n) {
    // The socket is full (or failing; poll says which).
    c.blocked = true;
    core_.SetBlocked(c.id, true);
  }
  return static_cast<size_t>(sent);
}

// At most one line a second; the refusals in between are said with the next
// line, which comes when that second is over (or at the end).
void UnixServer::ReportRefusals(int64_t now, bool all) {
  if (refused_unreported_ == 0 || (!all && now < next_refusal_report_)) return;
  Report(Decimal(refused_unreported_) + " client(s) refused: " + Decimal(KAVROD_CLIENTS_MAX) +
         " clients are connected already");
  refused_unreported_ = 0;
  next_refusal_report_ = now + 1000;
}

void UnixServer::CloseRetired() {
  for (auto it = conns_.begin(); it != conns_.end();) {
    if (!core_.Retired(it->id)) {
      ++it;
      continue;
    }
    close(it->fd);
    core_.Release(it->id);
    it = conns_.erase(it);
  }
}

void UnixServer::Housekeeping(bool leave_for_producer) {
  CloseRetired();
  core_.Reap(&to_free_, &notices_, leave_for_producer ? kLeaveRecords : 0, leave_for_producer ? kLeaveBytes : 0);
  for (void* block : to_free_) std::free(block);
  to_free_.clear();
  for (const auto& line : notices_) Report(line);
  notices_.clear();
}

void UnixServer::Run() {
  std::vector<pollfd> fds;
  int64_t stop_deadline = -1;
  int busy_turns = 0;
  for (;;) {
    const DeliveryCore::Turn turn = core_.BeginTurn();
    const uint64_t seen = turn.work;
    const bool stopping = turn.stopping;
    const int64_t now = MonotonicMs();
    if (stopping && stop_deadline < 0) stop_deadline = now + kShutdownFlushMs;

    // When one new client is due to be looked at, all are, in the order
    // they came: the backlog goes to the first that takes records, and one
    // that came later must not get ahead by its check falling due first.
    if (!stopping && std::any_of(conns_.begin(), conns_.end(),
                                 [now](const Conn& c) { return c.check_at >= 0 && now >= c.check_at; })) {
      for (Conn& c : conns_) {
        if (c.check_at >= 0) CheckIntroduction(c, now);
      }
    }
    bool more = false;
    bool sent = false;
    uint64_t work = seen;
    for (Conn& c : conns_) {
      if (c.blocked) continue;
      const size_t n = SendSome(c, now, &work);
      sent |= n > 0;
      more |= n == kSendBatch;
    }
    // Clients are taken out by this thread (a failed send, a hang-up) or
    // by a producer (a stalled client), which counts.
    if (turn.retired != retired_seen_ || hung_up_) {
      CloseRetired();
      retired_seen_ = turn.retired;
      hung_up_ = false;
    }
    const bool stay_busy = (more || (sent && work != seen)) && busy_turns < kBusyTurns;
    // While records keep coming the producer frees what is done with; the
    // rest, and the lines to report, wait for the next poll.
    if (!stay_busy || stopping) Housekeeping(!stopping);

    int64_t wait_until = -1;
    auto wake_at = [&wait_until](int64_t at) {
      if (wait_until < 0 || at < wait_until) wait_until = at;
    };
    bool watch_listener = false;
    if (stopping) {
      if (now >= stop_deadline || core_.Flushed()) break;
      wake_at(stop_deadline);
    } else {
      if (listen_fd_ < 0) {
        if (now >= next_listen_try_) TryListen(now);
        if (listen_fd_ < 0) wake_at(next_listen_try_);
      }
      ReportRefusals(now, false);
      if (refused_unreported_ > 0) wake_at(next_refusal_report_);
      if (accept_paused_until_ >= 0 && now >= accept_paused_until_) accept_paused_until_ = -1;
      if (accept_paused_until_ >= 0) wake_at(accept_paused_until_);
      watch_listener = listen_fd_ >= 0 && accept_paused_until_ < 0;
      for (const Conn& c : conns_) {
        if (c.check_at >= 0) wake_at(c.check_at);
      }
    }

    if (stay_busy) {
      ++busy_turns;
      continue;
    }
    busy_turns = 0;

    fds.clear();
    fds.push_back({wake_fd_, POLLIN, 0});
    // Before the clients: see AcceptClients.
    if (watch_listener) fds.push_back({listen_fd_, POLLIN, 0});
    const size_t first_client = fds.size();
    for (const Conn& c : conns_) {
      // Both read conditions stay true once the client has shut down its
      // sending side; asking for them then would spin.
      short events = c.read_closed ? 0 : POLLIN | POLLRDHUP;
      if (c.blocked) events |= POLLOUT;
      fds.push_back({c.fd, events, 0});
    }
    int timeout = -1;
    if (more) {
      timeout = 0;
    } else if (wait_until >= 0) {
      timeout = static_cast<int>(std::clamp<int64_t>(wait_until - now, 0, 60000));
    }
    bool slept = false;
    if (timeout != 0) {
      slept = core_.PrepareSleep(seen);
      if (!slept) timeout = 0;
    }
    int ready = poll(fds.data(), fds.size(), timeout);
    if (slept) core_.Awake();
    if (ready <= 0) continue;

    if (fds[0].revents & POLLIN) {
      uint64_t count;
      ssize_t n = read(wake_fd_, &count, sizeof count);
      (void)n;
    }
    const int64_t after = MonotonicMs();
    // The connections taken below are not in this poll set; the indices of
    // the polled ones stay as they were.
    const size_t polled = fds.size() - first_client;
    for (size_t i = 0; i < polled; ++i) {
      Conn& c = conns_[i];
      const short revents = fds[first_client + i].revents;
      if (revents == 0 || core_.Retired(c.id)) continue;
      if (revents & POLLIN) ReadRequests(c);
      if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
        core_.Hangup(c.id, nullptr);
        continue;
      }
      if (revents & POLLRDHUP) c.read_closed = true;
      if (revents & POLLOUT) {
        c.blocked = false;
        core_.SetBlocked(c.id, false);
      }
    }
    if (watch_listener && (fds[1].revents & POLLIN)) AcceptClients(after);
  }

  ReportRefusals(MonotonicMs(), true);
  // Shutdown: whatever a client has not taken by now it will not get.
  for (Conn& c : conns_) {
    const uint64_t pending = core_.Pending(c.id);
    if (pending > 0) {
      Report("client " + Decimal(c.id) + " dropped: cannot keep up; " + Decimal(pending) +
             " records not delivered at shutdown");
    }
    core_.Hangup(c.id, nullptr);
  }
  Housekeeping();
  if (listen_fd_ >= 0) CloseListener();
  if (lock_fd_ >= 0) {
    close(lock_fd_);
    lock_fd_ = -1;
  }
}

}  // namespace kavrod
