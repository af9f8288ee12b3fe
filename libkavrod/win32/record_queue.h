// The queueing of KAVROD32.dll, apart from any pipe: every connected client
// receives every record from the moment it connected, in order; records
// that come while no client is connected wait (up to BACKLOG_MAX) for the
// first client; a client that falls too far behind is dropped, never
// waited for. Plain C++ without locking: the server holds its own lock
// around every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kavrod32 {

// One record as it goes on the pipe: one message of u32 kind, u32 value
// (little-endian), then the bytes.
struct Record {
  std::vector<uint8_t> message;
};
using RecordRef = std::shared_ptr<const Record>;

constexpr uint32_t RECORD_PAYLOAD = 1;
constexpr uint32_t RECORD_LINK_EVENT = 2;
constexpr size_t RECORD_HEADER_SIZE = 8;
constexpr uint32_t PAYLOAD_MAX = 65535;

// Null when there is no memory for it.
RecordRef MakeRecord(uint32_t kind, uint32_t value, const void* bytes, uint32_t length);

class RecordQueue {
 public:
  static constexpr size_t BACKLOG_MAX = 1024;
  // A client's own queue may grow this far before it counts as one that
  // cannot keep up; the first client is handed the whole backlog at once,
  // which alone must never count as falling behind.
  static constexpr size_t CLIENT_QUEUE_MAX = 4096;
  static constexpr size_t CLIENT_BYTES_MAX = size_t{128} << 20;

  // Puts the record on every connected client's queue, or in the backlog
  // when none is connected. False when a payload cannot be held (backlog
  // full); link events are few and always held.
  bool Enqueue(const RecordRef& record, bool isPayload);

  // A client that has just connected; the first one takes the backlog.
  unsigned AddClient();
  // A client that has gone. When it was the last one, what it had not been
  // sent goes back to the backlog (as much as fits) for the next client.
  void RemoveClient(unsigned id);
  // Takes a client out because it cannot keep up; the server closes it.
  void Drop(unsigned id, const std::string& reason);

  // The next record for the client; null when it has none.
  RecordRef Front(unsigned id) const;
  void Pop(unsigned id);
  bool HasClient(unsigned id) const { return clients_.count(id) != 0; }
  size_t ClientCount() const { return clients_.size(); }
  size_t BacklogSize() const { return backlog_.size(); }
  // True when no connected client has a record left to be sent.
  bool AllSent() const;

  // Clients dropped since the last call, with the reason, and notes on
  // records lost, for the server to close and report.
  std::vector<std::pair<unsigned, std::string>> TakeDropped();
  std::vector<std::string> TakeNotes();

 private:
  struct Client {
    std::deque<RecordRef> queue;
    size_t bytes = 0;
  };
  void Retire(unsigned id);

  std::map<unsigned, Client> clients_;
  std::deque<RecordRef> backlog_;
  unsigned lastId_ = 0;
  std::vector<std::pair<unsigned, std::string>> dropped_;
  std::vector<std::string> notes_;
};

}  // namespace kavrod32
