// What the page shows, gathered once for every open page: the link's records
// read from the companion library as an observer, kavro's status read from
// the control socket once a second, and, with a broker, the bridge's status.
// Every list is a window (the last 200 records, 600 one-second points, an
// hour of states), so nothing grows over a long run.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "settings.h"

namespace kavro::web {

constexpr size_t RECORDS_KEPT = 200;
constexpr size_t SAMPLES_KEPT = 600;
constexpr int64_t TIMELINE_MS = 3600 * 1000;

// Where a page stands: what it has been sent so far.
struct PageCursor {
  uint64_t records = 0;   // the number of the last record sent
  int64_t sample = 0;     // the time (s) of the last point sent
  uint64_t timeline = 0;  // the timeline's version sent
  uint64_t version = 0;   // the monitor's version sent
};

class Monitor {
 public:
  explicit Monitor(const Settings& settings);
  ~Monitor();
  void Start();
  void Stop();

  // Waits up to `ms` for anything new past `cursor.version`.
  void WaitForChange(const PageCursor& cursor, int ms);
  // The JSON of one update: what is new to the page since `cursor` (all of
  // it for a fresh cursor), and moves the cursor on.
  std::string Update(PageCursor& cursor);
  bool Stopping() const { return stopping_.load(); }

  // The bridge's status as read from the broker (JSON, or empty), and
  // whether the broker connection is up.
  void SetBridge(const std::string& json, bool brokerConnected, const std::string& error);
  // The bridge's retained state: up, down, or offline (its last will).
  void SetBridgeState(const std::string& state);

 private:
  struct Record {
    uint64_t number;
    int64_t timeMs;
    uint32_t address;
    std::string bytes;
  };
  struct Sample {
    int64_t second;
    uint64_t rx, tx, retransmissions, rejected, damaged, resets;
  };
  struct Span {
    int64_t fromMs;
    std::string state;
  };

  void ReadRecords();
  void PollStatus();
  void EnterState(const std::string& state, int64_t nowMs);  // lock held
  void Changed();                                            // lock held

  const Settings& settings_;
  std::atomic<bool> stopping_{false};
  std::thread reader_, poller_;
  std::mutex stopMutex_;
  std::condition_variable stopCv_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t version_ = 1;
  std::deque<Record> records_;
  uint64_t recordNumber_ = 0;
  std::deque<Sample> samples_;
  std::deque<Span> timeline_;
  uint64_t timelineVersion_ = 1;
  std::string state_ = "not running";
  int64_t stateSinceMs_ = 0;
  // kavro's status does not say when the link entered its state: until a
  // change is seen here, the time is this program's first look at it.
  bool stateSinceSeen_ = false;
  bool firstLook_ = true;
  std::string statusJson_ = "null";
  std::string kavroError_;
  bool observing_ = false;
  uint64_t missed_ = 0;
  uint64_t observed_ = 0;
  std::string bridgeJson_;
  std::string bridgeState_;
  bool brokerConnected_ = false;
  std::string brokerError_;
};

int64_t WallMs();

}  // namespace kavro::web
