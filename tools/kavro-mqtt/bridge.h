// The bridge between one kavro link and an MQTT broker. Two threads:
//
// - the library reader takes records from RUN_DIR/kavrod as the acknowledged
//   client, appends each batch to the spool, syncs it, and only then
//   acknowledges it to the library, so a record is always either in the
//   library or on disk;
// - the broker thread owns the MQTT connection: it publishes from the spool
//   with at most WINDOW records unacknowledged, removes what the broker
//   PUBACKs, keeps `state` and `status` current, and sends `tx` requests to
//   kavro's control socket, answering on the response topic.
//
// A passing fault (broker away, login or certificate refused after a
// rotation, a publish the ACL refuses, a full disk, another client in the
// acknowledged slot) is said with its reason and waited out with back-off;
// only a refusal seen from a terminal before the first connection ends the
// program, so that a typo shows at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "settings.h"
#include "spool.h"

struct mosquitto;
struct mosquitto_message;
struct pollfd;
typedef struct mqtt5__property mosquitto_property;

namespace kavro::mqtt {

// A line said again only when its text changes or a minute has passed.
class RateLimitedLine {
 public:
  // True when `key` should be said now; `skipped` is how many times it was
  // held back since it was last said.
  bool Due(const std::string& key, std::chrono::steady_clock::time_point now, uint64_t& skipped);

 private:
  std::string key_;
  std::chrono::steady_clock::time_point said_{};
  uint64_t skipped_ = 0;
};

class Bridge {
 public:
  // `fromTerminal`: not run by the service manager, so a refusal before the
  // first connection ends the program instead of being retried.
  Bridge(const Settings& settings, Spool& spool, bool fromTerminal);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Sets the MQTT client up and tries the first connection, waiting for
  // the broker's answer. False with `error` only from a terminal, when the
  // broker refused the login or the certificate or a file cannot be read.
  bool Start(std::string& error);

  // Runs both threads until Stop; the fatal message, if the bridge had to
  // give up, in `error`.
  void RunReader();
  void RunBroker();
  void Stop();
  bool Failed(std::string& error);
  // New settings (SIGHUP), taken over by the broker thread.
  void Reload(const Settings& settings);

 private:
  using Clock = std::chrono::steady_clock;
  enum class Fault { kNone, kNetwork, kRefused, kFiles };

  struct Pending {
    uint64_t index;
    uint64_t startId;
    uint64_t sequence;
    bool payload;
  };
  // A tx request sent to kavro's control socket, waiting for its answer.
  struct ControlCall {
    int fd = -1;
    Clock::time_point sent;
    bool answered = false;  // answered `unknown` already
    std::string responseTopic;
    std::vector<uint8_t> correlation;
    size_t length = 0;
  };

  // Broker thread.
  bool SetUpClient(std::string& error);
  void Step(int maxWaitMs);
  void TryConnect();
  void Lost(int rc, const std::string& why);
  void ConnectFailed(Fault fault, const std::string& reason, bool wasConnected);
  void ApplyReload();
  void PumpPublishes();
  void PublishState(bool force);
  void PublishStatus(bool last = false);
  void HandleTx(const mosquitto_message* message, const mosquitto_property* properties);
  void Answer(const std::string& responseTopic, const std::vector<uint8_t>& correlation, const std::string& result,
              const std::string& reason);
  void ServeControlCalls(const std::vector<::pollfd>& fds, size_t first);
  void Finish();
  std::string StatusJson(bool last);
  std::string Topic(const char* name) const { return settings_.topicPrefix + "/" + name; }

  static void OnConnect(mosquitto* mosq, void* self, int rc, int flags, const mosquitto_property* props);
  static void OnPublish(mosquitto* mosq, void* self, int mid, int reason, const mosquitto_property* props);
  static void OnSubscribe(mosquitto* mosq, void* self, int mid, int count, const int* granted,
                          const mosquitto_property* props);
  static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message, const mosquitto_property* props);
  static void OnLog(mosquitto* mosq, void* self, int level, const char* text);

  // Reader thread.
  bool AppendDurably(std::vector<SpoolRecord>& batch);
  void Nap(int ms);

  void Wake();
  void Fatal(const std::string& message);
  void SetLastError(const std::string& text);

  Settings settings_;
  Spool& spool_;
  const bool fromTerminal_;
  mosquitto* mosq_ = nullptr;
  int wakeFd_ = -1;
  std::string password_;

  // Connection state, broker thread only.
  bool connected_ = false;
  bool connecting_ = false;
  bool everConnected_ = false;
  bool clientReady_ = false;  // the client is set up for the current settings
  bool attempted_ = false;    // it has tried a connection: reconnects from now on
  bool subscribed_ = false;
  int backoffSeconds_ = 1;
  int longBackoffSeconds_ = 0;
  Clock::time_point nextAttempt_{};
  Clock::time_point connectStarted_{};
  Clock::time_point connectedAt_{};
  std::chrono::system_clock::time_point connectedSince_{};
  Clock::time_point nextStatus_{};
  Clock::time_point nextSave_{};
  std::string lastLogError_;
  std::string refusedText_;  // the broker's own reason string, if it gave one
  int refusedReason_ = 0;
  RateLimitedLine connectLine_;
  std::map<int, Pending> pending_;  // message id -> record
  std::string publishedState_;
  int stateMid_ = -1;
  // Refused publishes: publishing pauses, then goes on one at a time until
  // the broker takes one again.
  bool probing_ = false;
  int refuseBackoffSeconds_ = 1;
  Clock::time_point publishPausedUntil_{};
  RateLimitedLine refusedLine_;
  RateLimitedLine subscribeLine_;
  bool txSaid_ = false;
  std::string refusedHere_;  // the last refusal on this connection
  std::vector<ControlCall> calls_;

  // Shared between the threads.
  std::atomic<bool> stopping_{false};
  std::atomic<bool> failed_{false};
  std::atomic<bool> linkUp_{false};
  std::atomic<bool> stateKnown_{false};  // the reader has learned the link's state
  std::atomic<bool> kavroRunning_{false};
  std::atomic<bool> acknowledged_{false};
  std::atomic<bool> plainLibrary_{false};
  std::atomic<bool> stateChanged_{false};
  std::atomic<bool> reloadPending_{false};
  std::atomic<uint64_t> published_{0};
  std::atomic<uint64_t> refused_{0};
  std::atomic<uint64_t> repeatsSkipped_{0};
  std::mutex fatalMutex_;
  std::string fatal_;
  std::mutex errorMutex_;
  std::string lastError_;
  std::chrono::system_clock::time_point lastErrorAt_{};
  std::mutex reloadMutex_;
  std::optional<Settings> reload_;
};

}  // namespace kavro::mqtt
