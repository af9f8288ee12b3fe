// The V.24 serial port: opened once with the configured rate, re-initialised
// at the rate the PBX names in its handshake line, read in bursts by the
// receive thread, written by both threads, closed at shutdown.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/link_control.h"
#include "diag/trace_log.h"
#include "platform/event_hub.h"
#include "platform/registry.h"
#include "platform/serial_device.h"
#include "transport/ports.h"

namespace kavro {

// Both driver queues, in bytes.
constexpr uint32_t SERIAL_QUEUE_SIZE = 4096;
// DTR and RTS are given this long before DSR is looked at.
constexpr uint32_t DSR_SETTLE_MS = 50;

class SerialPort : public SerialPortOps {
 public:
  SerialPort(LinkControl& control, TraceLog& trace, platform::Registry& registry,
             platform::SerialDeviceFactory& devices, platform::Clock& clock)
      : control_(control), trace_(trace), registry_(registry), devices_(devices), clock_(clock) {}

  int32_t OpenV24(const char* portName, const char* rateText, uint32_t controlLines) override;
  int32_t InitV24(const char* rateText) override;
  int32_t CloseV24() override;
  int32_t SendV24(const uint8_t* data, uint32_t length) override;
  int32_t ReceiveV24(uint8_t* buffer, uint32_t size) override;
  int32_t IsV24Closed() override;

  // The device a port name stands for, as the platform's serial devices
  // name it, given the name's value under the Ports sub-key of the
  // configuration; empty when the name stands for none.
  std::string DevicePathFor(const char* portName);

  // The rate a rate text selects: the whole text must be one of the eight
  // known rates; anything else is 0.
  static uint32_t RateOf(const char* rateText);

 private:
  // The name's text value under the Ports sub-key; empty when it has none.
  std::string ConfiguredDevice(const char* portName);
  void Configure(platform::SerialDevice& device, const char* rateText, bool twoStopBitsAtLowRates);
  std::shared_ptr<platform::SerialDevice> CurrentDevice();

  LinkControl& control_;
  TraceLog& trace_;
  platform::Registry& registry_;
  platform::SerialDeviceFactory& devices_;
  platform::Clock& clock_;

  // Guards the device pointer and DeviceHandle between the window thread
  // (open, close) and the receive thread (reads, the closed test). The reads
  // and writes themselves run outside it, on their own copy of the pointer,
  // so that a close never waits behind a blocked read.
  std::mutex deviceMutex_;
  std::shared_ptr<platform::SerialDevice> device_;
};

}  // namespace kavro
