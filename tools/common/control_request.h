// One request to kavro's control socket and its answer, for the Linux
// clients that must never stop on an unreachable kavro (kavroctl exits
// instead).
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "../kavroctl/ctl_protocol.h"
#include "unix_socket.h"

namespace kavro::tools {

// The answer's bytes, or null with `error` saying why (kavro not running,
// no answer within `timeoutMs` milliseconds).
inline std::optional<std::vector<uint8_t>> ControlRequest(const std::string& runDir, uint32_t message, uint32_t word,
                                                          const std::vector<uint8_t>& data, std::string& error,
                                                          int timeoutMs = 3000) {
  const std::string path = SocketPath(runDir, ctl::CONTROL_SOCKET_NAME);
  const int fd = ConnectSeqpacket(path);
  if (fd < 0) {
    error = "no kavro is running on " + runDir + " (" + std::strerror(errno) + ")";
    return std::nullopt;
  }
  timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  const auto packet = ctl::BuildRequest(message, word, data);
  std::vector<uint8_t> answer(4096);
  ssize_t n = send(fd, packet.data(), packet.size(), MSG_NOSIGNAL);
  if (n >= 0) {
    do {
      n = recv(fd, answer.data(), answer.size(), 0);
    } while (n < 0 && errno == EINTR);
  }
  const int saved = errno;
  close(fd);
  if (n <= 0) {
    error = n == 0 ? "kavro closed the connection without an answer"
                   : std::string("no answer from kavro: ") + std::strerror(saved);
    return std::nullopt;
  }
  answer.resize(static_cast<size_t>(n));
  return answer;
}

}  // namespace kavro::tools
