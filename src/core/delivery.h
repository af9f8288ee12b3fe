// The companion (client-delivery) library as the link driver sees it: the
// receive thread hands it every received payload, both threads tell it of
// link events.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <utility>

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

// The record the library's KavrodQueryStatus fills in, as its header lays it
// out: the caller sets `size`.
struct KavrodStatusRecord {
  uint32_t size;
  uint32_t clients;
  uint32_t acknowledgedClients;
  uint32_t flags;  // KAVRO_LIBRARY_* bits
  uint64_t recordsLost;
  uint64_t recordsUnacknowledged;
};
static_assert(sizeof(KavrodStatusRecord) == 32);

// What the library says of its clients, when it can say it.
struct DeliveryStatus {
  uint32_t Clients = 0;
  uint32_t AcknowledgedClients = 0;
  uint64_t RecordsLost = 0;  // since the start
  uint64_t RecordsUnacknowledged = 0;
  // Payloads the library refused (-1) since the start: counted by the link
  // driver itself, so known whatever the library can say.
  uint64_t RecordsNotTaken = 0;
  uint32_t LibraryFlags = 0;  // KAVRO_LIBRARY_* bits
};

class Delivery {
 public:
  virtual ~Delivery() = default;
  // `payload` is a malloc'd block of `length` bytes, never null. Any result
  // but -1 hands it to the library; on -1 the caller frees it. A library
  // that follows the contract returns without waiting for its clients.
  virtual int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) = 0;
  virtual void SignalLinkEvent(uint32_t code) = 0;
  // Waits, at most `timeoutMs`, while a client is far behind: 0 when one
  // still is, 1 room, 2 room after the library dropped a client. Called only
  // on TCP, on the receive thread, outside the link lock, before the socket
  // is read again. A library without the function never waits.
  virtual int32_t WaitForRoom(uint32_t /*timeoutMs*/) { return 1; }
  // False when the library cannot say.
  virtual bool QueryStatus(DeliveryStatus& /*status*/) { return false; }
};

// Notices records the library reports lost: how many more than at the last
// look. Receive thread only.
class LossWatch {
 public:
  uint64_t NewlyLost(Delivery& delivery) {
    DeliveryStatus status;
    if (!delivery.QueryStatus(status) || status.RecordsLost <= seen_) return 0;
    const uint64_t lost = status.RecordsLost - seen_;
    seen_ = status.RecordsLost;
    return lost;
  }
  uint64_t Seen() const { return seen_; }

 private:
  uint64_t seen_ = 0;
};

// A run of records lost or refused, told to the operator when it starts
// and, if it went on past that, once more with its count when it ends: a
// line per record would flood the journal (and be written under the link
// lock on serial). It ends after `quietAfter` records handed over whole in
// a row.
class LossEpisode {
 public:
  explicit LossEpisode(uint64_t quietAfter) : quietAfter_(quietAfter) {}
  // `count` more records lost: true when they start an episode (tell it).
  bool Lost(uint64_t count) {
    quiet_ = 0;
    if (open_) {
      untold_ += count;
      return false;
    }
    open_ = true;
    untold_ = 0;
    return true;
  }
  // A record handed over whole: the records lost since the episode was told
  // when this ends it, else 0.
  uint64_t Whole() {
    if (!open_ || ++quiet_ < quietAfter_) return 0;
    return End();
  }
  bool Open() const { return open_; }
  // Ends the episode at once (the link ends): the records lost since it was
  // told.
  uint64_t End() {
    open_ = false;
    quiet_ = 0;
    return std::exchange(untold_, 0);
  }

 private:
  const uint64_t quietAfter_;
  bool open_ = false;
  uint64_t quiet_ = 0;
  uint64_t untold_ = 0;
};

// Hands `block` to the library, which keeps it unless it refuses (-1); a
// refused block is freed here. Returns the library's result.
inline int32_t HandOver(Delivery& delivery, uint32_t address, PayloadBlock block, uint32_t length) {
  const int32_t result = delivery.DeliverPayload(address, block.get(), length);
  if (result != KAVRO_QUEUE_ERROR) static_cast<void>(block.release());
  return result;
}

}  // namespace kavro
