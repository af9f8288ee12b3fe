// KAVROD32.dll: the default companion library of kavro.exe. It passes every
// payload and link event the driver hands it to the client programs
// connected to the named pipe \\.\pipe\kavrod.
#include "kavrod32.h"
#include "pipe_server.h"

#include <cstdio>
#include <new>
#include <string>

#include <windows.h>

namespace {

// The library's one service, made when the library is loaded; the C
// interface leaves no other place to keep it.
kavrod32::PipeServer* server = nullptr;

}  // namespace

extern "C" int32_t __stdcall DeliverPayload(uint32_t address, void* payload, uint32_t length) {
  return server != nullptr ? server->Deliver(address, payload, length) : -1;
}

extern "C" void __stdcall SignalLinkEvent(uint32_t code) {
  if (server != nullptr) server->Signal(code);
}

extern "C" int32_t __stdcall KavrodWaitForRoom(uint32_t timeout_ms) {
  return server != nullptr ? server->WaitForRoom(timeout_ms) : 1;
}

extern "C" int32_t __stdcall KavrodQueryStatus(KavrodStatus* status) {
  return server != nullptr && server->QueryStatus(status) ? 1 : 0;
}

static_assert(kavrod32::NOTICE_ERROR == KAVROD_NOTICE_ERROR && kavrod32::NOTICE_WARNING == KAVROD_NOTICE_WARNING,
              "notice levels");

extern "C" void __stdcall KavrodSetNoticeSink(KavrodNoticeSink sink, void* context) {
  if (server != nullptr) server->SetNoticeSink(sink, context);
}

extern "C" int32_t __stdcall KavrodOpenRecordLog(const char* directory, uint64_t max_bytes, uint32_t flags,
                                                 char* message, uint32_t message_size) {
  std::string error = "the library did not start";
  if (server != nullptr && directory != nullptr && *directory != '\0' &&
      server->OpenRecordLog(directory, max_bytes == 0 ? KAVROD_RECORD_LOG_MAX_DEFAULT : max_bytes,
                            (flags & KAVROD_RECORD_LOG_SYNC_ALWAYS) != 0, &error)) {
    return 1;
  }
  if (message != nullptr && message_size > 0) std::snprintf(message, message_size, "%s", error.c_str());
  return 0;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: {
      server = new (std::nothrow) kavrod32::PipeServer();
      if (server == nullptr) return TRUE;
      // The service thread's own reference on the library, released by the
      // thread as it ends.
      HMODULE self = nullptr;
      if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                             reinterpret_cast<LPCSTR>(&DeliverPayload), &self)) {
        server->SetModule(self);
      }
      if (!server->Start() && self != nullptr) FreeLibrary(self);
      return TRUE;
    }
    case DLL_PROCESS_DETACH:
      // At process exit (reserved set) the service thread is already gone
      // and nothing needs undoing. An unload can only come after the service
      // has ended (the thread held the library until then).
      if (reserved == nullptr) {
        delete server;
        server = nullptr;
      }
      return TRUE;
    default:
      return TRUE;
  }
}
