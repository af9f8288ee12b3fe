#include "transport/serial_port.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "core/link_config.h"

namespace kavro {

namespace {

struct RateEntry {
  const char* text;
  uint32_t rate;
};

constexpr RateEntry RateTable[] = {
    {"1200", 1200},   {"2400", 2400},   {"4800", 4800},   {"9600", 9600},
    {"19200", 19200}, {"38400", 38400}, {"57600", 57600}, {"115200", 115200},
};

// A one-byte read gives up after 2 + 32 ms, so a burst ends at the first gap
// of 34 ms; a write of n bytes may take 2 n + 1000 ms.
constexpr platform::SerialTimeouts PortTimeouts{2, 32, 2, 1000};

// The longest device path taken from the Ports sub-key.
constexpr uint32_t MAX_DEVICE_PATH = 4096;

}  // namespace

uint32_t SerialPort::RateOf(const char* rateText) {
  if (rateText == nullptr) return 0;
  for (const RateEntry& entry : RateTable) {
    if (std::strcmp(rateText, entry.text) == 0) return entry.rate;
  }
  return 0;
}

std::string SerialPort::DevicePathFor(const char* portName) {
  if (portName == nullptr || portName[0] == '\0') return {};  // "" would be the default value
  return devices_.DevicePathFor(portName, ConfiguredDevice(portName));
}

std::string SerialPort::ConfiguredDevice(const char* portName) {
  if (auto key = registry_.OpenKey(PortsKeyPath().c_str())) {
    char path[MAX_DEVICE_PATH] = {};
    uint32_t type = platform::REG_NONE;
    uint32_t size = sizeof path;
    if (key->QueryValue(portName, &type, reinterpret_cast<uint8_t*>(path), &size) == platform::ERROR_SUCCESS &&
        (type == platform::REG_SZ || type == platform::REG_EXPAND_SZ)) {
      std::string mapped(path, strnlen(path, size));
      if (!mapped.empty()) return mapped;
    }
  }

  return {};
}

std::shared_ptr<platform::SerialDevice> SerialPort::CurrentDevice() {
  std::lock_guard<std::mutex> lock(deviceMutex_);
  return device_;
}

void SerialPort::Configure(platform::SerialDevice& device, const char* rateText, bool twoStopBitsAtLowRates) {
  // Results not looked at: a port that cannot size its queues or purge is
  // still usable, and the link layer recovers from stale bytes by itself.
  device.SetQueues(SERIAL_QUEUE_SIZE, SERIAL_QUEUE_SIZE);
  device.Purge();

  platform::SerialSettings settings;
  settings.rate = RateOf(rateText);
  // After the handshake, slow lines get a second stop bit as the PBX expects
  // them; the open always starts with one.
  settings.stopBits = (twoStopBitsAtLowRates && settings.rate <= 4800) ? 2 : 1;
  // An unknown rate (0) is refused by the device, which leaves the line as
  // it was: the link keeps working at the rate it had.
  if (int err = device.ApplySettings(settings)) {
    trace_.TraceMessage(LOG_ERROR, "KavroCom: SetCommState failed, err=%ld", static_cast<long>(err));
  }
  if (int err = device.ApplyTimeouts(PortTimeouts)) {
    trace_.TraceMessage(LOG_ERROR, "KavroCom: SetCommTimeouts failed, err=%ld", static_cast<long>(err));
  }
}

int32_t SerialPort::OpenV24(const char* portName, const char* rateText, uint32_t controlLines) {
  {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    if (control_.Block.DeviceHandle != INVALID_HANDLE) return 0;
  }
  if (portName == nullptr) portName = "";

  // The Win32 port is driven with two named completion events, one for
  // writes and one for the event wait and reads. A POSIX device needs none:
  // reads and writes block in poll, each beside the device's own wake-up
  // descriptor, and they run on separate locks so a write proceeds while
  // the receive thread waits.

  const std::string path = DevicePathFor(portName);
  int err = ENOENT;
  std::shared_ptr<platform::SerialDevice> device;
  if (!path.empty()) device = devices_.OpenDevice(path, &err);
  if (!device) {
    trace_.TraceMessage(LOG_ERROR, "Kavrocom: CreateFile(%s) failed, err=%ld", portName, static_cast<long>(err));
    platform::LifecycleSink& lifecycle = control_.Lifecycle();
    if (path.empty()) {
      lifecycle.Notice(platform::NoticeLevel::Error,
                       std::string("cannot open serial link ") + portName +
                           ": no device for this name; map it to a device under Ports in the registry file");
    } else {
      lifecycle.Notice(platform::NoticeLevel::Error, std::string("cannot open serial link ") + portName + " on " +
                                                         path + ": " + lifecycle.ErrorText(err));
    }
    return 0;
  }
  {
    std::lock_guard<std::mutex> lock(deviceMutex_);
    device_ = device;
    control_.Block.DeviceHandle = device->Handle();
  }
  // Written at the error level on purpose: the handle of the port in use
  // belongs in every log that is switched on.
  trace_.TraceMessage(LOG_ERROR, "Kavrocom: CreateFile(%s) Handle %lx, err=%ld", portName,
                      static_cast<unsigned long>(device->Handle()), 0L);

  Configure(*device, rateText, false);

  if (controlLines != 0) {
    device->SetDtr(true);
    device->SetRts(true);
    clock_.Sleep(DSR_SETTLE_MS);
    bool dsrOn = false;
    int dsrErr = device->GetDsr(&dsrOn);
    if (dsrErr != 0 || !dsrOn) {
      // No DSR: no PBX (or no cable) at the other end. Give the port back
      // at once with both lines low, so the next attempt starts clean.
      trace_.TraceMessage(LOG_ERROR, "KavroCom: DSR Check failed, err=%ld", static_cast<long>(dsrErr));
      control_.Lifecycle().Notice(platform::NoticeLevel::Error,
                                  std::string("serial link ") + portName + " on " + path + ": no DSR from the PBX (" +
                                      (dsrErr != 0 ? control_.Lifecycle().ErrorText(dsrErr) : std::string("line low")) +
                                      "); check the cable, or set ControlLines to 0 for a port without modem lines");
      device->Interrupt();
      device->SetRts(false);
      device->SetDtr(false);
      device->Close();
      std::lock_guard<std::mutex> lock(deviceMutex_);
      device_.reset();
      control_.Block.DeviceHandle = INVALID_HANDLE;
      return 0;
    }
  } else {
    device->SetRts(false);
    device->SetDtr(false);
  }

  trace_.TraceMessage(LOG_DETAIL, "OpenV24 successfull");
  control_.OpenedDevice = path;
  control_.Lifecycle().Notice(platform::NoticeLevel::Info, std::string("opened serial link ") + portName + " on " +
                                                               path + " at " + (rateText ? rateText : "") + " bit/s");
  return 1;
}

int32_t SerialPort::InitV24(const char* rateText) {
  auto device = CurrentDevice();
  if (!device) return 0;
  if (rateText == nullptr) rateText = "";
  trace_.TraceMessage(LOG_PROTOCOL, "InitV24(%s)", TraceText(rateText).c_str());
  // The purge in here drops whatever is in the driver right now: the PBX
  // switches its rate after the answer line, so anything still buffered was
  // sent at the old rate.
  Configure(*device, rateText, true);
  return 1;
}

int32_t SerialPort::CloseV24() {
  std::shared_ptr<platform::SerialDevice> device;
  {
    // Marked closed before anything else, so that the receive thread, when
    // it wakes, finds the link gone.
    std::lock_guard<std::mutex> lock(deviceMutex_);
    device = std::move(device_);
    if (device) control_.Block.DeviceHandle = INVALID_HANDLE;
  }
  if (!device) {
    trace_.TraceMessage(LOG_DETAIL, "CloseV24 successfull");
    return 1;
  }
  // Ends the read the receive thread has blocked in, before the lines drop.
  device->Interrupt();
  device->SetRts(false);
  device->SetDtr(false);
  if (int err = device->Close()) {
    trace_.TraceMessage(LOG_ERROR, "Kavrocom: CloseHandle failed, err=%ld", static_cast<long>(err));
    return 0;
  }
  trace_.TraceMessage(LOG_DETAIL, "CloseV24 successfull");
  return 1;
}

int32_t SerialPort::SendV24(const uint8_t* data, uint32_t length) {
  if (data == nullptr || length == 0) return -1;
  trace_.TraceMessage(LOG_DETAIL, "SendV24 %ld %X", static_cast<long>(length), static_cast<unsigned>(data[0]));
  auto device = CurrentDevice();
  int err = device ? device->Write(data, length) : EBADF;
  if (err != 0) {
    // A tty keeps no sticky error state that a later write would trip over,
    // so there is nothing to clear after a failed write.
    trace_.TraceMessage(LOG_ERROR, "Kavrocom: WriteFile failed, err=%ld", static_cast<long>(err));
    return 0;
  }
  trace_.TraceMessage(LOG_DETAIL, "SendV24 executed");
  return 1;
}

int32_t SerialPort::ReceiveV24(uint8_t* buffer, uint32_t size) {
  trace_.TraceMessage(LOG_DETAIL, "ReceiveV24 %x,%i", TraceAddress(buffer), static_cast<int>(size));
  auto device = CurrentDevice();
  if (!device || size == 0 || buffer == nullptr) return 0;
  bool failed = false;
  // The wait for the first byte and the reads of the burst are one call
  // here, so "TAC" (the wait is over) comes after the burst.
  uint32_t count = device->ReadBurst(buffer, size, &failed);
  trace_.TraceMessage(LOG_DETAIL, "TAC");
  if (failed) trace_.TraceMessage(LOG_DETAIL, "ReadV24 failed !");
  trace_.TraceMessage(LOG_DETAIL, "ReadV24 %i", static_cast<int>(count));
  return static_cast<int32_t>(count);
}

int32_t SerialPort::IsV24Closed() {
  std::lock_guard<std::mutex> lock(deviceMutex_);
  return control_.Block.DeviceHandle == INVALID_HANDLE ? 1 : 0;
}

}  // namespace kavro
