// The time-driven half of the link layer: timer expiries, the retry limit,
// the local disconnect request, and the service request from its first
// sending to the PBX's answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "link/link_context.h"
#include "link/receive_parser.h"

namespace kavro {

class LinkStateMachine;
class SendQueue;

// Timer ids on the control window, and their times in milliseconds.
constexpr uint32_t TimerServiceRequest = 0x1001;
constexpr uint32_t T200 = 0x1200;
constexpr uint32_t T203 = 0x1203;
constexpr uint32_t TimerKeepalive = 0x1210;
constexpr uint32_t SERVICE_REQUEST_MS = 500;
constexpr uint32_t T200_MS = 1000;
constexpr uint32_t T203_MS = 10000;
constexpr uint32_t KEEPALIVE_MS = 61000;
constexpr uint16_t N200 = 3;

// After the service answer, T200 first runs this long before the START. With
// no rate switch the START goes out almost at once; after a switch the PBX
// gets time to switch as well.
constexpr uint32_t SETUP_DELAY_MS = 50;
constexpr uint32_t SETUP_DELAY_AFTER_SWITCH_MS = 200;

class LinkTimers : public ServiceAnswerListener {
 public:
  // Registers itself with `machine`, whose frame handling starts and stops
  // the timers.
  LinkTimers(LinkContext& ctx, LinkStateMachine& machine, SendQueue& queue);
  LinkTimers(const LinkTimers&) = delete;
  LinkTimers& operator=(const LinkTimers&) = delete;

  void RestartTimer(uint32_t id, uint32_t ms);
  void DisconnectRequest();
  // Called by the control window after it stopped timer `id`: hands the
  // expiry to that timer's handler. Returns 0.
  int OnLinkTimer(uint32_t id);
  int RequestService(uint32_t kind);
  // Sends the service request and starts its repeats; RetryCount counts the
  // requests sent. False when the repeat timer cannot be started: the
  // request has gone out, and RetryCount is left as it was.
  bool StartServiceRequest();
  // The PBX's answer, reported by the receive parser on the receive thread:
  // the request's repeats stop, the library hears event 17, the serial port
  // switches to the rate named (a USB device keeps its own), and T200 starts
  // the link set-up.
  void ServiceAnswered(const char* rateText) override;

  // Timer start (a running one is replaced) and stop, from either thread.
  bool StartTimer(uint32_t id, uint32_t ms);
  void StopTimer(uint32_t id);
  // The two ways the link is watched, each starting one timer and stopping
  // the other. Nothing outstanding: T203 polls the idle link (T200 stopped,
  // T203 restarted with 10000 ms). A frame or a poll awaits its answer: T200
  // repeats it (T203 stopped, T200 restarted with 1000 ms).
  void WatchIdleLink();
  void AwaitAnswer();

 private:
  // How an expiry handler leaves the link: report the state change, end
  // without the report, or release the link outside the lock (and without
  // the report).
  enum class ExpiryEnd { ReportState, Quiet, Release };
  ExpiryEnd OnServiceRequestExpiry();
  ExpiryEnd OnT200Expiry();
  ExpiryEnd OnT200InTransfer();
  ExpiryEnd OnT203Expiry();
  ExpiryEnd OnKeepaliveExpiry();

  LinkContext& ctx_;
  LinkStateMachine& machine_;
  SendQueue& queue_;
};

}  // namespace kavro
