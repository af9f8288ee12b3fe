// The companion (client-delivery) library as the link driver sees it: the
// receive thread hands it every received payload, both threads tell it of
// link events.
#pragma once

#include <cstdint>

namespace kavro {

// Link events.
constexpr uint32_t LINK_EVENT_SHUTDOWN = 0;
constexpr uint32_t LINK_EVENT_ESTABLISHED = 1;
constexpr uint32_t LINK_EVENT_SERVICE_ANSWERED = 17;
constexpr uint32_t LINK_EVENT_FAILED = 18;

// DeliverPayload's refusal: the library did not take the block.
constexpr int32_t KAVRO_QUEUE_ERROR = -1;

class Delivery {
 public:
  virtual ~Delivery() = default;
  // `payload` is a malloc'd block of `length` bytes, never null. Any result
  // but -1 hands it to the library; on -1 the caller frees it.
  virtual int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) = 0;
  virtual void SignalLinkEvent(uint32_t code) = 0;
};

}  // namespace kavro
