#include "control/lifecycle_delivery.h"

#include <string>
#include <utility>

namespace kavro {

LifecycleDelivery::LifecycleDelivery(Delivery& inner, platform::LifecycleSink& lifecycle, TraceLog* trace,
                                     const char* link, std::function<void(uint32_t)> onEvent)
    : inner_(inner), lifecycle_(lifecycle), trace_(trace), link_(link), onEvent_(std::move(onEvent)) {}

int32_t LifecycleDelivery::DeliverPayload(uint32_t address, void* payload, uint32_t length) {
  const int32_t result = inner_.DeliverPayload(address, payload, length);
  if (result == 1 && !anyOpen_.load(std::memory_order_relaxed)) return result;
  if (result == KAVRO_QUEUE_ERROR) {
    const uint64_t total = ++notTaken_;
    std::lock_guard lock(episodes_);
    if (refusalEpisode_.Lost(1)) {
      Warn("a record no one could take: the companion library refused it (no client, its backlog full, or a "
           "bound reached); the next ones are counted until it takes one again (" +
           std::to_string(total) + " since the start)");
    }
    NoteOpen();
    return result;
  }
  {
    std::lock_guard lock(episodes_);
    if (const uint64_t more = refusalEpisode_.Whole()) {
      Warn(std::to_string(more) + " more records no one could take (" + std::to_string(notTaken_.load()) +
           " since the start)");
    }
    NoteOpen();
  }
  // Taken (1): nothing lost meanwhile. The default library says 2 when
  // records were lost; any other answer is worth a look.
  if (result != 1) {
    ReportLosses();
  } else {
    std::lock_guard lock(episodes_);
    if (const uint64_t more = lossEpisode_.Whole()) {
      Warn(std::to_string(more) + " more records lost to slow clients (" + std::to_string(losses_.Seen()) +
           " since the start)");
    }
    NoteOpen();
  }
  return result;
}

bool LifecycleDelivery::QueryStatus(DeliveryStatus& status) {
  const bool known = inner_.QueryStatus(status);
  status.RecordsNotTaken = notTaken_.load();
  return known;
}

void LifecycleDelivery::SignalLinkEvent(uint32_t code) {
  // Last word on an episode still open, before the process ends.
  if (code == LINK_EVENT_SHUTDOWN) EndEpisodes();
  inner_.SignalLinkEvent(code);
  if (code == LINK_EVENT_ESTABLISHED) {
    wasUp_ = true;
    lifecycle_.LinkUp();
    lifecycle_.Notice(platform::NoticeLevel::Info, std::string("link ") + link_ + " established");
  } else if (code == LINK_EVENT_FAILED && !wasUp_) {
    lifecycle_.Notice(platform::NoticeLevel::Warning, std::string("link ") + link_ + " could not be set up");
  }
  if (onEvent_) onEvent_(code);
}

int32_t LifecycleDelivery::WaitForRoom(uint32_t timeoutMs) {
  const int32_t room = inner_.WaitForRoom(timeoutMs);
  if (room != 1) ReportLosses();
  return room;
}

// Receive thread: the library drops a client while it is handed a record or
// while the receive thread waits for room. Asked only then, so that a record
// costs no second call.
void LifecycleDelivery::ReportLosses() {
  std::lock_guard lock(episodes_);
  const uint64_t lost = losses_.NewlyLost(inner_);
  const bool starts = lost > 0 && lossEpisode_.Lost(lost);
  NoteOpen();
  if (!starts) return;
  Warn(std::to_string(lost) + " records lost to slow clients (" + std::to_string(losses_.Seen()) +
       " since the start); see the library's line before");
}

void LifecycleDelivery::EndEpisodes() {
  std::lock_guard lock(episodes_);
  if (const uint64_t more = refusalEpisode_.End()) {
    Warn(std::to_string(more) + " more records no one could take (" + std::to_string(notTaken_.load()) +
         " since the start)");
  }
  if (const uint64_t more = lossEpisode_.End()) {
    Warn(std::to_string(more) + " more records lost to slow clients (" + std::to_string(losses_.Seen()) +
         " since the start)");
  }
  NoteOpen();
}

void LifecycleDelivery::Warn(const std::string& line) {
  if (trace_ != nullptr) trace_->TraceMessage(LOG_WARNING, "%s", line.c_str());
  lifecycle_.Notice(platform::NoticeLevel::Warning, line);
}

}  // namespace kavro
