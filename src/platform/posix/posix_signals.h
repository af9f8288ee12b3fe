// SIGTERM, SIGINT and SIGHUP reach the link driver as close requests on the main
// thread: the signal handler only writes the signal number into a pipe that
// the event hub watches, so the request is handled in order with every other
// message and never inside a signal handler.
#pragma once

#include <functional>

#include "platform/posix/posix_event_hub.h"

namespace kavro::platform {

class SignalRoute {
 public:
  explicit SignalRoute(PosixEventHub& hub) : hub_(hub) {}
  ~SignalRoute();
  SignalRoute(const SignalRoute&) = delete;
  SignalRoute& operator=(const SignalRoute&) = delete;

  // Installs the handlers for SIGTERM, SIGINT and SIGHUP; from then on each signal
  // calls `onSignal`(signal number) on the hub's main thread, once per
  // signal received (signals arriving together may be merged by the kernel).
  // False when the pipe, the watch or a handler cannot be set up, or when
  // another route is active: a signal handler has only process-wide state.
  bool Start(std::function<void(int)> onSignal);
  // Restores the default dispositions and stops watching the pipe.
  void Stop();
  // The pipe's read end, -1 when not started. It is readable while a signal
  // waits to be handled, so a wait outside the hub (the connect at start, a
  // send to a stuck peer) can watch it and give up for the close request.
  int PendingDescriptor() const { return readFd_; }

 private:
  void Drain();

  PosixEventHub& hub_;
  std::function<void(int)> onSignal_;
  int readFd_ = -1;
  int writeFd_ = -1;
};

// A client that goes away while we write to it must cost a failed write,
// not the process.
void IgnoreSigpipe();

}  // namespace kavro::platform
