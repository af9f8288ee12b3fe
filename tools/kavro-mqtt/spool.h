// The bridge's on-disk spool: every record taken from the companion library
// is appended here and made durable before the library is told it may let
// go of it, and stays until the broker has acknowledged it. A restart, after
// SIGTERM or SIGKILL, publishes again whatever the broker had not
// acknowledged: at least once, repeats allowed, nothing lost.
//
// Files in the spool directory:
//   <first index, 16 hex digits>.spool   append-only segments of entries
//   position                             the index up to which the broker has
//                                        acknowledged everything
// An entry is u32 body length, u32 CRC-32 of the body, then the body:
// u64 index, u32 kind, u32 value, u64 start id, u64 sequence, the bytes; all
// little-endian. A torn entry at the end of the last segment (the process
// killed while writing) is cut off when the spool is opened.
//
// The spool is bounded: when its segments exceed the maximum, the oldest
// segment goes, and the records in it that were never published are counted
// as dropped.
//
// One bridge per spool: the file `lock` in the directory is held with flock
// for the life of the process and names the holder's process id.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace kavro::mqtt {

struct SpoolRecord {
  uint64_t index = 0;  // assigned by the spool, from 1
  uint32_t kind = 0;   // SPOOL_PAYLOAD or SPOOL_EVENT
  uint32_t value = 0;  // address byte or event code
  uint64_t startId = 0;
  uint64_t sequence = 0;
  std::vector<uint8_t> bytes;
};

constexpr uint32_t SPOOL_PAYLOAD = 1;
constexpr uint32_t SPOOL_EVENT = 2;

struct SpoolCounts {
  uint64_t records = 0;  // spooled, not yet acknowledged by the broker
  uint64_t bytes = 0;    // size of the segment files
  uint64_t dropped = 0;  // records that went unpublished because the spool was full
};

class Spool {
 public:
  Spool() = default;
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Creates the directory if needed, reads the segments, cuts a torn tail.
  bool Open(const std::string& dir, uint64_t maxBytes, std::string& error);

  // Writes the records (their index is assigned here) and syncs them to
  // disk; when it returns true they are durable. `dropped` is set to the
  // number of unpublished records the bound pushed out. On a write error
  // (a full disk) the spool is left as it was before the first record that
  // did not make it, `records` keeps only those, and a later call may try
  // them again.
  bool Append(std::vector<SpoolRecord>& records, uint64_t& dropped, std::string& error);
  // Called by Append once records are written and readable, before their
  // sync: the publisher need not wait for the disk.
  void OnWritten(std::function<void()> written) { written_ = std::move(written); }

  // The next written record not yet handed to the broker, without taking it.
  bool Peek(SpoolRecord& record);
  // The record Peek returned was handed to the broker.
  void Published(uint64_t index);
  // The broker acknowledged the record.
  void Acknowledged(uint64_t index);
  // The broker refused the record: it stays, and is handed out again from
  // the start of the spool's unacknowledged part.
  void Refused(uint64_t index);
  // Records handed to the broker and not yet acknowledged.
  size_t InFlight();

  // Persists the acknowledged position and removes the segments wholly
  // behind it. Cheap when nothing changed.
  void SavePosition();

  SpoolCounts Counts();
  // The identity of the newest spooled record.
  std::optional<std::pair<uint64_t, uint64_t>> LastIdentity();
  // Whether a record of this identity is spooled already: the library
  // delivers again what it had not seen acknowledged, and after a restart
  // of kavro with a record log the old records come first with their old
  // id, so several ids are remembered (the highest sequence of each).
  bool Holds(uint64_t startId, uint64_t sequence);

 private:
  struct Segment {
    std::string path;
    uint64_t first = 0;  // index of the first entry; 0 while empty
    uint64_t last = 0;
    uint64_t bytes = 0;
  };

  bool Load(std::string& error);
  bool StartSegment(uint64_t firstIndex, std::string& error);
  uint64_t DoneLocked() const;
  void DropOldestLocked(uint64_t& dropped);
  bool ReadAt(const Segment& segment, uint64_t offset, SpoolRecord& record, uint64_t& next);

  std::mutex mutex_;
  std::string dir_;
  uint64_t maxBytes_ = 0;
  uint64_t segmentBytes_ = 0;
  std::deque<Segment> segments_;
  // The segment being written; only the writing thread touches these.
  int writeFd_ = -1;
  std::string writePath_;
  uint64_t writeBytes_ = 0;
  uint64_t nextIndex_ = 1;
  uint64_t readableEnd_ = 0;  // index of the last entry written
  std::function<void()> written_;
  std::optional<std::pair<uint64_t, uint64_t>> lastIdentity_;
  void NoteIdentityLocked(uint64_t startId, uint64_t sequence);
  std::map<uint64_t, std::pair<uint64_t, uint64_t>> highest_;  // id -> highest sequence, age
  uint64_t identityAge_ = 0;

  // The publish cursor: the next record to hand out, and where it lies.
  uint64_t cursorIndex_ = 1;
  size_t cursorSegment_ = 0;  // position in segments_
  uint64_t cursorOffset_ = 0;
  uint64_t peekNext_ = 0;  // the offset behind the record Peek returned
  int readFd_ = -1;
  std::string readPath_;
  std::vector<uint8_t> readBuffer_;
  uint64_t readBufferOffset_ = 0;

  std::set<uint64_t> inFlight_;
  // Acknowledged records ahead of a cursor a refusal moved back.
  std::set<uint64_t> doneAhead_;
  uint64_t savedDone_ = 0;
  int positionFd_ = -1;
  uint64_t dropped_ = 0;
};

// The lock of a spool directory. Taken: true. Held by another process:
// false with its process id in `holder` (0 when unknown) and `error` empty.
// Any other failure: false with `error`.
class SpoolLock {
 public:
  SpoolLock() = default;
  ~SpoolLock();
  SpoolLock(const SpoolLock&) = delete;
  SpoolLock& operator=(const SpoolLock&) = delete;
  bool Take(const std::string& dir, long& holder, std::string& error);

 private:
  int fd_ = -1;
};

// Creates `dir` and the directories above it (mode 0750).
bool MakeSpoolDirectory(const std::string& dir, std::string& error);

}  // namespace kavro::mqtt
