#include "control/delivery_library.h"

namespace kavro {

namespace {

const char* const kWhatToDo = "; check --delivery-library or KAVRO_DELIVERY_LIBRARY";

std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return text;
}

}  // namespace

std::string ResolveDefaultDeliveryLibrary(platform::LibraryLoader& loader, const std::string& name) {
  std::string directory = loader.ExecutableDirectory();
  if (!directory.empty()) {
    std::string beside = directory + (directory.back() == '/' ? "" : "/") + name;
    if (loader.FileExists(beside)) return beside;
  }
  return name;
}

bool DeliveryLibrary::Load(const std::string& path, std::string& error) {
  std::string reason;
  std::unique_ptr<platform::Library> library = loader_.Open(path, reason);
  if (library == nullptr) {
    error = OneLine("kavro: cannot load companion library " + path + ": " + reason + kWhatToDo);
    return false;
  }
  // The functions are looked up by name with C linkage; a C++ library must
  // declare them extern "C" or they will not be found.
  void* deliver = library->Symbol("DeliverPayload");
  void* signal = library->Symbol("SignalLinkEvent");
  const char* missing = deliver == nullptr ? "DeliverPayload" : signal == nullptr ? "SignalLinkEvent" : nullptr;
  if (missing != nullptr) {
    error = OneLine("kavro: companion library " + path + " lacks the function " + missing + kWhatToDo);
    return false;
  }
  // Unbind before the old library goes away, so that no pointer into an
  // unloaded library is ever held.
  deliver_ = nullptr;
  signal_ = nullptr;
  waitForRoom_ = nullptr;
  queryStatus_ = nullptr;
  openRecordLog_ = nullptr;
  void* openRecordLog = library->Symbol("KavrodOpenRecordLog");
  void* waitForRoom = library->Symbol("KavrodWaitForRoom");
  void* queryStatus = library->Symbol("KavrodQueryStatus");
  library_ = std::move(library);
  deliver_ = reinterpret_cast<DeliverPayloadFunction>(deliver);
  signal_ = reinterpret_cast<SignalLinkEventFunction>(signal);
  waitForRoom_ = reinterpret_cast<WaitForRoomFunction>(waitForRoom);
  queryStatus_ = reinterpret_cast<QueryStatusFunction>(queryStatus);
  openRecordLog_ = reinterpret_cast<OpenRecordLogFunction>(openRecordLog);
  path_ = path;
  return true;
}

int32_t DeliveryLibrary::DeliverPayload(uint32_t address, void* payload, uint32_t length) {
  if (deliver_ == nullptr || payload == nullptr) return KAVRO_QUEUE_ERROR;
  return deliver_(address, payload, length);
}

void DeliveryLibrary::SignalLinkEvent(uint32_t code) {
  if (signal_ != nullptr) signal_(code);
}

int32_t DeliveryLibrary::WaitForRoom(uint32_t timeoutMs) {
  return waitForRoom_ == nullptr ? 1 : waitForRoom_(timeoutMs);
}

bool DeliveryLibrary::QueryStatus(DeliveryStatus& status) {
  if (queryStatus_ == nullptr) return false;
  KavrodStatusRecord record{};
  record.size = sizeof record;
  if (queryStatus_(&record) != 1) return false;
  status.Clients = record.clients;
  status.AcknowledgedClients = record.acknowledgedClients;
  status.RecordsLost = record.recordsLost;
  status.RecordsUnacknowledged = record.recordsUnacknowledged;
  status.LibraryFlags = record.flags;
  return true;
}

bool DeliveryLibrary::OpenRecordLog(const RecordLogSettings& settings, std::string& error) {
  if (openRecordLog_ == nullptr) {
    error = OneLine("kavro: companion library " + path_ +
                    " lacks the function KavrodOpenRecordLog, which --record-log needs; load the library built with "
                    "kavro, or leave out --record-log (KAVRO_RECORD_LOG)");
    return false;
  }
  char message[512] = {};
  constexpr uint32_t SYNC_ALWAYS = 1;  // KAVROD_RECORD_LOG_SYNC_ALWAYS
  if (openRecordLog_(settings.Directory.c_str(), settings.MaxBytes, settings.SyncAlways ? SYNC_ALWAYS : 0, message,
                     sizeof message) == 1) {
    return true;
  }
  error = OneLine("kavro: cannot open the record log " + settings.Directory + ": " + message);
  return false;
}

}  // namespace kavro
