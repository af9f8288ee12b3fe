// SIGTERM, SIGINT and SIGHUP reach the link driver as close requests on the main
// thread. They are blocked in every thread of the process and read from a
// signalfd that the event hub watches, so the request is handled in order with
// every other message, never inside a signal handler, and never taken by a
// thread that is about to end or that waits for something else (a thread that
// takes a process-directed signal swallows it for everyone).
#pragma once

#include <signal.h>

#include <functional>

#include "platform/posix/posix_event_hub.h"

namespace kavro::platform {

// Blocks SIGTERM, SIGINT and SIGHUP in the calling thread; every thread it
// creates from then on inherits the mask. The driver calls it first thing in
// `main`, before any thread exists (the companion library's included), so
// that no thread but the route's reader ever takes them.
void BlockRoutedSignals();

class SignalRoute {
 public:
  explicit SignalRoute(PosixEventHub& hub) : hub_(hub) {}
  ~SignalRoute();
  SignalRoute(const SignalRoute&) = delete;
  SignalRoute& operator=(const SignalRoute&) = delete;

  // Call on the thread that runs the hub. Blocks the routed signals there
  // (threads created earlier must have blocked them already, see
  // BlockRoutedSignals) and from then on each signal calls `onSignal`(signal
  // number) on the hub's thread, once per signal received (signals arriving
  // together may be merged by the kernel).
  // False when the signalfd, the watch or a handler cannot be set up, or when
  // another route is active: signal dispositions are process-wide.
  bool Start(std::function<void(int)> onSignal);
  // Stops watching, restores the default dispositions and the calling
  // thread's signal mask from before Start.
  void Stop();
  // Readable while a signal waits to be handled, -1 when not started: a wait
  // outside the hub (the connect at start, a send to a stuck peer) watches it
  // and gives up for the close request.
  int PendingDescriptor() const { return signalFd_; }

 private:
  void Drain();

  PosixEventHub& hub_;
  std::function<void(int)> onSignal_;
  int signalFd_ = -1;
  sigset_t oldMask_{};
};

// A client that goes away while we write to it must cost a failed write,
// not the process.
void IgnoreSigpipe();

}  // namespace kavro::platform
