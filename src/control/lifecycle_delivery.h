// The companion library as the control program hands it records and
// events, with the lines an administrator needs beside them: the link up,
// the link that could not be set up, and records the library reports lost
// to slow clients. The platform adds what its service manager wants to
// hear through the event hook (systemd's readiness on Linux).
#pragma once

#include <cstdint>
#include <functional>

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
  bool QueryStatus(DeliveryStatus& status) override { return inner_.QueryStatus(status); }

 private:
  void ReportLosses();

  Delivery& inner_;
  platform::LifecycleSink& lifecycle_;
  TraceLog* trace_;
  const char* link_;
  std::function<void(uint32_t)> onEvent_;
  // A link that was up and fails has its end line to say why; "could not
  // be set up" is only for one that never came up.
  bool wasUp_ = false;
  LossWatch losses_;
};

}  // namespace kavro
