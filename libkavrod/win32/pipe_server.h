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
//
// Several instances of the pipe listen at once, so that clients connecting
// in the same instant each find one; an instance is replaced before it is
// handed to its client. What the library has to say (clients dropped or
// refused, the pipe unavailable) goes to a notice sink the host sets, or to
// the debugger output and the error output; it is written by a thread of
// its own, so that a sink or an error output that blocks never holds up the
// clients.
#pragma once

#include <cstddef>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct KavrodStatus;

namespace kavrod {
class DeliveryCore;
class RecordLog;
struct Limits;
}  // namespace kavrod

namespace kavrod32 {

constexpr const char* PIPE_NAME = "\\\\.\\pipe\\kavrod";

// Where the notices go: called on the library's notice thread, one line at a
// time, without a line end, with the line's level: the trace log's level
// bits for an error and a warning.
constexpr uint32_t NOTICE_ERROR = 1;
constexpr uint32_t NOTICE_WARNING = 2;
using NoticeSink = void(__stdcall*)(void* context, uint32_t level, const char* line);

class PipeServer {
 public:
  // How long a new client may take to send its first credit before it is
  // served as a plain client.
  static constexpr int64_t CREDIT_GRACE_MS = 200;
  // How long the shutdown event waits for the clients to take what is
  // queued.
  static constexpr int64_t SHUTDOWN_FLUSH_MS = 2000;
  static constexpr int64_t LISTEN_RETRY_MS = 1000;
  // Instances listening at any time: so many clients may connect in the
  // same instant without finding the pipe busy.
  static constexpr size_t LISTENING_INSTANCES = 16;
  // Notices waiting for the notice thread; beyond that they are counted
  // and the count is reported instead.
  static constexpr size_t NOTICES_MAX = 256;
  // Notices made before the host has set a sink wait that long for one.
  static constexpr int64_t NOTICE_SINK_WAIT_MS = 500;

  explicit PipeServer(const char* name = PIPE_NAME);
  // With other queue limits, for the tests.
  PipeServer(const char* name, const kavrod::Limits& limits);
  ~PipeServer();
  PipeServer(const PipeServer&) = delete;
  PipeServer& operator=(const PipeServer&) = delete;

  // The library's module: the service thread holds a reference on it and
  // drops it as it ends, so the code it runs is never unloaded under it.
  void SetModule(void* module) { module_ = module; }

  // How an instance of the pipe is made: CreateNamedPipeA with these
  // arguments (a HANDLE back). The tests put a fake in its place for what
  // only Windows does: refuse the first instance of a name that another
  // program holds already.
  using PipeCreator = void* (*)(const char* name, unsigned long openMode, unsigned long pipeMode,
                                unsigned long outBuffer, unsigned long inBuffer, void* security);
  void SetPipeCreator(PipeCreator creator) { createPipe_ = creator; }

  // Sends the notices to `sink` from now on (null: back to the debugger
  // output and the error output). A line already being written may still
  // reach the sink set before.
  void SetNoticeSink(NoticeSink sink, void* context);

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
  // Opens the record log in `directory` and serves the acknowledged client
  // from it; before the first record only.
  bool OpenRecordLog(const std::string& directory, uint64_t max_bytes, bool sync_always, std::string* error);
  // Stops serving after handing the clients what is queued, within the
  // flush time. Later calls are refused.
  void Stop();

  struct Client;
  struct Listener;
  struct Notices;

 private:
  static unsigned long __stdcall ServiceThread(void* self);
  void Run();
  enum class ListenResult { kListening, kClientGone, kFailed };
  ListenResult Listen();
  void FillListeners(int64_t now);
  void CloseListeners();
  bool ConnectDone() const;
  void TakeConnected(int64_t now);
  void Admit(void* pipe, int64_t now);
  void ReportRefusals(int64_t now, bool force);
  void EndNotices();
  void StartIo(Client& client, int64_t now);
  bool CollectBatch(Client& client, int64_t now);
  bool Settling() const;
  void HangUp(Client& client);
  // A client whose request is too long or malformed is dropped.
  void DropForRequest(Client& client, const std::string& what);
  void CloseClient(Client& client);
  void Housekeeping();
  void Wake();
  void Report(uint32_t level, const std::string& line);
  void ReportLeveled(const std::string& line);

  // Declared before the core that reads it, so that it is destroyed after.
  std::unique_ptr<kavrod::RecordLog> log_;
  std::unique_ptr<kavrod::DeliveryCore> core_;
  std::string name_;
  size_t clientsMax_;
  void* thread_ = nullptr;
  void* wake_ = nullptr;
  void* module_ = nullptr;
  void* security_ = nullptr;
  PipeCreator createPipe_ = nullptr;
  // The name is held by another program: no client reaches this library.
  std::atomic<bool> notServing_{false};
  // The instances waiting for clients. Their connects share one
  // manual-reset event, set when any of them has a client; producers look at
  // it to see whether a client is waiting.
  std::vector<Listener*> listeners_;
  void* connectEvent_ = nullptr;
  bool everListened_ = false;
  int64_t nextListenTry_ = 0;
  std::string listenFailure_;

  // The service thread's own; the completion routines run on it too.
  std::vector<Client*> clients_;
  int64_t nextRefusalReport_ = 0;
  uint64_t refusedUnreported_ = 0;
  uint64_t badRequestDrops_ = 0;
  std::vector<void*> toFree_;
  std::vector<std::string> notices_;

  // Shared with the notice thread, which may outlive the server when a sink
  // or the error output blocks it.
  std::shared_ptr<Notices> noticeQueue_;
  void* noticeThread_ = nullptr;

  std::mutex stopMutex_;
  bool stopped_ = false;
};

}  // namespace kavrod32
