#include "transport/transport.h"

#include <cstring>

namespace kavro {

namespace {

// strncmp stops at the name's terminator, so a shorter name never matches.
bool StartsWith(const char* name, const char* prefix) { return std::strncmp(name, prefix, std::strlen(prefix)) == 0; }

}  // namespace

bool Transport::IsComLink() const { return StartsWith(config_.Link, "COM"); }

bool Transport::IsUsbLink() const { return StartsWith(config_.Link, "USB"); }

bool Transport::IsTcpLink() const { return StartsWith(config_.Link, "TCP") || StartsWith(config_.Link, "LAN/USB"); }

void Transport::SelectTransport() {
  port_ = &noPort_;
  if (IsUsbLink()) {
    if (usb_) port_ = usb_;
  } else if (IsComLink()) {
    port_ = &serial_;
  } else if (IsTcpLink()) {
    if (socket_) port_ = socket_;
  }
}

int32_t Transport::SendConnection(const uint8_t* data, uint32_t length) {
  trace_.TraceHexDump(LOG_PROTOCOL, "SendConnection():", data, length);
  return port_->Send(data, length);
}

int32_t Transport::ReceiveConnection(uint8_t* buffer, uint32_t size) { return port_->Receive(buffer, size); }

int32_t Transport::IsDisconnected() { return port_->IsClosed(); }

int32_t Transport::CloseConnection() {
  port_->Close();
  return 1;
}

int32_t Transport::SetLinkSpeed(const char* rateText) { return serial_.InitV24(rateText); }

int32_t Transport::CloseSocket() { return socket_ ? socket_->CloseSocket() : 0; }

}  // namespace kavro
