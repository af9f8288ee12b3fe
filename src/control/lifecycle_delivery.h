// The companion library as the control program hands it records and
// events, with the lines an administrator needs beside them: the link up,
// the link that could not be set up, records the library reports lost to
// slow clients and records it refused (no one could take them), each said
// once per episode. The platform adds what its service manager wants to
// hear through the event hook (systemd's readiness on Linux).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

#include "core/delivery.h"
#include "diag/trace_log.h"
#include "platform/lifecycle_sink.h"

namespace kavro {

class LifecycleDelivery : public Delivery {
 public:
  // `trace` null: the lifecycle sink writes the trace log itself. `link`
  // is LinkConfig's link name, final once the link is opened.
  LifecycleDelivery(Delivery& inner, platform::LifecycleSink& lifecycle, TraceLog* trace, const char* link,
                    std::function<void(uint32_t code)> onEvent = nullptr);

  int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) override;
  void SignalLinkEvent(uint32_t code) override;
  int32_t WaitForRoom(uint32_t timeoutMs) override;
  // The library's counts when it can say them (the result); the records
  // it refused in any case.
  bool QueryStatus(DeliveryStatus& status) override;

  // Records handed over whole in a row that end an episode of losses: the
  // kept records of an absent acknowledged client overflow by one record
  // per record while its successor acknowledges, so a single one does not.
  static constexpr uint64_t LOSS_QUIET_RECORDS = 1024;

 private:
  void ReportLosses();
  void Warn(const std::string& line);
  void EndEpisodes();

  Delivery& inner_;
  platform::LifecycleSink& lifecycle_;
  TraceLog* trace_;
  const char* link_;
  std::function<void(uint32_t)> onEvent_;
  // A link that was up and fails has its end line to say why; "could not
  // be set up" is only for one that never came up.
  bool wasUp_ = false;
  LossWatch losses_;
  std::atomic<uint64_t> notTaken_{0};
  // The receive thread hands records over; the end of the link may come
  // from the main thread.
  std::mutex episodes_;
  LossEpisode lossEpisode_{LOSS_QUIET_RECORDS};
  // A refusal episode ends with the first record taken again.
  LossEpisode refusalEpisode_{1};
  // Either episode is open: written under episodes_, so that a record taken
  // while none is costs no lock (nor the barrier that comes with it).
  std::atomic<bool> anyOpen_{false};
  void NoteOpen() { anyOpen_.store(refusalEpisode_.Open() || lossEpisode_.Open(), std::memory_order_relaxed); }
};

}  // namespace kavro
