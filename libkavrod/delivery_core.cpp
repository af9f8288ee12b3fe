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
  if (data == nullptr || size != KAVROD_REQUEST_SIZE) return false;
  const uint32_t code = GetLe32(data);
  if (code != KAVROD_REQUEST_CREDIT) return false;
  request->code = code;
  request->value = GetLe32(data + 4);
  return true;
}

DeliveryCore::DeliveryCore(ServerHooks server, Limits limits) : server_(std::move(server)), limits_(limits) {}

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

void DeliveryCore::Retire(Client& c, const char* reason, const std::string& detail) {
  if (c.retired) return;
  c.retired = true;
  --live_;
  ++retired_count_;
  const uint64_t pending = end_ - c.cursor;
  bool kept = false;
  if (live_ == 0 && !stopping_ && pending > 0) {
    // The last client's unsent records are nobody's yet: they wait for the
    // next client instead of being lost with this one.
    if (!backlog_) {
      backlog_ = true;
      backlog_begin_ = c.cursor;
    }
    kept = true;
  }
  if (reason != nullptr) {
    std::string line = Format("client %llu dropped: ", c.id) + reason + detail;
    if (kept) {
      line += Format("; %llu records not delivered to it wait for the next client", pending);
    } else {
      line += Format("; %llu records lost to it", pending);
    }
    notices_.push_back(std::move(line));
  }
  NoteProgress();
  ++work_;
}

int32_t DeliveryCore::Deliver(uint32_t address, void* payload, uint32_t length) {
  int64_t give_up_at = -1;
  for (;;) {
    Full full;
    switch (TryDeliver(address, payload, length, -1, &full)) {
      case Offer::kTaken: return 1;
      case Offer::kRefused: return -1;
      case Offer::kFull: WaitForRoom(full.epoch, full.retry_at - MonotonicMs()); break;
      case Offer::kAwaitClient: {
        // A client whose connect has returned is as good as connected; but
        // one that the server cannot take in (out of descriptors) is not
        // waited for longer than a stalled client would be.
        const int64_t now = MonotonicMs();
        if (give_up_at < 0) give_up_at = now + limits_.stall_ms;
        if (now >= give_up_at) return -1;
        WaitForRoom(full.epoch, give_up_at - now);
        break;
      }
    }
  }
}

DeliveryCore::Offer DeliveryCore::TryDeliver(uint32_t address, void* payload, uint32_t length, int64_t now,
                                             Full* full) {
  if (payload == nullptr || length > KAVROD_PAYLOAD_MAX) return Offer::kRefused;
  const uint64_t size = KAVROD_HEADER_SIZE + uint64_t{length};
  bool wake = false;
  bool notify = false;
  Offer result = Offer::kTaken;
  // The producer frees what the clients are done with: the blocks were
  // allocated on its thread, and freeing them there hands them straight back
  // to its allocator for the next payloads. Two per record keeps ahead.
  void* done[2];
  size_t done_count = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) return Offer::kRefused;
    const uint64_t work_before = work_;
    const size_t live_before = live_;
    bool is_full = false;
    int64_t retry_at = std::numeric_limits<int64_t>::max();
    for (Client& c : clients_) {
      if (c.retired) continue;
      // Whoever takes records first also takes the backlog, so it counts
      // against every client that might.
      uint64_t begin = c.cursor;
      if (backlog_ && backlog_begin_ < begin) begin = backlog_begin_;
      const uint64_t pending = end_ - begin;
      if (pending == 0) continue;
      if (pending < limits_.client_records_max &&
          bytes_total_ - BytesBefore(begin) + size <= limits_.client_bytes_max) {
        continue;
      }
      // The stall clock runs from the client's last progress, or from when
      // it last had nothing to take, whichever is later.
      const int64_t stall_from = std::max(c.progress_at, c.pending_since);
      if (ReadClock(&now) - stall_from >= limits_.stall_ms) {
        Retire(c, "cannot keep up",
               Format(" (no progress for %llu ms)", static_cast<unsigned long long>(now - stall_from)));
        continue;
      }
      is_full = true;
      retry_at = std::min(retry_at, stall_from + limits_.stall_ms);
      if (!c.holding) {
        // Worth an operator's knowing: the link now runs at this client's
        // pace.
        c.holding = true;
        notices_.push_back(
            Format("client %llu is %llu records behind; holding the link back until it takes more", c.id, pending));
        ++work_;
      }
    }
    if (is_full) {
      full->retry_at = retry_at;
      full->epoch = epoch_;
      result = Offer::kFull;
    } else if (live_ == 0 && backlog_ && end_ - backlog_begin_ >= limits_.backlog_max) {
      result = Offer::kRefused;
      full->epoch = epoch_;
    } else {
      Append(KAVROD_RECORD_PAYLOAD, address, payload, length, &now);
      done_count = PopDone(done, 2);
    }
    // A client dropped here must be closed by the service thread, and what
    // is to be said must be said now.
    if (work_ != work_before && sleeping_ && (WantsWake() || live_ != live_before || !notices_.empty())) {
      sleeping_ = false;
      wake = true;
    }
    notify = std::exchange(notify_, false);
  }
  for (size_t i = 0; i < done_count; ++i) std::free(done[i]);
  if (notify) room_.notify_all();
  if (wake) server_.wake();
  // Only a refusal for want of a client costs the question, which the
  // server answers with a system call, outside the lock.
  if (result == Offer::kRefused && server_.client_waiting()) return Offer::kAwaitClient;
  return result;
}

void DeliveryCore::WaitForRoom(uint64_t epoch, int64_t timeout_ms) {
  if (timeout_ms <= 0) return;
  std::unique_lock<std::mutex> lock(mutex_);
  ++waiters_;
  room_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return epoch_ != epoch || stopping_; });
  --waiters_;
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
  std::lock_guard<std::mutex> guard(mutex_);
  Client* c = Find(id);
  if (c == nullptr || c->retired) return;
  c->credit_mode = true;
  c->introducing = false;
  const uint64_t room = std::numeric_limits<uint64_t>::max() - c->credit;
  c->credit += std::min<uint64_t>(room, request.value);
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
    c->cursor = backlog_begin_;
    c->progress_at = now;
    backlog_ = false;
  }
  uint64_t n = std::min<uint64_t>(end_ - c->cursor, max);
  if (c->credit_mode && !stopping_) n = std::min(n, c->credit);
  for (uint64_t i = 0; i < n; ++i) {
    const Record& r = At(c->cursor + i);
    FillHeader(&out[i], r.kind, r.value);
    out[i].payload = r.payload;
    out[i].length = r.length;
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
    Retire(*c, reason, {});
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

size_t DeliveryCore::PopDone(void** blocks, size_t max) {
  // Retired clients that are not yet released still count: a server may have
  // a write of theirs in flight.
  uint64_t low = end_;
  for (const Client& c : clients_) low = std::min(low, c.cursor);
  if (backlog_) low = std::min(low, backlog_begin_);
  size_t n = 0;
  while (base_ < low && n < max) {
    if (log_.front().payload != nullptr) blocks[n++] = log_.front().payload;
    log_.pop_front();
    ++base_;
  }
  return n;
}

void DeliveryCore::Reap(std::vector<void*>* to_free, std::vector<std::string>* notices) {
  std::lock_guard<std::mutex> guard(mutex_);
  void* blocks[64];
  for (size_t n; (n = PopDone(blocks, 64)) > 0;) to_free->insert(to_free->end(), blocks, blocks + n);
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
