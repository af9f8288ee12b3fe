// The link's counters, for the status request: one record, owned with the
// link control block, counted where frames are sent and received. The main
// thread and the receive thread both count, so every field is atomic and no
// count needs the link lock.
#pragma once

#include <atomic>
#include <cstdint>

namespace kavro {

struct LinkStatistics {
  // Never: no frame has come from the PBX yet.
  static constexpr uint64_t NEVER = UINT64_MAX;

  std::atomic<uint64_t> FramesSent{0};
  std::atomic<uint64_t> FramesReceived{0};
  std::atomic<uint64_t> PayloadsSent{0};
  std::atomic<uint64_t> PayloadsReceived{0};
  std::atomic<uint64_t> Retransmissions{0};
  // I-frames out of sequence, answered with REJ (or RR once one is out).
  std::atomic<uint64_t> Rejected{0};
  // Frames whose CRC failed and frames of no known tag (TCP).
  std::atomic<uint64_t> Damaged{0};
  // The layer-2 link set up again from information transfer.
  std::atomic<uint64_t> LinkResets{0};
  std::atomic<uint64_t> StartMs{0};
  std::atomic<uint64_t> LastReceivedMs{NEVER};
};

// Why the link ended, as the lifecycle line tells it. The first cause noted
// wins: a close request that ends in the PBX's DM is still a close request.
enum class LinkEndReason : int {
  None = 0,
  CloseRequest,
  ReleasedByPbx,
  RetriesExhausted,
  DeviceGone,
  ConnectionLost,
  KeepaliveTimeout,
};

const char* LinkEndReasonText(LinkEndReason reason);

}  // namespace kavro
