// The client side of the link driver's Unix sockets (the control socket and
// the library's record socket), shared by the Linux clients.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace kavro::tools {

// RUN_DIR/name, however many slashes the run directory ends with.
inline std::string SocketPath(std::string runDir, const char* name) {
  while (runDir.size() > 1 && runDir.back() == '/') runDir.pop_back();
  return runDir + "/" + name;
}

// A SOCK_SEQPACKET connection to `path`; -1 with errno set when nothing
// listens there (ENAMETOOLONG: the path does not fit a Unix socket address).
inline int ConnectSeqpacket(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

}  // namespace kavro::tools
