// The default companion library: it passes every payload and link event the
// link driver hands it to the client programs connected to its socket.
//
// The queueing rules live in the portable core (delivery_core); the Unix
// socket server in front of it has a service thread of its own that accepts
// clients and writes to them, so the driver's threads only put records on
// the shared log. They never wait, but for the shutdown event, which returns
// once the clients have been handed everything because the process ends
// right after, and for KavrodWaitForRoom, which the driver calls outside its
// link lock where its transport carries back-pressure.
#include "kavrod.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <new>

#include "unix_server.h"

namespace {

// The library's one service, made when the library is loaded and ended when
// it is unloaded; the C interface leaves no other place to keep it.
kavrod::UnixServer* server = nullptr;

__attribute__((constructor)) void KavrodLoad() {
  const char* run_dir = std::getenv("KAVRO_RUN_DIR");
  if (run_dir == nullptr || *run_dir == '\0') run_dir = KAVROD_DEFAULT_RUN_DIR;
  // The group of kavro's --socket-group, as a number.
  gid_t group = static_cast<gid_t>(-1);
  const char* group_text = std::getenv("KAVRO_SOCKET_GROUP");
  if (group_text != nullptr && *group_text != '\0') {
    char* end = nullptr;
    const unsigned long number = std::strtoul(group_text, &end, 10);
    if (*end == '\0') group = static_cast<gid_t>(number);
  }
  server = new (std::nothrow) kavrod::UnixServer(run_dir, kavrod::Limits{}, group);
}

__attribute__((destructor)) void KavrodUnload() {
  delete server;
  server = nullptr;
}

}  // namespace

extern "C" {

KAVROD_EXPORT int32_t DeliverPayload(uint32_t address, void* payload, uint32_t length) {
  return server != nullptr ? server->Deliver(address, payload, length) : -1;
}

KAVROD_EXPORT void SignalLinkEvent(uint32_t code) {
  if (server != nullptr) server->Signal(code);
}

KAVROD_EXPORT int32_t KavrodWaitForRoom(uint32_t timeout_ms) {
  return server != nullptr ? server->WaitForRoom(timeout_ms) : 1;
}

KAVROD_EXPORT int32_t KavrodOpenRecordLog(const char* directory, uint64_t max_bytes, uint32_t flags, char* message,
                                          uint32_t message_size) {
  std::string error = "the library did not start";
  if (server != nullptr && directory != nullptr && *directory != '\0' &&
      server->OpenRecordLog(directory, max_bytes == 0 ? KAVROD_RECORD_LOG_MAX_DEFAULT : max_bytes,
                            (flags & KAVROD_RECORD_LOG_SYNC_ALWAYS) != 0, &error)) {
    return 1;
  }
  if (message != nullptr && message_size > 0) std::snprintf(message, message_size, "%s", error.c_str());
  return 0;
}

KAVROD_EXPORT int32_t KavrodQueryStatus(struct KavrodStatus* status) {
  return server != nullptr && server->QueryStatus(status) ? 1 : 0;
}

}  // extern "C"
