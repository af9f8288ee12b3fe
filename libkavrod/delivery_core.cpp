#include "delivery_core.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
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

namespace {

// Unique per start: the realtime clock in nanoseconds, stirred with a
// random number so that two starts in the same tick still differ.
uint64_t NewStartId() {
  uint64_t x = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
          .count());
  try {
    std::random_device random;
    x ^= uint64_t{random()} << 32 | random();
  } catch (...) {}
  // splitmix64's finaliser.
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  x ^= x >> 31;
  return x != 0 ? x : 1;
}

}  // namespace

DeliveryCore::DeliveryCore(ServerHooks server, Limits limits)
    : server_(std::move(server)), limits_(limits), start_id_(NewStartId()) {}

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

void DeliveryCore::Append(uint32_t kind, uint32_t value, void* payload, uint32_t length, int64_t* clock) {
  // The clock is read only when a client's stall clock starts: once per
  // burst rather than once per record.
  for (Client& c : clients_) {
    if (!c.retired && c.cursor == end_) c.pending_since = ReadClock(clock);
  }
  log_.push_back(Record{kind, value, payload, length, bytes_total_});
  bytes_total_ += KAVROD_HEADER_SIZE + length;
  if (live_ == 0 && !backlog_) {
    backlog_ = true;
    backlog_begin_ = end_;
  }
  ++end_;
  ++work_;
}

void DeliveryCore::Retire(Client& c, const char* reason, const std::string& detail, Loss loss) {
  if (c.retired) return;
  c.retired = true;
  --live_;
  ++retired_count_;
  const uint64_t pending = end_ - c.cursor;
  // The acknowledged client's records stay for its successor.
  const bool for_successor = c.acknowledged;
  bool kept = false;
  if (live_ == 0 && !stopping_ && pending > 0 && loss == Loss::kNone) {
    // The last client's unsent records are nobody's yet: they wait for the
    // next client instead of being lost with this one.
    if (!backlog_) {
      backlog_ = true;
      backlog_begin_ = c.cursor;
    }
    kept = true;
  }
  if (loss == Loss::kCounted && !for_successor) records_lost_ += pending;
  if (reason != nullptr) {
    std::string line = Format("client %llu dropped: ", c.id) + reason + detail;
    if (for_successor) {
      line += "; its unacknowledged records wait for the next acknowledged client";
    } else if (kept) {
      line += Format("; %llu records not delivered to it wait for the next client", pending);
    } else {
      line += Format("; %llu records lost to it", pending);
    }
    notices_.push_back(std::move(line));
  }
  NoteProgress();
  ++work_;
}

void DeliveryCore::MakeRoom(uint64_t size) {
  // While the whole log fits, nobody is beyond the buffer: the common case
  // costs no look at any client's (cold) record.
  if (end_ - base_ < limits_.client_records_max &&
      bytes_total_ - (base_ == end_ ? bytes_total_ : log_.front().bytes_before) + size <= limits_.client_bytes_max) {
    return;
  }
  for (Client& c : clients_) {
    if (c.retired) continue;
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
  for (Client& c : clients_) {
    if (c.acknowledged && c.cursor < ack_cursor_) c.cursor = ack_cursor_;
  }
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

int32_t DeliveryCore::Deliver(uint32_t address, void* payload, uint32_t length, int64_t now) {
  if (payload == nullptr || length > KAVROD_PAYLOAD_MAX) return -1;
  const uint64_t size = KAVROD_HEADER_SIZE + uint64_t{length};
  bool refused = false;
  bool lost = false;
  After after;
  // The producer frees what the clients are done with: the blocks were
  // allocated on its thread, and freeing them there hands them straight back
  // to its allocator for the next payloads. Two per record keeps ahead.
  void* done[2];
  size_t done_count = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return -1;
    const uint64_t work_before = work_;
    const size_t live_before = live_;
    const uint64_t lost_before = records_lost_;
    MakeRoom(size);
    lost = records_lost_ != lost_before;
    if (live_ == 0 && backlog_ && end_ - backlog_begin_ >= limits_.backlog_max) {
      if (ack_mode_) {
        // Everything is kept for the acknowledged client anyway; a plain
        // newcomer gets the latest of it.
        ++backlog_begin_;
      } else {
        refused = true;
      }
    }
    if (!refused) {
      Append(KAVROD_RECORD_PAYLOAD, address, payload, length, &now);
      done_count = PopDone(done, 2);
    }
    after = Settle(work_before, live_before);
  }
  for (size_t i = 0; i < done_count; ++i) std::free(done[i]);
  Finish(after);
  if (!refused) return lost ? 2 : 1;
  // A client whose connect has returned is as good as connected: the
  // backlog may grow for it, as far as the deep buffer. Asking costs a
  // system call, so only a refusal asks; and a client taken in since the
  // refusal takes the record as well.
  const bool waiting = server_.client_waiting();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return -1;
    if (live_ == 0 && (!waiting || (backlog_ && end_ - backlog_begin_ >= limits_.client_records_max))) return -1;
    Append(KAVROD_RECORD_PAYLOAD, address, payload, length, &now);
  }
  return 1;
}

bool DeliveryCore::Room(int64_t now, int64_t* retry_at) {
  bool room = true;
  *retry_at = std::numeric_limits<int64_t>::max();
  for (Client& c : clients_) {
    if (c.retired) continue;
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
  std::unique_lock<std::mutex> lock(mutex_);
  // While the whole log is within the hold-back nobody is behind: the
  // common case, asked before every read of the socket, costs one lock.
  if (end_ - base_ <= limits_.hold_back &&
      bytes_total_ - (base_ == end_ ? bytes_total_ : log_.front().bytes_before) <= limits_.client_bytes_max / 2) {
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
  return s;
}

bool DeliveryCore::FillStatus(KavrodStatus* out) const {
  if (out == nullptr || out->size < sizeof(KavrodStatus)) return false;
  const Status s = QueryStatus();
  out->size = sizeof(KavrodStatus);
  out->clients = s.clients;
  out->acknowledged_clients = s.acknowledged_clients;
  out->flags = 0;
  out->records_lost = s.records_lost;
  out->records_unacknowledged = s.records_unacknowledged;
  return true;
}

void DeliveryCore::Signal(uint32_t code, int64_t now) {
  bool wake = false;
  bool notify = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return;
    Append(KAVROD_RECORD_LINK_EVENT, code, nullptr, 0, &now);
    link_up_ = code == KAVROD_EVENT_ESTABLISHED;
    if (code == KAVROD_EVENT_SHUTDOWN) {
      stopping_ = true;
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

void DeliveryCore::Request(ClientId id, const uint8_t* data, size_t size) {
  ClientRequest request;
  if (!ParseClientRequest(data, size, &request)) return;
  After after;
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
      case KAVROD_REQUEST_ACKNOWLEDGED: BecomeAcknowledged(*c); break;
      case KAVROD_REQUEST_ACK: Acknowledge(*c, request.sequence); break;
    }
    after = Settle(work_before, live_before);
  }
  Finish(after);
}

void DeliveryCore::BecomeAcknowledged(Client& c) {
  if (c.acknowledged) return;
  // Asked for before the first record: a client already sent records
  // cannot turn into one that is sent them again.
  if (c.taken) return;
  for (const Client& other : clients_) {
    if (!other.retired && other.acknowledged) {
      Retire(c, "an acknowledged client is connected already", {}, Loss::kNone);
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
  c.acknowledged = true;
  c.introducing = false;
}

void DeliveryCore::Acknowledge(Client& c, uint64_t sequence) {
  if (!c.acknowledged) return;
  // Sequence numbers count from 1: record n of the log is sequence n + 1.
  // Only what was sent can be acknowledged.
  const uint64_t upto = std::min(sequence, c.cursor);
  if (upto <= ack_cursor_) return;
  ack_cursor_ = upto;
  ack_overflowing_ = false;
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
  std::lock_guard<std::mutex> guard(mutex_);
  Client* c = Find(id);
  if (c == nullptr || !CanTake(*c)) return 0;
  if (backlog_) {
    // The acknowledged client starts where the acknowledgements stand,
    // which takes in the backlog.
    if (!c->acknowledged) c->cursor = backlog_begin_;
    c->progress_at = now;
    backlog_ = false;
  }
  uint64_t n = std::min<uint64_t>(end_ - c->cursor, max);
  if (c->credit_mode && !stopping_) n = std::min(n, c->credit);
  for (uint64_t i = 0; i < n; ++i) {
    const uint64_t seq = c->cursor + i;
    const Record& r = At(seq);
    OutRecord& o = out[i];
    if (c->acknowledged) {
      FillHeader(&o, r.kind == KAVROD_RECORD_PAYLOAD ? KAVROD_RECORD_PAYLOAD_ID : KAVROD_RECORD_LINK_EVENT_ID, r.value);
      PutLe64(o.header + 8, start_id_);
      PutLe64(o.header + 16, seq + 1);
      o.header_size = KAVROD_ID_HEADER_SIZE;
    } else {
      FillHeader(&o, r.kind, r.value);
      o.header_size = KAVROD_HEADER_SIZE;
    }
    o.payload = r.payload;
    o.length = r.length;
  }
  return static_cast<size_t>(n);
}

uint64_t DeliveryCore::Commit(ClientId id, size_t sent, int64_t now) {
  bool notify = false;
  uint64_t work;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    work = work_;
    Client* c = Find(id);
    if (c == nullptr || sent == 0) return work;
    c->cursor += sent;
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
    if (!it->retired) --live_;
    clients_.erase(it);
    return;
  }
}

size_t DeliveryCore::PopDone(void** blocks, size_t max, uint64_t keep_records, uint64_t keep_bytes) {
  // Retired clients that are not yet released still count: a server may have
  // a write of theirs in flight.
  uint64_t low = end_;
  for (const Client& c : clients_) low = std::min(low, c.cursor);
  if (backlog_) low = std::min(low, backlog_begin_);
  if (ack_mode_) low = std::min(low, ack_cursor_);
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
  if (backlog_ && live_ > 0) return false;
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
