// The layer-2 link as one protocol: received bytes go through the receive
// parser into the link state machine, client payloads into the send queue.
#pragma once

#include <cstdint>

#include "link/link_protocol.h"

namespace kavro {

class TraceLog;
class ReceiveParser;
class LinkStateMachine;
class SendQueue;

class Layer2Protocol : public LinkProtocol {
 public:
  Layer2Protocol(TraceLog& trace, ReceiveParser& parser, LinkStateMachine& machine, SendQueue& queue)
      : trace_(trace), parser_(parser), machine_(machine), queue_(queue) {}

  void ReceiveBytes(L2Frame& frame, const uint8_t* data, int32_t length) override;
  // An empty payload is nothing to send and is answered 1.
  int32_t SendPayload(uint8_t dest, const uint8_t* data, uint32_t length) override;

 private:
  TraceLog& trace_;
  ReceiveParser& parser_;
  LinkStateMachine& machine_;
  SendQueue& queue_;
};

}  // namespace kavro
