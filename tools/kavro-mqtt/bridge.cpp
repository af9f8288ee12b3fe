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

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <tuple>
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
// The broker away: 1 s doubling to a minute. Refused (login, certificate)
// or a file that cannot be read: someone has to change something, so
// 10 s doubling to 10 minutes; a certificate rotated at the wrong moment
// still heals by itself.
constexpr int MAX_BACKOFF_SECONDS = 60;
constexpr int FIRST_LONG_BACKOFF_SECONDS = 10;
constexpr int MAX_LONG_BACKOFF_SECONDS = 600;
// A connection that ends sooner than this does not reset the back-off: a
// broker that drops the bridge right after accepting it (an ACL denial)
// is not hammered.
constexpr int STABLE_CONNECTION_SECONDS = 10;
constexpr int KAVRO_RETRY_MS = 500;
constexpr int STATUS_TIMEOUT_MS = 1000;
// A tx request kavro has not answered by then is answered `unknown`; its
// answer is still read when it comes, up to LATE_ANSWER_MS.
constexpr int TX_ANSWER_MS = 10000;
constexpr int LATE_ANSWER_MS = 300000;
constexpr int SPOOL_RETRY_MAX_MS = 10000;
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

// The library's texts are sentences ("The connection was lost."); inside a
// line they read as a clause.
std::string Clause(std::string text) {
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
      std::islower(static_cast<unsigned char>(text[1]))) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return text;
}

std::string IsoTime(std::chrono::system_clock::time_point when) {
  const time_t seconds = std::chrono::system_clock::to_time_t(when);
  tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

using kavro::tools::SocketPath;
constexpr auto ConnectSocket = kavro::tools::ConnectSeqpacket;

using kavro::tools::ControlRequest;

std::optional<ctl::Status> KavroStatus(const std::string& runDir, std::string& error) {
  auto answer = ControlRequest(runDir, ctl::MSG_STATUS, 0, {}, error, STATUS_TIMEOUT_MS);
  if (!answer) return std::nullopt;
  auto status = ctl::ParseStatus(answer->data(), answer->size());
  if (!status) error = "kavro gave no status record";
  return status;
}

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

// The broker's own words for a refusal, when it sent a reason string.
std::string ReasonString(const mosquitto_property* props) {
  char* text = nullptr;
  if (!mosquitto_property_read_string(props, MQTT_PROP_REASON_STRING, &text, false) || !text) return "";
  std::string reason = text;
  std::free(text);
  return reason;
}

// Settings whose change needs a new connection to the broker.
bool SameBroker(const Settings& a, const Settings& b) {
  return a.broker == b.broker && a.caFile == b.caFile && a.certFile == b.certFile && a.keyFile == b.keyFile &&
         a.username == b.username && a.passwordFile == b.passwordFile && a.clientId == b.clientId &&
         a.keepalive == b.keepalive && a.topicPrefix == b.topicPrefix;
}

}  // namespace

bool RateLimitedLine::Due(const std::string& key, std::chrono::steady_clock::time_point now, uint64_t& skipped) {
  if (key != key_ || now - said_ >= std::chrono::minutes(1)) {
    skipped = key == key_ ? skipped_ : 0;
    key_ = key;
    said_ = now;
    skipped_ = 0;
    return true;
  }
  ++skipped_;
  return false;
}

Bridge::Bridge(const Settings& settings, Spool& spool, bool fromTerminal)
    : settings_(settings), spool_(spool), fromTerminal_(fromTerminal) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  spool_.OnWritten([this] { Wake(); });
  mosquitto_lib_init();
}

Bridge::~Bridge() {
  for (auto& call : calls_) close(call.fd);
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

void Bridge::SetLastError(const std::string& text) {
  std::lock_guard<std::mutex> lock(errorMutex_);
  lastError_ = text;
  lastErrorAt_ = std::chrono::system_clock::now();
}

void Bridge::Reload(const Settings& settings) {
  {
    std::lock_guard<std::mutex> lock(reloadMutex_);
    reload_ = settings;
  }
  reloadPending_ = true;
  Wake();
}

bool Bridge::SetUpClient(std::string& error) {
  const Settings& s = settings_;
  clientReady_ = false;
  password_.clear();
  if (!s.passwordFile.empty() && !ReadPassword(s.passwordFile, password_, error)) return false;
  for (const auto& [what, path] :
       {std::pair<const char*, std::string>{"CA file", s.caFile}, {"certificate", s.certFile}, {"key", s.keyFile}}) {
    if (!path.empty() && access(path.c_str(), R_OK) != 0) {
      error = std::string("cannot read the ") + what + " " + path + ": " + std::strerror(errno);
      return false;
    }
  }
  if (mosq_) mosquitto_destroy(mosq_);
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
    lastLogError_.clear();
    int rc = mosquitto_tls_set(
        mosq_, s.caFile.empty() ? nullptr : s.caFile.c_str(), s.caFile.empty() ? "/etc/ssl/certs" : nullptr,
        s.certFile.empty() ? nullptr : s.certFile.c_str(), s.keyFile.empty() ? nullptr : s.keyFile.c_str(), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
      error = "cannot use the TLS files: " + Clause(mosquitto_strerror(rc)) +
              (lastLogError_.empty() ? "" : " (" + lastLogError_ + ")");
      return false;
    }
  }
  const std::string stateTopic = Topic("state");
  mosquitto_will_set_v5(mosq_, stateTopic.c_str(), 7, "offline", 1, true, nullptr);
  clientReady_ = true;
  attempted_ = false;
  return true;
}

bool Bridge::Start(std::string& error) {
  if (!SetUpClient(error)) {
    if (fromTerminal_) return false;
    ConnectFailed(Fault::kFiles, error, false);
    return true;
  }
  // The first attempt, waited for: from a terminal, a refused login or
  // certificate ends the program here, before any record is taken.
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
    Warn("no answer from the broker " + settings_.broker + " yet; records wait in the spool meanwhile");
  }
  return true;
}

void Bridge::OnLog(mosquitto*, void* self, int level, const char* text) {
  if (level == MOSQ_LOG_ERR) static_cast<Bridge*>(self)->lastLogError_ = Clause(text);
}

void Bridge::TryConnect() {
  if (!clientReady_) {
    std::string error;
    if (!SetUpClient(error)) {
      ConnectFailed(Fault::kFiles, error, false);
      return;
    }
  }
  lastLogError_.clear();
  refusedReason_ = 0;
  refusedText_.clear();
  int rc;
  if (!attempted_) {
    // The client keeps the address and the session expiry for its reconnects.
    mosquitto_property* props = nullptr;
    mosquitto_property_add_int32(&props, MQTT_PROP_SESSION_EXPIRY_INTERVAL, SESSION_EXPIRY_SECONDS);
    rc = mosquitto_connect_bind_v5(mosq_, settings_.address.host.c_str(), settings_.address.port, settings_.keepalive,
                                   nullptr, props);
    mosquitto_property_free_all(&props);
    attempted_ = true;
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
  // A loss is news when the connection had worked for a while; one that
  // ends right after it began is the same fault again.
  const bool hadConnection = connected_;
  const bool wasConnected =
      connected_ && Clock::now() - connectedAt_ >= std::chrono::seconds(STABLE_CONNECTION_SECONDS);
  connected_ = false;
  connecting_ = false;
  subscribed_ = false;
  std::string reason =
      rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST ? "the broker closed the connection" : Clause(why);
  // A broker that drops a client for a publish its ACL denies says nothing
  // more; what it refused just before is the likely reason.
  if (!refusedHere_.empty()) reason += " right after " + refusedHere_ + " (check the broker's ACL)";
  refusedHere_.clear();
  Fault fault = Fault::kNetwork;
  const bool login = refusedReason_ == MQTT_RC_BAD_USERNAME_OR_PASSWORD || refusedReason_ == MQTT_RC_NOT_AUTHORIZED;
  const bool tls = rc == MOSQ_ERR_TLS || rc == MOSQ_ERR_TLS_HANDSHAKE;
  if (refusedReason_ != 0) {
    reason = std::string("refused: ") + Clause(mosquitto_reason_string(refusedReason_)) +
             (refusedText_.empty() ? "" : " (" + refusedText_ + ")");
  }
  if (tls && !lastLogError_.empty()) reason += " (" + lastLogError_ + ")";
  std::string text;
  if (login) {
    fault = Fault::kRefused;
    text = "the broker " + settings_.broker + " refused the login of " +
           (settings_.username.empty() ? std::string("an anonymous client") : "user " + settings_.username) + " (" +
           Clause(mosquitto_reason_string(refusedReason_)) + (refusedText_.empty() ? "" : ": " + refusedText_) +
           "); check --username and --password-file";
  } else if (tls) {
    fault = Fault::kRefused;
    text = "the TLS connection to " + settings_.broker + " failed: " + reason +
           "; check --ca-file (the CA that signed the broker's certificate) and --cert/--key";
  } else if (refusedReason_ != 0) {
    fault = Fault::kRefused;
    text = "the broker " + settings_.broker + " " + reason;
  } else {
    text = (hadConnection ? "lost the broker " : "cannot connect to the broker ") + settings_.broker + ": " + reason;
  }
  if (fault == Fault::kRefused && !everConnected_ && fromTerminal_) {
    Fatal(text);
    return;
  }
  ConnectFailed(fault, text, wasConnected);
}

void Bridge::ConnectFailed(Fault fault, const std::string& text, bool wasConnected) {
  int delay;
  if (fault == Fault::kNetwork) {
    delay = backoffSeconds_;
    backoffSeconds_ = std::min(backoffSeconds_ * 2, MAX_BACKOFF_SECONDS);
  } else {
    longBackoffSeconds_ = longBackoffSeconds_ == 0 ? FIRST_LONG_BACKOFF_SECONDS
                                                   : std::min(longBackoffSeconds_ * 2, MAX_LONG_BACKOFF_SECONDS);
    delay = longBackoffSeconds_;
  }
  nextAttempt_ = Clock::now() + std::chrono::seconds(delay);
  const std::string& what = text;
  SetLastError(what);
  // Each reason is said when it changes, and at most once a minute while
  // it stays the same; a loss of a working connection always.
  uint64_t skipped = 0;
  if (!connectLine_.Due(what, Clock::now(), skipped) && !wasConnected) return;
  const std::string tail =
      "; " + std::string(wasConnected ? "reconnecting" : "trying again") + " in " + std::to_string(delay) + " s" +
      (skipped > 0 ? " (" + std::to_string(skipped) + " more failed attempts since the last line)" : "");
  (fault == Fault::kNetwork ? Warn : Error)(what + tail);
}

void Bridge::OnConnect(mosquitto*, void* self, int rc, int flags, const mosquitto_property* props) {
  auto* b = static_cast<Bridge*>(self);
  if (rc != 0) {
    // The broker closes the connection next; Lost reports it.
    b->refusedReason_ = rc;
    b->refusedText_ = ReasonString(props);
    return;
  }
  b->connected_ = true;
  b->connecting_ = false;
  b->everConnected_ = true;
  b->connectedAt_ = Clock::now();
  b->connectedSince_ = std::chrono::system_clock::now();
  Info("connected to the broker " + b->settings_.broker + " as " + b->settings_.clientId +
       ((flags & 1) ? " (session resumed)" : " (new session)"));
  const std::string tx = b->Topic("tx");
  mosquitto_subscribe_v5(b->mosq_, nullptr, tx.c_str(), 2, 0, nullptr);
  b->publishedState_.clear();
  b->PublishState(true);
  b->nextStatus_ = Clock::time_point{};
}

void Bridge::OnSubscribe(mosquitto*, void* self, int, int count, const int* granted, const mosquitto_property*) {
  auto* b = static_cast<Bridge*>(self);
  const std::string tx = b->Topic("tx");
  if (count < 1 || granted[0] >= 0x80) {
    const std::string text = "the broker refused the subscription to " + tx + " (" +
                             Clause(mosquitto_reason_string(count < 1 ? MQTT_RC_UNSPECIFIED : granted[0])) +
                             "); requests for the PBX are not taken; check the broker's ACL";
    b->SetLastError(text);
    uint64_t skipped = 0;
    if (b->subscribeLine_.Due(text, Clock::now(), skipped)) Error(text);
  } else if (!b->subscribed_ && !b->txSaid_) {
    // Once: a reconnect that subscribes again is no news.
    Info("taking requests for the PBX on " + tx);
    b->txSaid_ = true;
  }
  b->subscribed_ = count >= 1 && granted[0] < 0x80;
}

void Bridge::OnPublish(mosquitto*, void* self, int mid, int reason, const mosquitto_property* props) {
  auto* b = static_cast<Bridge*>(self);
  if (mid == b->stateMid_) {
    b->stateMid_ = -1;
    if (reason >= 0x80) {
      // Tried again with the next status.
      b->publishedState_.clear();
      uint64_t skipped = 0;
      const std::string text = "the broker refused the publish on " + b->Topic("state") + ": " +
                               Clause(mosquitto_reason_string(reason)) + "; check the broker's ACL";
      b->SetLastError(text);
      b->refusedHere_ = text.substr(0, text.find(';'));
      if (b->refusedLine_.Due(text, Clock::now(), skipped)) Error(text + "; the retained state is sent again later");
    }
    return;
  }
  auto it = b->pending_.find(mid);
  if (it == b->pending_.end()) return;  // status or a tx answer
  const Pending record = it->second;
  b->pending_.erase(it);
  if (reason < 0x80) {
    b->spool_.Acknowledged(record.index);
    ++b->published_;
    if (b->probing_) {
      b->probing_ = false;
      b->refuseBackoffSeconds_ = 1;
      Info("the broker takes the records on " + b->settings_.topicPrefix + "/ again");
    }
    return;
  }
  // Refused (not authorised, quota, ...): the record stays in the spool and
  // is offered again after a pause, one at a time until one is taken, so
  // that an administrator who fixes the ACL loses nothing.
  b->spool_.Refused(record.index);
  ++b->refused_;
  const int pause = b->refuseBackoffSeconds_;
  b->refuseBackoffSeconds_ = std::min(b->refuseBackoffSeconds_ * 2, MAX_BACKOFF_SECONDS);
  b->publishPausedUntil_ = Clock::now() + std::chrono::seconds(pause);
  b->probing_ = true;
  const std::string topic = b->Topic(record.payload ? "rx" : "event");
  const std::string brokerText = ReasonString(props);
  const std::string text = "the broker refused the publish on " + topic + ": " +
                           Clause(mosquitto_reason_string(reason)) +
                           (brokerText.empty() ? "" : " (" + brokerText + ")") + "; check the broker's ACL";
  b->SetLastError(text);
  b->refusedHere_ = text.substr(0, text.find(';'));
  uint64_t skipped = 0;
  if (b->refusedLine_.Due(text, Clock::now(), skipped)) {
    Error(text + "; the record " + Identity(record.startId, record.sequence) +
          " stays in the spool and is offered again in " + std::to_string(pause) + " s (" +
          std::to_string(b->refused_.load()) + " refusals so far)");
  }
}

void Bridge::OnMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property* props) {
  auto* b = static_cast<Bridge*>(self);
  if (message->topic && b->Topic("tx") == message->topic) b->HandleTx(message, props);
}

void Bridge::Answer(const std::string& responseTopic, const std::vector<uint8_t>& correlation,
                    const std::string& result, const std::string& reason) {
  if (responseTopic.empty() || !connected_) return;
  const std::string body = "{\"result\":\"" + result + "\"" +
                           (reason.empty() ? std::string() : ",\"reason\":" + tools::JsonString(reason)) + "}";
  mosquitto_property* out = nullptr;
  if (!correlation.empty()) {
    mosquitto_property_add_binary(&out, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                  static_cast<uint16_t>(correlation.size()));
  }
  mosquitto_property_add_string_pair(&out, MQTT_PROP_USER_PROPERTY, "result", result.c_str());
  mosquitto_publish_v5(mosq_, nullptr, responseTopic.c_str(), static_cast<int>(body.size()), body.data(), 1, false,
                       out);
  mosquitto_property_free_all(&out);
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
  ControlCall call;
  char* responseTopic = nullptr;
  void* correlation = nullptr;
  uint16_t correlationLength = 0;
  mosquitto_property_read_string(props, MQTT_PROP_RESPONSE_TOPIC, &responseTopic, false);
  mosquitto_property_read_binary(props, MQTT_PROP_CORRELATION_DATA, &correlation, &correlationLength, false);
  if (responseTopic) call.responseTopic = responseTopic;
  if (correlation) {
    const auto* bytes = static_cast<const uint8_t*>(correlation);
    call.correlation.assign(bytes, bytes + correlationLength);
  }
  std::free(responseTopic);
  std::free(correlation);

  call.length = message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0;
  if (!addressOk) {
  } else if (call.length == 0) {
    reason = "the payload is empty";
  } else if (call.length > ctl::MAX_REQUEST_DATA) {
    reason =
        "the payload has " + std::to_string(call.length) + " bytes; at most " + std::to_string(ctl::MAX_REQUEST_DATA);
  } else {
    // Sent now, answered when kavro answers: the broker thread goes on
    // meanwhile, and a slow answer is never taken for a refusal.
    const std::string path = SocketPath(settings_.runDir, ctl::CONTROL_SOCKET_NAME);
    call.fd = ConnectSocket(path);
    if (call.fd < 0) {
      reason = "no kavro is running on " + settings_.runDir + " (" + std::strerror(errno) + ")";
    } else {
      const auto* bytes = static_cast<const uint8_t*>(message->payload);
      const auto packet = ctl::BuildRequest(ctl::MSG_COPYDATA, ctl::PayloadWord(address),
                                            std::vector<uint8_t>(bytes, bytes + call.length));
      if (send(call.fd, packet.data(), packet.size(), MSG_NOSIGNAL | MSG_DONTWAIT) !=
          static_cast<ssize_t>(packet.size())) {
        reason = std::string("kavro did not take the request: ") + std::strerror(errno);
        close(call.fd);
      } else {
        call.sent = Clock::now();
        calls_.push_back(std::move(call));
        return;
      }
    }
  }
  Answer(call.responseTopic, call.correlation, "refused", reason);
}

void Bridge::ServeControlCalls(const std::vector<pollfd>& fds, size_t first) {
  const auto now = Clock::now();
  for (size_t i = 0; i < calls_.size();) {
    ControlCall& call = calls_[i];
    const bool ready = first + i < fds.size() && fds[first + i].fd == call.fd &&
                       (fds[first + i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    const auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(now - call.sent).count();
    bool done = false;
    if (ready) {
      uint8_t answer[64];
      ssize_t n;
      do {
        n = recv(call.fd, answer, sizeof answer, MSG_DONTWAIT);
      } while (n < 0 && errno == EINTR);
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        ++i;
        continue;
      }
      const auto result = n > 0 ? ctl::ParseAnswer(answer, static_cast<size_t>(n)) : std::nullopt;
      std::string outcome, reason;
      if (!result) {
        // Closed, or not an answer: whether it went out is not known.
        outcome = "unknown";
        reason = "kavro closed the connection without an answer; the payload may have been sent to the PBX";
      } else if (*result != 0) {
        outcome = "accepted";
      } else {
        outcome = "refused";
        reason = ctl::RefusalMessage(call.length);
        const std::string prefix = "kavroctl: refused: ";
        if (reason.rfind(prefix, 0) == 0) reason = reason.substr(prefix.size());
      }
      if (call.answered) {
        Warn("kavro answered a request for the PBX " + std::to_string(waited / 1000) + " s late: " + outcome +
             (reason.empty() ? "" : " (" + reason + ")") + "; the requester was answered unknown");
      } else {
        Answer(call.responseTopic, call.correlation, outcome, reason);
      }
      done = true;
    } else if (!call.answered && waited >= TX_ANSWER_MS) {
      call.answered = true;
      Answer(call.responseTopic, call.correlation, "unknown",
             "kavro has not answered within " + std::to_string(TX_ANSWER_MS / 1000) +
                 " s; the payload may still be sent to the PBX");
      Warn("kavro has not answered a request for the PBX within " + std::to_string(TX_ANSWER_MS / 1000) +
           " s; answered unknown, and waiting for kavro's answer");
    } else if (call.answered && waited >= LATE_ANSWER_MS) {
      Warn("kavro never answered a request for the PBX; whether it was sent is not known");
      done = true;
    }
    if (done) {
      close(call.fd);
      calls_.erase(calls_.begin() + static_cast<long>(i));
    } else {
      ++i;
    }
  }
}

void Bridge::PublishState(bool force) {
  // Until the reader knows the link's state, a retained `down` would be a
  // guess, and a wrong one whenever the link is up.
  if (!connected_ || !stateKnown_) return;
  const std::string state = linkUp_ ? "up" : "down";
  if (!force && state == publishedState_) return;
  const std::string topic = Topic("state");
  int mid = 0;
  if (mosquitto_publish_v5(mosq_, &mid, topic.c_str(), static_cast<int>(state.size()), state.data(), 1, true,
                           nullptr) == MOSQ_ERR_SUCCESS) {
    publishedState_ = state;
    stateMid_ = mid;
  }
}

std::string Bridge::StatusJson(bool last) {
  const SpoolCounts counts = spool_.Counts();
  auto n = [](uint64_t v) { return std::to_string(v); };
  auto text = [](const std::string& v) { return v.empty() ? std::string("null") : tools::JsonString(v); };
  std::string error, errorAt;
  {
    std::lock_guard<std::mutex> lock(errorMutex_);
    error = lastError_;
    if (!error.empty()) errorAt = IsoTime(lastErrorAt_);
  }
  std::optional<ctl::Status> status;
  std::string statusError;
  if (!last) status = KavroStatus(settings_.runDir, statusError);
  // The library says whether it keeps records for the bridge as soon as the
  // bridge is connected, before any record comes.
  const bool acknowledged =
      !plainLibrary_ && (acknowledged_ || (status && kavroRunning_ && status->acknowledgedClients >= 1));
  const bool brokerConnected = connected_ && !last;
  const std::string bridge = "\"bridge\":{\"version\":" + tools::JsonString(KAVRO_VERSION) +
                             ",\"client_id\":" + tools::JsonString(settings_.clientId) +
                             ",\"broker_connected\":" + (brokerConnected ? "true" : "false") +
                             ",\"connected_since\":" + text(brokerConnected ? IsoTime(connectedSince_) : "") +
                             ",\"last_error\":" + text(error) + ",\"last_error_time\":" + text(errorAt) +
                             ",\"acknowledged\":" + (acknowledged ? "true" : "false") +
                             ",\"spool_records\":" + n(counts.records) + ",\"spool_bytes\":" + n(counts.bytes) +
                             ",\"spool_max\":" + n(settings_.spoolMax) + ",\"records_dropped\":" + n(counts.dropped) +
                             ",\"records_published\":" + n(published_) + ",\"records_refused\":" + n(refused_) +
                             ",\"repeats_skipped\":" + n(repeatsSkipped_) + "}";
  const std::string time = "\"time\":\"" + IsoTime(std::chrono::system_clock::now()) + "\",";
  if (last) {
    // The bridge's last word: it no longer tells how the link is.
    return "{" + time + "\"link\":" + tools::JsonString(settings_.link) + ",\"state\":\"offline\"," + bridge + "}";
  }
  if (!status) {
    return "{" + time + "\"link\":" + tools::JsonString(settings_.link) +
           ",\"state\":\"not running\",\"error\":" + tools::JsonString(statusError) + "," + bridge + "}";
  }
  std::string json = ctl::FormatStatusJson(*status);
  json.insert(json.size() - 1, "," + bridge);
  json.insert(1, time);
  return json;
}

void Bridge::PublishStatus(bool last) {
  if (!connected_) return;
  const std::string json = StatusJson(last);
  const std::string topic = Topic("status");
  mosquitto_publish_v5(mosq_, nullptr, topic.c_str(), static_cast<int>(json.size()), json.data(), 1, true, nullptr);
  nextStatus_ = Clock::now() + std::chrono::milliseconds(STATUS_INTERVAL_MS);
}

void Bridge::PumpPublishes() {
  if (probing_ && Clock::now() < publishPausedUntil_) return;
  const size_t window = probing_ ? 1 : WINDOW;
  SpoolRecord record;
  while (connected_ && pending_.size() < window && spool_.Peek(record)) {
    const bool payload = record.kind == SPOOL_PAYLOAD;
    const std::string id = Identity(record.startId, record.sequence);
    const std::string topic = Topic(payload ? "rx" : "event");
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
    pending_[mid] = Pending{record.index, record.startId, record.sequence, payload};
    spool_.Published(record.index);
  }
}

void Bridge::ApplyReload() {
  Settings next;
  {
    std::lock_guard<std::mutex> lock(reloadMutex_);
    if (!reload_) return;
    next = std::move(*reload_);
    reload_.reset();
  }
  // What the running process holds open stays until the next start.
  for (const auto& [name, was, is] :
       {std::tuple<const char*, std::string, std::string>{"run-dir", settings_.runDir, next.runDir},
        {"spool-dir", settings_.spoolDir, next.spoolDir},
        {"spool-max", std::to_string(settings_.spoolMax), std::to_string(next.spoolMax)}}) {
    if (was != is) Warn("reload: " + std::string(name) + " changes only when kavro-mqtt starts again; still " + was);
  }
  std::string newPassword;
  std::string error;
  const bool passwordSame =
      next.passwordFile.empty() || (ReadPassword(next.passwordFile, newPassword, error) && newPassword == password_);
  // Field by field: the reader thread reads the run directory and the
  // spool's bound meanwhile, which stay as they are.
  auto take = [this](Settings& from) {
    settings_.broker = from.broker;
    settings_.address = from.address;
    settings_.topicPrefix = from.topicPrefix;
    settings_.json = from.json;
    settings_.caFile = from.caFile;
    settings_.certFile = from.certFile;
    settings_.keyFile = from.keyFile;
    settings_.username = from.username;
    settings_.passwordFile = from.passwordFile;
    settings_.clientId = from.clientId;
    settings_.keepalive = from.keepalive;
  };
  if (SameBroker(settings_, next) && passwordSame) {
    take(next);
    Info("reloaded the settings; the broker settings are the same, the connection stays");
    return;
  }
  if (connected_ || connecting_) {
    // The will goes out: `offline` under the old prefix.
    mosquitto_disconnect_v5(mosq_, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
    for (int i = 0; i < 20 && mosquitto_want_write(mosq_); ++i) {
      if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS) break;
    }
  }
  // What the old client had in flight goes out again on the new one.
  for (const auto& [mid, record] : pending_) spool_.Refused(record.index);
  pending_.clear();
  stateMid_ = -1;
  connected_ = connecting_ = subscribed_ = false;
  probing_ = false;
  if (next.topicPrefix != settings_.topicPrefix) txSaid_ = false;
  take(next);
  clientReady_ = false;
  backoffSeconds_ = 1;
  longBackoffSeconds_ = 0;
  nextAttempt_ = Clock::now();
  Info("reloaded the settings; the broker settings changed: connecting to " + settings_.broker + " anew");
}

void Bridge::Step(int maxWaitMs) {
  if (reloadPending_.exchange(false)) ApplyReload();
  const auto now = Clock::now();
  int wait = maxWaitMs;
  if (!connected_ && !connecting_) {
    if (now >= nextAttempt_) {
      TryConnect();
      if (failed_) return;
    }
    if (!connecting_ && !connected_) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nextAttempt_ - Clock::now()).count() + 1;
      wait = std::max(0, std::min<int>(wait, static_cast<int>(left)));
    }
  }
  if (probing_ && connected_ && pending_.empty()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(publishPausedUntil_ - Clock::now()).count() + 1;
    wait = std::max(0, std::min<int>(wait, static_cast<int>(left)));
  }
  std::vector<pollfd> fds{{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
  const int sock = (connected_ || connecting_) ? mosquitto_socket(mosq_) : -1;
  if (sock >= 0) fds[1] = {sock, static_cast<short>(POLLIN | (mosquitto_want_write(mosq_) ? POLLOUT : 0)), 0};
  for (const auto& call : calls_) fds.push_back({call.fd, POLLIN, 0});
  if (!calls_.empty()) wait = std::min(wait, 500);
  int ready = poll(fds.data(), fds.size(), wait);
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
  ServeControlCalls(fds, 2);
  if (connected_) {
    // Only a connection that lasts resets the back-off.
    if (Clock::now() - connectedAt_ >= std::chrono::seconds(STABLE_CONNECTION_SECONDS)) {
      backoffSeconds_ = 1;
      longBackoffSeconds_ = 0;
    }
    PumpPublishes();
    if (stateChanged_.exchange(false)) {
      PublishState(false);
      nextStatus_ = Clock::time_point{};
    }
    if (Clock::now() >= nextStatus_) {
      PublishState(false);
      PublishStatus();
    }
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
    // A status that no longer vouches for the link, then the will: the
    // broker publishes `offline`.
    PublishStatus(true);
    mosquitto_disconnect_v5(mosq_, MQTT_RC_DISCONNECT_WITH_WILL_MSG, nullptr);
    for (int i = 0; i < 20 && mosquitto_want_write(mosq_); ++i) {
      if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS) break;
    }
  }
  const SpoolCounts counts = spool_.Counts();
  Info("stopped; " + std::to_string(counts.records) + " records wait in the spool for the next start");
}

void Bridge::Nap(int ms) {
  for (int left = ms; left > 0 && !stopping_ && !failed_; left -= 100) poll(nullptr, 0, std::min(left, 100));
}

bool Bridge::AppendDurably(std::vector<SpoolRecord>& batch) {
  // A write error (a full disk) keeps the records with kavro's library:
  // nothing is acknowledged that is not on disk, and nothing more is read
  // until the spool takes writes again.
  int retryMs = 1000;
  bool said = false;
  uint64_t tries = 0;
  while (!batch.empty()) {
    uint64_t dropped = 0;
    std::string error;
    const bool ok = spool_.Append(batch, dropped, error);
    if (dropped > 0) {
      Warn("the spool is full (" + std::to_string(settings_.spoolMax) + " bytes): dropped the " +
           std::to_string(dropped) + " oldest unpublished records (" + std::to_string(spool_.Counts().dropped) +
           " in all)");
      stateChanged_ = true;  // the status shows the count at once
    }
    if (ok) break;
    ++tries;
    SetLastError(error);
    if (!said) {
      Error(error +
            "; the records stay with kavro's library and nothing more is taken until the spool can be "
            "written; trying again every few seconds");
      said = true;
    }
    Nap(retryMs);
    retryMs = std::min(retryMs * 2, SPOOL_RETRY_MAX_MS);
    if (stopping_ || failed_) return false;
  }
  if (said) Info("the spool takes writes again after " + std::to_string(tries) + " failed tries; going on");
  return true;
}

void Bridge::RunReader() {
  const std::string path = SocketPath(settings_.runDir, ctl::DELIVERY_SOCKET_NAME);
  std::vector<uint8_t> buffer(KAVROD_ID_HEADER_SIZE + KAVROD_PAYLOAD_MAX + 1);
  bool waiting = false;
  bool plainWarned = false;
  // Identities for a library without acknowledgements: this bridge's own.
  uint64_t plainStart = NewStartId();
  uint64_t plainSequence = 0;
  // A connection the library closes at once (the acknowledged slot taken)
  // is tried again after 1 s, doubling to a minute.
  int retrySeconds = 1;
  std::string lastSaid;
  while (!stopping_ && !failed_) {
    int fd = ConnectSocket(path);
    if (fd < 0) {
      if (!waiting) {
        Warn("kavro is not running on " + settings_.runDir + " (cannot connect to " + path + ": " +
             std::strerror(errno) + "); waiting for it");
        waiting = true;
        lastSaid.clear();
      }
      kavroRunning_ = false;
      stateKnown_ = true;
      if (linkUp_.exchange(false)) stateChanged_ = true;
      Wake();
      Nap(KAVRO_RETRY_MS);
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
    if (lastSaid.empty()) Info("taking the records of kavro on " + settings_.runDir);
    const auto opened = std::chrono::steady_clock::now();
    uint64_t records = 0;
    bool shutdown = false;
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
        const uint32_t rawKind = Get32(buffer.data());
        const uint32_t kind = rawKind & ~KAVROD_RECORD_AGAIN;
        // Served again from kavro's record log after a restart: its event
        // says how the link was then, not how it is.
        const bool again = (rawKind & KAVROD_RECORD_AGAIN) != 0;
        const uint32_t value = Get32(buffer.data() + 4);
        SpoolRecord record;
        record.value = value;
        if (kind == KAVROD_RECORD_LINK_STATE) {
          if (linkUp_.exchange(value == 1) != (value == 1)) stateChanged_ = true;
          if (!stateKnown_.exchange(true)) stateChanged_ = true;
          continue;
        }
        if ((kind == KAVROD_RECORD_PAYLOAD_ID || kind == KAVROD_RECORD_LINK_EVENT_ID) &&
            size >= KAVROD_ID_HEADER_SIZE) {
          acknowledged_ = true;
          plainLibrary_ = false;
          record.kind = kind == KAVROD_RECORD_PAYLOAD_ID ? SPOOL_PAYLOAD : SPOOL_EVENT;
          record.startId = Get64(buffer.data() + 8);
          record.sequence = Get64(buffer.data() + 16);
          record.bytes.assign(buffer.data() + KAVROD_ID_HEADER_SIZE, buffer.data() + size);
          // Everything delivered so far on this connection: the last
          // record's sequence, not the highest, since a record log may bring
          // old records of another id before the new ones.
          ackUpTo = record.sequence;
          acked = true;
          ++records;
          // Delivered again after this bridge or kavro went away: spooled already.
          if (spool_.Holds(record.startId, record.sequence)) {
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
          plainLibrary_ = true;
          ++records;
          record.kind = kind == KAVROD_RECORD_PAYLOAD ? SPOOL_PAYLOAD : SPOOL_EVENT;
          record.startId = plainStart;
          record.sequence = ++plainSequence;
          record.bytes.assign(buffer.data() + 8, buffer.data() + size);
        } else {
          continue;  // a kind this bridge does not know
        }
        if (record.kind == SPOOL_EVENT && !again) {
          const bool up = value == KAVRO_EVENT_ESTABLISHED;
          const bool down = value == KAVRO_EVENT_SHUTDOWN || value == KAVRO_EVENT_FAILED;
          if (value == KAVRO_EVENT_SHUTDOWN) shutdown = true;
          if ((up || down) && linkUp_.exchange(up) != up) stateChanged_ = true;
        }
        bytes += record.bytes.size();
        batch.push_back(std::move(record));
      }
      if (!AppendDurably(batch)) break;
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
    if (stopping_ || failed_) break;
    // Why the library closed the connection: kavro ended, another client
    // holds the acknowledged slot, or this bridge fell behind.
    std::string statusError;
    const auto status = shutdown ? std::nullopt : KavroStatus(settings_.runDir, statusError);
    std::string text;
    bool again = false;
    if (!status) {
      text = "kavro on " + settings_.runDir + " ended; waiting for it to start again";
    } else if (records == 0 && status->acknowledgedClients >= 1) {
      text = "kavro on " + settings_.runDir +
             " closed this bridge's connection: another acknowledged client holds the link's records (another "
             "kavro-mqtt, or a client of the socket group); trying again in " +
             std::to_string(retrySeconds) + " s, then up to every " + std::to_string(MAX_BACKOFF_SECONDS) + " s";
      again = true;
    } else if (records == 0 &&
               std::chrono::steady_clock::now() - opened < std::chrono::seconds(STABLE_CONNECTION_SECONDS)) {
      text = "kavro's library on " + settings_.runDir + " closed this bridge's connection at once; trying again in " +
             std::to_string(retrySeconds) + " s, then up to every " + std::to_string(MAX_BACKOFF_SECONDS) + " s";
      again = true;
    } else {
      text = "kavro's library on " + settings_.runDir +
             " closed this bridge's connection (it fell behind); taking the records again";
    }
    // A refused connection says nothing about the link: kavro's status does.
    const bool up = again && status && status->linkState == KAVRO_LINK_STATE_ESTABLISHED;
    if (linkUp_.exchange(up) != up) stateChanged_ = true;
    Wake();
    // Said once while the reason stays; the numbers in it change.
    const std::string key = text.substr(0, text.find(';'));
    if (key != lastSaid) {
      (again ? Error : Warn)(text);
      SetLastError(text.substr(0, text.find(';')));
    }
    lastSaid = again ? key : "";
    if (again) {
      Nap(retrySeconds * 1000);
      retrySeconds = std::min(retrySeconds * 2, MAX_BACKOFF_SECONDS);
    } else {
      retrySeconds = 1;
    }
  }
}

}  // namespace kavro::mqtt
