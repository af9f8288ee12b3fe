#include "transport/transport.h"

#include <cstring>

namespace kavro {

namespace {

// strncmp stops at the name's terminator, so a shorter name never matches.
bool StartsWith(const char* name, const char* prefix) {
  return std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

}  // namespace

bool Transport::IsComLink() const { return StartsWith(config_.Link, "COM"); }

bool Transport::IsUsbLink() const { return StartsWith(config_.Link, "USB"); }

bool Transport::IsTcpLink() const {
  return StartsWith(config_.Link, "TCP") || StartsWith(config_.Link, "LAN/USB");
}

int32_t Transport::SendConnection(const uint8_t* data, uint32_t length) {
  trace_.TraceHexDump(LOG_PROTOCOL, "SendConnection():", data, length);
  if (IsUsbLink()) return usb_ ? usb_->SendUsb(data, length) : 0;
  if (IsComLink()) return serial_.SendV24(data, length);
  if (IsTcpLink()) return socket_ ? socket_->SendSocket(data, length) : 0;
  return 0;
}

int32_t Transport::ReceiveConnection(uint8_t* buffer, uint32_t size) {
  if (IsUsbLink()) return usb_ ? usb_->ReceiveUsb(buffer, size) : 0;
  if (IsComLink()) return serial_.ReceiveV24(buffer, size);
  if (IsTcpLink()) return socket_ ? socket_->ReceiveSocket(buffer, size) : 0;
  return 0;
}

int32_t Transport::IsDisconnected() {
  // The USB open keeps its device in DeviceHandle as the serial open does,
  // so one test serves both.
  if (IsUsbLink()) return (serial_.IsV24Closed() || (usb_ && usb_->IsUsbGone())) ? 1 : 0;
  if (IsComLink()) return serial_.IsV24Closed();
  // A TCP read comes back empty only when the connection has ended.
  return 1;
}

int32_t Transport::CloseConnection() {
  if (IsUsbLink() && usb_) usb_->CloseUsb();
  if (IsComLink()) serial_.CloseV24();
  if (IsTcpLink() && socket_) socket_->CloseSocket();
  return 1;
}

int32_t Transport::SetLinkSpeed(const char* rateText) { return serial_.InitV24(rateText); }

int32_t Transport::CloseSocket() { return socket_ ? socket_->CloseSocket() : 0; }

}  // namespace kavro
