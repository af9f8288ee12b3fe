// The event hub: what the hidden control window and its message queue give
// the link driver. One queue is served by the main thread; any thread may post
// to it and start or stop the one-shot timers, whose expiries are always
// delivered on the main thread. Two implementations: the real one
// (posix/posix_event_hub) and a virtual-time one the unit tests drive
// (virtual/virtual_event_hub).
#pragma once

#include <cstdint>

#include "kavro/kavro_wire.h"

namespace kavro::platform {

// Message numbers of the control window, kept as the window system numbers
// them so that the control socket can carry them unchanged; the two that
// clients send are the wire's.
constexpr uint32_t WM_DESTROY = 0x0002;
constexpr uint32_t WM_CLOSE = KAVRO_MSG_CLOSE;
constexpr uint32_t WM_COPYDATA = KAVRO_MSG_COPYDATA;
constexpr uint32_t WM_TIMER = 0x0113;

// The bytes a client hands over with WM_COPYDATA.
struct CopyData {
  uint32_t dwData = 0;
  uint32_t cbData = 0;
  const uint8_t* lpData = nullptr;
};

// The window procedure: every message the hub delivers ends up here, on the
// main thread. For WM_TIMER `wParam` is the timer id; for WM_COPYDATA `copy`
// points at the client's data; otherwise `copy` is null.
class MessageHandler {
 public:
  virtual ~MessageHandler() = default;
  virtual int32_t KavroWnd(uint32_t message, uint32_t wParam, const CopyData* copy) = 0;
};

// Monotonic milliseconds and a sleep, so that the link layer's waits (the
// 100 ms after DISC, the 50 ms DSR settle) run in virtual time under test.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual uint64_t NowMs() = 0;
  virtual void Sleep(uint32_t ms) = 0;
};

class EventHub : public Clock {
 public:
  // Queues a message for the main thread and returns at once (PostMessageA).
  virtual void PostMessage(uint32_t message, uint32_t wParam = 0) = 0;
  // Starts the one-shot timer `id`; a running one is replaced and counts from
  // now. Returns false when the timer cannot be started (SetTimer failing).
  virtual bool SetTimer(uint32_t id, uint32_t ms) = 0;
  // Stops timer `id`. An expiry already on its way is dropped: once
  // KillTimer has returned, that start of the timer never fires.
  virtual void KillTimer(uint32_t id) = 0;
  // True while timer `id` is started and has not yet been delivered.
  virtual bool IsTimerRunning(uint32_t id) = 0;
};

}  // namespace kavro::platform
