// The bridge's panel: kavro-mqtt's retained status read from the broker.
#pragma once

#include <string>

#include "monitor.h"
#include "settings.h"

namespace kavro::web {

// Starts watching when a broker is configured; false with `error` when the
// settings cannot work (no libmosquitto in this build, a bad URL, the
// password file).
bool StartBrokerWatch(const Settings& settings, Monitor& monitor, std::string& error);
void StopBrokerWatch();

}  // namespace kavro::web
