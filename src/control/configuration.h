// The configuration loader: fills LinkConfig once, at start, from the
// registry.
#pragma once

#include "core/link_config.h"

namespace kavro {

namespace platform {
class Registry;
}
class TraceLog;

class Configuration {
 public:
  Configuration(platform::Registry& registry, TraceLog& trace) : registry_(registry), trace_(trace) {}

  int LoadConfiguration(LinkConfig& config);
  int SetDefaultConfiguration(LinkConfig& config);
  bool IsUsbEnabled();

 private:
  platform::Registry& registry_;
  TraceLog& trace_;
};

}  // namespace kavro
