#include "control/lifecycle_delivery.h"

#include <string>
#include <utility>

namespace kavro {

LifecycleDelivery::LifecycleDelivery(Delivery& inner, platform::LifecycleSink& lifecycle, TraceLog* trace,
                                     const char* link, std::function<void(uint32_t)> onEvent)
    : inner_(inner), lifecycle_(lifecycle), trace_(trace), link_(link), onEvent_(std::move(onEvent)) {}

int32_t LifecycleDelivery::DeliverPayload(uint32_t address, void* payload, uint32_t length) {
  const int32_t result = inner_.DeliverPayload(address, payload, length);
  // Taken (1) or refused (-1): nothing lost meanwhile. The default library
  // says 2 when a client was dropped; any other answer is worth a look.
  if (result != 1 && result != KAVRO_QUEUE_ERROR) ReportLosses();
  return result;
}

void LifecycleDelivery::SignalLinkEvent(uint32_t code) {
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
  const uint64_t lost = losses_.NewlyLost(inner_);
  if (lost == 0) return;
  const std::string line = std::to_string(lost) + " records lost to slow clients (" + std::to_string(losses_.Seen()) +
                           " since the start); see the library's line before";
  if (trace_ != nullptr) trace_->TraceMessage(LOG_WARNING, "%s", line.c_str());
  lifecycle_.Notice(platform::NoticeLevel::Warning, line);
}

}  // namespace kavro
