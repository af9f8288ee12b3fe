// The PBX end of a TCP link, as an engine without I/O. The link driver is
// the client; every payload travels in a tagged frame (0xC5, 16-bit length),
// and the PBX sends keepalive frames (payload F2 01) that the link driver
// echoes when its keepalive is on. There are no acknowledgements on TCP.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "pbx_engine.h"
#include "pbx_frames.h"

namespace kavro::pbx {

struct TcpOptions {
  int64_t keepaliveMs = 20000;  // 0: no keepalive frames
  uint32_t silentAfter = 0;     // send nothing after N frames sent
  uint32_t garbageAfter = 0;    // one burst of garbage after N frames sent
  uint32_t closeAfter = 0;      // close the connection after N frames sent
  uint32_t patternCount = 0;
  int64_t patternIntervalMs = 100;
  size_t patternLength = 4;
  uint32_t seed = 1;
};

class TcpEngine {
 public:
  explicit TcpEngine(TcpOptions options) : options_(std::move(options)), random_(options_.seed) {}

  // Called once the link driver has connected.
  void Start(int64_t nowMs) {
    started_ = true;
    if (options_.keepaliveMs > 0) keepaliveAt_ = nowMs + options_.keepaliveMs;
    if (options_.patternCount > 0) patternAt_ = nowMs + options_.patternIntervalMs;
  }

  void Receive(const uint8_t* data, size_t count, int64_t /*nowMs*/) {
    decoder_.Feed(data, count);
    while (auto payload = decoder_.Next()) {
      if (!payload->empty() && (*payload)[0] == KEEPALIVE_MARK) {
        ++echoes_;
        events_.push_back(Event{EventKind::KeepaliveEcho, 0, {}, "keepalive echoed", true});
        continue;
      }
      events_.push_back(Event{EventKind::Payload, 0x20, std::move(*payload), "", false});
    }
  }

  void Tick(int64_t nowMs) {
    if (!started_) return;
    if (patternAt_ && nowMs >= *patternAt_) {
      ++patternSent_;
      std::vector<uint8_t> payload(options_.patternLength);
      for (size_t j = 0; j < payload.size(); ++j) payload[j] = static_cast<uint8_t>(patternSent_ + j);
      queue_.push_back(std::move(payload));
      patternAt_ =
          patternSent_ < options_.patternCount ? std::optional(*patternAt_ + options_.patternIntervalMs) : std::nullopt;
    }
    if (keepaliveAt_ && nowMs >= *keepaliveAt_) {
      keepaliveAt_ = nowMs + options_.keepaliveMs;
      SendFrame({KEEPALIVE_MARK, 0x01}, "keepalive sent");
    }
    while (!queue_.empty() && !closeWanted_ && !silent_) {
      std::vector<uint8_t> payload = std::move(queue_.front());
      queue_.pop_front();
      SendFrame(payload, "payload of " + std::to_string(payload.size()) + " bytes sent");
    }
  }

  void Queue(std::vector<uint8_t> payload) { queue_.push_back(std::move(payload)); }

  std::optional<int64_t> NextDeadline() const {
    if (!started_ || closeWanted_ || silent_) return std::nullopt;
    if (!queue_.empty()) return int64_t{0};
    std::optional<int64_t> next = keepaliveAt_;
    if (patternAt_ && (!next || *patternAt_ < *next)) next = patternAt_;
    return next;
  }

  std::vector<std::vector<uint8_t>> TakeOutput() { return std::exchange(output_, {}); }
  std::vector<Event> TakeEvents() { return std::exchange(events_, {}); }

  // --close-after reached: the program closes the connection.
  bool CloseWanted() const { return closeWanted_; }
  uint64_t Echoes() const { return echoes_; }
  uint64_t DiscardedBytes() const { return decoder_.DiscardedBytes(); }

  void Reset() {
    decoder_.Reset();
    started_ = closeWanted_ = silent_ = garbageSent_ = false;
    keepaliveAt_.reset();
    patternAt_.reset();
    patternSent_ = 0;
    framesSent_ = 0;
  }

 private:
  void SendFrame(const std::vector<uint8_t>& payload, const std::string& text) {
    if (silent_ || closeWanted_) return;
    output_.push_back(EncodeSocketFrame(payload));
    ++framesSent_;
    events_.push_back(Event{EventKind::Sent, 0, {}, text, true});
    if (options_.garbageAfter > 0 && framesSent_ == options_.garbageAfter && !garbageSent_) {
      // Garbage never starts with the tag, so the link driver sees an unknown
      // tag and drops what it holds.
      garbageSent_ = true;
      std::uniform_int_distribution<int> value(0, 255);
      std::vector<uint8_t> garbage(8);
      for (auto& b : garbage) b = static_cast<uint8_t>(value(random_));
      if (garbage[0] == SOCKET_TAG) garbage[0] = 0x16;
      output_.push_back(std::move(garbage));
      events_.push_back(Event{EventKind::Noise, 0, {}, "8 bytes of garbage sent (--garbage-after)", false});
    }
    if (options_.closeAfter > 0 && framesSent_ >= options_.closeAfter) {
      closeWanted_ = true;
      events_.push_back(Event{EventKind::Disconnected, 0, {}, "closing the connection (--close-after)", false});
    }
    if (options_.silentAfter > 0 && framesSent_ >= options_.silentAfter && !silent_) {
      silent_ = true;
      events_.push_back(Event{EventKind::Silenced, 0, {}, "silent from now on (--silent-after)", false});
    }
  }

  TcpOptions options_;
  std::mt19937 random_;
  SocketFrameDecoder decoder_;
  std::deque<std::vector<uint8_t>> queue_;
  bool started_ = false;
  bool closeWanted_ = false;
  bool silent_ = false;
  bool garbageSent_ = false;
  std::optional<int64_t> keepaliveAt_;
  std::optional<int64_t> patternAt_;
  uint32_t patternSent_ = 0;
  uint64_t framesSent_ = 0;
  uint64_t echoes_ = 0;
  std::vector<std::vector<uint8_t>> output_;
  std::vector<Event> events_;
};

}  // namespace kavro::pbx
