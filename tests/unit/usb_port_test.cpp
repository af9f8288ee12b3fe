// The USB port's own logic against a scripted device: the open sequence and
// what a failure leaves held, the trace lines, the read pause and the gone
// state, and the vendor:product filter from the registry.
#include "transport/usb_port.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/link_config.h"
#include "core/link_control.h"
#include "diag/trace_log.h"
#include "platform/registry.h"
#include "platform/virtual/virtual_event_hub.h"
#include "support/fakes.h"

namespace kavro {
namespace {

using platform::UsbDeviceInfo;
using platform::UsbFilter;

class ScriptedUsbDevice : public platform::UsbDevice {
 public:
  int Discover(const UsbFilter&, std::vector<UsbDeviceInfo>& out) override {
    out = found;
    return discoverResult;
  }
  int Open(const UsbDeviceInfo& device, int32_t* handle) override {
    opened.push_back(device.path);
    *handle = openResult == 0 ? 258 : -1;
    if (openResult == 0) open = true;
    return openResult;
  }
  int ClaimInterface() override { return claimResult; }
  int QueryDevice() override { return queryDeviceResult; }
  int QueryInterface() override { return queryInterfaceResult; }
  int Write(const uint8_t*, uint32_t length, uint32_t* written) override {
    *written = writeResult == 0 ? length : writtenOnFailure;
    return writeResult;
  }
  int Read(uint8_t* buffer, uint32_t, uint32_t* read) override {
    *read = 0;
    if (readResult == 0) {
      buffer[0] = 0x16;
      *read = 1;
    }
    return readResult;
  }
  void Close() override {
    ++closes;
    open = false;
  }

  std::vector<UsbDeviceInfo> found;
  int discoverResult = 0, openResult = 0, claimResult = 0;
  int queryDeviceResult = 0, queryInterfaceResult = 0;
  int writeResult = 0, readResult = 0;
  uint32_t writtenOnFailure = 0;
  std::vector<std::string> opened;
  bool open = false;
  int closes = 0;
};

UsbDeviceInfo Device(uint8_t address) {
  UsbDeviceInfo info;
  info.bus = 1;
  info.address = address;
  info.vendor = 0x1a2b;
  info.product = 0x3c4d;
  info.path = "/dev/bus/usb/001/00" + std::to_string(address);
  return info;
}

class UsbPortTest : public ::testing::Test {
 protected:
  UsbPortTest() { trace.TraceMask = 0xFF; }
  std::vector<std::string> Lines() const { return backend.Messages(); }

  testing::FakeLogBackend backend;
  TraceLog trace{backend};
  platform::VirtualEventHub hub;
  LinkControl control{trace, hub};
  ScriptedUsbDevice device;
  UsbPort port{device, control, trace, hub};
};

TEST_F(UsbPortTest, DiscoveryFailuresOpenNothing) {
  // Another port open: no device is looked for.
  control.Block.DeviceHandle = 7;
  device.found = {Device(2)};
  EXPECT_EQ(port.OpenUsb("USB"), 0);
  EXPECT_TRUE(device.opened.empty());
  control.Block.DeviceHandle = INVALID_HANDLE;
  device.found.clear();

  EXPECT_EQ(port.OpenUsb("USB"), 0);
  device.discoverResult = platform::USB_ERROR_NO_MEM;
  EXPECT_EQ(port.OpenUsb("USB"), 0);
  device.discoverResult = 0;
  device.found = {Device(2)};
  device.openResult = platform::USB_ERROR_ACCESS;
  EXPECT_EQ(port.OpenUsb("USB"), 0);
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{"Error: lpDevicePath == NULL", "Error SetupDiGetClassDevs:-11",
                                      "Device path:/dev/bus/usb/001/002 (1a2b:3c4d)", "CreateFile - Error:-3"}));
  EXPECT_EQ(control.Block.DeviceHandle, INVALID_HANDLE);
  EXPECT_FALSE(device.open);
}

// A failing step logs its own line and those of every later step, and the
// device is closed, the claimed interface with it.
TEST_F(UsbPortTest, FailedInitialisationLogsLaterStepsAndClosesTheDevice) {
  struct Case {
    int claim, queryDevice, queryInterface;
    std::vector<std::string> lines;
    bool interfaceWasHeld;
  };
  const std::vector<Case> cases = {
      {-6,
       0,
       0,
       {"WinUsb_Initialize failed:-6", "WinUsb_QueryDeviceInformation failed:-6",
        "WinUsb_QueryInterfaceSettings failed:-6"},
       false},
      {0, -4, 0, {"WinUsb_QueryDeviceInformation failed:-4", "WinUsb_QueryInterfaceSettings failed:-4"}, true},
      {0, 0, -5, {"WinUsb_QueryInterfaceSettings failed:-5"}, true},
  };
  device.found = {Device(2)};
  for (const Case& c : cases) {
    backend.Clear();
    device.claimResult = c.claim;
    device.queryDeviceResult = c.queryDevice;
    device.queryInterfaceResult = c.queryInterface;
    int closesBefore = device.closes;
    EXPECT_EQ(port.OpenUsb("USB"), 0);
    std::vector<std::string> lines = Lines();
    lines.erase(lines.begin());  // the device path
    EXPECT_EQ(lines, c.lines);
    EXPECT_FALSE(device.open);
    EXPECT_EQ(device.closes, closesBefore + 1);
    EXPECT_FALSE(port.HoldsInterface());
    EXPECT_EQ(port.UsbFileHandle(), -1);
    EXPECT_EQ(control.Block.DeviceHandle, INVALID_HANDLE);
  }
}

TEST_F(UsbPortTest, SendReportsFailuresWithBothLines) {
  device.found = {Device(2)};
  ASSERT_EQ(port.OpenUsb("USB"), 1);
  backend.Clear();
  const uint8_t frame[6] = {0x16, 0x16, 0x3F, 0x00, 0x12, 0x34};
  EXPECT_EQ(port.SendUsb(frame, 6), 6);
  device.writeResult = platform::USB_ERROR_PIPE;
  EXPECT_EQ(port.SendUsb(frame, 6), 0);
  // Part of the block taken before the failure still counts.
  device.writtenOnFailure = 4;
  device.writeResult = platform::USB_ERROR_TIMEOUT;
  EXPECT_EQ(port.SendUsb(frame, 6), 4);
  EXPECT_EQ(Lines(),
            (std::vector<std::string>{"WinUsb_WritePipe failed:-9", "0 Bytes Written!", "WinUsb_WritePipe failed:-7"}));
  EXPECT_FALSE(port.IsGone());
  device.writtenOnFailure = 0;
  device.writeResult = platform::USB_ERROR_NO_DEVICE;
  EXPECT_EQ(port.SendUsb(frame, 6), 0);
  EXPECT_TRUE(port.IsGone());
}

TEST_F(UsbPortTest, FailedReadsPauseUnlessClosedOrGone) {
  device.found = {Device(2)};
  ASSERT_EQ(port.OpenUsb("USB"), 1);
  backend.Clear();
  uint8_t buffer[4096];
  EXPECT_EQ(port.ReceiveUsb(buffer, sizeof buffer), 1);

  uint64_t before = hub.NowMs();
  device.readResult = platform::USB_ERROR_IO;
  EXPECT_EQ(port.ReceiveUsb(buffer, sizeof buffer), 0);
  EXPECT_EQ(hub.NowMs() - before, USB_READ_RETRY_PAUSE_MS);
  EXPECT_FALSE(port.IsGone());

  before = hub.NowMs();
  device.readResult = platform::USB_ERROR_CLOSED;
  EXPECT_EQ(port.ReceiveUsb(buffer, sizeof buffer), 0);
  device.readResult = platform::USB_ERROR_NO_DEVICE;
  EXPECT_EQ(port.ReceiveUsb(buffer, sizeof buffer), 0);
  EXPECT_EQ(hub.NowMs(), before);
  EXPECT_TRUE(port.IsGone());
  EXPECT_EQ(Lines(), (std::vector<std::string>{"WinUsb_ReadPipe failed:-1", "WinUsb_ReadPipe failed:-10",
                                               "WinUsb_ReadPipe failed:-4"}));
}

TEST_F(UsbPortTest, CloseReleasesOnceAndKeepsDeviceHandle) {
  // The link's closed test is the port's own: closed until a device is open.
  EXPECT_EQ(port.IsUsbClosed(), 1);
  EXPECT_EQ(port.CloseUsb(), 1);
  EXPECT_EQ(device.closes, 0);
  device.found = {Device(2)};
  ASSERT_EQ(port.OpenUsb("USB"), 1);
  EXPECT_EQ(port.UsbOutPipe(), 0x04);
  EXPECT_EQ(port.UsbInPipe(), 0x84);
  EXPECT_EQ(port.IsUsbGone(), 0);
  EXPECT_EQ(port.IsUsbClosed(), 0);
  EXPECT_EQ(port.CloseUsb(), 1);
  // DeviceHandle stays, yet the link counts as gone: no read can succeed.
  EXPECT_EQ(port.IsUsbGone(), 1);
  EXPECT_EQ(port.IsUsbClosed(), 1);
  EXPECT_FALSE(port.IsGone());
  EXPECT_EQ(port.CloseUsb(), 1);
  EXPECT_EQ(device.closes, 1);
  EXPECT_EQ(control.Block.DeviceHandle, 258);
  EXPECT_EQ(port.UsbFileHandle(), -1);
  // A new open is a live link again.
  control.Block.DeviceHandle = INVALID_HANDLE;
  ASSERT_EQ(port.OpenUsb("USB"), 1);
  EXPECT_EQ(port.IsUsbGone(), 0);
}

// A registry holding one key, enough for the Ports sub-key.
class OneKeyRegistry : public platform::Registry {
 public:
  class Key : public platform::RegistryKey {
   public:
    explicit Key(const std::map<std::string, std::pair<uint32_t, std::string>>& values) : values_(values) {}
    long QueryValue(const char* name, uint32_t* type, uint8_t* data, uint32_t* size) override {
      auto it = values_.find(name);
      if (it == values_.end()) return platform::ERROR_FILE_NOT_FOUND;
      const std::string& v = it->second.second;
      uint32_t need = static_cast<uint32_t>(v.size() + 1);
      if (type) *type = it->second.first;
      if (data && *size < need) {
        *size = need;
        return platform::ERROR_MORE_DATA;
      }
      if (data) std::copy(v.c_str(), v.c_str() + need, data);
      *size = need;
      return platform::ERROR_SUCCESS;
    }

   private:
    std::map<std::string, std::pair<uint32_t, std::string>> values_;
  };
  std::unique_ptr<platform::RegistryKey> OpenKey(const char* path) override {
    if (!present || std::string(path) != std::string(KAVRO_REGISTRY_KEY) + "\\Ports") return {};
    return std::make_unique<Key>(values);
  }
  bool present = true;
  std::map<std::string, std::pair<uint32_t, std::string>> values;
};

TEST(UsbFilterTest, ParsesVendorProductAndRefusesMalformedText) {
  UsbFilter f = ParseUsbFilter(" 1A2b:c4d ");
  EXPECT_TRUE(f.active);
  EXPECT_FALSE(f.matchNothing);
  EXPECT_EQ(f.vendor, 0x1a2b);
  EXPECT_EQ(f.product, 0x0c4d);
  EXPECT_FALSE(ParseUsbFilter("").active);
  EXPECT_FALSE(ParseUsbFilter("  ").active);
  for (const char* bad :
       {"1a2b", "1a2b:", ":3c4d", "12345:1", "1a2b:3c4g", "1a2b:3c4d:1", "0x1a2b:3c4d", "1a2b 3c4d"}) {
    UsbFilter b = ParseUsbFilter(bad);
    EXPECT_TRUE(b.active && b.matchNothing) << bad;
  }
}

TEST(UsbFilterTest, ReadsThePortsValueAndWarnsOfBadOnes) {
  testing::FakeLogBackend backend;
  TraceLog trace(backend);
  trace.TraceMask = 0xFF;
  OneKeyRegistry registry;
  EXPECT_FALSE(ReadUsbFilter(registry, trace).active);  // no value
  registry.present = false;
  EXPECT_FALSE(ReadUsbFilter(registry, trace).active);  // no key
  registry.present = true;
  registry.values["USB"] = {platform::REG_SZ, "1a2b:3c4d"};
  UsbFilter f = ReadUsbFilter(registry, trace);
  EXPECT_TRUE(f.active && !f.matchNothing && f.vendor == 0x1a2b && f.product == 0x3c4d);
  EXPECT_TRUE(backend.Messages().empty());

  registry.values["USB"] = {platform::REG_SZ, "%n%n:%s"};
  EXPECT_TRUE(ReadUsbFilter(registry, trace).matchNothing);
  registry.values["USB"] = {platform::REG_DWORD, "1"};
  EXPECT_TRUE(ReadUsbFilter(registry, trace).matchNothing);
  registry.values["USB"] = {platform::REG_SZ, std::string(200, 'a')};
  EXPECT_TRUE(ReadUsbFilter(registry, trace).matchNothing);
  EXPECT_EQ(backend.Messages(),
            (std::vector<std::string>{"Ports value USB \"%n%n:%s\" is not vendor:product: no USB device will match",
                                      "Ports value USB unreadable: no USB device will match",
                                      "Ports value USB unreadable: no USB device will match"}));
}

}  // namespace
}  // namespace kavro
