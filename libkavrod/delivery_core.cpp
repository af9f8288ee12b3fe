#include "delivery_core.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

namespace kavrod {

namespace {

uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

void PutLe32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

void PutLe64(uint8_t* out, uint64_t value) {
  PutLe32(out, static_cast<uint32_t>(value));
  PutLe32(out + 4, static_cast<uint32_t>(value >> 32));
}

void FillHeader(OutRecord* out, uint32_t kind, uint32_t value) {
  PutLe32(out->header, kind);
  PutLe32(out->header + 4, value);
}

// snprintf rather than std::to_string: the latter's inline statics become
// unique symbols, which would keep the library from ever being unloaded.
std::string Format(const char* format, unsigned long long a, unsigned long long b = 0) {
  char text[160];
  std::snprintf(text, sizeof text, format, a, b);
  return text;
}

}  // namespace

int64_t MonotonicMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

namespace {

int64_t ReadClock(int64_t* clock) {
  if (*clock < 0) *clock = MonotonicMs();
  return *clock;
}

}  // namespace

bool ParseClientRequest(const uint8_t* data, size_t size, ClientRequest* request) {
  if (data == nullptr || size < KAVROD_REQUEST_SIZE) return false;
  const uint32_t code = GetLe32(data);
  switch (code) {
    case KAVROD_REQUEST_CREDIT:
    case KAVROD_REQUEST_ACKNOWLEDGED:
    case KAVROD_REQUEST_OBSERVER:
    case KAVROD_REQUEST_BATCH:
      if (size != KAVROD_REQUEST_SIZE) return false;
      request->sequence = 0;
      break;
    case KAVROD_REQUEST_ACK:
      if (size != KAVROD_ACK_REQUEST_SIZE) return false;
      request->sequence = uint64_t{GetLe32(data + 8)} | uint64_t{GetLe32(data + 12)} << 32;
      break;
    default: return false;
  }
  request->code = code;
  request->value = GetLe32(data + 4);
  return true;
}


DeliveryCore::DeliveryCore(ServerHooks server, Limits limits)
    : server_(std::move(server)), limits_(limits), start_id_(NewUniqueId()) {}

DeliveryCore::~DeliveryCore() {
  for (Record& r : log_) std::free(r.payload);
}

DeliveryCore::Client* DeliveryCore::Find(ClientId id) {
  for (Client& c : clients_) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

const DeliveryCore::Client* DeliveryCore::Find(ClientId id) const {
  for (const Client& c : clients_) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

bool DeliveryCore::CanTake(const Client& c) const {
  if (c.retired) return false;
  // Once the link ends there is no next client to keep anything for.
  if (stopping_) return true;
  return !c.introducing && (!c.credit_mode || c.credit > 0);
}

bool DeliveryCore::WantsWake() const {
  for (const Client& c : clients_) {
    if (!c.blocked && CanTake(c)) return true;
  }
  return false;
}

void DeliveryCore::NoteProgress() {
  ++epoch_;
  if (waiters_ > 0) notify_ = true;
}

void DeliveryCore::Append(uint32_t kind, uint32_t value, void* payload, uint32_t length, int64_t* clock, bool logged) {
  // The clock is read only when a client's stall clock starts: once per
  // burst rather than once per record.
  for (Client& c : clients_) {
    if (!c.retired && c.cursor == end_) c.pending_since = ReadClock(clock);
  }
  log_.push_back(Record{kind, value, payload, length, bytes_total_, next_sequence_++, logged});
  bytes_total_ += KAVROD_HEADER_SIZE + length;
  if (Takers() == 0 && !backlog_) {
    backlog_ = true;
    backlog_begin_ = end_;
  }
  ++end_;
  ++work_;
}

void DeliveryCore::Retire(Client& c, const char* reason, const std::string& detail, Loss loss, bool say) {
  if (c.retired) return;
  c.retired = true;
  --live_;
  if (c.observer) --observers_;
  ++retired_count_;
  const uint64_t pending = end_ - c.cursor;
  // The acknowledged client's records stay for its successor.
  const bool for_successor = c.acknowledged;
  bool kept = false;
  if (Takers() == 0 && !c.observer && !stopping_ && pending > 0 && loss == Loss::kNone) {
    // The last client's unsent records are nobody's yet: they wait for the
    // next client instead of being lost with this one.
    if (!backlog_) {
      backlog_ = true;
      backlog_begin_ = c.cursor;
    }
    kept = true;
  }
  if (loss == Loss::kCounted && !for_successor) records_lost_ += pending;
  if (reason != nullptr && say) {
    std::string line = Format("client %llu dropped: ", c.id) + reason + detail;
    if (for_successor) {
      line += "; its unacknowledged records wait for the next acknowledged client";
    } else if (kept) {
      line += Format("; %llu records not delivered to it wait for the next client", pending);
    } else if (c.observer) {
      line += " (an observer: nothing is lost to it)";
    } else {
      line += Format("; %llu records lost to it", pending);
    }
    notices_.push_back(std::move(line));
  }
  NoteProgress();
  ++work_;
}

void DeliveryCore::MakeRoom(uint64_t size) {
  if (observers_ > 0) {
    // Only an observer whose socket is full: nothing of it is in flight
    // then, and one that is not is moved on by its own Collect.
    for (Client& c : clients_) {
      if (!c.retired && c.observer && c.blocked && !c.in_flight) SkipForObserver(c);
    }
  }
  // While the whole log fits, nobody is beyond the buffer: the common case
  // costs no look at any client's (cold) record.
  if (end_ - base_ < limits_.client_records_max &&
      bytes_total_ - (base_ == end_ ? bytes_total_ : log_.front().bytes_before) + size <= limits_.client_bytes_max) {
    return;
  }
  for (Client& c : clients_) {
    if (c.retired || c.observer) continue;
    // With the record log the acknowledged client reads on from the log.
    if (record_log_ != nullptr && c.acknowledged) continue;
    // Whoever takes records first also takes the backlog, so it counts
    // against every client that might.
    uint64_t begin = c.cursor;
    if (backlog_ && backlog_begin_ < begin) begin = backlog_begin_;
    const uint64_t pending = end_ - begin;
    if (pending == 0) continue;
    if (pending < limits_.client_records_max && bytes_total_ - BytesBefore(begin) + size <= limits_.client_bytes_max) {
      continue;
    }
    Retire(c, "cannot keep up", Format(" (%llu records behind)", pending), Loss::kCounted);
  }
  if (!ack_mode_) return;
  if (record_log_ != nullptr) {
    // With the record log, memory is a window onto it: what is kept only
    // for the acknowledged client leaves memory and is read back from the
    // log. A record the log could not take is lost with it.
    mem_floor_ = std::max(mem_floor_, base_);
    while (mem_floor_ < end_ && (end_ - mem_floor_ >= limits_.client_records_max ||
                                 bytes_total_ - BytesBefore(mem_floor_) + size > limits_.client_bytes_max)) {
      if (mem_floor_ >= ack_cursor_ && !At(mem_floor_).logged) ++records_lost_;
      ++mem_floor_;
    }
    return;
  }
  // Kept for the acknowledged client, whether or not one is connected: the
  // oldest go first.
  uint64_t dropped = 0;
  while (ack_cursor_ < end_ && (end_ - ack_cursor_ >= limits_.client_records_max ||
                                bytes_total_ - BytesBefore(ack_cursor_) + size > limits_.client_bytes_max)) {
    ++ack_cursor_;
    ++dropped;
  }
  if (dropped == 0) return;
  records_lost_ += dropped;
  // No cursor follows: a connected acknowledged client is never behind
  // ack_cursor_ here (the loop above dropped it first), and one dropped may
  // still have its last batch in a send outside the lock. Its cursor holds
  // those records (PopDone) until it is committed and released.
  if (!ack_overflowing_) {
    ack_overflowing_ = true;
    notices_.push_back(
        Format("%llu records kept for the acknowledged client fill the buffer: the oldest "
               "unacknowledged ones are dropped and counted as lost",
               end_ - ack_cursor_));
    ++work_;
  }
}

DeliveryCore::After DeliveryCore::Settle(uint64_t work_before, size_t live_before) {
  After after;
  // A client dropped here must be closed by the service thread, and what
  // is to be said must be said now.
  if (work_ != work_before && sleeping_ && (WantsWake() || live_ != live_before || !notices_.empty())) {
    sleeping_ = false;
    after.wake = true;
  }
  after.notify = std::exchange(notify_, false);
  return after;
}

void DeliveryCore::Finish(After after) {
  if (after.notify) room_.notify_all();
  if (after.wake) server_.wake();
}

void DeliveryCore::NotTaken() {
  ++records_not_taken_;
  ++next_sequence_;
}

int32_t DeliveryCore::TryTake(uint32_t address, void* payload, uint32_t length, Attempt attempt, int64_t* clock,
                              uint64_t* lost_mark) {
  const uint64_t size = KAVROD_HEADER_SIZE + uint64_t{length};
  int32_t result = 1;
  After after;
  // The producer frees what the clients are done with: the blocks were
  // allocated on its thread, and freeing them there hands them straight back
  // to its allocator for the next payloads. Two per record keeps ahead.
  void* done[2];
  size_t done_count = 0;
  uint64_t ticket = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return -1;
    const uint64_t work_before = work_;
    const size_t live_before = live_;
    // Counted from the first attempt: a record lost to make room then is
    // lost for this payload.
    if (attempt == Attempt::kFirst) *lost_mark = records_lost_;
    const uint64_t lost_before = *lost_mark;
    MakeRoom(size);
    if (Takers() == 0 && backlog_ && !ack_mode_) {
      const uint64_t held = end_ - backlog_begin_;
      switch (attempt) {
        case Attempt::kFirst:
          if (held >= limits_.backlog_max) result = kAskServer;
          break;
        case Attempt::kNoneWaiting:
          if (held >= limits_.backlog_max) result = -1;
          break;
        case Attempt::kClientWaiting:
          // The client about to be taken in may have the backlog grow for
          // it as far as the deep buffer, in records and in bytes.
          if (held >= limits_.client_records_max ||
              bytes_total_ - BytesBefore(backlog_begin_) + size > limits_.client_bytes_max) {
            result = -1;
          }
          break;
      }
    } else if (Takers() == 0 && backlog_ && ack_mode_ && end_ - backlog_begin_ >= limits_.backlog_max) {
      // Everything is kept for the acknowledged client anyway; a plain
      // newcomer gets the latest of it, as much as it would get without
      // the acknowledged mode (with the record log that mode is on from
      // the start): the backlog, or the deep buffer for a client whose
      // connect has returned.
      const uint64_t held = end_ - backlog_begin_;
      switch (attempt) {
        case Attempt::kFirst: result = kAskServer; break;
        case Attempt::kNoneWaiting:
          if (held >= limits_.backlog_max) ++backlog_begin_;
          break;
        case Attempt::kClientWaiting:
          if (held >= limits_.client_records_max ||
              bytes_total_ - BytesBefore(backlog_begin_) + size > limits_.client_bytes_max) {
            ++backlog_begin_;
          }
          break;
      }
    }
    if (result == 1) {
      bool logged = false;
      ticket = LogRecord(KAVROD_RECORD_PAYLOAD, address, payload, length, &logged);
      Append(KAVROD_RECORD_PAYLOAD, address, payload, length, clock, logged);
      done_count = PopDone(done, 2);
      if (records_lost_ != lost_before) result = 2;
    } else if (result == -1) {
      NotTaken();
    }
    after = Settle(work_before, live_before);
  }
  for (size_t i = 0; i < done_count; ++i) std::free(done[i]);
  Finish(after);
  // Taken only once it would survive a power loss as well.
  if (ticket != 0 && record_log_->SyncAlways()) record_log_->WaitSynced(ticket);
  return result;
}

int32_t DeliveryCore::Deliver(uint32_t address, void* payload, uint32_t length, int64_t now) {
  if (payload == nullptr) return -1;
  if (length > KAVROD_PAYLOAD_MAX) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!stopping_) NotTaken();
    return -1;
  }
  uint64_t lost_mark = 0;
  const int32_t result = TryTake(address, payload, length, Attempt::kFirst, &now, &lost_mark);
  if (result != kAskServer) return result;
  // A client whose connect has returned is as good as connected: the
  // backlog may grow for it, as far as the deep buffer. Asking costs a
  // system call, so only a refusal asks; and a client taken in since the
  // refusal takes the record as well.
  const bool waiting = server_.client_waiting();
  return TryTake(address, payload, length, waiting ? Attempt::kClientWaiting : Attempt::kNoneWaiting, &now,
                 &lost_mark);
}

bool DeliveryCore::Room(int64_t now, int64_t* retry_at) {
  bool room = true;
  *retry_at = std::numeric_limits<int64_t>::max();
  if (LogNearlyFull()) {
    // The log's bound holds the link back, not the acknowledged client:
    // only acknowledgements make room.
    room = false;
    *retry_at = now + kLogRoomPollMs;
    if (!log_holding_) {
      log_holding_ = true;
      notices_.push_back("<4>the record log is nearly full: holding the link back until the acknowledged client "
                         "acknowledges more");
      ++work_;
    }
  } else {
    log_holding_ = false;
  }
  for (Client& c : clients_) {
    if (c.retired || c.observer) continue;
    // With the record log the acknowledged client reads on from the log.
    if (record_log_ != nullptr && c.acknowledged) continue;
    uint64_t begin = c.cursor;
    if (backlog_ && backlog_begin_ < begin) begin = backlog_begin_;
    const uint64_t pending = end_ - begin;
    if (pending <= limits_.hold_back && bytes_total_ - BytesBefore(begin) <= limits_.client_bytes_max / 2) continue;
    // The stall clock runs from the client's last progress, or from when
    // it last had nothing to take, whichever is later.
    const int64_t stall_from = std::max(c.progress_at, c.pending_since);
    if (now - stall_from >= limits_.stall_ms) {
      Retire(c, "cannot keep up",
             Format(" (no progress for %llu ms)", static_cast<unsigned long long>(now - stall_from)), Loss::kCounted);
      continue;
    }
    room = false;
    *retry_at = std::min(*retry_at, stall_from + limits_.stall_ms);
    if (!c.holding) {
      // Worth an operator's knowing: the link now runs at this client's
      // pace.
      c.holding = true;
      notices_.push_back(
          Format("client %llu is %llu records behind; holding the link back until it takes more", c.id, pending));
      ++work_;
    }
  }
  return room;
}

int32_t DeliveryCore::WaitForRoom(int64_t timeout_ms) {
  RecordLog* log = nullptr;
  bool first = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    log = record_log_;
    first = !grouping_;
    grouping_ = true;
  }
  RecordLog::Unwritten unwritten;
  if (log != nullptr) {
    // The driver calls this before each read of its transport: the records
    // of one read go to the log in one write, before the next read. The
    // first call turns that on; until then each record is written alone.
    // The write leaves the core's lock to the service thread.
    if (first) log->GroupWrites();
    unwritten = log->WriteGrouped();
  }
  std::unique_lock<std::mutex> lock(mutex_);
  NotLogged(unwritten);
  // While the whole log is within the hold-back nobody is behind: the
  // common case, asked before every read of the socket, costs one lock.
  if (end_ - base_ <= limits_.hold_back &&
      bytes_total_ - (base_ == end_ ? bytes_total_ : log_.front().bytes_before) <= limits_.client_bytes_max / 2 &&
      !LogNearlyFull()) {
    return 1;
  }
  const uint64_t lost_before = records_lost_;
  const int64_t deadline = MonotonicMs() + std::max<int64_t>(timeout_ms, 0);
  for (;;) {
    if (stopping_) return 1;
    const uint64_t work_before = work_;
    const size_t live_before = live_;
    const int64_t now = MonotonicMs();
    int64_t retry_at = 0;
    const bool room = Room(now, &retry_at);
    const After after = Settle(work_before, live_before);
    if (after.wake || after.notify) {
      lock.unlock();
      Finish(after);
      lock.lock();
    }
    if (room) return records_lost_ != lost_before ? 2 : 1;
    if (now >= deadline) return 0;
    const uint64_t epoch = epoch_;
    ++waiters_;
    room_.wait_for(lock, std::chrono::milliseconds(std::min(retry_at, deadline) - now),
                   [&] { return epoch_ != epoch || stopping_; });
    --waiters_;
  }
}

DeliveryCore::Status DeliveryCore::QueryStatus() const {
  std::lock_guard<std::mutex> guard(mutex_);
  Status s;
  for (const Client& c : clients_) {
    if (c.retired) continue;
    ++s.clients;
    if (c.acknowledged) ++s.acknowledged_clients;
  }
  s.records_lost = records_lost_;
  s.records_unacknowledged = ack_mode_ ? end_ - ack_cursor_ : 0;
  s.records_not_taken = records_not_taken_;
  s.records_not_logged = records_not_logged_;
  if (record_log_ != nullptr) s.records_unacknowledged = next_sequence_ - 1 - acked_sequence_;
  return s;
}

bool DeliveryCore::FillStatus(KavrodStatus* out) const {
  // A caller built against an older header passes a shorter record: it is
  // filled as far as it goes.
  if (out == nullptr || out->size < KAVROD_STATUS_SIZE_V1) return false;
  const Status s = QueryStatus();
  out->clients = s.clients;
  out->acknowledged_clients = s.acknowledged_clients;
  out->flags = 0;
  out->records_lost = s.records_lost;
  out->records_unacknowledged = s.records_unacknowledged;
  if (out->size >= sizeof(KavrodStatus)) {
    out->records_not_taken = s.records_not_taken;
    out->size = sizeof(KavrodStatus);
  } else {
    out->size = KAVROD_STATUS_SIZE_V1;
  }
  return true;
}

void DeliveryCore::Signal(uint32_t code, int64_t now) {
  bool wake = false;
  bool notify = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return;
    bool logged = false;
    LogRecord(KAVROD_RECORD_LINK_EVENT, code, nullptr, 0, &logged);
    Append(KAVROD_RECORD_LINK_EVENT, code, nullptr, 0, &now, logged);
    // An event comes from any thread, at no read's end: written at once,
    // with what was gathered before it.
    if (record_log_ != nullptr) NotLogged(record_log_->WriteGrouped());
    link_up_ = code == KAVROD_EVENT_ESTABLISHED;
    if (code == KAVROD_EVENT_SHUTDOWN) {
      stopping_ = true;
      SayHushed(second_acknowledged_);
      SayHushed(late_acknowledged_);
      // A producer waiting for room gives up: nothing is taken any more.
      if (waiters_ > 0) notify_ = true;
      wake = sleeping_;
    } else {
      wake = sleeping_ && WantsWake();
    }
    if (wake) sleeping_ = false;
    notify = std::exchange(notify_, false);
  }
  if (notify) room_.notify_all();
  if (wake) server_.wake();
  // The process ends right after event 0: the log is synced and marked
  // as stopped cleanly first.
  if (code == KAVROD_EVENT_SHUTDOWN && record_log_ != nullptr) {
    uint64_t next = 0;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      next = next_sequence_;
    }
    record_log_->Close(next);
  }
}

void DeliveryCore::Shutdown() {
  bool notify = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
    sleeping_ = false;
    notify = waiters_ > 0;
  }
  if (notify) room_.notify_all();
  server_.wake();
}

DeliveryCore::ClientId DeliveryCore::Accept(int64_t now, OutRecord* state) {
  Client c;
  bool notify = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (live_ >= limits_.clients_max || stopping_) return 0;
    do {
      c.id = ++last_id_;
    } while (c.id == 0 || Find(c.id) != nullptr);
    c.cursor = end_;
    c.progress_at = now;
    clients_.push_back(c);
    ++live_;
    FillHeader(state, KAVROD_RECORD_LINK_STATE, link_up_ ? 1u : 0u);
    state->header_size = KAVROD_HEADER_SIZE;
    state->payload = nullptr;
    state->length = 0;
    // A producer may be waiting for this client.
    NoteProgress();
    notify = std::exchange(notify_, false);
  }
  if (notify) room_.notify_all();
  return c.id;
}

void DeliveryCore::Request(ClientId id, const uint8_t* data, size_t size, int64_t now) {
  ClientRequest request;
  if (!ParseClientRequest(data, size, &request)) return;
  After after;
  uint64_t acknowledged = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    Client* c = Find(id);
    if (c == nullptr || c->retired) return;
    const uint64_t work_before = work_;
    const size_t live_before = live_;
    switch (request.code) {
      case KAVROD_REQUEST_CREDIT: {
        c->credit_mode = true;
        c->introducing = false;
        const uint64_t room = std::numeric_limits<uint64_t>::max() - c->credit;
        c->credit += std::min<uint64_t>(room, request.value);
        break;
      }
      case KAVROD_REQUEST_ACKNOWLEDGED: BecomeAcknowledged(*c, ReadClock(&now)); break;
      case KAVROD_REQUEST_OBSERVER: BecomeObserver(*c); break;
      case KAVROD_REQUEST_ACK: {
        const uint64_t before = acked_sequence_;
        Acknowledge(*c, request.sequence);
        if (record_log_ != nullptr && acked_sequence_ != before) acknowledged = acked_sequence_;
        break;
      }
    }
    after = Settle(work_before, live_before);
  }
  Finish(after);
  if (acknowledged != 0) record_log_->Acknowledge(acknowledged);
}

void DeliveryCore::RefuseAcknowledged(Client& c, Hushed& hushed, int64_t now) {
  if (hushed.said && now < hushed.next_at) {
    ++hushed.unsaid;
    Retire(c, hushed.reason, {}, Loss::kNone, false);
    return;
  }
  const std::string detail =
      hushed.unsaid > 0 ? Format(" (and %llu more clients since the last such line)", hushed.unsaid) : std::string();
  hushed.said = true;
  hushed.unsaid = 0;
  hushed.next_at = now + 60000;
  Retire(c, hushed.reason, detail, Loss::kNone);
}

void DeliveryCore::SayHushed(Hushed& hushed) {
  if (hushed.unsaid == 0) return;
  notices_.push_back(Format("%llu more clients dropped since the last such line: ", hushed.unsaid) + hushed.reason);
  hushed.unsaid = 0;
  ++work_;
}

void DeliveryCore::BecomeAcknowledged(Client& c, int64_t now) {
  if (c.acknowledged) return;
  // Asked for after records were sent: the client cannot turn into one that
  // is sent them again with their identity, and serving it as a plain client
  // would hide that it is not acknowledged. It is closed, and sees it. A
  // record collected and not yet committed counts as sent: the pipe server
  // may learn of the client's request before the completion of the write
  // the client has already read.
  if (c.taken || c.in_flight) {
    RefuseAcknowledged(c, late_acknowledged_, now);
    return;
  }
  for (const Client& other : clients_) {
    if (!other.retired && other.acknowledged) {
      RefuseAcknowledged(c, second_acknowledged_, now);
      return;
    }
  }
  if (!ack_mode_) {
    // From now on everything is kept until acknowledged, the backlog
    // waiting now included.
    ack_mode_ = true;
    ack_cursor_ = backlog_ ? std::min(backlog_begin_, c.cursor) : c.cursor;
  }
  // What its predecessor was sent but did not acknowledge comes first.
  c.cursor = ack_cursor_;
  c.log_next = acked_sequence_ + 1;
  c.acknowledged = true;
  c.introducing = false;
}

void DeliveryCore::BecomeObserver(Client& c) {
  // Asked for before the first record, as the acknowledged client asks.
  if (c.observer || c.acknowledged || c.taken || c.in_flight) return;
  c.observer = true;
  c.introducing = false;
  ++observers_;
  // What came since it connected is nobody's if it was the only client: it
  // waits for the next one, as if no client had been there.
  if (Takers() == 0 && !backlog_ && c.cursor < end_) {
    backlog_ = true;
    backlog_begin_ = c.cursor;
  }
}

void DeliveryCore::SkipForObserver(Client& c) {
  // The window: as far behind as any client may be before it holds the
  // producer back. An observer never pins more of the log than that.
  uint64_t to = c.cursor;
  while (to < end_ &&
         (end_ - to >= limits_.hold_back || bytes_total_ - BytesBefore(to) > limits_.client_bytes_max / 2)) {
    ++to;
  }
  if (to == c.cursor) return;
  c.missed_unsaid += to - c.cursor;
  c.cursor = to;
}

void DeliveryCore::Acknowledge(Client& c, uint64_t sequence) {
  if (!c.acknowledged) return;
  if (record_log_ != nullptr) {
    // Only what was sent can be acknowledged.
    const uint64_t upto = std::min(sequence, c.log_next - 1);
    if (upto <= acked_sequence_) return;
    acked_sequence_ = upto;
    FollowAcknowledged();
    return;
  }
  // Only what was sent can be acknowledged: the records from ack_cursor_
  // up to the client's cursor whose sequence is at most `sequence` (the
  // numbers rise, with gaps where payloads were refused).
  uint64_t low = ack_cursor_;
  uint64_t high = c.cursor;
  while (low < high) {
    const uint64_t mid = low + (high - low) / 2;
    if (At(mid).sequence <= sequence) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low <= ack_cursor_) return;
  ack_cursor_ = low;
  if (ack_overflowing_ && end_ - ack_cursor_ <= limits_.client_records_max / 2 &&
      bytes_total_ - BytesBefore(ack_cursor_) <= limits_.client_bytes_max / 2) {
    ack_overflowing_ = false;
  }
}

bool DeliveryCore::Introducing(ClientId id) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Client* c = Find(id);
  return c != nullptr && !c->retired && c->introducing;
}

void DeliveryCore::Promote(ClientId id, int64_t now) {
  std::lock_guard<std::mutex> guard(mutex_);
  Client* c = Find(id);
  if (c == nullptr || c->retired || !c->introducing) return;
  c->introducing = false;
  c->progress_at = now;
}

size_t DeliveryCore::Collect(ClientId id, int64_t now, OutRecord* out, size_t max) {
  std::unique_lock<std::mutex> lock(mutex_);
  Client* c = Find(id);
  if (c == nullptr || !CanTake(*c)) return 0;
  if (c->observer) {
    SkipForObserver(*c);
    c->collected_at = c->cursor;
    c->missed_out = 0;
    if (c->missed_unsaid > 0 && max > 0) {
      // What it missed comes before what it is sent next, in a record of
      // its own that no other client sees.
      c->missed_out = static_cast<uint32_t>(std::min<uint64_t>(c->missed_unsaid, UINT32_MAX));
      FillHeader(out, KAVROD_RECORD_MISSED, c->missed_out);
      out->header_size = KAVROD_HEADER_SIZE;
      out->payload = nullptr;
      out->length = 0;
      ++out;
      --max;
    }
  } else if (backlog_) {
    // The acknowledged client starts where the acknowledgements stand,
    // which takes in the backlog.
    if (!c->acknowledged) c->cursor = backlog_begin_;
    c->progress_at = now;
    backlog_ = false;
  }
  if (record_log_ != nullptr && c->acknowledged) {
    // A few rounds at most: each either sends or moves the client on.
    bool in_memory = false;
    for (int round = 0; round < 4 && !in_memory; ++round) {
      if (c->log_next <= acked_sequence_) c->log_next = acked_sequence_ + 1;
      if (c->log_next >= MemoryFirstSequence()) {
        in_memory = true;
        break;
      }
      const size_t n = CollectFromLog(lock, c, id, out, max);
      if (n > 0 || c == nullptr) return n;
    }
    if (!in_memory) {
      ++work_;
      return 0;
    }
    c->cursor = IndexAfter(base_, c->log_next - 1);
  }
  uint64_t n = std::min<uint64_t>(end_ - c->cursor, max);
  if (c->credit_mode && !stopping_) n = std::min(n, c->credit);
  const uint64_t id_field = RecordId();
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t seq = c->cursor + i;
    const Record& r = At(seq);
    OutRecord& o = out[i];
    if (c->acknowledged) {
      FillHeader(&o, r.kind == KAVROD_RECORD_PAYLOAD ? KAVROD_RECORD_PAYLOAD_ID : KAVROD_RECORD_LINK_EVENT_ID, r.value);
      PutLe64(o.header + 8, id_field);
      PutLe64(o.header + 16, r.sequence);
      o.header_size = KAVROD_ID_HEADER_SIZE;
    } else {
      FillHeader(&o, r.kind, r.value);
      o.header_size = KAVROD_HEADER_SIZE;
    }
    o.payload = r.payload;
    o.length = r.length;
  }
  c->in_flight = n > 0;
  c->batch_from_log = false;
  c->batch_from = c->cursor;
  return static_cast<size_t>(n) + (c->missed_out > 0 ? 1 : 0);
}

size_t DeliveryCore::CollectFromLog(std::unique_lock<std::mutex>& lock, Client*& c, ClientId id, OutRecord* out,
                                    size_t max) {
  const uint64_t from = c->log_next;
  const uint64_t limit = MemoryFirstSequence();
  size_t want = max;
  if (c->credit_mode && !stopping_) want = static_cast<size_t>(std::min<uint64_t>(want, c->credit));
  if (want == 0) return 0;
  // The batch and the reading belong to the service thread; the producer
  // goes on meanwhile.
  c->in_flight = true;
  c->batch_from_log = true;
  lock.unlock();
  from_log_.clear();
  uint64_t next = 0;
  record_log_->Read(from, limit, want, &from_log_, &next);
  lock.lock();
  c = Find(id);
  if (c == nullptr || !CanTake(*c)) {
    c = nullptr;
    return 0;
  }
  c->in_flight = false;
  if (c->log_next != from) return 0;
  if (from_log_.empty()) {
    // Nothing left below the memory window: what is missing there was
    // dropped by the log's bound or never reached it, and is counted.
    c->log_next = std::max(c->log_next, next);
    return 0;
  }
  for (size_t i = 0; i < from_log_.size(); ++i) {
    const LoggedRecord& r = from_log_[i];
    OutRecord& o = out[i];
    uint32_t kind = r.kind == KAVROD_RECORD_PAYLOAD ? KAVROD_RECORD_PAYLOAD_ID : KAVROD_RECORD_LINK_EVENT_ID;
    if (r.sequence < first_of_start_) kind |= KAVROD_RECORD_AGAIN;
    FillHeader(&o, kind, r.value);
    PutLe64(o.header + 8, r.log_id);
    PutLe64(o.header + 16, r.sequence);
    o.header_size = KAVROD_ID_HEADER_SIZE;
    o.payload = r.payload.data();
    o.length = static_cast<uint32_t>(r.payload.size());
  }
  c->in_flight = true;
  c->batch_from_log = true;
  c->cursor = base_;
  return from_log_.size();
}

uint64_t DeliveryCore::LogRecord(uint32_t kind, uint32_t value, const void* payload, uint32_t length, bool* logged) {
  *logged = false;
  if (record_log_ == nullptr) return 0;
  const RecordLog::Appended a = record_log_->Append(next_sequence_, kind, value, payload, length);
  NotLogged(a.unwritten);
  if (a.dropped > 0) {
    // The log's bound took the oldest unacknowledged records.
    records_lost_ += a.dropped;
    if (a.floor - 1 > acked_sequence_) {
      acked_sequence_ = a.floor - 1;
      FollowAcknowledged();
    }
    NoteProgress();
  }
  if (!a.written) {
    ++records_not_logged_;
    return 0;
  }
  *logged = true;
  return a.ticket;
}

void DeliveryCore::NotLogged(const RecordLog::Unwritten& unwritten) {
  if (unwritten.from == 0) return;
  for (uint64_t i = IndexAfter(base_, unwritten.from - 1); i < end_; ++i) {
    Record& r = log_[static_cast<size_t>(i - base_)];
    if (r.sequence > unwritten.to) break;
    if (!r.logged) continue;
    r.logged = false;
    ++records_not_logged_;
  }
}

bool DeliveryCore::LogNearlyFull() const {
  return record_log_ != nullptr && record_log_->Bytes() > record_log_->MaxBytes() - record_log_->MaxBytes() / 8;
}

void DeliveryCore::AttachLog(RecordLog* log) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (record_log_ != nullptr || base_ != end_) return;
  record_log_ = log;
  ack_mode_ = true;
  // This start goes on where the log stands.
  next_sequence_ = log->NextSequence();
  first_of_start_ = log->FirstSequenceOfStart();
  acked_sequence_ = log->Acknowledged();
  mem_floor_ = base_;
  ack_cursor_ = end_;
  backlog_ = false;
}

uint64_t DeliveryCore::IndexAfter(uint64_t from, uint64_t sequence) const {
  uint64_t low = std::max(from, base_);
  uint64_t high = end_;
  while (low < high) {
    const uint64_t mid = low + (high - low) / 2;
    if (At(mid).sequence <= sequence) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return low;
}

void DeliveryCore::FollowAcknowledged() {
  ack_cursor_ = IndexAfter(ack_cursor_, acked_sequence_);
  ack_overflowing_ = false;
  NoteProgress();
}

uint64_t DeliveryCore::Commit(ClientId id, size_t sent, int64_t now) {
  bool notify = false;
  uint64_t work;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    work = work_;
    Client* c = Find(id);
    if (c == nullptr) return work;
    const bool from_log = c->in_flight && c->batch_from_log;
    c->in_flight = false;
    c->batch_from_log = false;
    if (c->observer && sent > 0) {
      if (c->missed_out > 0) {
        c->missed_unsaid -= c->missed_out;
        c->missed_out = 0;
        --sent;
      }
      // A producer moved it on past what was collected (its socket was
      // full): those records count as missed already.
      if (c->cursor != c->collected_at) sent = 0;
      c->collected_at = c->cursor + sent;
    }
    if (sent == 0) return work;
    if (from_log) {
      c->log_next = std::max(c->log_next, from_log_[sent - 1].sequence + 1);
      // A batch from the log may end short of what is there: the service
      // thread must come again rather than sleep.
      work = ++work_;
    } else {
      c->cursor += sent;
      if (record_log_ != nullptr && c->acknowledged) c->log_next = At(c->cursor - 1).sequence + 1;
    }
    c->taken = true;
    c->credit -= std::min<uint64_t>(c->credit, sent);
    c->progress_at = now;
    if (c->cursor == end_) c->holding = false;
    NoteProgress();
    notify = std::exchange(notify_, false);
  }
  if (notify) room_.notify_all();
  return work;
}

void DeliveryCore::SetBlocked(ClientId id, bool blocked) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (Client* c = Find(id)) c->blocked = blocked;
}

void DeliveryCore::Hangup(ClientId id, const char* reason) {
  bool notify = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    Client* c = Find(id);
    if (c == nullptr) return;
    Retire(*c, reason, {}, Loss::kNone);
    notify = std::exchange(notify_, false);
  }
  if (notify) room_.notify_all();
}

bool DeliveryCore::Retired(ClientId id) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Client* c = Find(id);
  return c == nullptr || c->retired;
}

void DeliveryCore::Release(ClientId id) {
  std::lock_guard<std::mutex> guard(mutex_);
  for (auto it = clients_.begin(); it != clients_.end(); ++it) {
    if (it->id != id) continue;
    if (!it->retired) {
      --live_;
      if (it->observer) --observers_;
    }
    clients_.erase(it);
    return;
  }
}

size_t DeliveryCore::PopDone(void** blocks, size_t max, uint64_t keep_records, uint64_t keep_bytes) {
  // Retired clients that are not yet released still count: a server may have
  // a write of theirs in flight.
  uint64_t low = end_;
  for (const Client& c : clients_) {
    // With the record log the acknowledged client holds in memory only
    // what it is sending; it reads the rest back from the log.
    if (record_log_ != nullptr && c.acknowledged && !c.in_flight) continue;
    low = std::min(low, c.cursor);
  }
  if (backlog_) low = std::min(low, backlog_begin_);
  if (ack_mode_) low = std::min(low, record_log_ != nullptr ? std::max(ack_cursor_, mem_floor_) : ack_cursor_);
  size_t n = 0;
  while (base_ < low && n < max &&
         (low - base_ > keep_records || BytesBefore(low) - log_.front().bytes_before > keep_bytes)) {
    if (log_.front().payload != nullptr) blocks[n++] = log_.front().payload;
    log_.pop_front();
    ++base_;
  }
  return n;
}

void DeliveryCore::Reap(std::vector<void*>* to_free, std::vector<std::string>* notices, uint64_t keep_records,
                        uint64_t keep_bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  void* blocks[64];
  for (size_t n; (n = PopDone(blocks, 64, keep_records, keep_bytes)) > 0;) {
    to_free->insert(to_free->end(), blocks, blocks + n);
  }
  for (auto& line : notices_) notices->push_back(std::move(line));
  notices_.clear();
}

bool DeliveryCore::Stopping() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return stopping_;
}

bool DeliveryCore::Flushed() const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (backlog_ && Takers() > 0) return false;
  for (const Client& c : clients_) {
    if (!c.retired && c.cursor != end_) return false;
  }
  return true;
}

uint64_t DeliveryCore::Pending(ClientId id) const {
  std::lock_guard<std::mutex> guard(mutex_);
  const Client* c = Find(id);
  if (c == nullptr || c->retired) return 0;
  uint64_t begin = c->cursor;
  if (backlog_ && backlog_begin_ < begin) begin = backlog_begin_;
  return end_ - begin;
}

DeliveryCore::Turn DeliveryCore::BeginTurn() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return Turn{work_, stopping_, retired_count_};
}

uint64_t DeliveryCore::Work() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return work_;
}

bool DeliveryCore::PrepareSleep(uint64_t seen) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (work_ != seen) return false;
  sleeping_ = true;
  return true;
}

void DeliveryCore::Awake() {
  std::lock_guard<std::mutex> guard(mutex_);
  sleeping_ = false;
}

}  // namespace kavrod
