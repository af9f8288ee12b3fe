#include "pipe_server.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <new>

#include "delivery_core.h"
#include "record_log.h"
#include "win32_log_files.h"

#include <windows.h>
#include <sddl.h>

#include "kavro_host.h"

namespace kavrod32 {

namespace {

using kavrod::DeliveryCore;
using kavrod::MonotonicMs;
using kavrod::OutRecord;

// The pipe's buffers: a whole record of the largest payload fits the
// outgoing one; clients send only small requests.
constexpr DWORD OUT_BUFFER = KAVROD_ID_RECORD_MAX + 1;
constexpr DWORD IN_BUFFER = 512;
// A batch: at most so many records, and no more bytes than this unless a
// single record is longer (KAVROD_BATCH_MESSAGE_MAX). Larger batches gain
// nothing under Wine: the client's read of a long message costs as much as
// the writes it saves.
constexpr size_t BATCH_RECORDS_MAX = 256;
constexpr size_t BATCH_BYTES_MAX = 32768;
// How long the end of the service waits for cancelled I/O to complete.
constexpr DWORD CANCEL_DRAIN_MS = 500;

// How long the end of the service waits for the notice thread to write what
// is left.
constexpr DWORD NOTICE_FLUSH_MS = 500;

// Who may open the pipe. A client opens it the usual way, with
// GENERIC_READ | GENERIC_WRITE, which asks for FILE_GENERIC_READ |
// FILE_GENERIC_WRITE; the open of a client end is checked without
// FILE_CREATE_PIPE_INSTANCE (the same bit as FILE_APPEND_DATA, part of
// FILE_GENERIC_WRITE), and only that bit lets a caller create instances of
// the pipe and so serve clients on it. So interactive users get all of
// both but that bit: they read records, write requests and switch to
// message read mode (FILE_WRITE_ATTRIBUTES), and only the library serves.
constexpr DWORD PIPE_USER_ACCESS = (FILE_GENERIC_READ | FILE_GENERIC_WRITE) & ~FILE_CREATE_PIPE_INSTANCE;
static_assert(PIPE_USER_ACCESS == 0x12019B, "the users' access mask in PIPE_SECURITY");
// In SDDL, in order: network logons denied everything (remote clients are
// refused by the pipe mode as well); SYSTEM, administrators and the owner
// (the user running the driver) all rights; interactive users
// PIPE_USER_ACCESS.
constexpr const char* PIPE_SECURITY = "D:(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;OW)(A;;0x12019B;;;IU)";

std::string Decimal(unsigned long long value) {
  char text[24];
  std::snprintf(text, sizeof text, "%llu", value);
  return text;
}

}  // namespace

// One instance of the pipe waiting for a client. Its connect shares the
// server's connect event.
struct PipeServer::Listener {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  OVERLAPPED overlapped{};
  // The client came between the creation and the connect: the connect
  // failed with ERROR_PIPE_CONNECTED and has nothing in flight.
  bool connected = false;

  bool Arrived() const { return connected || HasOverlappedIoCompleted(&overlapped); }
};

// The notices on their way to the sink, or to the debugger output and the
// error output: a bounded queue the service thread only adds to, and the
// thread that writes it.
struct PipeServer::Notices {
  struct Line {
    uint32_t level;
    std::string text;
  };
  std::mutex mutex;
  std::deque<Line> lines;
  uint64_t dropped = 0;
  NoticeSink sink = nullptr;
  void* context = nullptr;
  bool sinkSet = false;
  bool ending = false;
  uint64_t sinkWaitUntil = 0;
  // Auto-reset: lines to write, a sink set, or the end.
  HANDLE ready = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  // The thread's own reference on the library, if it was loaded as one.
  HMODULE module = nullptr;

  ~Notices() {
    if (ready != nullptr) CloseHandle(ready);
  }
  void Add(uint32_t level, const std::string& text);
  void Write();
  static unsigned long __stdcall Thread(void* shared);
};

void PipeServer::Notices::Add(uint32_t level, const std::string& text) {
  std::lock_guard<std::mutex> guard(mutex);
  if (lines.size() >= NOTICES_MAX) {
    ++dropped;
  } else {
    lines.push_back(Line{level, text});
  }
  SetEvent(ready);
}

void PipeServer::Notices::Write() {
  std::deque<Line> batch;
  for (;;) {
    NoticeSink target = nullptr;
    void* targetContext = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex);
      DWORD wait = INFINITE;
      if (lines.empty() && dropped == 0) {
        if (ending) return;
      } else {
        const uint64_t now = GetTickCount64();
        // The host sets its sink right after loading the library: lines
        // made meanwhile are for it.
        if (sinkSet || ending || now >= sinkWaitUntil) {
          wait = 0;
        } else {
          wait = static_cast<DWORD>(sinkWaitUntil - now);
        }
      }
      if (wait != 0) {
        lock.unlock();
        WaitForSingleObject(ready, wait);
        continue;
      }
      batch.swap(lines);
      if (dropped > 0) {
        batch.push_back(Line{NOTICE_WARNING, Decimal(dropped) + " notice(s) dropped: written too slowly"});
        dropped = 0;
      }
      target = sink;
      targetContext = context;
    }
    for (const Line& line : batch) {
      if (target != nullptr) {
        target(targetContext, line.level, line.text.c_str());
        continue;
      }
      // kavro.exe offers its own lifecycle output (trace log, Event Log):
      // the administrator finds the library's lines beside the link's.
      if (KavroHostNotice(line.level == NOTICE_ERROR ? KAVRO_NOTICE_ERROR : KAVRO_NOTICE_WARNING,
                          ("kavrod: " + line.text).c_str())) {
        continue;
      }
      const std::string text = "kavrod: " + line.text + "\r\n";
      OutputDebugStringA(text.c_str());
      HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
      if (error != nullptr && error != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(error, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
      }
    }
    batch.clear();
  }
}

unsigned long __stdcall PipeServer::Notices::Thread(void* shared) {
  auto* handed = static_cast<std::shared_ptr<Notices>*>(shared);
  std::shared_ptr<Notices> notices = std::move(*handed);
  delete handed;
  HMODULE module = notices->module;
  notices->Write();
  notices.reset();
  if (module != nullptr) FreeLibraryAndExitThread(module, 0);
  return 0;
}

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
  // It asked for several records a message.
  bool batching = false;
  // Records of the core in the write under way.
  size_t inFlight = 0;
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
  kavrod::ClientRequest parsed;
  if (error == ERROR_MORE_DATA) {
    // Requests are a few bytes: a longer message is a client that does not
    // speak the protocol, and reading it in parts would only burn time.
    client->server->DropForRequest(*client, "a request longer than " + Decimal(IN_BUFFER) + " bytes");
  } else if (error != 0) {
    // A failed read is the client gone.
    client->gone = true;
    if (!client->writing) client->server->HangUp(*client);
  } else if (!kavrod::ParseClientRequest(client->request, size, &parsed)) {
    client->server->DropForRequest(*client, "a malformed request of " + Decimal(size) + " bytes");
  } else if (parsed.code == KAVROD_REQUEST_BATCH) {
    client->batching = true;
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
    core.Commit(client->id, client->inFlight, MonotonicMs());
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
      name_(name),
      clientsMax_(limits.clients_max),
      noticeQueue_(std::make_shared<Notices>()) {
  wake_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  connectEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (ConvertStringSecurityDescriptorToSecurityDescriptorA(PIPE_SECURITY, SDDL_REVISION_1, &descriptor, nullptr)) {
    security_ = descriptor;
  }
}

PipeServer::~PipeServer() {
  Stop();
  if (thread_ != nullptr) CloseHandle(thread_);
  if (noticeThread_ != nullptr) CloseHandle(noticeThread_);
  if (security_ != nullptr) LocalFree(security_);
  if (connectEvent_ != nullptr) CloseHandle(connectEvent_);
  if (wake_ != nullptr) CloseHandle(wake_);
}

// The library has no trace log of its own: the host's sink, or the debugger
// output and the error output when the driver was started with one. Never
// waits: the notice thread writes.
void PipeServer::Report(uint32_t level, const std::string& line) {
  if (noticeThread_ == nullptr) {
    OutputDebugStringA(("kavrod: " + line + "\r\n").c_str());
    return;
  }
  noticeQueue_->Add(level, line);
}

void PipeServer::SetNoticeSink(NoticeSink sink, void* context) {
  std::lock_guard<std::mutex> guard(noticeQueue_->mutex);
  noticeQueue_->sink = sink;
  noticeQueue_->context = context;
  noticeQueue_->sinkSet = true;
  SetEvent(noticeQueue_->ready);
}

void PipeServer::EndNotices() {
  if (noticeThread_ == nullptr) return;
  {
    std::lock_guard<std::mutex> guard(noticeQueue_->mutex);
    noticeQueue_->ending = true;
    SetEvent(noticeQueue_->ready);
  }
  // A sink or an error output that blocks keeps the thread, not the end.
  WaitForSingleObject(noticeThread_, NOTICE_FLUSH_MS);
}

bool PipeServer::Start() {
  std::lock_guard<std::mutex> guard(stopMutex_);
  if (noticeQueue_->ready != nullptr) {
    noticeQueue_->sinkWaitUntil = GetTickCount64() + NOTICE_SINK_WAIT_MS;
    HMODULE self = nullptr;
    // Loaded as a library: the notice thread holds it as the service thread
    // does.
    if (module_ != nullptr && !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                                                  reinterpret_cast<LPCSTR>(&Notices::Thread), &self)) {
      self = nullptr;
    }
    noticeQueue_->module = self;
    auto* shared = new std::shared_ptr<Notices>(noticeQueue_);
    noticeThread_ = CreateThread(nullptr, 0, Notices::Thread, shared, 0, nullptr);
    if (noticeThread_ == nullptr) {
      delete shared;
      if (self != nullptr) FreeLibrary(self);
    }
  }
  if (wake_ == nullptr || connectEvent_ == nullptr) {
    Report(NOTICE_ERROR, "cannot start: no event objects");
    core_->Shutdown();
    stopped_ = true;
    EndNotices();
    return false;
  }
  // Every instance at once, so that clients started right after the driver
  // find one each.
  FillListeners(MonotonicMs());
  thread_ = CreateThread(nullptr, 0, ServiceThread, this, 0, nullptr);
  if (thread_ == nullptr) {
    Report(NOTICE_ERROR, "cannot start the service thread");
    core_->Shutdown();
    CloseListeners();
    stopped_ = true;
    EndNotices();
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

PipeServer::ListenResult PipeServer::Listen() {
  // Only the very first instance claims the name: another running driver's
  // library already serves it, and its clients must not be taken over.
  const bool first = !everListened_;
  SECURITY_ATTRIBUTES attributes{sizeof attributes, security_, FALSE};
  const DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  const DWORD pipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
  SECURITY_ATTRIBUTES* security = security_ != nullptr ? &attributes : nullptr;
  HANDLE pipe = createPipe_ != nullptr
                    ? static_cast<HANDLE>(createPipe_(name_.c_str(), openMode, pipeMode, OUT_BUFFER, IN_BUFFER, security))
                    : CreateNamedPipeA(name_.c_str(), openMode, pipeMode, PIPE_UNLIMITED_INSTANCES, OUT_BUFFER,
                                       IN_BUFFER, 0, security);
  auto* listener = pipe != INVALID_HANDLE_VALUE ? new (std::nothrow) Listener : nullptr;
  DWORD error = pipe == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
  if (listener != nullptr) {
    everListened_ = true;
    listener->pipe = pipe;
    listener->overlapped.hEvent = connectEvent_;
    error = ConnectNamedPipe(pipe, &listener->overlapped) ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_SUCCESS || error == ERROR_IO_PENDING || error == ERROR_PIPE_CONNECTED) {
      if (error == ERROR_PIPE_CONNECTED) {
        listener->connected = true;
        SetEvent(connectEvent_);
      }
      listeners_.push_back(listener);
      listenFailure_.clear();
      // Serving once the instance waits for its client: a client that the
      // status sends here finds the connect under way.
      notServing_ = false;
      return ListenResult::kListening;
    }
    CloseHandle(pipe);
    delete listener;
    // A client came and went before the connect: the instance is spent,
    // the next one is fine.
    if (error == ERROR_NO_DATA) return ListenResult::kClientGone;
  } else if (pipe != INVALID_HANDLE_VALUE) {
    CloseHandle(pipe);
  }
  // The first instance refused: another program made the name first, and
  // clients that open it reach that program, not this library.
  const bool taken = error == ERROR_ACCESS_DENIED && first;
  if (taken) notServing_ = true;
  const std::string failure = taken ? "the name is held by another program; clients that connect reach it, not kavro"
                                    : "error " + Decimal(error);
  // Said once per distinct reason, not once a second.
  if (failure != listenFailure_) {
    Report(NOTICE_ERROR, "cannot serve clients on " + name_ + ": " + failure + "; retrying");
    listenFailure_ = failure;
  }
  return ListenResult::kFailed;
}

// Brings the listening instances up to LISTENING_INSTANCES, unless a
// failure a moment ago says to wait.
void PipeServer::FillListeners(int64_t now) {
  if (now < nextListenTry_) return;
  // Bounded: clients that keep coming and going before their connect spend
  // an instance each.
  const size_t before = listeners_.size();
  for (size_t tries = 0; listeners_.size() < LISTENING_INSTANCES; ++tries) {
    if (tries == 2 * LISTENING_INSTANCES || Listen() == ListenResult::kFailed) {
      nextListenTry_ = now + LISTEN_RETRY_MS;
      break;
    }
  }
  // Every connect started resets the event the connects share: a client
  // that came to an instance made earlier in this round must not be lost
  // to it.
  if (listeners_.size() != before &&
      std::any_of(listeners_.begin(), listeners_.end(), [](const Listener* l) { return l->Arrived(); })) {
    SetEvent(connectEvent_);
  }
}

void PipeServer::CloseListeners() {
  for (Listener* listener : listeners_) CancelIo(listener->pipe);
  // A connect writes its result into its listener as it ends, also when
  // cancelled: a listener stays until it has (or is left behind).
  auto pending = [this] {
    return std::any_of(listeners_.begin(), listeners_.end(), [](const Listener* l) { return !l->Arrived(); });
  };
  const uint64_t until = GetTickCount64() + CANCEL_DRAIN_MS;
  while (pending() && GetTickCount64() < until) Sleep(1);
  for (Listener* listener : listeners_) {
    CloseHandle(listener->pipe);
    if (listener->Arrived()) delete listener;
  }
  listeners_.clear();
}

// From any thread: a client whose connect has returned but which the service
// thread has not taken in yet. A producer that would refuse a payload for
// want of a client waits for it instead.
bool PipeServer::ConnectDone() const {
  return connectEvent_ != nullptr && WaitForSingleObject(connectEvent_, 0) == WAIT_OBJECT_0;
}

// A client has left and waits for its last write to complete before it is
// taken out.
bool PipeServer::Settling() const {
  return std::any_of(clients_.begin(), clients_.end(), [](const Client* c) { return c->gone && !c->closed; });
}

void PipeServer::TakeConnected(int64_t now) {
  auto arrived = [](const Listener* listener) { return listener->Arrived(); };
  if (std::none_of(listeners_.begin(), listeners_.end(), arrived)) {
    // Connects that end from here on set the event again.
    ResetEvent(connectEvent_);
    if (std::none_of(listeners_.begin(), listeners_.end(), arrived)) return;
  }
  // A client that left before these came must be seen to leave first: its
  // unsent records are the backlog, which they may take, and not lost with
  // it. Its read fails the moment it closes, so the completion is already
  // queued; a wait that found the connect may not have run it.
  SleepEx(0, TRUE);
  if (Settling()) return;
  std::vector<HANDLE> pipes;
  for (auto it = listeners_.begin(); it != listeners_.end();) {
    Listener* listener = *it;
    if (!listener->Arrived()) {
      ++it;
      continue;
    }
    it = listeners_.erase(it);
    DWORD ignored = 0;
    if (listener->connected || GetOverlappedResult(listener->pipe, &listener->overlapped, &ignored, FALSE) ||
        GetLastError() == ERROR_PIPE_CONNECTED) {
      pipes.push_back(listener->pipe);
    } else {
      // The client left before it was taken; the instance is no good.
      CloseHandle(listener->pipe);
    }
    delete listener;
  }
  // Their places are taken before they are handed on: a client connecting
  // now finds an instance listening.
  FillListeners(now);
  for (HANDLE pipe : pipes) Admit(pipe, now);
  // Only now, with the clients in the core, do they stop counting as
  // waiting: a producer in between never finds neither. A connect that ends
  // between the look above and this reset is seen by the look below.
  ResetEvent(connectEvent_);
  if (std::any_of(listeners_.begin(), listeners_.end(), arrived)) SetEvent(connectEvent_);
}

void PipeServer::Admit(void* pipe, int64_t now) {
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

// At most one line a second; every refusal is in one of them.
// A line may name its journal priority ("<3>..."): an error or else a
// warning, for the sink.
void PipeServer::ReportLeveled(const std::string& line) {
  if (line.size() > 3 && line[0] == '<' && line[2] == '>') {
    Report(line[1] <= '3' ? NOTICE_ERROR : NOTICE_WARNING, line.substr(3));
  } else {
    Report(NOTICE_WARNING, line);
  }
}

void PipeServer::ReportRefusals(int64_t now, bool force) {
  if (refusedUnreported_ == 0 || (!force && now < nextRefusalReport_)) return;
  Report(NOTICE_WARNING, Decimal(refusedUnreported_) + " client(s) refused: " + Decimal(clientsMax_) +
                             " clients are connected already");
  refusedUnreported_ = 0;
  nextRefusalReport_ = now + 1000;
}

// On the service thread: completion routines run on the thread that started
// the I/O, and this one waits alertably.
void PipeServer::StartIo(Client& client, int64_t now) {
  if (client.closed || client.gone) return;
  if (!client.reading) {
    client.readOverlapped = OVERLAPPED{};
    client.readOverlapped.hEvent = &client;
    // A request longer than the buffer fills it and ends in ERROR_MORE_DATA
    // with its completion queued all the same: Windows returns TRUE then,
    // Wine FALSE. Either way the read is in flight until the completion has
    // run, and the client stays until then.
    if (!ReadFileEx(client.pipe, client.request, sizeof client.request, &client.readOverlapped, Client::ReadDone) &&
        GetLastError() != ERROR_MORE_DATA) {
      HangUp(client);
      return;
    }
    client.reading = true;
    client.pending++;
  }
  if (client.writing) return;
  if (client.batching) {
    if (!CollectBatch(client, now)) return;
  } else {
    // One record a write: a message must go out in one piece, and the pipe
    // keeps at most one of the largest anyway.
    OutRecord out{};
    if (core_->Collect(client.id, now, &out, 1) == 0) return;
    client.message.assign(out.header, out.header + out.header_size);
    if (out.length > 0) {
      const auto* bytes = static_cast<const uint8_t*>(out.payload);
      client.message.insert(client.message.end(), bytes, bytes + out.length);
    }
    client.inFlight = 1;
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

// Whatever the client is due, up to a batch's limits, as one message: what
// costs the time on a pipe is the write and its completion, not the bytes.
bool PipeServer::CollectBatch(Client& client, int64_t now) {
  OutRecord outs[BATCH_RECORDS_MAX];
  const size_t collected = core_->Collect(client.id, now, outs, BATCH_RECORDS_MAX);
  if (collected == 0) return false;
  auto put32 = [&client](uint32_t value) {
    for (int i = 0; i < 4; ++i) client.message.push_back(static_cast<uint8_t>(value >> (8 * i)));
  };
  client.message.clear();
  put32(KAVROD_RECORD_BATCH);
  put32(0);
  size_t taken = 0;
  for (; taken < collected; ++taken) {
    const OutRecord& out = outs[taken];
    const uint32_t size = out.header_size + out.length;
    if (taken > 0 && client.message.size() + 4 + size > BATCH_BYTES_MAX) break;
    put32(size);
    client.message.insert(client.message.end(), out.header, out.header + out.header_size);
    const auto* bytes = static_cast<const uint8_t*>(out.payload);
    if (out.length > 0) client.message.insert(client.message.end(), bytes, bytes + out.length);
  }
  for (int i = 0; i < 4; ++i) client.message[4 + i] = static_cast<uint8_t>(taken >> (8 * i));
  // What did not fit is collected again for the next message.
  client.inFlight = taken;
  return true;
}

void PipeServer::DropForRequest(Client& client, const std::string& what) {
  ++badRequestDrops_;
  Report(NOTICE_WARNING, "client " + Decimal(client.id) + " dropped: it sent " + what + " (" +
                             Decimal(badRequestDrops_) + " client(s) dropped for bad requests since the start)");
  HangUp(client);
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
  for (const std::string& line : notices_) ReportLeveled(line);
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
      FillListeners(now);
      if (listeners_.size() < LISTENING_INSTANCES) wakeAt(nextListenTry_);
      ReportRefusals(now, false);
      if (refusedUnreported_ > 0) wakeAt(nextRefusalReport_);
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
    bool slept = false;
    if (timeout != 0) {
      slept = core_->PrepareSleep(turn.work);
      if (!slept) timeout = 0;
    }
    const bool listening = !turn.stopping && !settling && !listeners_.empty();
    HANDLE events[2] = {wake_, connectEvent_};
    // Alertable: the completion routines of the clients' reads and writes
    // run inside this wait.
    WaitForMultipleObjectsEx(listening ? 2 : 1, events, FALSE, timeout, TRUE);
    if (slept) core_->Awake();
  }

  // The end of the service: whatever a client has not taken by now it will
  // not get. The records handed to the pipe stay readable by their clients.
  for (Client* client : clients_) {
    if (client->closed) continue;
    const uint64_t pending = core_->Pending(client->id);
    if (pending > 0) {
      Report(NOTICE_WARNING, "client " + Decimal(client->id) + " dropped: cannot keep up; " + Decimal(pending) +
                                 " records not delivered at shutdown");
    }
    core_->Hangup(client->id, nullptr);
    CloseClient(*client);
  }
  ReportRefusals(MonotonicMs(), true);
  CloseListeners();
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

bool PipeServer::QueryStatus(KavrodStatus* status) const {
  if (!core_->FillStatus(status)) return false;
  if (notServing_) status->flags |= KAVROD_STATUS_NOT_SERVING;
  return true;
}

bool PipeServer::OpenRecordLog(const std::string& directory, uint64_t max_bytes, bool sync_always,
                               std::string* error) {
  if (log_ != nullptr) {
    *error = "the record log is open already";
    return false;
  }
  kavrod::RecordLog::Options options;
  options.max_bytes = max_bytes;
  options.sync_always = sync_always;
  auto log = std::make_unique<kavrod::RecordLog>(
      NewWin32LogDirectory(directory), options,
      [this](int level, const std::string& line) { Report(level <= 3 ? NOTICE_ERROR : NOTICE_WARNING, line); });
  if (!log->Open(error)) return false;
  log_ = std::move(log);
  core_->AttachLog(log_.get());
  return true;
}

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
  EndNotices();
}

}  // namespace kavrod32
