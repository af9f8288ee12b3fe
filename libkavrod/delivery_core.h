// The queueing core of the default companion library: one shared log of
// records, a cursor per client, the backlog for the first client, credit,
// the acknowledged client, and the flow rules: the link driver's delivery
// never waits; a client a whole buffer behind is dropped and what it lost is
// counted; only the optional WaitForRoom, which the driver calls where its
// transport carries back-pressure, waits for a client far behind.
//
// It does no I/O and includes no operating-system header, so that every
// server in front of it (the Unix socket server here, a named-pipe server on
// Windows) keeps the same order, backlog and slow-client rules. A server
// calls it from one service thread of its own; the link driver's threads
// call the producer side.
#ifndef KAVROD_DELIVERY_CORE_H
#define KAVROD_DELIVERY_CORE_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "kavrod.h"
#include "record_log.h"

namespace kavrod {

// Milliseconds of the monotonic clock that every time in the core is read
// from.
int64_t MonotonicMs();

// One request a client sends, one per packet (see kavrod.h).
struct ClientRequest {
  uint32_t code = 0;
  uint32_t value = 0;
  uint64_t sequence = 0;  // KAVROD_REQUEST_ACK
};

// True only for a packet that is exactly one request of a known code and
// its size; anything else is to be ignored by the caller.
bool ParseClientRequest(const uint8_t* data, size_t size, ClientRequest* request);

struct Limits {
  // The deep buffer: records one client may fall behind; a client that
  // would fall further is dropped. Also what is kept for the acknowledged
  // client.
  size_t client_records_max = KAVROD_CLIENT_QUEUE_MAX;
  // The same in bytes, so that one client cannot pin unbounded memory with
  // large payloads.
  uint64_t client_bytes_max = KAVROD_CLIENT_BYTES_MAX;
  // WaitForRoom waits while a client is further behind than this.
  size_t hold_back = KAVROD_HOLD_BACK;
  // Payloads kept while no client is connected.
  size_t backlog_max = KAVROD_BACKLOG_MAX;
  // A client that holds WaitForRoom back and takes nothing for this long is
  // dropped.
  int64_t stall_ms = KAVROD_STALL_MS;
  size_t clients_max = KAVROD_CLIENTS_MAX;
};

// One record ready to go out: its header (8 bytes, or 24 for the
// acknowledged client) and the payload block, which stays valid until the
// client's cursor has moved past it (Commit, Release).
struct OutRecord {
  uint8_t header[KAVROD_ID_HEADER_SIZE];
  uint32_t header_size;
  const void* payload;
  uint32_t length;
};

// What the core asks of the server in front of it. Called without the
// core's lock held.
struct ServerHooks {
  // Rouses the service thread from its sleep.
  std::function<void()> wake;
  // True when a client has connected that the service thread has not taken
  // in yet. Asked only when a payload would otherwise be refused for want of
  // a client.
  std::function<bool()> client_waiting;
};

class DeliveryCore {
 public:
  using ClientId = uint32_t;

  explicit DeliveryCore(ServerHooks server, Limits limits = {});
  ~DeliveryCore();

  // Serves the acknowledged client from the record log from now on, before
  // the first record: every record is written to it before Deliver
  // returns, kept until acknowledged (whether or not an acknowledged client
  // ever connects), and what an earlier start left unacknowledged goes to
  // that client first. The log outlives the core's use of it.
  void AttachLog(RecordLog* log);
  DeliveryCore(const DeliveryCore&) = delete;
  DeliveryCore& operator=(const DeliveryCore&) = delete;

  // --- Producer side: the link driver's threads ----------------------------

  // DeliverPayload at time `now` (milliseconds; -1: read the clock if the
  // answer depends on it): takes the block (1, or 2 when records were lost
  // to make room for it) or refuses it (-1). Never waits: a client that the
  // record would put beyond the deep buffer is dropped first. A payload
  // refused while the core runs is counted as not taken and still uses up
  // its sequence number, so the acknowledged client sees the gap.
  int32_t Deliver(uint32_t address, void* payload, uint32_t length, int64_t now = -1);
  // KavrodWaitForRoom: waits, at most timeout_ms, while a client is more
  // than the hold-back behind; 1 when none is (any more), 2 the same after
  // dropping one, 0 when one still is. A client that holds it back and takes
  // nothing for the stall time is dropped.
  int32_t WaitForRoom(int64_t timeout_ms);
  // One look of WaitForRoom at time `now`: true when no client is too far
  // behind; otherwise `retry_at` is when the first of them counts as
  // stalled.
  bool Room(int64_t now, int64_t* retry_at);
  struct Status {
    uint32_t clients = 0;
    uint32_t acknowledged_clients = 0;
    uint64_t records_lost = 0;
    uint64_t records_unacknowledged = 0;
    uint64_t records_not_taken = 0;
    // Taken but not written to the record log (it could not be written):
    // kept in memory only.
    uint64_t records_not_logged = 0;
  };
  Status QueryStatus() const;
  // KavrodQueryStatus: fills as much of `out` as the size the caller has
  // set holds, and sets the size to what it filled; false when it is smaller
  // than the first version of the record.
  bool FillStatus(KavrodStatus* out) const;
  // The number fixed for the life of the core that, with a record's
  // sequence number, identifies it to the acknowledged client.
  uint64_t StartId() const { return start_id_; }
  // The id records of this start carry: the log's id with a record log,
  // else the start id.
  uint64_t RecordId() const { return record_log_ != nullptr ? record_log_->LogId() : start_id_; }
  // SignalLinkEvent. Link events are never refused. After event 0 the core
  // stops taking anything; the server flushes and closes.
  void Signal(uint32_t code, int64_t now);
  // The library is unloaded without event 0: stop taking records all the
  // same, and let the server flush and close.
  void Shutdown();

  // --- Server side: the service thread only --------------------------------

  // A new client; 0 when the cap is reached. `state` is its first record.
  ClientId Accept(int64_t now, OutRecord* state);
  // A packet the client sent, at time `now` (-1: read the clock if needed).
  void Request(ClientId id, const uint8_t* data, size_t size, int64_t now = -1);
  // A new client is held back until it has either sent a credit or shown
  // that it reads (it took its first record): then it is a plain client.
  bool Introducing(ClientId id) const;
  void Promote(ClientId id, int64_t now);
  // Up to `max` records to send to the client, in order, from where it is.
  size_t Collect(ClientId id, int64_t now, OutRecord* out, size_t max);
  // `sent` of the records last collected went out. Returns Work().
  uint64_t Commit(ClientId id, size_t sent, int64_t now);
  // The client's socket is full (true) or has room again (false).
  void SetBlocked(ClientId id, bool blocked);
  // Takes the client out: it left (reason null) or is dropped for `reason`.
  void Hangup(ClientId id, const char* reason);
  // True once the client is out, whoever took it out; the server then
  // closes it and calls Release.
  bool Retired(ClientId id) const;
  void Release(ClientId id);
  // Frees nothing itself: hands over the payload blocks no client needs any
  // more and the lines to report, for the caller to deal with outside the
  // lock. While records keep coming, the producer frees most blocks itself.
  // The newest `keep_records` done blocks (no more than `keep_bytes` of
  // payload) are left to the producer: freed on its own thread, each is the
  // block its allocator hands out for the next payload, where blocks freed
  // here in bulk go back to the allocator's shared bins and cost the
  // producer a slow allocation each.
  void Reap(std::vector<void*>* to_free, std::vector<std::string>* notices, uint64_t keep_records = 0,
            uint64_t keep_bytes = 0);

  bool Stopping() const;
  // Every connected client has been sent everything.
  bool Flushed() const;
  // Records not yet sent to the client.
  uint64_t Pending(ClientId id) const;

  // The service thread's sleep: Work() before it looks for work, then
  // PrepareSleep with that value; false means new work came meanwhile.
  // Producers wake a sleeping thread only when a client can take records.
  uint64_t Work() const;
  // What a turn of the service thread starts from, under one lock: the work
  // counter, whether the core is stopping, and a count of clients taken out
  // so far (it changes when there are clients to close).
  struct Turn {
    uint64_t work = 0;
    bool stopping = false;
    uint64_t retired = 0;
  };
  Turn BeginTurn() const;
  bool PrepareSleep(uint64_t seen);
  void Awake();

 private:
  struct Record {
    uint32_t kind;
    uint32_t value;
    void* payload;
    uint32_t length;
    uint64_t bytes_before;  // bytes of every earlier record
    // The acknowledged client's sequence number: one more than the record
    // before, or more when payloads were refused in between.
    uint64_t sequence;
    // In the record log: it may leave memory before it is acknowledged.
    bool logged;
  };
  struct Client {
    ClientId id = 0;
    uint64_t cursor = 0;  // next record to send
    int64_t progress_at = 0;
    // When the client last went from having nothing to send to having
    // something: a client that was idle and then meets a burst is not
    // stalled yet.
    int64_t pending_since = 0;
    bool introducing = true;
    bool acknowledged = false;
    // It has been sent a record.
    bool taken = false;
    bool credit_mode = false;
    uint64_t credit = 0;
    bool blocked = false;
    bool retired = false;
    // It holds the producer back; said once until it has caught up.
    bool holding = false;
    // Records collected and not yet committed, from batch_from on: their
    // blocks are being read without the lock. From the record log when
    // batch_from_log.
    bool in_flight = false;
    bool batch_from_log = false;
    uint64_t batch_from = 0;
    // With the record log, the acknowledged client's next sequence.
    uint64_t log_next = 0;
    // An observer: no backlog, never holds the producer back, never
    // dropped; what it falls behind by is skipped and counted for it alone.
    bool observer = false;
    uint64_t missed_unsaid = 0;  // skipped, not yet told in a missed record
    uint32_t missed_out = 0;     // told in the missed record last collected
    uint64_t collected_at = 0;   // its cursor at the last Collect
  };
  // Whose records a dropped client leaves: the lost count, the backlog, or
  // the acknowledged client's successor.
  enum class Loss { kNone, kCounted };
  // A line that a client in a loop could repeat thousands of times a
  // second: said once, then at most once a minute with the count of those
  // not said.
  struct Hushed {
    const char* reason;
    int64_t next_at = 0;
    bool said = false;
    uint64_t unsaid = 0;
  };
  // One try at taking a payload. kAskServer: refused for want of a client,
  // unless the server has one waiting to be taken in.
  static constexpr int32_t kAskServer = -2;
  enum class Attempt { kFirst, kNoneWaiting, kClientWaiting };
  int32_t TryTake(uint32_t address, void* payload, uint32_t length, Attempt attempt, int64_t* clock,
                  uint64_t* lost_mark);
  // A payload no one can take: counted, and its sequence number used up.
  void NotTaken();

  Client* Find(ClientId id);
  const Client* Find(ClientId id) const;
  // `clock` is the time of the call, or -1 until it is read.
  void Append(uint32_t kind, uint32_t value, void* payload, uint32_t length, int64_t* clock, bool logged);
  const Record& At(uint64_t seq) const { return log_[static_cast<size_t>(seq - base_)]; }
  uint64_t BytesBefore(uint64_t seq) const { return seq == end_ ? bytes_total_ : At(seq).bytes_before; }
  bool CanTake(const Client& c) const;
  bool WantsWake() const;
  void Retire(Client& c, const char* reason, const std::string& detail, Loss loss, bool say = true);
  // Drops a client whose request to be acknowledged cannot be met, closed
  // so that it sees it; the line is hushed as Hushed says.
  void RefuseAcknowledged(Client& c, Hushed& hushed, int64_t now);
  // The count of the hushed lines not said yet, said at the end.
  void SayHushed(Hushed& hushed);
  // Drops every client that another record would put beyond the deep
  // buffer, and in the acknowledged mode the oldest unacknowledged records
  // that would not fit any more.
  void MakeRoom(uint64_t size);
  void BecomeAcknowledged(Client& c, int64_t now);
  void BecomeObserver(Client& c);
  // Moves an observer that is further behind than its window on to the
  // newest records; what it skips it is told of in a missed record.
  void SkipForObserver(Client& c);
  // Clients that take records for others too (the backlog, the lost count):
  // all but the observers.
  size_t Takers() const { return live_ - observers_; }
  void Acknowledge(Client& c, uint64_t sequence);
  // Wakes the service thread and any WaitForRoom after a change made under
  // the lock; called with the lock released.
  struct After {
    bool wake = false;
    bool notify = false;
  };
  After Settle(uint64_t work_before, size_t live_before);
  void Finish(After after);
  // Takes up to `max` records off the front of the log that no client needs
  // any more; returns their payload blocks in `blocks`.
  size_t PopDone(void** blocks, size_t max, uint64_t keep_records = 0, uint64_t keep_bytes = 0);
  void NoteProgress();

  const ServerHooks server_;
  const Limits limits_;

  mutable std::mutex mutex_;
  std::condition_variable room_;
  std::deque<Record> log_;  // log_[i] is record base_ + i
  uint64_t base_ = 0;
  uint64_t end_ = 0;
  uint64_t bytes_total_ = 0;
  // Records from backlog_begin_ on have no client yet: the first client that
  // takes records starts there.
  bool backlog_ = false;
  uint64_t backlog_begin_ = 0;
  std::vector<Client> clients_;
  size_t live_ = 0;
  size_t observers_ = 0;  // live observers, counted in live_ too
  ClientId last_id_ = 0;
  bool link_up_ = false;
  bool stopping_ = false;
  uint64_t epoch_ = 0;
  int waiters_ = 0;
  bool notify_ = false;
  uint64_t work_ = 0;
  uint64_t retired_count_ = 0;
  bool sleeping_ = false;
  std::vector<std::string> notices_;
  const uint64_t start_id_;
  uint64_t records_lost_ = 0;
  uint64_t records_not_taken_ = 0;
  uint64_t next_sequence_ = 1;
  // The acknowledged mode: from the first acknowledged client on, records
  // from ack_cursor_ on are kept until acknowledged.
  bool ack_mode_ = false;
  uint64_t ack_cursor_ = 0;
  // Kept records overflow: said once, and again only after the kept
  // records have fallen to half the buffer.
  bool ack_overflowing_ = false;
  Hushed second_acknowledged_{"an acknowledged client is connected already"};
  Hushed late_acknowledged_{"asked to be the acknowledged client after it was sent records"};

  // The record log, when there is one. Records from ack_cursor_ on that
  // are below mem_floor_ have left memory and are read back from the log.
  // Below memory there are no indexes: the acknowledged client's place is
  // its next sequence (Client::log_next), what is acknowledged is
  // acked_sequence_ (every record up to it).
  RecordLog* record_log_ = nullptr;
  uint64_t mem_floor_ = 0;
  uint64_t acked_sequence_ = 0;
  // Records below this sequence were written by an earlier start.
  uint64_t first_of_start_ = 0;
  // The acknowledged client's batch read back from the log (service
  // thread only).
  std::vector<LoggedRecord> from_log_;
  uint64_t records_not_logged_ = 0;
  // The log's bound holds the producer back; said once per episode.
  bool log_holding_ = false;
  static constexpr int64_t kLogRoomPollMs = 50;
  bool LogNearlyFull() const;
  // Fills out[] from the log for the acknowledged client; the lock is
  // released while reading.
  size_t CollectFromLog(std::unique_lock<std::mutex>& lock, Client*& c, ClientId id, OutRecord* out, size_t max);
  // Writes the record numbered end_ to the log; returns the sync ticket.
  uint64_t LogRecord(uint32_t kind, uint32_t value, const void* payload, uint32_t length, bool* logged);
  // The sequence of the first record in memory.
  uint64_t MemoryFirstSequence() const { return base_ < end_ ? log_.front().sequence : next_sequence_; }
  // The first record in memory from `from` on whose sequence is above
  // `sequence`.
  uint64_t IndexAfter(uint64_t from, uint64_t sequence) const;
  // Records written together with others of their block that could not be
  // written after all: counted, and in memory only.
  void NotLogged(const RecordLog::Unwritten& unwritten);
  // The producer calls WaitForRoom before each read of its transport: the
  // log gathers the records of one read into one write.
  bool grouping_ = false;
  // acked_sequence_ moved on: ack_cursor_ follows it in memory.
  void FollowAcknowledged();
};

}  // namespace kavrod

#endif  // KAVROD_DELIVERY_CORE_H
