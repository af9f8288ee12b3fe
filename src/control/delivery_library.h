// The companion (client-delivery) library loaded at run time. The process
// cannot do its job without it, so a library that cannot be loaded or lacks
// one of the two functions stops the start with a message the operator can
// act on.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "control/record_log_settings.h"
#include "core/delivery.h"
#include "platform/library_loader.h"

namespace kavro {

// The library built with the program, found beside the executable or where
// the system keeps shared libraries.
constexpr const char* DEFAULT_DELIVERY_LIBRARY = "libkavrod.so.1";

// Where to load the default library `name` from: the running executable's
// directory when the file is there (the build tree keeps the library beside
// the program, and a relocated install keeps them together), otherwise the
// bare name for the system's own search.
std::string ResolveDefaultDeliveryLibrary(platform::LibraryLoader& loader,
                                          const std::string& name = DEFAULT_DELIVERY_LIBRARY);

class DeliveryLibrary : public Delivery {
 public:
  explicit DeliveryLibrary(platform::LibraryLoader& loader) : loader_(loader) {}
  DeliveryLibrary(const DeliveryLibrary&) = delete;
  DeliveryLibrary& operator=(const DeliveryLibrary&) = delete;

  // Loads the library at `path` and binds DeliverPayload and SignalLinkEvent
  // by name, and the optional KavrodWaitForRoom and KavrodQueryStatus. On failure returns false with a one-line message
  // for standard error in `error`, and nothing stays loaded. A second call replaces the library only when the new one
  // loads completely.
  bool Load(const std::string& path, std::string& error);
  bool IsLoaded() const { return deliver_ != nullptr; }

  // Without a library, or with a null `payload`, the library is not called
  // and the result is -1, so that the caller frees the block as it does on
  // any refusal: the library is never handed a null block to free.
  int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) override;
  // Without a library the event goes nowhere.
  void SignalLinkEvent(uint32_t code) override;
  // KavrodWaitForRoom and KavrodQueryStatus, when the library has them.
  int32_t WaitForRoom(uint32_t timeoutMs) override;
  bool QueryStatus(DeliveryStatus& status) override;
  // Opens the record log through the library's KavrodOpenRecordLog; false
  // with a one-line message when the library lacks it or cannot open it.
  bool OpenRecordLog(const RecordLogSettings& settings, std::string& error);

 private:
  using DeliverPayloadFunction = int32_t (*)(uint32_t, void*, uint32_t);
  using SignalLinkEventFunction = void (*)(uint32_t);
  using WaitForRoomFunction = int32_t (*)(uint32_t);
  using QueryStatusFunction = int32_t (*)(void*);
  using OpenRecordLogFunction = int32_t (*)(const char*, uint64_t, uint32_t, char*, uint32_t);

  platform::LibraryLoader& loader_;
  std::unique_ptr<platform::Library> library_;
  DeliverPayloadFunction deliver_ = nullptr;
  SignalLinkEventFunction signal_ = nullptr;
  WaitForRoomFunction waitForRoom_ = nullptr;
  QueryStatusFunction queryStatus_ = nullptr;
  OpenRecordLogFunction openRecordLog_ = nullptr;
  std::string path_;
};

}  // namespace kavro
