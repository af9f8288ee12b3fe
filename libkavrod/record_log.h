// The record log: every record the link driver hands the library, written
// to an append-only, checksummed log before the library says "taken", kept
// until the acknowledged client acknowledges it, and read back for that
// client (after a restart of the driver, first).
//
// The log is a row of segment files in one directory, named by a serial
// number that grows with each new segment. A segment starts with a header
// (the log id its records carry and the sequence of its first record) and
// holds entries: records, acknowledgements and the mark of a clean stop.
// A segment goes once everything in it is acknowledged; the newest stays,
// so the sequence goes on across restarts. A start after a stop that was
// not clean (a kill, a power loss that may have taken an unsynced tail)
// gives the new records a new log id, so that no (log id, sequence) pair is
// ever issued twice; kept records keep theirs.
//
// Writes reach the system before Append returns; a thread of the log's own
// syncs within kSyncDelayMs of the first unsynced write, or at once for a
// caller that waits (WaitSynced).
#ifndef KAVROD_RECORD_LOG_H
#define KAVROD_RECORD_LOG_H

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "log_files.h"

namespace kavrod {

// One record read back from the log.
struct LoggedRecord {
  uint64_t log_id = 0;
  uint64_t sequence = 0;
  uint32_t kind = 0;
  uint32_t value = 0;
  std::vector<uint8_t> payload;
};

// CRC-32C (Castagnoli) of `size` bytes, continuing `crc`.
uint32_t Crc32(const void* data, size_t size, uint32_t crc = 0);

// A number different for every call, in this process or any other: the
// realtime clock stirred with a random number.
uint64_t NewUniqueId();

class RecordLog {
 public:
  // Level of a line for the operator: the journal's priorities.
  enum Level { kError = 3, kWarning = 4, kInfo = 6 };
  using Notice = std::function<void(int level, const std::string& line)>;

  struct Options {
    uint64_t max_bytes = 256ull << 20;
    // Every write is synced before the writer is told it is taken.
    bool sync_always = false;
    // How long a log that cannot be written is left alone before the
    // next try.
    int64_t retry_ms = 1000;
  };

  // How long the first unsynced write waits for others to share its sync.
  static constexpr int64_t kSyncDelayMs = 5;
  // The file names' ending.
  static constexpr const char* kSuffix = ".klog";

  RecordLog(std::unique_ptr<LogDirectory> directory, Options options, Notice notice);
  ~RecordLog();
  RecordLog(const RecordLog&) = delete;
  RecordLog& operator=(const RecordLog&) = delete;

  // Takes the directory (false with a line when another process holds it or
  // it cannot be made), reads what is there, cuts a torn tail, sets aside a
  // log that cannot be read, and starts a new segment. A log that cannot be
  // written at all still opens: records then stay in memory, counted.
  bool Open(std::string* error);

  uint64_t LogId() const { return log_id_; }
  // The sequence the next record gets.
  uint64_t NextSequence() const { return next_sequence_; }
  // Every record up to and including this sequence is acknowledged.
  uint64_t Acknowledged() const { return acknowledged_; }
  // Records with a lower sequence were written by an earlier start.
  uint64_t FirstSequenceOfStart() const { return first_of_start_; }
  bool SyncAlways() const { return options_.sync_always; }
  uint64_t MaxBytes() const { return options_.max_bytes; }
  uint64_t Bytes() const;

  struct Unwritten {
    uint64_t from = 0;
    uint64_t to = 0;
  };
  struct Appended {
    bool written = false;  // the record reached the system
    // The oldest segments went to make room: their unacknowledged records
    // are lost, and nothing below `floor` is in the log any more.
    uint64_t dropped = 0;
    uint64_t floor = 0;
    uint64_t ticket = 0;  // for WaitSynced
    // Records appended earlier while writes were grouped that could not be
    // written after all, sequences from..to (0 when none): in memory only.
    Unwritten unwritten;
  };
  // Appends the record numbered `sequence` (one above the last).
  Appended Append(uint64_t sequence, uint32_t kind, uint32_t value, const void* payload, uint32_t length);
  // From now on the records appended between two calls of WriteGrouped are
  // gathered and reach the system in one write at the next call (or before
  // anything else is written): for a writer that reads its records in
  // blocks and calls WriteGrouped before reading the next block, so that
  // what it has read is written before it reads more. Not with sync_always.
  void GroupWrites();
  // Writes what was gathered; returns the records that could not be
  // written since the last look (counted as unwritten, as Append's are).
  Unwritten WriteGrouped();
  // Returns once everything up to `ticket` is synced (or syncing failed).
  void WaitSynced(uint64_t ticket);
  // Everything up to and including `sequence` is acknowledged: noted in the
  // log, and the segments that hold nothing else go.
  void Acknowledge(uint64_t sequence);
  // Up to `max` records with sequences from `from` on and below `limit`, in
  // order. `*next` is where to go on from (`limit` when none is left).
  size_t Read(uint64_t from, uint64_t limit, size_t max, std::vector<LoggedRecord>* out, uint64_t* next);
  // The clean stop: marks it in the log and syncs. Nothing is taken after.
  // `next_sequence`: the writer's next number, when the last ones went to
  // records that did not reach the log, so that the next start does not
  // hand them out again under the same log id.
  void Close(uint64_t next_sequence = 0);

 private:
  struct Segment {
    uint64_t serial = 0;
    std::string name;
    uint64_t log_id = 0;
    uint64_t first = 0;  // the first record's sequence
    uint64_t last = 0;   // the last record's; first - 1 while none
    uint64_t bytes = 0;
    std::shared_ptr<LogFile> file;
  };
  struct Scan;

  bool ScanSegment(Segment& segment, Scan& scan, std::string* unreadable);
  void SetAside(const std::vector<Segment>& segments, const std::string& why);
  bool StartSegment(uint64_t first, int* error);
  int Write(const std::vector<uint8_t>& entry);
  int WriteBytes(const uint8_t* data, size_t size);
  uint64_t FlushGrouped();
  Unwritten TakeUnwritten() { return std::exchange(unwritten_grouped_, Unwritten{}); }
  void WriteFailed(int error, const char* what);
  uint64_t DropOldest();
  void RemoveAcknowledged();
  void SyncLoop();
  void Say(int level, const std::string& line) {
    if (notice_) notice_(level, line);
  }

  std::unique_ptr<LogDirectory> directory_;
  const Options options_;
  const Notice notice_;
  uint64_t segment_max_ = 0;
  uint64_t top_serial_ = 0;

  mutable std::mutex mutex_;
  std::vector<Segment> segments_;  // oldest first; the last is written
  uint64_t log_id_ = 0;
  uint64_t next_sequence_ = 1;
  uint64_t acknowledged_ = 0;
  uint64_t first_of_start_ = 1;
  uint64_t bytes_ = 0;
  bool closed_ = false;
  // The log cannot be written (full disk, an I/O error): said once; tried
  // again with a new segment from the next record on.
  bool failing_ = false;
  uint64_t unwritten_ = 0;  // records not written in this episode
  int64_t retry_at_ = 0;
  bool dropping_ = false;
  uint64_t dropped_in_episode_ = 0;
  // Grouped writes: whole entries not written yet, for the newest segment.
  bool group_ = false;
  std::vector<uint8_t> grouped_;
  uint64_t grouped_records_ = 0;
  uint64_t grouped_first_ = 0;
  uint64_t grouped_last_ = 0;
  Unwritten unwritten_grouped_;

  // Syncing.
  std::condition_variable sync_wanted_;
  std::condition_variable synced_cv_;
  uint64_t appended_ = 0;  // bytes written since the start
  uint64_t synced_ = 0;
  int urgent_ = 0;
  bool sync_failing_ = false;
  // How long writers waited for their sync (said at the clean stop).
  uint64_t waits_ = 0;
  int64_t worst_wait_us_ = 0;
  std::vector<std::shared_ptr<LogFile>> retiring_;  // old segments' last sync
  bool stop_sync_ = false;
  // The sync thread waits for a first unsynced write.
  bool sync_idle_ = false;
  std::thread sync_thread_;

  // Reading: where the last read ended, so that reading on costs no scan.
  std::mutex read_mutex_;
  uint64_t read_serial_ = 0;
  uint64_t read_offset_ = 0;
  uint64_t read_next_ = 0;
  // A window of one segment's bytes, read in large pieces.
  uint64_t chunk_serial_ = 0;
  uint64_t chunk_offset_ = 0;
  std::vector<uint8_t> chunk_;
  const uint8_t* Fetch(const Segment& segment, uint64_t offset, size_t size);
};

}  // namespace kavrod

#endif  // KAVROD_RECORD_LOG_H
