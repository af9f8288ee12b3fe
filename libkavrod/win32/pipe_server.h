// The named pipe \\.\pipe\kavrod through which KAVROD32.dll serves client
// programs: message mode, local clients only, one record per message. A
// service thread of the library's own accepts clients and writes to them
// with overlapped I/O, so that the link driver's calls only put records on
// queues and never wait for a client, except for the shutdown event.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "record_queue.h"

namespace kavrod32 {

constexpr const char* PIPE_NAME = "\\\\.\\pipe\\kavrod";

class PipeServer {
 public:
  // A client whose pending write has not completed for this long has
  // stopped reading and is dropped.
  static constexpr uint32_t STALL_MS = 5000;
  // How long the shutdown event waits for the clients to take what is
  // queued.
  static constexpr uint32_t SHUTDOWN_FLUSH_MS = 2000;
  static constexpr uint32_t LISTEN_RETRY_MS = 1000;
  static constexpr size_t MAX_CLIENTS = 64;

  explicit PipeServer(const char* name = PIPE_NAME);
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
  bool Listen();
  void AcceptConnected();
  void StartIo(Client& client, uint64_t now);
  void CloseClient(Client& client, const char* reason);
  void Reap();
  bool Enqueue(const RecordRef& record, bool isPayload);
  void Wake();
  static void Report(const std::string& line);

  std::string name_;
  void* thread_ = nullptr;
  void* wake_ = nullptr;
  // The instance waiting for the next client, and its connect.
  void* listening_ = nullptr;
  void* connectEvent_ = nullptr;
  void* connectOverlapped_ = nullptr;
  bool connected_ = false;
  bool everListened_ = false;
  void* module_ = nullptr;
  uint64_t nextListenTry_ = 0;
  std::string listenFailure_;
  void* security_ = nullptr;

  std::mutex mutex_;
  RecordQueue queue_;
  std::vector<Client*> clients_;
  bool stopping_ = false;
  bool stopped_ = false;
  uint64_t deadline_ = 0;
  std::mutex stopMutex_;
};

}  // namespace kavrod32
