#include "monitor.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <utility>
#include <vector>

#include "../common/control_request.h"
#include "../common/hex_text.h"
#include "../common/unix_socket.h"
#include "../kavroctl/ctl_protocol.h"

namespace kavro::web {

int64_t WallMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

namespace {

// What the page's timeline shows of a link state.
const char* StateClass(uint32_t state) {
  switch (state) {
    case KAVRO_LINK_STATE_ESTABLISHED:
    case KAVRO_LINK_STATE_TIMER_RECOVERY: return "established";
    case KAVRO_LINK_STATE_AWAIT_SERVICE:
    case KAVRO_LINK_STATE_SETUP: return "setting up";
    default: return "down";
  }
}

std::string N(uint64_t v) { return std::to_string(v); }

}  // namespace

Monitor::Monitor(const Settings& settings) : settings_(settings) {
  stateSinceMs_ = WallMs();
  timeline_.push_back({stateSinceMs_, state_});
}

Monitor::~Monitor() { Stop(); }

void Monitor::Start() {
  reader_ = std::thread([this] { ReadRecords(); });
  poller_ = std::thread([this] { PollStatus(); });
}

void Monitor::Stop() {
  {
    std::lock_guard<std::mutex> guard(stopMutex_);
    stopping_ = true;
  }
  stopCv_.notify_all();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    Changed();
  }
  if (reader_.joinable()) reader_.join();
  if (poller_.joinable()) poller_.join();
}

void Monitor::Changed() {
  ++version_;
  changed_.notify_all();
}

void Monitor::EnterState(const std::string& state, int64_t nowMs) {
  const bool first = std::exchange(firstLook_, false);
  if (state == state_) return;
  stateSinceSeen_ = !first;
  state_ = state;
  stateSinceMs_ = nowMs;
  timeline_.push_back({nowMs, state});
  // An hour, with the span that was current an hour ago kept as its start;
  // a flapping link is bounded by count too.
  while (timeline_.size() > 2 && (timeline_[1].fromMs < nowMs - TIMELINE_MS || timeline_.size() > 2000)) {
    timeline_.pop_front();
  }
  ++timelineVersion_;
  Changed();
}

// The observer: connects, asks to be an observer before reading, and reads
// until kavro ends; then tries again, less often the longer kavro is away.
void Monitor::ReadRecords() {
  const std::string path = tools::SocketPath(settings_.runDir, KAVROD_SOCKET_NAME);
  std::vector<uint8_t> buffer(KAVROD_RECORD_MAX + 1);
  int backoffMs = 250;
  std::string said;
  while (!stopping_) {
    const int fd = tools::ConnectSeqpacket(path);
    if (fd < 0) {
      const std::string why = std::strerror(errno);
      if (why != said) {
        std::fprintf(stderr, "<5>kavro-web: cannot reach the library socket %s (%s); trying again\n", path.c_str(),
                     why.c_str());
        said = why;
      }
      std::unique_lock<std::mutex> lock(stopMutex_);
      stopCv_.wait_for(lock, std::chrono::milliseconds(backoffMs), [this] { return stopping_.load(); });
      backoffMs = std::min(backoffMs * 2, 2000);
      continue;
    }
    uint8_t request[KAVROD_REQUEST_SIZE] = {KAVROD_REQUEST_OBSERVER};
    if (send(fd, request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) {
      close(fd);
      continue;
    }
    if (!said.empty()) std::fprintf(stderr, "<6>kavro-web: observing link %s again\n", settings_.link.c_str());
    said.clear();
    backoffMs = 250;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      observing_ = true;
      Changed();
    }
    while (!stopping_) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, 500) <= 0) continue;
      const ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
      if (n <= 0) break;
      auto record = ctl::DecodeRecord(buffer.data(), static_cast<size_t>(n));
      if (!record) continue;
      const int64_t now = WallMs();
      std::lock_guard<std::mutex> guard(mutex_);
      switch (record->kind) {
        case KAVROD_RECORD_PAYLOAD:
          ++observed_;
          records_.push_back(
              {++recordNumber_, now, record->value & 0xFF, std::string(record->bytes.begin(), record->bytes.end())});
          if (records_.size() > RECORDS_KEPT) records_.pop_front();
          break;
        case KAVROD_RECORD_LINK_STATE: EnterState(record->value != 0 ? "established" : "down", now); break;
        case KAVROD_RECORD_LINK_EVENT:
          if (record->value == KAVROD_EVENT_ESTABLISHED) EnterState("established", now);
          if (record->value == KAVROD_EVENT_FAILED) EnterState("down", now);
          if (record->value == KAVROD_EVENT_SHUTDOWN) EnterState("not running", now);
          break;
        case KAVROD_RECORD_MISSED: missed_ += record->value; break;
        default: break;
      }
      // Pages are woken by their own clock, a few times a second, not by
      // every record.
      ++version_;
    }
    close(fd);
    std::lock_guard<std::mutex> guard(mutex_);
    observing_ = false;
    Changed();
  }
}

// kavro's status once a second: the counters become the charts' points.
void Monitor::PollStatus() {
  std::optional<ctl::Status> last;
  while (!stopping_) {
    std::string error;
    auto answer = tools::ControlRequest(settings_.runDir, ctl::MSG_STATUS, 0, {}, error);
    std::optional<ctl::Status> status;
    if (answer) {
      status = ctl::ParseStatus(answer->data(), answer->size());
      if (!status) error = "kavro gave no status record";
    }
    const int64_t now = WallMs();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      Sample sample{now / 1000, 0, 0, 0, 0, 0, 0};
      if (status) {
        if (last && status->uptimeMs > last->uptimeMs) {
          // Rates per second of kavro's own clock, so that a poll that came
          // late makes no spike; the error counts as they are, so that no
          // single retransmission or reset rounds away.
          const uint64_t ms = status->uptimeMs - last->uptimeMs;
          auto rate = [ms](uint64_t a, uint64_t b) { return a >= b ? ((a - b) * 1000 + ms / 2) / ms : 0; };
          auto d = [](uint64_t a, uint64_t b) { return a >= b ? a - b : 0; };
          sample.rx = rate(status->payloadsReceived, last->payloadsReceived);
          sample.tx = rate(status->payloadsSent, last->payloadsSent);
          sample.retransmissions = d(status->retransmissions, last->retransmissions);
          sample.rejected = d(status->rejected, last->rejected);
          sample.damaged = d(status->damaged, last->damaged);
          sample.resets = d(status->linkResets, last->linkResets);
        }
        statusJson_ = ctl::FormatStatusJson(*status);
        kavroError_.clear();
        EnterState(StateClass(status->linkState), now);
      } else {
        statusJson_ = "null";
        kavroError_ = error;
        EnterState("not running", now);
      }
      if (samples_.empty() || samples_.back().second != sample.second) samples_.push_back(sample);
      if (samples_.size() > SAMPLES_KEPT) samples_.pop_front();
      Changed();
    }
    last = status;
    // On the second's edge, so that each point is one second.
    std::unique_lock<std::mutex> lock(stopMutex_);
    stopCv_.wait_for(lock, std::chrono::milliseconds(1000 - WallMs() % 1000), [this] { return stopping_.load(); });
  }
}

void Monitor::SetBridge(const std::string& json, bool brokerConnected, const std::string& error) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!json.empty()) bridgeJson_ = json;
  brokerConnected_ = brokerConnected;
  brokerError_ = error;
  Changed();
}

void Monitor::SetBridgeState(const std::string& state) {
  std::lock_guard<std::mutex> guard(mutex_);
  bridgeState_ = state;
  Changed();
}

void Monitor::WaitForChange(const PageCursor& cursor, int ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(ms),
                    [&] { return version_ != cursor.version || stopping_.load(); });
}

std::string Monitor::Update(PageCursor& cursor) {
  std::lock_guard<std::mutex> guard(mutex_);
  std::string json;
  json.reserve(16384);
  json += "{\"now\":" + std::to_string(WallMs()) + ",\"link\":" + tools::JsonString(settings_.link) +
          ",\"state\":" + tools::JsonString(state_) + ",\"state_since\":" + std::to_string(stateSinceMs_) +
          ",\"state_since_seen\":" + (stateSinceSeen_ ? "true" : "false") +
          ",\"observing\":" + (observing_ ? "true" : "false") + ",\"missed\":" + N(missed_) +
          ",\"observed\":" + N(observed_) + ",\"status\":" + statusJson_ +
          ",\"kavro_error\":" + tools::JsonString(kavroError_);
  if (!settings_.broker.empty()) {
    json += ",\"broker\":{\"connected\":" + std::string(brokerConnected_ ? "true" : "false") +
            ",\"error\":" + tools::JsonString(brokerError_) + ",\"bridge_state\":" + tools::JsonString(bridgeState_) +
            ",\"status\":" + (bridgeJson_.empty() ? std::string("null") : tools::JsonString(bridgeJson_)) + "}";
  }
  if (cursor.timeline != timelineVersion_) {
    json += ",\"timeline\":[";
    for (size_t i = 0; i < timeline_.size(); ++i) {
      json +=
          (i ? ",[" : "[") + std::to_string(timeline_[i].fromMs) + "," + tools::JsonString(timeline_[i].state) + "]";
    }
    json += "]";
    cursor.timeline = timelineVersion_;
  }
  json += ",\"samples\":[";
  bool first = true;
  for (const Sample& s : samples_) {
    if (s.second <= cursor.sample) continue;
    json += (first ? "[" : ",[") + std::to_string(s.second) + "," + N(s.rx) + "," + N(s.tx) + "," +
            N(s.retransmissions) + "," + N(s.rejected) + "," + N(s.damaged) + "," + N(s.resets) + "]";
    first = false;
    cursor.sample = s.second;
  }
  json += "],\"records\":[";
  first = true;
  for (const Record& r : records_) {
    if (r.number <= cursor.records) continue;
    json += (first ? "[" : ",[") + N(r.number) + "," + std::to_string(r.timeMs) + "," + N(r.address) + ",\"" +
            tools::FormatHex(reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size(), false) + "\"]";
    first = false;
  }
  cursor.records = recordNumber_;
  json += "]}";
  cursor.version = version_;
  return json;
}

}  // namespace kavro::web
