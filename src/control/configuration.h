// The configuration loader: fills LinkConfig once, at start, from the
// registry.
#pragma once

#include <set>
#include <string>

#include "core/link_config.h"

namespace kavro {

namespace platform {
class Registry;
}
class TraceLog;

class Configuration {
 public:
  Configuration(platform::Registry& registry, TraceLog& trace) : registry_(registry), trace_(trace) {}

  // `linkOverride`: the link the command line names, if any. A TCP link
  // named there takes the file's TCP values (address, port, keepalive) even
  // when the file's own "Link" is of another kind, so that one file serves
  // kavro@COM1 and kavro@TCP alike.
  int LoadConfiguration(LinkConfig& config, const char* linkOverride = nullptr);
  int SetDefaultConfiguration(LinkConfig& config);
  bool IsUsbEnabled();
  // The names of the values the last load took from the file; the others
  // are defaults (absent, or of a type or size the load refused).
  const std::set<std::string>& TakenFromFile() const { return taken_; }

 private:
  platform::Registry& registry_;
  TraceLog& trace_;
  std::set<std::string> taken_;
};

}  // namespace kavro
