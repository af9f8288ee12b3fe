#include "platform/posix/posix_signals.h"

#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace kavro::platform {

namespace {

// SIGHUP too: a closed terminal or a service manager's reload must end the
// link in order, not kill the process with the PBX left unanswered.
constexpr int kRoutedSignals[] = {SIGTERM, SIGINT, SIGHUP};

sigset_t RoutedSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int signo : kRoutedSignals) sigaddset(&set, signo);
  return set;
}

// The thread that reads the signalfd, 0 when no route is active. A signal
// handler has no context argument, so this is the one piece of process-wide
// state the route needs.
std::atomic<pid_t> g_route_thread{0};

// Runs only on a thread that left the routed signals unblocked (one created
// by code that ran before BlockRoutedSignals). The signal is sent on to the
// route's thread, which blocks it, so it waits there for the signalfd instead
// of being lost with this thread or killing the process.
extern "C" void ForwardSignal(int signo) {
  const int saved = errno;
  const pid_t target = g_route_thread.load();
  if (target > 0) syscall(SYS_tgkill, getpid(), target, signo);
  errno = saved;
}

}  // namespace

void BlockRoutedSignals() {
  const sigset_t set = RoutedSet();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

bool SignalRoute::Start(std::function<void(int)> onSignal) {
  if (signalFd_ >= 0) return false;
  pid_t expected = 0;
  const pid_t self = static_cast<pid_t>(syscall(SYS_gettid));
  if (!g_route_thread.compare_exchange_strong(expected, self)) return false;
  const sigset_t set = RoutedSet();
  // Blocked before the signalfd exists: one that comes in between waits.
  if (pthread_sigmask(SIG_BLOCK, &set, &oldMask_) != 0) {
    g_route_thread.store(0);
    return false;
  }
  signalFd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signalFd_ < 0) {
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    g_route_thread.store(0);
    return false;
  }
  onSignal_ = std::move(onSignal);
  if (!hub_.AddReader(signalFd_, [this] { Drain(); })) {
    Stop();
    return false;
  }
  struct sigaction sa {};
  sa.sa_handler = ForwardSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int signo : kRoutedSignals) {
    if (sigaction(signo, &sa, nullptr) != 0) {
      Stop();
      return false;
    }
  }
  return true;
}

void SignalRoute::Stop() {
  if (signalFd_ < 0) return;
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int signo : kRoutedSignals) sigaction(signo, &sa, nullptr);
  hub_.RemoveReader(signalFd_);
  close(signalFd_);
  signalFd_ = -1;
  pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
  g_route_thread.store(0);
}

SignalRoute::~SignalRoute() { Stop(); }

void SignalRoute::Drain() {
  signalfd_siginfo info[8];
  for (;;) {
    const ssize_t n = read(signalFd_, info, sizeof info);
    if (n < static_cast<ssize_t>(sizeof info[0])) return;
    const size_t count = static_cast<size_t>(n) / sizeof info[0];
    for (size_t i = 0; i < count; i++) {
      if (onSignal_) onSignal_(static_cast<int>(info[i].ssi_signo));
      // The callback may have ended the route (the destroy handling).
      if (signalFd_ < 0) return;
    }
  }
}

void IgnoreSigpipe() {
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
}

}  // namespace kavro::platform
