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
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "settings.h"
#include "spool.h"

struct mosquitto;
struct mosquitto_message;
typedef struct mqtt5__property mosquitto_property;

namespace kavro::mqtt {

class Bridge {
 public:
  Bridge(const Settings& settings, Spool& spool);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  // Sets the MQTT client up and tries the first connection, waiting for
  // the broker's answer. False with `error` when the broker refused the
  // login or the certificate, or a file cannot be read: the program cannot
  // run as configured. An unreachable broker is not an error: the records
  // wait in the spool while the bridge retries.
  bool Start(std::string& error);

  // Runs both threads until Stop; the fatal message, if the bridge had to
  // give up, in `error`.
  void RunReader();
  void RunBroker();
  void Stop();
  bool Failed(std::string& error);

 private:
  using Clock = std::chrono::steady_clock;

  // Broker thread.
  void Step(int maxWaitMs);
  void TryConnect();
  void Lost(int rc, const std::string& why);
  void PumpPublishes();
  void PublishState(bool force);
  void PublishStatus();
  void HandleTx(const mosquitto_message* message, const mosquitto_property* properties);
  void Finish();
  std::string StatusJson();

  static void OnConnect(mosquitto* mosq, void* self, int rc, int flags, const mosquitto_property* props);
  static void OnPublish(mosquitto* mosq, void* self, int mid, int reason, const mosquitto_property* props);
  static void OnSubscribe(mosquitto* mosq, void* self, int mid, int count, const int* granted,
                          const mosquitto_property* props);
  static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message, const mosquitto_property* props);
  static void OnLog(mosquitto* mosq, void* self, int level, const char* text);

  void Wake();
  void Fatal(const std::string& message);

  const Settings& settings_;
  Spool& spool_;
  mosquitto* mosq_ = nullptr;
  int wakeFd_ = -1;
  std::string password_;

  // Connection state, broker thread only.
  bool connected_ = false;
  bool connecting_ = false;
  bool everConnected_ = false;
  bool subscribed_ = false;
  bool outage_ = false;  // the loss was reported; silence until connected again
  int backoffSeconds_ = 1;
  Clock::time_point nextAttempt_{};
  Clock::time_point connectStarted_{};
  Clock::time_point nextStatus_{};
  Clock::time_point nextSave_{};
  std::string lastLogError_;
  int refusedReason_ = 0;
  std::map<int, uint64_t> pending_;  // message id -> spool index
  std::string publishedState_;
  std::map<int, uint64_t> refusedReasons_;

  // Shared between the threads.
  std::atomic<bool> stopping_{false};
  std::atomic<bool> failed_{false};
  std::atomic<bool> linkUp_{false};
  std::atomic<bool> kavroRunning_{false};
  std::atomic<bool> acknowledged_{false};
  std::atomic<bool> stateChanged_{false};
  std::atomic<uint64_t> published_{0};
  std::atomic<uint64_t> refused_{0};
  std::atomic<uint64_t> repeatsSkipped_{0};
  std::mutex fatalMutex_;
  std::string fatal_;
};

}  // namespace kavro::mqtt
