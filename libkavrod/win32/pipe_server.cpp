#include "pipe_server.h"

#include <cstdlib>

#include <windows.h>
#include <sddl.h>

namespace kavrod32 {

namespace {

// The pipe's buffers: a whole record of the largest payload fits the
// outgoing one; clients have nothing to say.
constexpr DWORD OUT_BUFFER = RECORD_HEADER_SIZE + PAYLOAD_MAX + 1;
constexpr DWORD IN_BUFFER = 512;
// How long the end of the service waits for cancelled I/O to complete.
constexpr DWORD CANCEL_DRAIN_MS = 500;

// SYSTEM, administrators and the creator have all rights; every signed-in
// user may read and switch to message read mode (which needs
// FILE_WRITE_ATTRIBUTES), so clients run as any user, as on Linux with the
// group of the socket. Remote clients are refused by the pipe mode.
constexpr const char* PIPE_SECURITY = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)(A;;0x120189;;;AU)";

uint64_t NowMs() { return GetTickCount64(); }

}  // namespace

struct PipeServer::Client {
  // First, so that the completion routines find the client from the record
  // they are given; hEvent is free for that with the *Ex functions.
  OVERLAPPED readOverlapped{};
  OVERLAPPED writeOverlapped{};
  PipeServer* server = nullptr;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  unsigned id = 0;
  bool reading = false;
  bool writing = false;
  uint64_t writeStarted = 0;
  RecordRef inFlight;
  // Operations whose completion routine has not run yet: the record stays
  // allocated until they have, as the system writes into it on completion.
  int pending = 0;
  bool closed = false;
  uint8_t sink[IN_BUFFER];

  static void CALLBACK ReadDone(DWORD error, DWORD, LPOVERLAPPED overlapped);
  static void CALLBACK WriteDone(DWORD error, DWORD, LPOVERLAPPED overlapped);
};

void CALLBACK PipeServer::Client::ReadDone(DWORD error, DWORD, LPOVERLAPPED overlapped) {
  auto* client = static_cast<Client*>(overlapped->hEvent);
  PipeServer& server = *client->server;
  std::lock_guard<std::mutex> lock(server.mutex_);
  client->pending--;
  client->reading = false;
  if (client->closed) return;
  // Whatever a client sends is read and dropped; a failed read is the
  // client gone. The next read is started by the service loop.
  if (error != 0 && error != ERROR_MORE_DATA) {
    server.queue_.RemoveClient(client->id);
    server.CloseClient(*client, nullptr);
  }
}

void CALLBACK PipeServer::Client::WriteDone(DWORD error, DWORD, LPOVERLAPPED overlapped) {
  auto* client = static_cast<Client*>(overlapped->hEvent);
  PipeServer& server = *client->server;
  std::lock_guard<std::mutex> lock(server.mutex_);
  client->pending--;
  client->writing = false;
  client->inFlight.reset();
  if (client->closed) return;
  if (error != 0) {
    server.queue_.RemoveClient(client->id);
    server.CloseClient(*client, nullptr);
    return;
  }
  server.queue_.Pop(client->id);
}

PipeServer::PipeServer(const char* name) : name_(name) {
  wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  connectEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  auto* overlapped = new OVERLAPPED{};
  overlapped->hEvent = connectEvent_;
  connectOverlapped_ = overlapped;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA(PIPE_SECURITY, SDDL_REVISION_1, &descriptor, nullptr)) {
    security_ = descriptor;
  }
}

PipeServer::~PipeServer() {
  Stop();
  if (thread_ != nullptr) CloseHandle(thread_);
  if (security_ != nullptr) LocalFree(security_);
  delete static_cast<OVERLAPPED*>(connectOverlapped_);
  if (connectEvent_ != nullptr) CloseHandle(connectEvent_);
  if (wake_ != nullptr) CloseHandle(wake_);
}

void PipeServer::Report(const std::string& line) {
  // The library has no trace log of its own: the debugger output, and the
  // error output when the driver was started with one.
  const std::string text = "kavrod: " + line + "\r\n";
  OutputDebugStringA(text.c_str());
  HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
  if (error != nullptr && error != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

bool PipeServer::Start() {
  if (wake_ == nullptr || connectEvent_ == nullptr) {
    Report("cannot start: no event objects");
    stopped_ = true;
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Listen();
  }
  thread_ = CreateThread(nullptr, 0, ServiceThread, this, 0, nullptr);
  if (thread_ == nullptr) {
    Report("cannot start the service thread");
    std::lock_guard<std::mutex> lock(mutex_);
    stopped_ = true;
    return false;
  }
  return true;
}

unsigned long __stdcall PipeServer::ServiceThread(void* self) {
  auto* server = static_cast<PipeServer*>(self);
  server->Run();
  HMODULE module = static_cast<HMODULE>(server->module_);
  // The library's own reference: it stays loaded until this thread is out
  // of its code.
  if (module != nullptr) FreeLibraryAndExitThread(module, 0);
  return 0;
}

bool PipeServer::Listen() {
  const uint64_t now = NowMs();
  nextListenTry_ = now + LISTEN_RETRY_MS;
  // Only the very first instance claims the name: another running driver's
  // library already serves it, and its clients must not be taken over.
  const bool first = !everListened_;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security_, FALSE};
  HANDLE pipe = CreateNamedPipeA(name_.c_str(),
                                 PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0),
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                 PIPE_UNLIMITED_INSTANCES, OUT_BUFFER, IN_BUFFER, 0,
                                 security_ != nullptr ? &attributes : nullptr);
  if (pipe == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    const std::string failure = error == ERROR_ACCESS_DENIED && first ? "in use by another process"
                                                                       : "error " + std::to_string(error);
    // Said once per distinct reason, not once a second.
    if (failure != listenFailure_) {
      Report("cannot serve clients on " + name_ + ": " + failure + "; retrying");
      listenFailure_ = failure;
    }
    return false;
  }
  everListened_ = true;
  listenFailure_.clear();
  auto* overlapped = static_cast<OVERLAPPED*>(connectOverlapped_);
  ResetEvent(connectEvent_);
  *overlapped = OVERLAPPED{};
  overlapped->hEvent = connectEvent_;
  connected_ = false;
  if (!ConnectNamedPipe(pipe, overlapped)) {
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
      // A client came between the creation and the connect.
      connected_ = true;
    } else if (error != ERROR_IO_PENDING) {
      CloseHandle(pipe);
      return false;
    }
  }
  listening_ = pipe;
  return true;
}

// Called with the lock held, from any thread: a client whose connect has
// returned counts as connected from then on, even before the service thread
// has got round to it, so that it misses nothing delivered meanwhile.
void PipeServer::AcceptConnected() {
  if (listening_ == nullptr) return;
  if (!connected_) {
    DWORD ignored = 0;
    if (!GetOverlappedResult(listening_, static_cast<OVERLAPPED*>(connectOverlapped_), &ignored, FALSE)) {
      const DWORD error = GetLastError();
      if (error == ERROR_IO_INCOMPLETE) return;
      if (error != ERROR_PIPE_CONNECTED) {
        // The client left before it was taken; the instance is no good.
        CloseHandle(listening_);
        listening_ = nullptr;
        Wake();
        return;
      }
    }
  }
  connected_ = false;
  HANDLE pipe = listening_;
  listening_ = nullptr;
  Wake();
  if (clients_.size() >= MAX_CLIENTS) {
    Report("client refused: " + std::to_string(MAX_CLIENTS) + " clients connected already");
    CloseHandle(pipe);
    return;
  }
  auto* client = new Client;
  client->server = this;
  client->pipe = pipe;
  client->readOverlapped.hEvent = client;
  client->writeOverlapped.hEvent = client;
  client->id = queue_.AddClient();
  clients_.push_back(client);
}

// On the service thread, with the lock held: completion routines run on the
// thread that started the I/O, and this one waits alertably.
void PipeServer::StartIo(Client& client, uint64_t now) {
  if (client.closed) return;
  if (!client.reading) {
    client.readOverlapped = OVERLAPPED{};
    client.readOverlapped.hEvent = &client;
    if (!ReadFileEx(client.pipe, client.sink, sizeof client.sink, &client.readOverlapped, Client::ReadDone)) {
      queue_.RemoveClient(client.id);
      CloseClient(client, nullptr);
      return;
    }
    client.reading = true;
    client.pending++;
  }
  if (!client.writing) {
    RecordRef record = queue_.Front(client.id);
    if (record == nullptr) return;
    client.writeOverlapped = OVERLAPPED{};
    client.writeOverlapped.hEvent = &client;
    client.inFlight = record;
    if (!WriteFileEx(client.pipe, record->message.data(), static_cast<DWORD>(record->message.size()),
                     &client.writeOverlapped, Client::WriteDone)) {
      client.inFlight.reset();
      queue_.RemoveClient(client.id);
      CloseClient(client, nullptr);
      return;
    }
    client.writing = true;
    client.writeStarted = now;
    client.pending++;
  }
}

void PipeServer::CloseClient(Client& client, const char* reason) {
  if (client.closed) return;
  if (reason != nullptr) Report("client " + std::to_string(client.id) + " dropped: " + reason);
  client.closed = true;
  CancelIo(client.pipe);
  CloseHandle(client.pipe);
  client.pipe = INVALID_HANDLE_VALUE;
}

void PipeServer::Reap() {
  for (auto it = clients_.begin(); it != clients_.end();) {
    Client* client = *it;
    if (client->closed && client->pending == 0) {
      delete client;
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
}

void PipeServer::Wake() {
  if (wake_ != nullptr) SetEvent(wake_);
}

void PipeServer::Run() {
  for (;;) {
    DWORD timeout = INFINITE;
    auto waitAtMost = [&timeout](uint64_t ms) {
      if (ms < timeout) timeout = static_cast<DWORD>(ms);
    };
    bool listening;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const uint64_t now = NowMs();
      AcceptConnected();
      if (listening_ == nullptr && !stopping_ && now >= nextListenTry_) Listen();
      for (Client* client : clients_) {
        StartIo(*client, now);
        if (!client->closed && client->writing) {
          const uint64_t stalledFor = now - client->writeStarted;
          if (stalledFor >= STALL_MS) {
            queue_.Drop(client->id, "cannot keep up");
          } else {
            waitAtMost(STALL_MS - stalledFor);
          }
        }
      }
      for (const auto& [id, reason] : queue_.TakeDropped()) {
        for (Client* client : clients_) {
          if (client->id == id) CloseClient(*client, reason.c_str());
        }
      }
      for (const std::string& note : queue_.TakeNotes()) Report(note);
      Reap();
      if (stopping_) {
        bool flushed = queue_.AllSent();
        for (Client* client : clients_) flushed = flushed && (client->closed || !client->writing);
        if (flushed || now >= deadline_) break;
        waitAtMost(deadline_ - now);
      } else if (listening_ == nullptr) {
        waitAtMost(nextListenTry_ > now ? nextListenTry_ - now : 0);
      }
      listening = listening_ != nullptr && !connected_;
      if (listening_ != nullptr && connected_) timeout = 0;
    }
    HANDLE events[2] = {wake_, connectEvent_};
    // Alertable: the completion routines of the clients' reads and writes
    // run inside this wait.
    WaitForMultipleObjectsEx(listening ? 2 : 1, events, FALSE, timeout, TRUE);
  }

  // The end of the service: every client and the waiting instance go. The
  // records handed to the pipe stay readable by their clients.
  std::lock_guard<std::mutex> lock(mutex_);
  for (Client* client : clients_) {
    if (!client->closed && queue_.HasClient(client->id) && queue_.Front(client->id) != nullptr) {
      Report("client " + std::to_string(client->id) + " dropped: cannot keep up; records not delivered at shutdown");
    }
    CloseClient(*client, nullptr);
  }
  if (listening_ != nullptr) {
    CancelIo(listening_);
    CloseHandle(listening_);
    listening_ = nullptr;
  }
  const uint64_t drainUntil = NowMs() + CANCEL_DRAIN_MS;
  for (;;) {
    Reap();
    if (clients_.empty() || NowMs() >= drainUntil) break;
    mutex_.unlock();
    SleepEx(10, TRUE);
    mutex_.lock();
  }
  stopped_ = true;
}

bool PipeServer::Enqueue(const RecordRef& record, bool isPayload) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || stopped_) return false;
  AcceptConnected();
  const bool held = queue_.Enqueue(record, isPayload);
  Wake();
  return held;
}

int32_t PipeServer::Deliver(uint32_t address, void* payload, uint32_t length) {
  if (payload == nullptr || length > PAYLOAD_MAX) return -1;
  RecordRef record = MakeRecord(RECORD_PAYLOAD, address, payload, length);
  if (record == nullptr || !Enqueue(record, true)) return -1;
  // The record carries its own copy; the block is the library's now and is
  // released with the C runtime's free, as the contract says.
  std::free(payload);
  return 1;
}

void PipeServer::Signal(uint32_t code) {
  RecordRef record = MakeRecord(RECORD_LINK_EVENT, code, nullptr, 0);
  if (record == nullptr) {
    Report("link event " + std::to_string(code) + " lost: out of memory");
  } else {
    Enqueue(record, false);
  }
  if (code == 0) Stop();
}

void PipeServer::Stop() {
  std::lock_guard<std::mutex> stopLock(stopMutex_);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    stopping_ = true;
    deadline_ = NowMs() + SHUTDOWN_FLUSH_MS;
  }
  Wake();
  if (thread_ != nullptr) WaitForSingleObject(thread_, SHUTDOWN_FLUSH_MS + CANCEL_DRAIN_MS + 1000);
}

}  // namespace kavrod32
