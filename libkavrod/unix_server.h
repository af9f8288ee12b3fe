// The Unix socket side of the default companion library: the socket in the
// run directory, the lock file that says the directory is served, and the
// service thread that accepts clients and writes their records.
#ifndef KAVROD_UNIX_SERVER_H
#define KAVROD_UNIX_SERVER_H

#include <sys/types.h>

#include <atomic>
#include <memory>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "delivery_core.h"

namespace kavrod {

class UnixServer final {
 public:
  // `group`: the group to give the socket each time it is created; -1
  // leaves it the process's.
  explicit UnixServer(const std::string& run_dir, Limits limits = {}, gid_t group = static_cast<gid_t>(-1));
  ~UnixServer();
  UnixServer(const UnixServer&) = delete;
  UnixServer& operator=(const UnixServer&) = delete;

  int32_t Deliver(uint32_t address, void* payload, uint32_t length);
  int32_t WaitForRoom(uint32_t timeout_ms);
  bool QueryStatus(KavrodStatus* status) const;
  void Signal(uint32_t code);
  // Opens the record log in `directory` and serves the acknowledged client
  // from it; before the first record only.
  bool OpenRecordLog(const std::string& directory, uint64_t max_bytes, bool sync_always, std::string* error);
  // Hands the clients what is queued (waiting a bounded time), closes them
  // and removes the socket. Later calls are refused.
  void Stop();

  // The core's hooks: rouse the service thread; is a connection waiting at
  // the listener.
  void Wake();
  bool ClientWaiting();

 private:
  struct Conn {
    DeliveryCore::ClientId id = 0;
    int fd = -1;
    bool blocked = false;
    // The client shut down its sending side: stop reading from it.
    bool read_closed = false;
    // When to look again whether a new client has read its first record.
    int64_t check_at = -1;
    int64_t check_delay = 0;
  };

  void Run();
  void TryListen(int64_t now);
  std::string Listen();
  void CloseListener();
  void AcceptClients(int64_t now);
  void CheckIntroduction(Conn& c, int64_t now);
  void ReadRequests(Conn& c);
  size_t SendSome(Conn& c, int64_t now, uint64_t* work);
  void CloseRetired();
  void ReportRefusals(int64_t now, bool all);
  // Closes retired clients, frees done payload blocks (all of them, or all
  // but the newest few while the link runs) and reports the core's lines.
  void Housekeeping(bool leave_for_producer = false);
  void Report(const std::string& line);

  // Declared before the core that reads it, so that it is destroyed after.
  std::unique_ptr<RecordLog> log_;
  DeliveryCore core_;
  const std::string path_;
  const std::string lock_path_;
  const gid_t group_;
  int wake_fd_ = -1;
  std::thread thread_;
  std::mutex stop_mutex_;
  bool stopped_ = false;
  // The listener, for producers to look at; set once.
  std::atomic<int> listener_{-1};
  // Set from before a connection leaves the listener until the core has
  // taken it in: a client in between is still waiting.
  std::atomic<bool> accepting_{false};

  // The service thread's own; nobody else touches these once it runs.
  int listen_fd_ = -1;
  int lock_fd_ = -1;
  dev_t socket_dev_ = 0;
  ino_t socket_ino_ = 0;
  int64_t next_listen_try_ = 0;
  std::string listen_failure_;
  int64_t accept_paused_until_ = -1;
  bool accept_failure_reported_ = false;
  int64_t next_refusal_report_ = 0;
  uint64_t refused_unreported_ = 0;
  std::vector<Conn> conns_;
  uint64_t retired_seen_ = 0;
  // This thread took a client out during the turn.
  bool hung_up_ = false;
  std::vector<void*> to_free_;
  std::vector<std::string> notices_;
};

}  // namespace kavrod

#endif  // KAVROD_UNIX_SERVER_H
