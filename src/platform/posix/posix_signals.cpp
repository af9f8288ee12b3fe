#include "platform/posix/posix_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace kavro::platform {

namespace {

// The one thing the handler may touch. A signal handler has no context
// argument, so this is the single piece of process-wide state the route needs.
std::atomic<int> g_signal_pipe{-1};

extern "C" void RouteSignal(int signo) {
  const int saved = errno;
  const int fd = g_signal_pipe.load();
  if (fd >= 0) {
    const unsigned char byte = static_cast<unsigned char>(signo);
    // Non-blocking: with the pipe full the signal is dropped, and the ones
    // already in it still say "close".
    ssize_t ignored = write(fd, &byte, 1);
    (void)ignored;
  }
  errno = saved;
}

// SIGHUP too: a closed terminal or a service manager's reload must end the
// link in order, not kill the process with the PBX left unanswered.
constexpr int kRoutedSignals[] = {SIGTERM, SIGINT, SIGHUP};

}  // namespace

bool SignalRoute::Start(std::function<void(int)> onSignal) {
  if (readFd_ >= 0) return false;
  int fds[2];
  if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return false;
  int expected = -1;
  if (!g_signal_pipe.compare_exchange_strong(expected, fds[1])) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  readFd_ = fds[0];
  writeFd_ = fds[1];
  onSignal_ = std::move(onSignal);
  if (!hub_.AddReader(readFd_, [this] { Drain(); })) {
    Stop();
    return false;
  }
  struct sigaction sa {};
  sa.sa_handler = RouteSignal;
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
  if (readFd_ < 0) return;
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int signo : kRoutedSignals) sigaction(signo, &sa, nullptr);
  g_signal_pipe.store(-1);
  hub_.RemoveReader(readFd_);
  close(readFd_);
  close(writeFd_);
  readFd_ = writeFd_ = -1;
}

SignalRoute::~SignalRoute() { Stop(); }

void SignalRoute::Drain() {
  unsigned char buffer[64];
  for (;;) {
    const ssize_t n = read(readFd_, buffer, sizeof buffer);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; i++) {
      if (onSignal_) onSignal_(buffer[i]);
      // The callback may have ended the route (the destroy handling).
      if (readFd_ < 0) return;
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
