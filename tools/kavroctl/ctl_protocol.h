// The two socket protocols kavroctl speaks, without any I/O: the control
// request and its answer on RUN_DIR/KavroControlProg, and the records the
// companion library hands out on RUN_DIR/kavrod, with their readable and JSON
// renderings. Header-only so the unit tests include it directly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "../../libkavrod/kavrod.h"
#include "../common/hex_text.h"
#include "kavro/kavro_wire.h"

namespace kavro::ctl {

constexpr uint32_t MSG_COPYDATA = KAVRO_MSG_COPYDATA;
constexpr uint32_t MSG_CLOSE = KAVRO_MSG_CLOSE;
constexpr uint32_t MSG_STATUS = KAVRO_MSG_STATUS;
constexpr uint32_t WORD_PAYLOAD = KAVRO_COMMAND_WORD(KAVRO_COMMAND_SEND_PAYLOAD, 0);
constexpr uint32_t WORD_SERVICE = KAVRO_COMMAND_WORD(KAVRO_COMMAND_REQUEST_SERVICE, 0);

// kavro refuses larger packets with result 0; the client refuses them first
// with a message that says why.
constexpr size_t MAX_REQUEST_DATA = KAVRO_REQUEST_DATA_MAX;

constexpr const char* CONTROL_SOCKET_NAME = KAVRO_CONTROL_SOCKET_NAME;
constexpr const char* DELIVERY_SOCKET_NAME = KAVROD_SOCKET_NAME;

constexpr uint32_t RECORD_PAYLOAD = KAVROD_RECORD_PAYLOAD;
constexpr uint32_t RECORD_EVENT = KAVROD_RECORD_LINK_EVENT;
// The first record of every connection: whether the link is up. Not one of
// the records a listener counts or prints.
constexpr uint32_t RECORD_LINK_STATE = KAVROD_RECORD_LINK_STATE;

// The request that grants the companion library a number of further records.
constexpr uint32_t REQUEST_CREDIT = KAVROD_REQUEST_CREDIT;

inline void PutU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// One control request packet: u32 message, u32 word, then the data bytes,
// little-endian as the control socket reads them.
inline std::vector<uint8_t> BuildRequest(uint32_t message, uint32_t word, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> packet;
  packet.reserve(8 + data.size());
  PutU32(packet, message);
  PutU32(packet, word);
  packet.insert(packet.end(), data.begin(), data.end());
  return packet;
}

// The answer is exactly one i32; anything else means the peer is not kavro.
inline std::optional<int32_t> ParseAnswer(const uint8_t* data, size_t count) {
  if (count != 4) return std::nullopt;
  return static_cast<int32_t>(GetU32(data));
}

inline uint64_t GetU64(const uint8_t* p) { return GetU32(p) | static_cast<uint64_t>(GetU32(p + 4)) << 32; }

// The answer to the status request.
struct Status {
  uint32_t linkKind = 0;
  uint32_t linkState = 0;
  uint32_t queueDepth = 0;
  int32_t listeners = -1;
  uint64_t uptimeMs = 0;
  uint64_t sinceReceivedMs = UINT64_MAX;
  uint64_t framesSent = 0, framesReceived = 0, payloadsSent = 0, payloadsReceived = 0;
  uint64_t retransmissions = 0, rejected = 0, damaged = 0, linkResets = 0;
  std::string link;
  std::string device;
  // From the companion library; unknown when it does not say, or kavro is
  // older than these.
  int32_t acknowledgedClients = -1;
  uint64_t recordsLost = UINT64_MAX;
  uint64_t recordsUnacknowledged = 0;
  // Counted by kavro itself; unknown only from an older kavro.
  uint64_t recordsNotTaken = UINT64_MAX;
  uint32_t libraryFlags = 0;
};

// Null when the answer is no status record: the plain i32 of a kavro that
// does not know the request, a later version, or texts without their zeros.
inline std::optional<Status> ParseStatus(const uint8_t* data, size_t count) {
  if (count < KAVRO_STATUS_AT_TEXTS + 2) return std::nullopt;
  if (static_cast<int32_t>(GetU32(data + KAVRO_STATUS_AT_RESULT)) != 1) return std::nullopt;
  if (GetU32(data + KAVRO_STATUS_AT_VERSION) != KAVRO_STATUS_VERSION) return std::nullopt;
  Status s;
  s.linkKind = GetU32(data + KAVRO_STATUS_AT_LINK_KIND);
  s.linkState = GetU32(data + KAVRO_STATUS_AT_LINK_STATE);
  s.queueDepth = GetU32(data + KAVRO_STATUS_AT_QUEUE_DEPTH);
  s.listeners = static_cast<int32_t>(GetU32(data + KAVRO_STATUS_AT_LISTENERS));
  s.uptimeMs = GetU64(data + KAVRO_STATUS_AT_UPTIME_MS);
  s.sinceReceivedMs = GetU64(data + KAVRO_STATUS_AT_SINCE_RECEIVED_MS);
  s.framesSent = GetU64(data + KAVRO_STATUS_AT_FRAMES_SENT);
  s.framesReceived = GetU64(data + KAVRO_STATUS_AT_FRAMES_RECEIVED);
  s.payloadsSent = GetU64(data + KAVRO_STATUS_AT_PAYLOADS_SENT);
  s.payloadsReceived = GetU64(data + KAVRO_STATUS_AT_PAYLOADS_RECEIVED);
  s.retransmissions = GetU64(data + KAVRO_STATUS_AT_RETRANSMISSIONS);
  s.rejected = GetU64(data + KAVRO_STATUS_AT_REJECTED);
  s.damaged = GetU64(data + KAVRO_STATUS_AT_DAMAGED);
  s.linkResets = GetU64(data + KAVRO_STATUS_AT_LINK_RESETS);
  const char* texts = reinterpret_cast<const char*>(data + KAVRO_STATUS_AT_TEXTS);
  const size_t left = count - KAVRO_STATUS_AT_TEXTS;
  const size_t first = strnlen(texts, left);
  if (first == left) return std::nullopt;
  const size_t second = strnlen(texts + first + 1, left - first - 1);
  if (second == left - first - 1) return std::nullopt;
  s.link.assign(texts, first);
  s.device.assign(texts + first + 1, second);
  const size_t tail = KAVRO_STATUS_AT_TEXTS + first + 1 + second + 1;
  // Older drivers send a shorter tail: what it lacks stays unknown.
  if (count >= tail + KAVRO_STATUS_TAIL_AT_LIBRARY_FLAGS + 4) {
    s.libraryFlags = GetU32(data + tail + KAVRO_STATUS_TAIL_AT_LIBRARY_FLAGS);
  }
  if (count >= tail + KAVRO_STATUS_TAIL_SIZE_V1) {
    s.acknowledgedClients = static_cast<int32_t>(GetU32(data + tail + KAVRO_STATUS_TAIL_AT_ACKNOWLEDGED_CLIENTS));
    s.recordsLost = GetU64(data + tail + KAVRO_STATUS_TAIL_AT_RECORDS_LOST);
    s.recordsUnacknowledged = GetU64(data + tail + KAVRO_STATUS_TAIL_AT_RECORDS_UNACKNOWLEDGED);
  }
  if (count >= tail + KAVRO_STATUS_TAIL_AT_RECORDS_NOT_TAKEN + 8) {
    s.recordsNotTaken = GetU64(data + tail + KAVRO_STATUS_TAIL_AT_RECORDS_NOT_TAKEN);
  }
  return s;
}

inline const char* LinkStateName(uint32_t state) {
  switch (state) {
    case KAVRO_LINK_STATE_IDLE: return "idle";
    case KAVRO_LINK_STATE_AWAIT_SERVICE: return "awaiting service";
    case KAVRO_LINK_STATE_SETUP: return "set-up";
    case KAVRO_LINK_STATE_ESTABLISHED: return "established";
    case KAVRO_LINK_STATE_TIMER_RECOVERY: return "timer recovery";
    case KAVRO_LINK_STATE_DISCONNECTING: return "disconnecting";
    case KAVRO_LINK_STATE_RELEASED: return "released";
    default: return "unknown";
  }
}

inline const char* LinkKindName(uint32_t kind) {
  switch (kind) {
    case KAVRO_LINK_KIND_SERIAL: return "serial";
    case KAVRO_LINK_KIND_USB: return "usb";
    case KAVRO_LINK_KIND_TCP: return "tcp";
    default: return "none";
  }
}

// Seconds with one decimal, as people read an uptime or an age.
inline std::string FormatSeconds(uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%llu s", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned long long>(ms % 1000 / 100));
  return text;
}

inline std::string FormatStatusText(const Status& s) {
  std::string out;
  auto line = [&out](const char* name, const std::string& value) {
    char head[32];
    std::snprintf(head, sizeof head, "%-30s", name);
    out += std::string(head) + value + "\n";
  };
  line("link", s.link + " (" + LinkKindName(s.linkKind) + ")");
  line("device", s.device.empty() ? "-" : s.device);
  line("state", LinkStateName(s.linkState));
  line("uptime", FormatSeconds(s.uptimeMs));
  line("last frame from PBX", s.sinceReceivedMs == UINT64_MAX ? "never" : FormatSeconds(s.sinceReceivedMs) + " ago");
  line("frames sent", std::to_string(s.framesSent));
  line("frames received", std::to_string(s.framesReceived));
  line("payloads sent", std::to_string(s.payloadsSent));
  line("payloads received", std::to_string(s.payloadsReceived));
  line("retransmissions", std::to_string(s.retransmissions));
  line("rejected frames", std::to_string(s.rejected));
  line("damaged frames", std::to_string(s.damaged));
  line("link resets", std::to_string(s.linkResets));
  line("send queue", std::to_string(s.queueDepth));
  line("clients", s.listeners < 0 ? "unknown" : std::to_string(s.listeners));
  line("acknowledged clients", s.acknowledgedClients < 0 ? "unknown" : std::to_string(s.acknowledgedClients));
  line("records lost to slow clients", s.recordsLost == UINT64_MAX ? "unknown" : std::to_string(s.recordsLost));
  line("records no one could take",
       s.recordsNotTaken == UINT64_MAX ? "unknown" : std::to_string(s.recordsNotTaken));
  if (s.acknowledgedClients >= 0 && s.recordsUnacknowledged > 0) {
    line("records unacknowledged", std::to_string(s.recordsUnacknowledged));
  }
  if (s.libraryFlags & KAVRO_LIBRARY_NOT_SERVING) {
    line("clients can connect", "no: another program holds the name they connect to");
  }
  return out;
}

inline std::string FormatStatusJson(const Status& s) {
  auto n = [](uint64_t v) { return std::to_string(v); };
  return "{\"link\":" + tools::JsonString(s.link) + ",\"kind\":" + tools::JsonString(LinkKindName(s.linkKind)) +
         ",\"device\":" + tools::JsonString(s.device) + ",\"state\":" + tools::JsonString(LinkStateName(s.linkState)) +
         ",\"state_code\":" + n(s.linkState) + ",\"uptime_ms\":" + n(s.uptimeMs) +
         ",\"since_last_frame_ms\":" + (s.sinceReceivedMs == UINT64_MAX ? std::string("null") : n(s.sinceReceivedMs)) +
         ",\"frames_sent\":" + n(s.framesSent) + ",\"frames_received\":" + n(s.framesReceived) +
         ",\"payloads_sent\":" + n(s.payloadsSent) + ",\"payloads_received\":" + n(s.payloadsReceived) +
         ",\"retransmissions\":" + n(s.retransmissions) + ",\"rejected\":" + n(s.rejected) +
         ",\"damaged\":" + n(s.damaged) + ",\"link_resets\":" + n(s.linkResets) + ",\"send_queue\":" + n(s.queueDepth) +
         ",\"listeners\":" + (s.listeners < 0 ? std::string("null") : std::to_string(s.listeners)) +
         ",\"acknowledged_clients\":" +
         (s.acknowledgedClients < 0 ? std::string("null") : std::to_string(s.acknowledgedClients)) +
         ",\"records_lost\":" + (s.recordsLost == UINT64_MAX ? std::string("null") : n(s.recordsLost)) +
         ",\"records_unacknowledged\":" + n(s.recordsUnacknowledged) + ",\"records_not_taken\":" +
         (s.recordsNotTaken == UINT64_MAX ? std::string("null") : n(s.recordsNotTaken)) +
         ",\"library_not_serving\":" + ((s.libraryFlags & KAVRO_LIBRARY_NOT_SERVING) ? "true" : "false") + "}";
}

inline uint32_t PayloadWord(uint32_t address) { return WORD_PAYLOAD | (address & 0xFF); }

// The credit requests that grant exactly `count` records, each packet at most
// a 32-bit count, sent before the first read.
inline std::vector<std::vector<uint8_t>> BuildCreditRequests(uint64_t count) {
  std::vector<std::vector<uint8_t>> packets;
  do {
    const uint32_t part = count > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(count);
    std::vector<uint8_t> packet;
    PutU32(packet, REQUEST_CREDIT);
    PutU32(packet, part);
    packets.push_back(std::move(packet));
    count -= part;
  } while (count > 0);
  return packets;
}

struct Record {
  uint32_t kind = 0;
  uint32_t value = 0;
  std::vector<uint8_t> bytes;
};

// A record packet shorter than its 8-byte head is not a record.
inline std::optional<Record> DecodeRecord(const uint8_t* data, size_t count) {
  if (count < 8) return std::nullopt;
  Record record;
  record.kind = GetU32(data);
  record.value = GetU32(data + 4);
  record.bytes.assign(data + 8, data + count);
  return record;
}

inline const char* EventName(uint32_t code) {
  switch (code) {
    case KAVRO_EVENT_SHUTDOWN: return "shutting down";
    case KAVRO_EVENT_ESTABLISHED: return "link established";
    case KAVRO_EVENT_SERVICE_ANSWERED: return "service answered";
    case KAVRO_EVENT_FAILED: return "link failed";
    default: return "unknown event";
  }
}

// payload addr=0x20 len=3 41 42 43
// event 17 (service answered)
inline std::string FormatRecordText(const Record& record) {
  char head[96];
  if (record.kind == RECORD_PAYLOAD) {
    std::snprintf(head, sizeof head, "payload addr=0x%02X len=%zu", record.value & 0xFF, record.bytes.size());
    std::string line = head;
    if (!record.bytes.empty()) line += " " + tools::FormatHex(record.bytes, true);
    return line;
  }
  if (record.kind == RECORD_EVENT) {
    std::snprintf(head, sizeof head, "event %u (%s)", record.value, EventName(record.value));
    return head;
  }
  if (record.kind == RECORD_LINK_STATE) return record.value != 0 ? "state up" : "state down";
  // A kind this client does not know yet is still shown, not hidden.
  std::snprintf(head, sizeof head, "record kind=%u value=%u len=%zu", record.kind, record.value, record.bytes.size());
  std::string line = head;
  if (!record.bytes.empty()) line += " " + tools::FormatHex(record.bytes, true);
  return line;
}

// {"kind":"payload","address":32,"length":3,"hex":"414243"}
// {"kind":"event","code":1,"name":"link established"}
inline std::string FormatRecordJson(const Record& record) {
  std::string json;
  if (record.kind == RECORD_PAYLOAD) {
    json = "{\"kind\":\"payload\",\"address\":" + std::to_string(record.value & 0xFF) +
           ",\"length\":" + std::to_string(record.bytes.size()) + ",\"hex\":\"" +
           tools::FormatHex(record.bytes, false) + "\"}";
  } else if (record.kind == RECORD_EVENT) {
    json = "{\"kind\":\"event\",\"code\":" + std::to_string(record.value) +
           ",\"name\":" + tools::JsonString(EventName(record.value)) + "}";
  } else if (record.kind == RECORD_LINK_STATE) {
    json = std::string("{\"kind\":\"state\",\"up\":") + (record.value != 0 ? "true" : "false") + "}";
  } else {
    json = "{\"kind\":\"unknown\",\"type\":" + std::to_string(record.kind) +
           ",\"value\":" + std::to_string(record.value) + ",\"length\":" + std::to_string(record.bytes.size()) +
           ",\"hex\":\"" + tools::FormatHex(record.bytes, false) + "\"}";
  }
  return json;
}

// The message for a control socket that cannot be reached: say which run
// directory was tried and what to do, since the usual cause is that kavro is
// not running there (or runs with another --run-dir).
inline std::string UnreachableMessage(const std::string& runDir, const std::string& socketPath,
                                      const std::string& reason, bool permissionDenied) {
  if (permissionDenied) {
    return "kavroctl: no permission to reach kavro on " + runDir + " (cannot connect to " + socketPath + ": " + reason +
           "); run as the user or group that owns the socket";
  }
  return "kavroctl: no kavro is running on " + runDir + " (cannot connect to " + socketPath + ": " + reason +
         "); start kavro or pass --run-dir";
}

}  // namespace kavro::ctl
