#include "control/status_report.h"

#include "kavro/kavro_wire.h"

namespace kavro {

namespace {

void Put(std::vector<uint8_t>& out, uint32_t at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::vector<uint8_t> EncodeStatusAnswer(const StatusReport& r) {
  std::vector<uint8_t> out(KAVRO_STATUS_AT_TEXTS, 0);
  Put(out, KAVRO_STATUS_AT_RESULT, 1, 4);
  Put(out, KAVRO_STATUS_AT_VERSION, KAVRO_STATUS_VERSION, 4);
  Put(out, KAVRO_STATUS_AT_LINK_KIND, r.LinkKind, 4);
  Put(out, KAVRO_STATUS_AT_LINK_STATE, r.LinkState, 4);
  Put(out, KAVRO_STATUS_AT_QUEUE_DEPTH, r.QueueDepth, 4);
  Put(out, KAVRO_STATUS_AT_LISTENERS, static_cast<uint32_t>(r.Listeners), 4);
  Put(out, KAVRO_STATUS_AT_UPTIME_MS, r.UptimeMs, 8);
  Put(out, KAVRO_STATUS_AT_SINCE_RECEIVED_MS, r.SinceReceivedMs, 8);
  Put(out, KAVRO_STATUS_AT_FRAMES_SENT, r.FramesSent, 8);
  Put(out, KAVRO_STATUS_AT_FRAMES_RECEIVED, r.FramesReceived, 8);
  Put(out, KAVRO_STATUS_AT_PAYLOADS_SENT, r.PayloadsSent, 8);
  Put(out, KAVRO_STATUS_AT_PAYLOADS_RECEIVED, r.PayloadsReceived, 8);
  Put(out, KAVRO_STATUS_AT_RETRANSMISSIONS, r.Retransmissions, 8);
  Put(out, KAVRO_STATUS_AT_REJECTED, r.Rejected, 8);
  Put(out, KAVRO_STATUS_AT_DAMAGED, r.Damaged, 8);
  Put(out, KAVRO_STATUS_AT_LINK_RESETS, r.LinkResets, 8);
  // A text with a zero inside would shift the next one: cut at the zero.
  for (const std::string* text : {&r.Link, &r.Device}) {
    out.insert(out.end(), text->c_str(), text->c_str() + std::char_traits<char>::length(text->c_str()));
    out.push_back(0);
  }
  const uint32_t tail = static_cast<uint32_t>(out.size());
  out.resize(out.size() + KAVRO_STATUS_TAIL_SIZE, 0);
  Put(out, tail + KAVRO_STATUS_TAIL_AT_ACKNOWLEDGED_CLIENTS, static_cast<uint32_t>(r.AcknowledgedClients), 4);
  Put(out, tail + KAVRO_STATUS_TAIL_AT_RECORDS_LOST, r.RecordsLost, 8);
  Put(out, tail + KAVRO_STATUS_TAIL_AT_RECORDS_UNACKNOWLEDGED, r.RecordsUnacknowledged, 8);
  Put(out, tail + KAVRO_STATUS_TAIL_AT_RECORDS_NOT_TAKEN, r.RecordsNotTaken, 8);
  Put(out, tail + KAVRO_STATUS_TAIL_AT_LIBRARY_FLAGS, r.LibraryFlags, 4);
  return out;
}

}  // namespace kavro
