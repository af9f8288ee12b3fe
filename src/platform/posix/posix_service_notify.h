// Tells systemd how the link stands when kavro runs as a notify-type service.
#pragma once

#include <string>

namespace kavro::platform {

// Sends `state` ("READY=1", "STATUS=...", newline-separated) to the socket
// that systemd names in NOTIFY_SOCKET. Without that variable (kavro started
// by hand or by another supervisor) nothing happens. Never blocks: the
// callers hold the link lock.
void NotifyServiceManager(const std::string& state);

}  // namespace kavro::platform
