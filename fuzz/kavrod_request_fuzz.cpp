// What clients send the companion library, fed to its queueing core packet
// by packet: only a well-formed credit request changes what the client is
// sent, and by exactly its amount; anything else changes nothing, not even
// whether the client is still held back as a newcomer (an acknowledgement
// from a client that is not the acknowledged one included).
//
// The input is a run of packets, each a length byte and that many bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "delivery_core.h"

namespace {

constexpr uint32_t kRecords = 64;

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kavrod::DeliveryCore core(kavrod::ServerHooks{[] {}, [] { return false; }});
  kavrod::OutRecord state{};
  const kavrod::DeliveryCore::ClientId id = core.Accept(0, &state);
  for (uint32_t i = 0; i < kRecords; ++i) {
    void* block = std::malloc(sizeof i);
    std::memcpy(block, &i, sizeof i);
    if (core.Deliver(0x20, block, sizeof i, 0) != 1) std::abort();
  }

  bool credited = false;
  uint64_t credit = 0;
  uint32_t sent = 0;
  size_t at = 0;
  while (at < size) {
    size_t length = data[at++];
    if (length > size - at) length = size - at;
    const uint8_t* packet = data + at;
    at += length;

    const uint32_t code = length >= 4 ? Le32(packet) : 0;
    const bool well_formed = length == KAVROD_REQUEST_SIZE && code == KAVROD_REQUEST_CREDIT;
    kavrod::ClientRequest request;
    const bool mode_request = length == KAVROD_REQUEST_SIZE &&
                              (code == KAVROD_REQUEST_ACKNOWLEDGED || code == KAVROD_REQUEST_OBSERVER);
    const bool other_request = mode_request || (length == KAVROD_REQUEST_SIZE && code == KAVROD_REQUEST_BATCH) ||
                               (length == KAVROD_ACK_REQUEST_SIZE && code == KAVROD_REQUEST_ACK);
    if (kavrod::ParseClientRequest(packet, length, &request) != (well_formed || other_request)) std::abort();
    // Turning acknowledged or an observer are the requests that change what
    // a client is sent otherwise; they are not what this target looks at.
    if (mode_request) continue;
    if (well_formed) {
      if (request.value != Le32(packet + 4)) std::abort();
      credited = true;
      credit += request.value;
    }
    core.Request(id, packet, length);
    if (core.Introducing(id) == credited) std::abort();

    kavrod::OutRecord out[kRecords];
    const size_t n = core.Collect(id, 0, out, kRecords);
    const uint64_t expected = credited ? (credit < kRecords - sent ? credit : kRecords - sent) : 0;
    if (n != expected) std::abort();
    for (size_t i = 0; i < n; ++i) {
      uint32_t number;
      std::memcpy(&number, out[i].payload, sizeof number);
      if (number != sent + i || out[i].header[0] != KAVROD_RECORD_PAYLOAD) std::abort();
    }
    // Take only some of them, as a full socket would.
    const size_t taken = n / 2 + (n & 1);
    core.Commit(id, taken, 0);
    sent += static_cast<uint32_t>(taken);
    credit -= taken;
  }
  return 0;
}
