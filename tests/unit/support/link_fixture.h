// A fresh link layer in virtual time with a scripted peer: received frames go
// straight into ProcessFrame, the bytes sent are decoded back into frames, and
// timer expiries are handled as the control window handles them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/link_control.h"
#include "diag/trace_log.h"
#include "link/frame_codec.h"
#include "link/link_context.h"
#include "link/link_state_machine.h"
#include "link/link_timers.h"
#include "link/send_queue.h"
#include "platform/virtual/virtual_event_hub.h"
#include "support/fakes.h"

namespace kavro::testing {

// One block handed to the transport, read back.
struct SentFrame {
  enum class Kind { I, S, U, Raw };
  Kind kind = Kind::Raw;
  uint8_t type = 0;  // I: 0; S: the control byte without N(R); U: the control byte
  uint8_t dest = 0;
  uint8_t nsend = 0;
  uint8_t nrec = 0;
  std::vector<uint8_t> payload;
  std::vector<uint8_t> raw;
};

// Decodes a block; a frame with a bad length or CRC fails the current test.
SentFrame DecodeSent(const std::vector<uint8_t>& bytes);

// Short text of a sent frame: "START", "UA", "DISC", "DM" (" d1" added for a
// non-zero address), "RR d0 nr1", "RR-PF d1 nr0", "REJ d0 nr2",
// "I d20 ns0 nr1 0102" (payload in hex), "RAW 1B43".
std::string Describe(const SentFrame& frame);

using Strings = std::vector<std::string>;

// A whole link layer in virtual time over recording doubles, built in a line
// and thrown away.
struct LinkParts {
  FakeLogBackend backend;
  TraceLog trace{backend};
  platform::VirtualEventHub hub;
  LinkControl control{trace, hub};
  FakeConnection connection;
  FrameCodec codec{trace, connection};
  RecordingDelivery delivery;
  LinkContext ctx{trace, control, hub, codec, delivery, connection};
  LinkStateMachine machine{ctx};
  SendQueue queue{ctx, machine};
  LinkTimers timers{ctx, machine, queue};
};

class LinkFixture : public ::testing::Test, public platform::MessageHandler, protected LinkParts {
 protected:
  LinkFixture();
  ~LinkFixture() override;

  // What the control window does with WM_TIMER: stop the timer, then hand
  // the expiry to the link layer. Everything else is only recorded.
  int32_t KavroWnd(uint32_t message, uint32_t wParam, const platform::CopyData* copy) override;

  // Frames from the peer, handed to ProcessFrame as the receive thread does.
  void ReceiveI(uint8_t nsend, uint8_t nrec, std::vector<uint8_t> payload, uint8_t dest = 0x20);
  void ReceiveS(uint8_t code, uint8_t nrec, uint8_t address = 0);
  void ReceiveU(uint8_t code);

  // The frames sent since the last call, decoded, and forgotten.
  std::vector<SentFrame> TakeSent();
  Strings TakeSentText();
  // Set-up that nobody answers: START on three more T200 expiries, then the
  // fourth, 4 s after `entry`, releases the link with the queue emptied.
  void ExpectSetupGivesUp(uint64_t entry);

  // A client payload, as the control window hands it over.
  int Send(std::vector<uint8_t> payload, uint8_t dest = 0x20);

  uint16_t State() { return control.Block.LinkState.load(); }
  uint16_t Retries() { return control.Block.RetryCount; }
  int32_t QueueLast() { return control.Block.QueueLast; }
  int64_t TimeLeft(uint32_t id) { return hub.TimeLeft(id); }
  bool Running(uint32_t id) { return hub.IsTimerRunning(id); }
  // Destroy requests posted, delivered or not.
  size_t DestroyRequests();

  // Sets the link up the ordinary way: LINK_SETUP after the handshake with
  // T200 at 50 ms, START on its expiry, the peer's UA. Forgets the frames sent.
  void Establish();
  // What the control window does when a serial or USB connection opens: the
  // first service request, RetryCount 1, the repeat timer.
  void StartServiceRequest();
  // Puts the link into `state` directly (as the handshake and the control
  // window do, without the lock).
  void SetState(uint16_t state) { control.Block.LinkState.store(state); }
};

}  // namespace kavro::testing
