// The named pipe \\.\pipe\kavrod through which KAVROD32.dll serves client
// programs: message mode, local clients only, one record per message. The
// queueing is the portable core the Linux library uses (delivery_core); this
// is only the pipe in front of it. A service thread of the library's own
// accepts clients, reads their credit requests and writes their records with
// overlapped I/O, so that the link driver's calls only put records on the
// shared log.
//
// A pipe server cannot see whether a client has read its first record, which
// is how the Unix server tells a client that counts its records from a plain
// one. So a new pipe client gets its link-state record at once, and nothing
// else until it either sends a credit or CREDIT_GRACE_MS pass after it
// connected without one; then it is served as a plain client.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct KavrodStatus;

namespace kavrod {
class DeliveryCore;
struct Limits;
}  // namespace kavrod

namespace kavrod32 {

constexpr const char* PIPE_NAME = "\\\\.\\pipe\\kavrod";

class PipeServer {
 public:
  // How long a new client may take to send its first credit before it is
  // served as a plain client.
  static constexpr int64_t CREDIT_GRACE_MS = 200;
  // How long the shutdown event waits for the clients to take what is
  // queued.
  static constexpr int64_t SHUTDOWN_FLUSH_MS = 2000;
  static constexpr int64_t LISTEN_RETRY_MS = 1000;

  explicit PipeServer(const char* name = PIPE_NAME);
  // With other queue limits, for the tests.
  PipeServer(const char* name, const kavrod::Limits& limits);
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // The library's module: the service thread holds a reference on it and
  // drops it as it ends, so the code it runs is never unloaded under it.
  void SetModule(void* module) { module_ = module; }

  // Creates the first pipe instance at once, so that a client started right
  // after the driver finds it, and starts the service thread.
  bool Start();

  // DeliverPayload: takes `payload` (a malloc block) on any result but -1.
  int32_t Deliver(uint32_t address, void* payload, uint32_t length);
  // KavrodWaitForRoom and KavrodQueryStatus.
  int32_t WaitForRoom(uint32_t timeout_ms);
  bool QueryStatus(KavrodStatus* status) const;
  // SignalLinkEvent; event 0 returns once every connected client has been
  // handed everything queued (or after SHUTDOWN_FLUSH_MS), and stops the
  // server.
  void Signal(uint32_t code);
  // Stops serving after handing the clients what is queued, within the
  // flush time. Later calls are refused.
  void Stop();

  struct Client;

 private:
  static unsigned long __stdcall ServiceThread(void* self);
  void Run();
  bool Listen(int64_t now);
  bool ConnectDone() const;
  void TakeConnected(int64_t now);
  void StartIo(Client& client, int64_t now);
  bool Settling() const;
  void HangUp(Client& client);
  void CloseClient(Client& client);
  void Housekeeping();
  void ReportRefusals(int64_t now, bool all);
  void Wake();
  static void Report(const std::string& line);

  std::unique_ptr<kavrod::DeliveryCore> core_;
  std::string name_;
  void* thread_ = nullptr;
  void* wake_ = nullptr;
  void* module_ = nullptr;
  void* security_ = nullptr;
  // The instance waiting for the next client, and its connect. The event is
  // also what producers look at to see whether a client is waiting.
  void* listening_ = nullptr;
  void* connectEvent_ = nullptr;
  void* connectOverlapped_ = nullptr;
  std::atomic<bool> connected_{false};
  bool everListened_ = false;
  int64_t nextListenTry_ = 0;
  std::string listenFailure_;

  // The service thread's own; the completion routines run on it too.
  std::vector<Client*> clients_;
  int64_t nextRefusalReport_ = 0;
  uint64_t refusedUnreported_ = 0;
  std::vector<void*> toFree_;
  std::vector<std::string> notices_;

  std::mutex stopMutex_;
  bool stopped_ = false;
};

}  // namespace kavrod32
