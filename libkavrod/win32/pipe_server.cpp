#include "pipe_server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "delivery_core.h"

#include <windows.h>
#include <sddl.h>

namespace kavrod32 {

namespace {

using kavrod::DeliveryCore;
using kavrod::MonotonicMs;
using kavrod::OutRecord;

// The pipe's buffers: a whole record of the largest payload fits the
// outgoing one; clients send only small requests.
constexpr DWORD OUT_BUFFER = KAVROD_ID_RECORD_MAX + 1;
constexpr DWORD IN_BUFFER = 512;
// How long the end of the service waits for cancelled I/O to complete.
constexpr DWORD CANCEL_DRAIN_MS = 500;

// SYSTEM, administrators and the creator have all rights; every signed-in
// user may read, write requests and switch to message read mode (which needs
// FILE_WRITE_ATTRIBUTES), so clients run as any user, as on Linux with the
// group of the socket. Creating pipe instances (FILE_APPEND_DATA) stays the
// library's. Remote clients are refused by the pipe mode.
constexpr const char* PIPE_SECURITY = "D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)(A;;0x12018B;;;AU)";

std::string Decimal(unsigned long long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llu", value);
  return text;
}

}  // namespace

struct PipeServer::Client {
  // First, so that the completion routines find the client from the record
  // they are given; hEvent is free for that with the *Ex functions.
  OVERLAPPED readOverlapped{};
  OVERLAPPED writeOverlapped{};
  PipeServer* server = nullptr;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  DeliveryCore::ClientId id = 0;
  // Until then the client may still send its first credit; -1 once it is
  // past its introduction.
  int64_t introducedBy = -1;
  bool reading = false;
  bool writing = false;
  // A request longer than the read buffer is read in parts; all of them are
  // ignored.
  bool discarding = false;
  // Operations whose completion routine has not run yet: the buffers stay
  // allocated until they have, as the system writes into them on completion.
  int pending = 0;
  bool closed = false;
  // Its read failed: the client has closed its end. With a write in flight
  // it is taken out only once that write has completed, since whether the
  // record went into the pipe decides where the client's cursor stands, and
  // the completion may come after the failed read.
  bool gone = false;
  uint8_t request[IN_BUFFER];
  // One message: the record's header and payload, copied out of the log.
  std::vector<uint8_t> message;

  static void CALLBACK ReadDone(DWORD error, DWORD size, LPOVERLAPPED overlapped);
  static void CALLBACK WriteDone(DWORD error, DWORD size, LPOVERLAPPED overlapped);
  static void CALLBACK StateDone(DWORD error, DWORD size, LPOVERLAPPED overlapped);
};

void CALLBACK PipeServer::Client::ReadDone(DWORD error, DWORD size, LPOVERLAPPED overlapped) {
  auto* client = static_cast<Client*>(overlapped->hEvent);
  client->pending--;
  client->reading = false;
  if (client->closed) return;
  DeliveryCore& core = *client->server->core_;
  if (error == ERROR_MORE_DATA) {
    client->discarding = true;
  } else if (error != 0) {
    // A failed read is the client gone.
    client->gone = true;
    if (!client->writing) client->server->HangUp(*client);
  } else if (client->discarding) {
    client->discarding = false;
  } else {
    core.Request(client->id, client->request, size);
  }
}

void CALLBACK PipeServer::Client::WriteDone(DWORD error, DWORD, LPOVERLAPPED overlapped) {
  auto* client = static_cast<Client*>(overlapped->hEvent);
  client->pending--;
  client->writing = false;
  if (client->closed) return;
  DeliveryCore& core = *client->server->core_;
  if (error == 0) {
    // The record is in the pipe: the client reads it even after the library
    // has closed its end.
    core.SetBlocked(client->id, false);
    core.Commit(client->id, 1, MonotonicMs());
  }
  if (error != 0 || client->gone) client->server->HangUp(*client);
}

// The link-state record is not the core's to count.
void CALLBACK PipeServer::Client::StateDone(DWORD error, DWORD, LPOVERLAPPED overlapped) {
  auto* client = static_cast<Client*>(overlapped->hEvent);
  client->pending--;
  client->writing = false;
  if (client->closed) return;
  if (error != 0 || client->gone) client->server->HangUp(*client);
}

PipeServer::PipeServer(const char* name) : PipeServer(name, kavrod::Limits{}) {}

PipeServer::PipeServer(const char* name, const kavrod::Limits& limits)
    : core_(new DeliveryCore(kavrod::ServerHooks{[this] { Wake(); }, [this] { return ConnectDone(); }}, limits)),
      name_(name) {
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
  std::lock_guard<std::mutex> guard(stopMutex_);
  if (wake_ == nullptr || connectEvent_ == nullptr) {
    Report("cannot start: no event objects");
    core_->Shutdown();
    stopped_ = true;
    return false;
  }
  Listen(MonotonicMs());
  thread_ = CreateThread(nullptr, 0, ServiceThread, this, 0, nullptr);
  if (thread_ == nullptr) {
    Report("cannot start the service thread");
    core_->Shutdown();
    if (listening_ != nullptr) {
      CancelIo(listening_);
      CloseHandle(listening_);
      listening_ = nullptr;
    }
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

bool PipeServer::Listen(int64_t now) {
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
                                                                       : "error " + Decimal(error);
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
  connected_.store(false);
  if (!ConnectNamedPipe(pipe, overlapped)) {
    const DWORD error = GetLastError();
    if (error == ERROR_PIPE_CONNECTED) {
      // A client came between the creation and the connect.
      connected_.store(true);
    } else if (error != ERROR_IO_PENDING) {
      CloseHandle(pipe);
      return false;
    }
  }
  listening_ = pipe;
  return true;
}

// From any thread: a client whose connect has returned but which the service
// thread has not taken in yet. A producer that would refuse a payload for
// want of a client waits for it instead.
bool PipeServer::ConnectDone() const {
  return connected_.load() || (connectEvent_ != nullptr && WaitForSingleObject(connectEvent_, 0) == WAIT_OBJECT_0);
}

// A client has left and waits for its last write to complete before it is
// taken out.
bool PipeServer::Settling() const {
  return std::any_of(clients_.begin(), clients_.end(), [](const Client* c) { return c->gone && !c->closed; });
}

void PipeServer::TakeConnected(int64_t now) {
  if (listening_ == nullptr) return;
  if (!connected_.load()) {
    DWORD ignored = 0;
    if (!GetOverlappedResult(listening_, static_cast<OVERLAPPED*>(connectOverlapped_), &ignored, FALSE)) {
      const DWORD error = GetLastError();
      if (error == ERROR_IO_INCOMPLETE) return;
      if (error != ERROR_PIPE_CONNECTED) {
        // The client left before it was taken; the instance is no good.
        CloseHandle(listening_);
        listening_ = nullptr;
        ResetEvent(connectEvent_);
        return;
      }
    }
  }
  // A client that left before this one came must be seen to leave first:
  // its unsent records are the backlog, which this one may take, and not
  // lost with it. Its read fails the moment it closes, so the completion is
  // already queued; a wait that found the connect may not have run it.
  SleepEx(0, TRUE);
  if (Settling()) return;
  HANDLE pipe = listening_;
  listening_ = nullptr;
  connected_.store(false);
  ResetEvent(connectEvent_);
  // The next instance at once, so that the next client does not find the
  // pipe busy.
  Listen(now);

  OutRecord state{};
  const DeliveryCore::ClientId id = core_->Accept(now, &state);
  if (id == 0) {
    // Closed before the link-state record, which tells the client why.
    CloseHandle(pipe);
    ++refusedUnreported_;
    ReportRefusals(now, false);
    return;
  }
  auto* client = new (std::nothrow) Client;
  if (client == nullptr) {
    core_->Hangup(id, nullptr);
    core_->Release(id);
    CloseHandle(pipe);
    return;
  }
  client->server = this;
  client->pipe = pipe;
  client->id = id;
  client->introducedBy = now + CREDIT_GRACE_MS;
  clients_.push_back(client);
  // The link-state record goes first, whatever the client turns out to be;
  // an empty pipe has room for it.
  client->message.assign(state.header, state.header + state.header_size);
  client->writeOverlapped = OVERLAPPED{};
  client->writeOverlapped.hEvent = client;
  if (!WriteFileEx(pipe, client->message.data(), state.header_size, &client->writeOverlapped,
                   Client::StateDone)) {
    HangUp(*client);
    return;
  }
  client->writing = true;
  client->pending++;
}

// On the service thread: completion routines run on the thread that started
// the I/O, and this one waits alertably.
void PipeServer::StartIo(Client& client, int64_t now) {
  if (client.closed || client.gone) return;
  if (!client.reading) {
    client.readOverlapped = OVERLAPPED{};
    client.readOverlapped.hEvent = &client;
    if (!ReadFileEx(client.pipe, client.request, sizeof client.request, &client.readOverlapped, Client::ReadDone)) {
      HangUp(client);
      return;
    }
    client.reading = true;
    client.pending++;
  }
  if (client.writing) return;
  // One record a write: a message must go out in one piece, and the pipe
  // keeps at most one of the largest anyway.
  OutRecord out{};
  if (core_->Collect(client.id, now, &out, 1) == 0) return;
  client.message.assign(out.header, out.header + out.header_size);
  if (out.length > 0) {
    const auto* bytes = static_cast<const uint8_t*>(out.payload);
    client.message.insert(client.message.end(), bytes, bytes + out.length);
  }
  client.writeOverlapped = OVERLAPPED{};
  client.writeOverlapped.hEvent = &client;
  if (!WriteFileEx(client.pipe, client.message.data(), static_cast<DWORD>(client.message.size()),
                   &client.writeOverlapped, Client::WriteDone)) {
    HangUp(client);
    return;
  }
  client.writing = true;
  client.pending++;
  // Until the write completes a producer has no reason to rouse this
  // thread for the client: the completion does.
  core_->SetBlocked(client.id, true);
}

// At most one line a second; the refusals in between are said with the next
// line, which comes when that second is over (or at the end).
void PipeServer::ReportRefusals(int64_t now, bool all) {
  if (refusedUnreported_ == 0 || (!all && now < nextRefusalReport_)) return;
  Report(Decimal(refusedUnreported_) + " client(s) refused: " + Decimal(KAVROD_CLIENTS_MAX) +
         " clients are connected already");
  refusedUnreported_ = 0;
  nextRefusalReport_ = now + 1000;
}

void PipeServer::HangUp(Client& client) {
  if (client.closed) return;
  core_->Hangup(client.id, nullptr);
  CloseClient(client);
}

// The client is out of the core already (it left, or was dropped).
void PipeServer::CloseClient(Client& client) {
  if (client.closed) return;
  client.closed = true;
  CancelIo(client.pipe);
  // Not DisconnectNamedPipe: what is in the pipe stays readable by the
  // client.
  CloseHandle(client.pipe);
  client.pipe = INVALID_HANDLE_VALUE;
  // Nothing of the core's is in flight: every write is a copy.
  core_->Release(client.id);
}

void PipeServer::Housekeeping() {
  for (auto it = clients_.begin(); it != clients_.end();) {
    Client* client = *it;
    if (client->closed && client->pending == 0) {
      delete client;
      it = clients_.erase(it);
    } else {
      ++it;
    }
  }
  core_->Reap(&toFree_, &notices_);
  for (void* block : toFree_) std::free(block);
  toFree_.clear();
  for (const std::string& line : notices_) Report(line);
  notices_.clear();
}

void PipeServer::Wake() {
  if (wake_ != nullptr) SetEvent(wake_);
}

void PipeServer::Run() {
  int64_t stopDeadline = -1;
  for (;;) {
    const DeliveryCore::Turn turn = core_->BeginTurn();
    const int64_t now = MonotonicMs();
    int64_t waitUntil = -1;
    auto wakeAt = [&waitUntil](int64_t at) {
      if (waitUntil < 0 || at < waitUntil) waitUntil = at;
    };

    if (!turn.stopping) {
      TakeConnected(now);
      ReportRefusals(now, false);
      if (refusedUnreported_ > 0) wakeAt(nextRefusalReport_);
      if (listening_ == nullptr) {
        if (now >= nextListenTry_) Listen(now);
        if (listening_ == nullptr) wakeAt(nextListenTry_);
      }
    } else if (stopDeadline < 0) {
      stopDeadline = now + SHUTDOWN_FLUSH_MS;
    }
    // The credit rule of the pipe: a client that has sent no credit by the
    // end of its grace is a plain client. In the order the clients came, so
    // that the backlog goes to the one that came first.
    for (Client* client : clients_) {
      if (client->closed || client->introducedBy < 0) continue;
      if (!core_->Introducing(client->id)) {
        client->introducedBy = -1;
      } else if (now >= client->introducedBy) {
        core_->Promote(client->id, now);
        client->introducedBy = -1;
      } else {
        wakeAt(client->introducedBy);
      }
    }
    // Clients that a producer dropped, or that left.
    for (Client* client : clients_) {
      if (!client->closed && core_->Retired(client->id)) CloseClient(*client);
    }
    for (Client* client : clients_) StartIo(*client, now);
    Housekeeping();

    if (turn.stopping) {
      bool writing = false;
      for (const Client* client : clients_) writing = writing || (!client->closed && client->writing);
      if ((!writing && core_->Flushed()) || now >= stopDeadline) break;
      wakeAt(stopDeadline);
    }

    // A new client waits while one that left is settling; the completion
    // that settles it ends the wait.
    const bool settling = Settling();
    DWORD timeout = INFINITE;
    if (waitUntil >= 0) timeout = static_cast<DWORD>(std::clamp<int64_t>(waitUntil - now, 0, 60000));
    if (!turn.stopping && !settling && listening_ != nullptr && connected_.load()) timeout = 0;
    bool slept = false;
    if (timeout != 0) {
      slept = core_->PrepareSleep(turn.work);
      if (!slept) timeout = 0;
    }
    const bool listening = !turn.stopping && !settling && listening_ != nullptr && !connected_.load();
    HANDLE events[2] = {wake_, connectEvent_};
    // Alertable: the completion routines of the clients' reads and writes
    // run inside this wait.
    WaitForMultipleObjectsEx(listening ? 2 : 1, events, FALSE, timeout, TRUE);
    if (slept) core_->Awake();
  }

  ReportRefusals(MonotonicMs(), true);
  // The end of the service: whatever a client has not taken by now it will
  // not get. The records handed to the pipe stay readable by their clients.
  for (Client* client : clients_) {
    if (client->closed) continue;
    const uint64_t pending = core_->Pending(client->id);
    if (pending > 0) {
      Report("client " + Decimal(client->id) + " dropped: cannot keep up; " + Decimal(pending) +
             " records not delivered at shutdown");
    }
    core_->Hangup(client->id, nullptr);
    CloseClient(*client);
  }
  if (listening_ != nullptr) {
    CancelIo(listening_);
    CloseHandle(listening_);
    listening_ = nullptr;
  }
  const uint64_t drainUntil = GetTickCount64() + CANCEL_DRAIN_MS;
  for (;;) {
    Housekeeping();
    if (clients_.empty() || GetTickCount64() >= drainUntil) break;
    SleepEx(10, TRUE);
  }
}

int32_t PipeServer::Deliver(uint32_t address, void* payload, uint32_t length) {
  return core_->Deliver(address, payload, length);
}

int32_t PipeServer::WaitForRoom(uint32_t timeout_ms) { return core_->WaitForRoom(timeout_ms); }

bool PipeServer::QueryStatus(KavrodStatus* status) const { return core_->FillStatus(status); }

void PipeServer::Signal(uint32_t code) {
  core_->Signal(code, MonotonicMs());
  if (code == KAVROD_EVENT_SHUTDOWN) Stop();
}

void PipeServer::Stop() {
  std::lock_guard<std::mutex> guard(stopMutex_);
  if (stopped_) return;
  stopped_ = true;
  core_->Shutdown();
  if (thread_ != nullptr) {
    WaitForSingleObject(thread_, static_cast<DWORD>(SHUTDOWN_FLUSH_MS + CANCEL_DRAIN_MS + 1000));
  }
}

}  // namespace kavrod32
