#include "record_queue.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace kavrod32 {

namespace {

void PutLe32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
  out[2] = static_cast<uint8_t>(value >> 16);
  out[3] = static_cast<uint8_t>(value >> 24);
}

}  // namespace

RecordRef MakeRecord(uint32_t kind, uint32_t value, const void* bytes, uint32_t length) {
  try {
    auto record = std::make_shared<Record>();
    record->message.resize(RECORD_HEADER_SIZE + length);
    PutLe32(record->message.data(), kind);
    PutLe32(record->message.data() + 4, value);
    if (length > 0) std::memcpy(record->message.data() + RECORD_HEADER_SIZE, bytes, length);
    return record;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

bool RecordQueue::Enqueue(const RecordRef& record, bool isPayload) {
  if (clients_.empty()) {
    if (isPayload && backlog_.size() >= BACKLOG_MAX) return false;
    backlog_.push_back(record);
    return true;
  }
  std::vector<unsigned> behind;
  for (auto& [id, client] : clients_) {
    client.queue.push_back(record);
    client.bytes += record->message.size();
    if (client.queue.size() > CLIENT_QUEUE_MAX || client.bytes > CLIENT_BYTES_MAX) behind.push_back(id);
  }
  for (unsigned id : behind) Drop(id, "cannot keep up");
  return true;
}

unsigned RecordQueue::AddClient() {
  const unsigned id = ++lastId_;
  Client& client = clients_[id];
  if (clients_.size() == 1) {
    client.queue.swap(backlog_);
    for (const auto& record : client.queue) client.bytes += record->message.size();
  }
  return id;
}

void RecordQueue::Retire(unsigned id) {
  auto it = clients_.find(id);
  if (it == clients_.end()) return;
  Client client = std::move(it->second);
  clients_.erase(it);
  if (!clients_.empty()) return;
  // The last client's unsent records are older than anything in the
  // backlog (which is empty while a client is connected): they go first.
  const size_t room = BACKLOG_MAX > backlog_.size() ? BACKLOG_MAX - backlog_.size() : 0;
  const size_t keep = std::min(client.queue.size(), room);
  if (client.queue.size() > keep) {
    notes_.push_back(std::to_string(client.queue.size() - keep) + " records for client " + std::to_string(id) +
                     " lost: backlog full");
  }
  backlog_.insert(backlog_.begin(), client.queue.begin(), client.queue.begin() + static_cast<long>(keep));
}

void RecordQueue::RemoveClient(unsigned id) { Retire(id); }

void RecordQueue::Drop(unsigned id, const std::string& reason) {
  if (!HasClient(id)) return;
  dropped_.emplace_back(id, reason);
  Retire(id);
}

RecordRef RecordQueue::Front(unsigned id) const {
  auto it = clients_.find(id);
  if (it == clients_.end() || it->second.queue.empty()) return nullptr;
  return it->second.queue.front();
}

void RecordQueue::Pop(unsigned id) {
  auto it = clients_.find(id);
  if (it == clients_.end() || it->second.queue.empty()) return;
  it->second.bytes -= it->second.queue.front()->message.size();
  it->second.queue.pop_front();
}

bool RecordQueue::AllSent() const {
  return std::all_of(clients_.begin(), clients_.end(), [](const auto& c) { return c.second.queue.empty(); });
}

std::vector<std::pair<unsigned, std::string>> RecordQueue::TakeDropped() {
  std::vector<std::pair<unsigned, std::string>> out;
  out.swap(dropped_);
  return out;
}

std::vector<std::string> RecordQueue::TakeNotes() {
  std::vector<std::string> out;
  out.swap(notes_);
  return out;
}

}  // namespace kavrod32
