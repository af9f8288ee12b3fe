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

// Exit codes, shared by every subcommand.
constexpr int EXIT_OK = 0;
constexpr int EXIT_REFUSED = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_UNREACHABLE = 3;

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
  } else {
    json = "{\"kind\":\"unknown\",\"type\":" + std::to_string(record.kind) + ",\"value\":" +
           std::to_string(record.value) + ",\"length\":" + std::to_string(record.bytes.size()) + ",\"hex\":\"" +
           tools::FormatHex(record.bytes, false) + "\"}";
  }
  return json;
}

// The message for a control socket that cannot be reached: say which run
// directory was tried and what to do, since the usual cause is that kavro is
// not running there (or runs with another --run-dir).
inline std::string UnreachableMessage(const std::string& runDir, const std::string& socketPath,
                                      const std::string& reason, bool permissionDenied) {
  if (permissionDenied) {
    return "kavroctl: no permission to reach kavro on " + runDir + " (cannot connect to " + socketPath + ": " +
           reason + "); run as the user or group that owns the socket";
  }
  return "kavroctl: no kavro is running on " + runDir + " (cannot connect to " + socketPath + ": " + reason +
         "); start kavro or pass --run-dir";
}

}  // namespace kavro::ctl
