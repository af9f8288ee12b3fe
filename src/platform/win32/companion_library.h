// The companion DLL (KAVROD32.dll) on Windows: loaded at start with the
// normal DLL search, the program's directory first, and bound by ordinal
// only: 7 DeliverPayload, 8 SignalLinkEvent, and when it has them 9
// KavrodWaitForRoom and 10 KavrodQueryStatus, all stdcall.
#pragma once

#include <cstdint>
#include <string>

namespace kavro::platform {

constexpr const char* COMPANION_LIBRARY_NAME = "KAVROD32.dll";
constexpr unsigned DELIVER_PAYLOAD_ORDINAL = 7;
constexpr unsigned SIGNAL_LINK_EVENT_ORDINAL = 8;
constexpr unsigned WAIT_FOR_ROOM_ORDINAL = 9;
constexpr unsigned QUERY_STATUS_ORDINAL = 10;
constexpr unsigned OPEN_RECORD_LOG_ORDINAL = 12;

class CompanionLibrary {
 public:
  CompanionLibrary() = default;
  CompanionLibrary(const CompanionLibrary&) = delete;
  CompanionLibrary& operator=(const CompanionLibrary&) = delete;

  // Loads `name` and binds both ordinals. On failure returns false with a
  // line that names the library, the missing ordinal if any, and the
  // system's error code; nothing stays loaded.
  bool Load(const char* name, std::string& failure);
  bool IsLoaded() const { return deliver_ != nullptr; }

  // Calls into the library; without one, -1 and nothing.
  int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length);
  void SignalLinkEvent(uint32_t code);
  // The optional ones: without them, 1 (room) and 0 (nothing filled).
  int32_t WaitForRoom(uint32_t timeoutMs);
  int32_t QueryStatus(void* status);
  // KavrodOpenRecordLog: -1 when the library lacks it.
  int32_t OpenRecordLog(const char* directory, uint64_t maxBytes, uint32_t flags, char* message, uint32_t size);

 private:
  using DeliverFunction = int32_t(__stdcall*)(uint32_t, void*, uint32_t);
  using SignalFunction = void(__stdcall*)(uint32_t);
  using WaitFunction = int32_t(__stdcall*)(uint32_t);
  using StatusFunction = int32_t(__stdcall*)(void*);
  using OpenLogFunction = int32_t(__stdcall*)(const char*, uint64_t, uint32_t, char*, uint32_t);

  void* module_ = nullptr;
  DeliverFunction deliver_ = nullptr;
  SignalFunction signal_ = nullptr;
  WaitFunction wait_ = nullptr;
  StatusFunction status_ = nullptr;
  OpenLogFunction openLog_ = nullptr;
};

}  // namespace kavro::platform
