// The companion (client-delivery) library as the link driver sees it: the
// receive thread hands it every received payload, both threads tell it of
// link events.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>

#include "kavro/kavro_wire.h"

namespace kavro {

// Link events.
constexpr uint32_t LINK_EVENT_SHUTDOWN = KAVRO_EVENT_SHUTDOWN;
constexpr uint32_t LINK_EVENT_ESTABLISHED = KAVRO_EVENT_ESTABLISHED;
constexpr uint32_t LINK_EVENT_SERVICE_ANSWERED = KAVRO_EVENT_SERVICE_ANSWERED;
constexpr uint32_t LINK_EVENT_FAILED = KAVRO_EVENT_FAILED;

// DeliverPayload's refusal: the library did not take the block.
constexpr int32_t KAVRO_QUEUE_ERROR = -1;

// A payload block as the delivery contract has it: allocated with malloc
// and freed with free by whoever holds it last. The handle holds it until it
// is handed to the library, to the send queue or to the retransmission copy,
// so that no path can lose it or free it twice.
struct FreePayload {
  void operator()(uint8_t* block) const { std::free(block); }
};
using PayloadBlock = std::unique_ptr<uint8_t[], FreePayload>;

class Delivery {
 public:
  virtual ~Delivery() = default;
  // `payload` is a malloc'd block of `length` bytes, never null. Any result
  // but -1 hands it to the library; on -1 the caller frees it.
  virtual int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) = 0;
  virtual void SignalLinkEvent(uint32_t code) = 0;
};

// Hands `block` to the library, which keeps it unless it refuses (-1); a
// refused block is freed here. Returns the library's result.
inline int32_t HandOver(Delivery& delivery, uint32_t address, PayloadBlock block, uint32_t length) {
  const int32_t result = delivery.DeliverPayload(address, block.get(), length);
  if (result != KAVRO_QUEUE_ERROR) static_cast<void>(block.release());
  return result;
}

}  // namespace kavro
