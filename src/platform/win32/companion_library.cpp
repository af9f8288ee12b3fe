#include "platform/win32/companion_library.h"

#include <windows.h>

namespace kavro::platform {

namespace {

std::string Number(unsigned long value) {
  char text[16];
  wsprintfA(text, "%lu", value);
  return text;
}

}  // namespace

bool CompanionLibrary::Load(const char* name, std::string& failure) {
  HMODULE module = LoadLibraryA(name);
  if (module == nullptr) {
    failure = std::string("LoadLibrary(") + name + ") failed, err=" + Number(GetLastError());
    return false;
  }
  FARPROC deliver = GetProcAddress(module, MAKEINTRESOURCEA(DELIVER_PAYLOAD_ORDINAL));
  const DWORD deliverError = GetLastError();
  FARPROC signal = GetProcAddress(module, MAKEINTRESOURCEA(SIGNAL_LINK_EVENT_ORDINAL));
  const DWORD signalError = GetLastError();
  if (deliver == nullptr || signal == nullptr) {
    const unsigned ordinal = deliver == nullptr ? DELIVER_PAYLOAD_ORDINAL : SIGNAL_LINK_EVENT_ORDINAL;
    failure = std::string("GetProcAddress(") + name + ", " + Number(ordinal) + ") failed, err=" +
              Number(deliver == nullptr ? deliverError : signalError);
    FreeLibrary(module);
    return false;
  }
  module_ = module;
  deliver_ = reinterpret_cast<DeliverFunction>(reinterpret_cast<void*>(deliver));
  signal_ = reinterpret_cast<SignalFunction>(reinterpret_cast<void*>(signal));
  // Optional: a library of one's own may have only the two.
  wait_ = reinterpret_cast<WaitFunction>(
      reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(WAIT_FOR_ROOM_ORDINAL))));
  status_ = reinterpret_cast<StatusFunction>(
      reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(QUERY_STATUS_ORDINAL))));
  openLog_ = reinterpret_cast<OpenLogFunction>(
      reinterpret_cast<void*>(GetProcAddress(module, MAKEINTRESOURCEA(OPEN_RECORD_LOG_ORDINAL))));
  return true;
}

int32_t CompanionLibrary::DeliverPayload(uint32_t address, void* payload, uint32_t length) {
  return deliver_ != nullptr ? deliver_(address, payload, length) : -1;
}

void CompanionLibrary::SignalLinkEvent(uint32_t code) {
  if (signal_ != nullptr) signal_(code);
}

int32_t CompanionLibrary::WaitForRoom(uint32_t timeoutMs) { return wait_ != nullptr ? wait_(timeoutMs) : 1; }

int32_t CompanionLibrary::QueryStatus(void* status) { return status_ != nullptr ? status_(status) : 0; }

int32_t CompanionLibrary::OpenRecordLog(const char* directory, uint64_t maxBytes, uint32_t flags, char* message,
                                        uint32_t size) {
  return openLog_ != nullptr ? openLog_(directory, maxBytes, flags, message, size) : -1;
}

}  // namespace kavro::platform
