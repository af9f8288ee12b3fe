#include "platform/posix/posix_service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace kavro::platform {

// The notification protocol is one datagram on a Unix socket, stable and
// documented by systemd; speaking it directly keeps libsystemd out of the
// build, so that no build of kavro can miss the READY its unit waits for.
void NotifyServiceManager(const std::string& state) {
  const char* path = std::getenv("NOTIFY_SOCKET");
  if (path == nullptr || (path[0] != '/' && path[0] != '@')) return;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) return;
  std::memcpy(address.sun_path, path, length);
  // A leading '@' names a socket in the abstract namespace.
  if (address.sun_path[0] == '@') address.sun_path[0] = '\0';
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  const socklen_t size = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  ssize_t sent = sendto(fd, state.data(), state.size(), MSG_NOSIGNAL | MSG_DONTWAIT,
                        reinterpret_cast<const sockaddr*>(&address), size);
  (void)sent;
  close(fd);
}

}  // namespace kavro::platform
