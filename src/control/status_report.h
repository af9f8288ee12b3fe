// The answer to the status request: a snapshot of the link's state and
// counters, laid out as kavro_wire.h describes it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kavro {

struct StatusReport {
  uint32_t LinkKind = 0;   // KAVRO_LINK_KIND_*
  uint32_t LinkState = 0;  // KAVRO_LINK_STATE_*, the LinkState values
  uint32_t QueueDepth = 0;
  int32_t Listeners = -1;  // the companion library does not say
  uint64_t UptimeMs = 0;
  uint64_t SinceReceivedMs = UINT64_MAX;
  uint64_t FramesSent = 0;
  uint64_t FramesReceived = 0;
  uint64_t PayloadsSent = 0;
  uint64_t PayloadsReceived = 0;
  uint64_t Retransmissions = 0;
  uint64_t Rejected = 0;
  uint64_t Damaged = 0;
  uint64_t LinkResets = 0;
  std::string Link;
  std::string Device;
  int32_t AcknowledgedClients = -1;
  uint64_t RecordsLost = UINT64_MAX;  // the library does not say
  uint64_t RecordsUnacknowledged = 0;
  uint64_t RecordsNotTaken = 0;
  uint32_t LibraryFlags = 0;
};

// The whole answer packet, the leading i32 1 included.
std::vector<uint8_t> EncodeStatusAnswer(const StatusReport& report);

}  // namespace kavro
