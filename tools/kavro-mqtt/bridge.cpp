#include "bridge.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "../common/control_request.h"
#include "../common/unix_socket.h"
#include "../kavroctl/command_line.h"
#include "../kavroctl/ctl_protocol.h"

namespace kavro::mqtt {
namespace {

// Records handed to the broker and not yet acknowledged; the rest waits in
// the spool, not in memory.
constexpr size_t WINDOW = 1000;
// A batch the reader syncs at once.
constexpr size_t BATCH_RECORDS = 2048;
constexpr size_t BATCH_BYTES = 4 << 20;
constexpr int STATUS_INTERVAL_MS = 5000;
constexpr int SAVE_INTERVAL_MS = 20;
constexpr int MAX_BACKOFF_SECONDS = 60;
constexpr int KAVRO_RETRY_MS = 500;
// How long the first connection may take before the bridge goes on
// without the broker.
constexpr int FIRST_CONNECT_MS = 10000;
// Room for the broker's PUBACKs of what is in flight at SIGTERM.
constexpr int DRAIN_MS = 2000;
constexpr uint32_t SESSION_EXPIRY_SECONDS = 7 * 24 * 3600;

void Line(const char* level, const std::string& text) {
  std::fprintf(stderr, "%skavro-mqtt: %s\n", level, text.c_str());
  std::fflush(stderr);
}
void Info(const std::string& text) { Line("<6>", text); }
void Warn(const std::string& text) { Line("<4>", text); }
void Error(const std::string& text) { Line("<3>", text); }

using kavro::tools::SocketPath;
constexpr auto ConnectSocket = kavro::tools::ConnectSeqpacket;

// kavro answers within 3 s or is taken as not answering.
using kavro::tools::ControlRequest;

std::string Identity(uint64_t startId, uint64_t sequence) {
  char text[48];
  std::snprintf(text, sizeof text, "%016" PRIx64 "-%" PRIu64, startId, sequence);
  return text;
}

std::string HexByte(uint32_t value) {
  char text[4];
  std::snprintf(text, sizeof text, "%02X", value & 0xFF);
  return text;
}

// "20", "0x20": the address byte of a tx request.
std::optional<uint8_t> ParseAddressProperty(const std::string& text) {
  auto value = tools::ParseNumber(text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? text : "0x" + text, 0xFF);
  if (!value) return std::nullopt;
  return static_cast<uint8_t>(*value);
}

uint64_t NewStartId() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::random_device random;
  return (static_cast<uint64_t>(now.tv_sec) * 1000000000u + static_cast<uint64_t>(now.tv_nsec)) ^
         (static_cast<uint64_t>(random()) << 32) ^ static_cast<uint64_t>(getpid());
}

uint32_t Get32(const uint8_t* p) { return ctl::GetU32(p); }
uint64_t Get64(const uint8_t* p) { return ctl::GetU64(p); }

}  // namespace

Bridge::Bridge(const Settings& settings, Spool& spool) : settings_(settings), spool_(spool) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  spool_.OnWritten([this] { Wake(); });
}

Bridge::~Bridge() {
  if (mosq_) mosquitto_destroy(mosq_);
  if (wakeFd_ >= 0) close(wakeFd_);
}

void Bridge::Wake() {
  uint64_t one = 1;
  ssize_t ignored = write(wakeFd_, &one, sizeof one);
  (void)ignored;
}

void Bridge::Fatal(const std::string& message) {
  {
    std::lock_guard<std::mutex> lock(fatalMutex_);
    if (fatal_.empty()) fatal_ = message;
  }
  failed_ = true;
  // The main thread waits for signals; this one says the bridge gave up.
  kill(getpid(), SIGUSR1);
}

bool Bridge::Failed(std::string& error) {
  std::lock_guard<std::mutex> lock(fatalMutex_);
  error = fatal_;
  return failed_;
}

void Bridge::Stop() {
  stopping_ = true;
  Wake();
}

bool Bridge::Start(std::string& error) {
  const Settings& s = settings_;
  if (!s.passwordFile.empty() && !ReadPassword(s.passwordFile, password_, error)) return false;
  for (const auto& [what, path] :
       {std::pair<const char*, std::string>{"CA file", s.caFile}, {"certificate", s.certFile}, {"key", s.keyFile}}) {
    if (!path.empty() && access(path.c_str(), R_OK) != 0) {
      error = std::string("cannot read the ") + what + " " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  mosquitto_lib_init();
  mosq_ = mosquitto_new(s.clientId.c_str(), false, this);
  if (!mosq_) {
    error = "cannot set up the MQTT client: " + std::string(std::strerror(errno));
    return false;
  }
  mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_max_inflight_messages_set(mosq_, WINDOW);
  mosquitto_connect_v5_callback_set(mosq_, OnConnect);
  mosquitto_publish_v5_callback_set(mosq_, OnPublish);
  mosquitto_message_v5_callback_set(mosq_, OnMessage);
  mosquitto_subscribe_v5_callback_set(mosq_, OnSubscribe);
  mosquitto_log_callback_set(mosq_, OnLog);
  if (!s.username.empty()) {
    mosquitto_username_pw_set(mosq_, s.username.c_str(), s.passwordFile.empty() ? nullptr : password_.c_str());
  }
  if (s.address.tls) {
    int rc = mosquitto_tls_set(
        mosq_, s.caFile.empty() ? nullptr : s.caFile.c_str(), s.caFile.empty() ? "/etc/ssl/certs" : nullptr,
        s.certFile.empty() ? nullptr : s.certFile.c_str(), s.keyFile.empty() ? nullptr : s.keyFile.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      error = "cannot use the TLS files: " + std::string(mosquitto_strerror(rc)) +
              (lastLogError_.empty() ? "" : " (" + lastLogError_ + ")");
      return false;
    }
  }
  const std::string stateTopic = s.topicPrefix + "/state";
  mosquitto_will_set_v5(mosq_, stateTopic.c_str(), 7, "offline", 1, true, nullptr);

  // The first attempt, waited for: a refused login or certificate ends the
  // program here, before any record is taken from kavro.
  TryConnect();
  const auto deadline = Clock::now() + std::chrono::milliseconds(FIRST_CONNECT_MS);
  while (connecting_ && !failed_ && Clock::now() < deadline) Step(100);
  if (failed_) {
    std::lock_guard<std::mutex> lock(fatalMutex_);
    error = fatal_;
    failed_ = false;  // reported by the caller, not by a signal
    return false;
  }
  if (connecting_) {
    Warn("no answer from the broker " + s.broker + " yet; records wait in the spool meanwhile");
  }
  return true;
}

void Bridge::OnLog(mosquitto*, void* self, int level, const char* text) {
  if (level == MOSQ_LOG_ERR) static_cast<Bridge*>(self)->lastLogError_ = text;
}

void Bridge::TryConnect() {
  lastLogError_.clear();
  refusedReason_ = 0;
  int rc;
  if (!everConnected_ && !outage_ && nextAttempt_ == Clock::time_point{}) {
    mosquitto_property* props = nullptr;
    mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, SESSION_EXPIRY_SECONDS);
    rc = mosquitto_connect_bind_v5(mosq_, settings_.address.host.c_str(), settings_.address.port, settings_.keepalive,
                                   nullptr, props);
    mosquitto_property_free_all(&props);
  } else {
    rc = mosquitto_reconnect(mosq_);
  }
  if (rc != MOSQ_ERR_SUCCESS) {
    Lost(rc, rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
    return;
  }
  connecting_ = true;
  connectStarted_ = Clock::now();
}

void Bridge::Lost(int rc, const std::string& why) {
  const bool wasConnected = connected_;
  connected_ = false;
  connecting_ = false;
  std::string reason = why;
  if (refusedReason_ != 0) reason = std::string("refused: ") + mosquitto_reason_string(refusedReason_);
  if ((rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE) && !lastLogError_.empty())
    reason += " (" + lastLogError_ + ")";
  const bool login = refusedReason_ == MQTT_RC_BAD_USERNAME_OR_PASSWORD || refusedReason_ == MQTT_RC_NOT_AUTHORIZED;
  if (!everConnected_ && login) {
    Fatal("the broker " + settings_.broker + " refused the login of " +
          (settings_.username.empty() ? std::string("an anonymous client") : "user " + settings_.username) + " (" +
          mosquitto_reason_string(refusedReason_) + "); check --username and --password-file");
    return;
  }
  if (!everConnected_ && (rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE)) {
    Fatal("the TLS connection to " + settings_.broker + " failed: " + reason +
          "; check --ca-file (the CA that signed the broker's certificate) and --cert/--key");
    return;
  }
  nextAttempt_ = Clock::now() + std::chrono::seconds(backoffSeconds_);
  if (wasConnected) {
    Warn("lost the broker " + settings_.broker + ": " + reason + "; reconnecting in " +
         std::to_string(backoffSeconds_) + " s");
  } else if (!outage_) {
    (login ? Error : Warn)("cannot connect to the broker " + settings_.broker + ": " + reason + "; retrying in " +
                           std::to_string(backoffSeconds_) + " s, then up to every " +
                           std::to_string(MAX_BACKOFF_SECONDS) + " s");
  }
  outage_ = true;
  backoffSeconds_ = std::min(backoffSeconds_ * 2, MAX_BACKOFF_SECONDS);
}

void Bridge::OnConnect(mosquitto*, void* self, int rc, int flags, const mosquitto_property*) {
  auto* b = static_cast<Bridge*>(self);
  if (rc != 0) {
    // The broker closes the connection next; Lost reports it.
    b->refusedReason_ = rc;
    return;
  }
  b->connected_ = true;
  b->connecting_ = false;
  b->everConnected_ = true;
  b->outage_ = false;
  b->backoffSeconds_ = 1;
  Info("connected to the broker " + b->settings_.broker + " as " + b->settings_.clientId +
       ((flags & 1) ? " (session resumed)" : " (new session)"));
  const std::string tx = b->settings_.topicPrefix + "/tx";
  mosquitto_subscribe_v5(b->mosq_, nullptr, tx.c_str(), 2, 0, nullptr);
  b->PublishState(true);
  b->nextStatus_ = Clock::time_point{};
}

void Bridge::OnSubscribe(mosquitto*, void* self, int, int count, const int* granted, const mosquitto_property*) {
  auto* b = static_cast<Bridge*>(self);
  const std::string tx = b->settings_.topicPrefix + "/tx";
  if (count < 1 || granted[0] >= 0x80) {
    Error("the broker refused the subscription to " + tx + " (" +
          mosquitto_reason_string(count < 1 ? MQTT_RC_UNSPECIFIED : granted[0]) +
          "); requests for the PBX are not taken; check the broker's ACL");
  } else if (!b->subscribed_) {
    Info("taking requests for the PBX on " + tx);
  }
  b->subscribed_ = count >= 1 && granted[0] < 0x80;
}

void Bridge::OnPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*) {
  auto* b = static_cast<Bridge*>(self);
  auto it = b->pending_.find(mid);
  if (it == b->pending_.end()) return;  // state, status or a tx answer
  b->spool_.Acknowledged(it->second);
  b->pending_.erase(it);
  if (reason >= 0x80) {
    // Refused for good (not authorised, payload format, quota): retrying
    // would refuse it again. Counted, and said once per reason.
    ++b->refused_;
    if (b->refusedReasons_[reason]++ == 0) {
      Error(std::string("the broker refused a record on ") + b->settings_.topicPrefix +
            "/rx or /event: " + mosquitto_reason_string(reason) + "; check the broker's ACL");
    }
  } else {
    ++b->published_;
  }
}

void Bridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property* props) {
  auto* b = static_cast<Bridge*>(self);
  if (message->topic && b->settings_.topicPrefix + "/tx" == message->topic) b->HandleTx(message, props);
}

void Bridge::HandleTx(const mosquitto_message* message, const mosquitto_property* props) {
  std::string reason;
  uint8_t address = 0;
  char* name = nullptr;
  char* value = nullptr;
  bool addressOk = true;
  for (const mosquitto_property* p =
           mosquitto_property_read_string_pair(props, MQTT_PROP_USER_PROPERTY, &name, &value, false);
       p; p = mosquitto_property_read_string_pair(p, MQTT_PROP_USER_PROPERTY, &name, &value, true)) {
    if (std::strcmp(name, "address") == 0) {
      auto parsed = ParseAddressProperty(value);
      if (parsed) {
        address = *parsed;
      } else {
        addressOk = false;
        reason = std::string("the address \"") + tools::ClipForMessage(value) + "\" is not a hex byte from 00 to FF";
      }
    }
    std::free(name);
    std::free(value);
    name = value = nullptr;
  }
  const size_t length = message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0;
  bool accepted = false;
  if (!addressOk) {
  } else if (length == 0) {
    reason = "the payload is empty";
  } else if (length > ctl::MAX_REQUEST_DATA) {
    reason = "the payload has " + std::to_string(length) + " bytes; at most " + std::to_string(ctl::MAX_REQUEST_DATA);
  } else {
    const auto* bytes = static_cast<const uint8_t*>(message->payload);
    std::string error;
    auto answer = ControlRequest(settings_.runDir, ctl::MSG_COPYDATA, ctl::PayloadWord(address),
                                 std::vector<uint8_t>(bytes, bytes + length), error);
    if (!answer) {
      reason = error;
    } else if (auto result = ctl::ParseAnswer(answer->data(), answer->size()); result && *result != 0) {
      accepted = true;
    } else {
      reason = ctl::RefusalMessage(length);
      const std::string prefix = "kavroctl: refused: ";
      if (reason.rfind(prefix, 0) == 0) reason = reason.substr(prefix.size());
    }
  }

  char* responseTopic = nullptr;
  void* correlation = nullptr;
  uint16_t correlationLength = 0;
  mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false);
  mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &correlationLength, false);
  if (responseTopic) {
    const std::string body = accepted ? "{\"result\":\"accepted\"}"
                                      : "{\"result\":\"refused\",\"reason\":" + tools::JsonString(reason) + "}";
    mosquitto_property* out = nullptr;
    if (correlation) mosquitto_property_add_binary(&out, MQTT_PROP_CORRELATION_DATA, correlation, correlationLength);
    mosquitto_property_add_string_pair(&out, MQTT_PROP_USER_PROPERTY, "result", accepted ? "accepted" : "refused");
    mosquitto_publish_v5(mosq_, nullptr, responseTopic, static_cast<int>(body.size()), body.data(), 1, false, out);
    mosquitto_property_free_all(&out);
  }
  std::free(responseTopic);
  std::free(correlation);
}

void Bridge::PublishState(bool force) {
  const std::string state = linkUp_ ? "up" : "down";
  if (!connected_ || (!force && state == publishedState_)) return;
  const std::string topic = settings_.topicPrefix + "/state";
  if (mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(state.size()), state.data(), 1, true,
                           nullptr) == MOSQ_ERR_SUCCESS) {
    publishedState_ = state;
  }
}

std::string Bridge::StatusJson() {
  const SpoolCounts counts = spool_.Counts();
  auto n = [](uint64_t v) { return std::to_string(v); };
  const std::string bridge = "\"bridge\":{\"version\":" + tools::JsonString(KAVRO_VERSION) +
                             ",\"client_id\":" + tools::JsonString(settings_.clientId) +
                             ",\"acknowledged\":" + (acknowledged_ ? "true" : "false") +
                             ",\"spool_records\":" + n(counts.records) + ",\"spool_bytes\":" + n(counts.bytes) +
                             ",\"spool_max\":" + n(settings_.spoolMax) + ",\"records_dropped\":" + n(counts.dropped) +
                             ",\"records_published\":" + n(published_) + ",\"records_refused\":" + n(refused_) +
                             ",\"repeats_skipped\":" + n(repeatsSkipped_) + "}";
  std::string error;
  auto answer = ControlRequest(settings_.runDir, ctl::MSG_STATUS, 0, {}, error);
  std::optional<ctl::Status> status;
  if (answer) status = ctl::ParseStatus(answer->data(), answer->size());
  if (!status) {
    return "{\"link\":" + tools::JsonString(settings_.link) +
           ",\"state\":\"not running\",\"error\":" + tools::JsonString(answer ? "kavro gave no status record" : error) +
           "," + bridge + "}";
  }
  std::string json = ctl::FormatStatusJson(*status);
  json.insert(json.size() - 1, "," + bridge);
  return json;
}

void Bridge::PublishStatus() {
  if (!connected_) return;
  const std::string json = StatusJson();
  const std::string topic = settings_.topicPrefix + "/status";
  mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(json.size()), json.data(), 1, true, nullptr);
  nextStatus_ = Clock::now() + std::chrono::milliseconds(STATUS_INTERVAL_MS);
}

void Bridge::PumpPublishes() {
  SpoolRecord record;
  while (connected_ && pending_.size() < WINDOW && spool_.Peek(record)) {
    const bool payload = record.kind == SPOOL_PAYLOAD;
    const std::string id = Identity(record.startId, record.sequence);
    const std::string topic = settings_.topicPrefix + (payload ? "/rx" : "/event");
    std::string body;
    mosquitto_property* props = nullptr;
    if (payload) {
      mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "address", HexByte(record.value).c_str());
      if (settings_.json) {
        body = "{\"address\":" + std::to_string(record.value & 0xFF) + ",\"payload_hex\":\"" +
               tools::FormatHex(record.bytes, false) + "\",\"id\":\"" + id + "\"}";
      }
    } else {
      body = "{\"code\":" + std::to_string(record.value) +
             ",\"name\":" + tools::JsonString(ctl::EventName(record.value)) + ",\"id\":\"" + id + "\"}";
    }
    mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "id", id.c_str());
    const void* data = body.empty() && payload && !settings_.json ? static_cast<const void*>(record.bytes.data())
                                                                  : static_cast<const void*>(body.data());
    const int size = body.empty() && payload && !settings_.json ? static_cast<int>(record.bytes.size())
                                                                : static_cast<int>(body.size());
    int mid = 0;
    const int rc = mosquitto_publish_v5(mosq_, &mid, topic.c_str(), size, data, 1, false, props);
    mosquitto_property_free_all(&props);
    if (rc != MOSQ_ERR_SUCCESS) {
      if (rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST) Lost(rc, mosquitto_strerror(rc));
      break;
    }
    pending_[mid] = record.index;
    spool_.Published(record.index);
  }
}

void Bridge::Step(int maxWaitMs) {
  const auto now = Clock::now();
  int wait = maxWaitMs;
  if (!connected_ && !connecting_) {
    if (now >= nextAttempt_) {
      TryConnect();
      if (failed_) return;
    }
    if (!connecting_) {
      wait = std::min<int>(
          wait,
          static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - Clock::now()).count()) +
              1);
      wait = std::max(wait, 0);
    }
  }
  pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
  const int sock = (connected_ || connecting_) ? mosquitto_socket(mosq_) : -1;
  if (sock >= 0) fds[1] = {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0};
  int ready = poll(fds, sock >= 0 ? 2 : 1, wait);
  if (ready < 0 && errno != EINTR) ready = 0;
  if (fds[0].revents & POLLIN) {
    uint64_t count;
    ssize_t ignored = read(wakeFd_, &count, sizeof count);
    (void)ignored;
  }
  if (sock >= 0) {
    int rc = MOSQ_ERR_SUCCESS;
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) rc = mosquitto_loop_read(mosq_, 1);
    if (rc == MOSQ_ERR_SUCCESS && (connected_ || connecting_) && mosquitto_want_write(mosq_)) {
      rc = mosquitto_loop_write(mosq_, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && (connected_ || connecting_)) rc = mosquitto_loop_misc(mosq_);
    if (rc != MOSQ_ERR_SUCCESS && (connected_ || connecting_)) {
      Lost(rc, rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
    } else if (connecting_ && Clock::now() - connectStarted_ > std::chrono::seconds(settings_.keepalive)) {
      Lost(MOSQ_ERR_CONN_LOST, "no answer to the connection request");
    }
  }
  if (failed_) return;
  if (connected_) {
    PumpPublishes();
    if (stateChanged_.exchange(false)) {
      PublishState(false);
      nextStatus_ = Clock::time_point{};
    }
    if (Clock::now() >= nextStatus_) PublishStatus();
    if (mosquitto_want_write(mosq_)) mosquitto_loop_write(mosq_, 1);
  }
  if (Clock::now() >= nextSave_) {
    spool_.SavePosition();
    nextSave_ = Clock::now() + std::chrono::milliseconds(SAVE_INTERVAL_MS);
  }
}

void Bridge::RunBroker() {
  while (!stopping_ && !failed_) Step(250);
  if (!failed_) Finish();
}

void Bridge::Finish() {
  // What is in flight gets its PUBACK if the broker is there; anything
  // else goes out after the next start.
  const auto deadline = Clock::now() + std::chrono::milliseconds(DRAIN_MS);
  while (connected_ && !pending_.empty() && Clock::now() < deadline) {
    Step(50);
  }
  spool_.SavePosition();
  if (connected_) {
    // Disconnect with the will: the broker publishes `offline`.
    mosquitto_disconnect_v5(mosq_, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
    for (int i = 0; i < 20 && mosquitto_want_write(mosq_); ++i) {
      if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS) break;
    }
  }
  const SpoolCounts counts = spool_.Counts();
  Info("stopped; " + std::to_string(counts.records) + " records wait in the spool for the next start");
}

void Bridge::RunReader() {
  const std::string path = SocketPath(settings_.runDir, ctl::DELIVERY_SOCKET_NAME);
  std::vector<uint8_t> buffer(KAVROD_ID_HEADER_SIZE + KAVROD_PAYLOAD_MAX + 1);
  bool waiting = false;
  bool plainWarned = false;
  // Identities for a library without acknowledgements: this bridge's own.
  uint64_t plainStart = NewStartId();
  uint64_t plainSequence = 0;
  auto last = spool_.LastIdentity();
  while (!stopping_ && !failed_) {
    int fd = ConnectSocket(path);
    if (fd < 0) {
      if (!waiting) {
        Warn("kavro is not running on " + settings_.runDir + " (cannot connect to " + path + ": " +
             std::strerror(errno) + "); waiting for it");
        waiting = true;
      }
      kavroRunning_ = false;
      if (linkUp_.exchange(false)) stateChanged_ = true;
      Wake();
      poll(nullptr, 0, KAVRO_RETRY_MS);
      continue;
    }
    waiting = false;
    const auto request = [&] {
      std::vector<uint8_t> r;
      ctl::PutU32(r, KAVROD_REQUEST_ACKNOWLEDGED);
      ctl::PutU32(r, 0);
      return r;
    }();
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    kavroRunning_ = true;
    Info("taking the records of kavro on " + settings_.runDir);
    bool closed = false;
    while (!stopping_ && !failed_ && !closed) {
      pollfd pfd{fd, POLLIN, 0};
      if (poll(&pfd, 1, 200) <= 0) continue;
      std::vector<SpoolRecord> batch;
      size_t bytes = 0;
      uint64_t ackUpTo = 0;
      bool acked = false;
      while (batch.size() < BATCH_RECORDS && bytes < BATCH_BYTES) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        if (n <= 0) {
          closed = true;
          break;
        }
        const auto size = static_cast<size_t>(n);
        if (size < 8) continue;
        const uint32_t kind = Get32(buffer.data());
        const uint32_t value = Get32(buffer.data() + 4);
        SpoolRecord record;
        record.value = value;
        if (kind == KAVROD_RECORD_LINK_STATE) {
          if (linkUp_.exchange(value == 1) != (value == 1)) stateChanged_ = true;
          continue;
        }
        if ((kind == KAVROD_RECORD_PAYLOAD_ID || kind == KAVROD_RECORD_LINK_EVENT_ID) &&
            size >= KAVROD_ID_HEADER_SIZE) {
          acknowledged_ = true;
          record.kind = kind == KAVROD_RECORD_PAYLOAD_ID ? SPOOL_PAYLOAD : SPOOL_EVENT;
          record.startId = Get64(buffer.data() + 8);
          record.sequence = Get64(buffer.data() + 16);
          record.bytes.assign(buffer.data() + KAVROD_ID_HEADER_SIZE, buffer.data() + size);
          ackUpTo = std::max(ackUpTo, record.sequence);
          acked = true;
          // Delivered again after this bridge was killed: already spooled.
          if (last && last->first == record.startId && record.sequence <= last->second) {
            ++repeatsSkipped_;
            continue;
          }
        } else if (kind == KAVROD_RECORD_PAYLOAD || kind == KAVROD_RECORD_LINK_EVENT) {
          if (!plainWarned) {
            Warn("the companion library on " + settings_.runDir +
                 " does not keep records for acknowledgement; records in transit are lost if kavro-mqtt is killed");
            plainWarned = true;
          }
          acknowledged_ = false;
          record.kind = kind == KAVROD_RECORD_PAYLOAD ? SPOOL_PAYLOAD : SPOOL_EVENT;
          record.startId = plainStart;
          record.sequence = ++plainSequence;
          record.bytes.assign(buffer.data() + 8, buffer.data() + size);
        } else {
          continue;  // a kind this bridge does not know
        }
        if (record.kind == SPOOL_EVENT) {
          const bool up = value == KAVRO_EVENT_ESTABLISHED;
          const bool down = value == KAVRO_EVENT_SHUTDOWN || value == KAVRO_EVENT_FAILED;
          if ((up || down) && linkUp_.exchange(up) != up) stateChanged_ = true;
        }
        bytes += record.bytes.size();
        batch.push_back(std::move(record));
      }
      uint64_t dropped = 0;
      std::string error;
      if (!spool_.Append(batch, dropped, error)) {
        close(fd);
        Fatal(error + "; the records stay with kavro's library");
        return;
      }
      if (!batch.empty()) last = std::make_pair(batch.back().startId, batch.back().sequence);
      if (dropped > 0) {
        Warn("the spool is full (" + std::to_string(settings_.spoolMax) + " bytes): dropped the " +
             std::to_string(dropped) + " oldest unpublished records (" + std::to_string(spool_.Counts().dropped) +
             " in all)");
        stateChanged_ = true;  // the status shows the count at once
      }
      // Only now, with the records on disk, may the library let them go.
      if (acked) {
        std::vector<uint8_t> ack;
        ctl::PutU32(ack, KAVROD_REQUEST_ACK);
        ctl::PutU32(ack, 0);
        ctl::PutU32(ack, static_cast<uint32_t>(ackUpTo));
        ctl::PutU32(ack, static_cast<uint32_t>(ackUpTo >> 32));
        send(fd, ack.data(), ack.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      }
      Wake();
    }
    close(fd);
    kavroRunning_ = false;
    if (linkUp_.exchange(false)) stateChanged_ = true;
    Wake();
    if (closed && !stopping_) Warn("kavro on " + settings_.runDir + " ended; waiting for it to start again");
  }
}

}  // namespace kavro::mqtt
