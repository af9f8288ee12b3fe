// Transport selection: which port a link name picks, and that every
// operation reaches that port with its result passed on unconverted.
#include "transport/transport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/virtual/virtual_event_hub.h"
#include "support/fakes.h"

namespace kavro {
namespace {

// All three ports in one, writing every call into one log.
class FakePorts : public SerialPortOps, public UsbPortOps, public SocketPortOps {
 public:
  int32_t OpenV24(const char*, const char*, uint32_t) override { return 1; }
  int32_t InitV24(const char* rate) override { return Log("InitV24 " + std::string(rate), 0); }
  int32_t CloseV24() override { return Log("CloseV24", 1); }
  int32_t SendV24(const uint8_t* data, uint32_t n) override { return Log("SendV24", data && n ? 1 : -1); }
  int32_t ReceiveV24(uint8_t*, uint32_t) override { return Log("ReceiveV24", 11); }
  int32_t IsV24Closed() override { return deviceClosed; }
  int32_t OpenUsb(const char*) override { return 1; }
  int32_t SendUsb(const uint8_t*, uint32_t n) override { return Log("SendUsb", static_cast<int32_t>(n)); }
  int32_t ReceiveUsb(uint8_t*, uint32_t) override { return Log("ReceiveUsb", 22); }
  int32_t CloseUsb() override { return Log("CloseUsb", 1); }
  int32_t IsUsbClosed() override { return deviceClosed; }
  int32_t OpenSocket(const char*, uint16_t) override { return 1; }
  int32_t CloseSocket() override { return Log("CloseSocket", 1); }
  int32_t SendSocket(const uint8_t*, uint32_t n) override { return Log("SendSocket", static_cast<int32_t>(n)); }
  int32_t ReceiveSocket(uint8_t*, uint32_t) override { return Log("ReceiveSocket", 33); }

  int32_t Log(const std::string& call, int32_t result) {
    calls.push_back(call);
    return result;
  }
  std::vector<std::string> calls;
  int32_t deviceClosed = 0;
};

using Calls = std::vector<std::string>;

class TransportTest : public ::testing::Test {
 protected:
  TransportTest() { trace.TraceMask = LOG_ERROR | LOG_WARNING | LOG_PROTOCOL | LOG_DETAIL; }

  void SetLink(const char* name) {
    std::memset(config.Link, 0, sizeof config.Link);
    std::memcpy(config.Link, name, std::min(std::strlen(name), sizeof config.Link - 1));
    ports.calls.clear();
    transport.SelectTransport();
  }

  testing::FakeLogBackend backend;
  TraceLog trace{backend};
  platform::VirtualEventHub hub;
  LinkControl control{trace, hub};
  LinkConfig config;
  FakePorts ports;
  Transport transport{config, trace, control, ports, &ports, &ports};
};

TEST_F(TransportTest, LinkKindFollowsTheCaseSensitivePrefixOfTheName) {
  const struct {
    const char* name;
    char kind;  // C(OM), U(SB), T(CP) or - (none)
  } table[] = {{"COM1", 'C'}, {"COMX", 'C'}, {"COM", 'C'},    {"com1", '-'},    {"USB", 'U'},
               {"USB2", 'U'}, {"TCP", 'T'},  {"TCP/IP", 'T'}, {"LAN/USB", 'T'}, {"LAN/US", '-'},
               {"LAN", '-'},  {"CO", '-'},   {"", '-'},       {" COM1", '-'}};
  for (const auto& row : table) {
    SetLink(row.name);
    EXPECT_EQ(transport.IsComLink(), row.kind == 'C') << '"' << row.name << '"';
    EXPECT_EQ(transport.IsUsbLink(), row.kind == 'U') << '"' << row.name << '"';
    EXPECT_EQ(transport.IsTcpLink(), row.kind == 'T') << '"' << row.name << '"';
  }
}

TEST_F(TransportTest, EachOperationReachesThePortOfTheLinkAndPassesItsResultOn) {
  const uint8_t frame[] = {0x16, 0x16, 0x3F, 0x01, 0xAB, 0xCD};
  uint8_t buffer[64];

  SetLink("COM2");
  EXPECT_EQ(transport.SendConnection(frame, sizeof frame), 1);
  EXPECT_EQ(transport.SendConnection(frame, 0), -1);  // passed on, not turned into 0 or 1
  EXPECT_EQ(transport.ReceiveConnection(buffer, sizeof buffer), 11);
  EXPECT_EQ(transport.SetLinkSpeed("19200"), 0);
  EXPECT_EQ(ports.calls, (Calls{"SendV24", "SendV24", "ReceiveV24", "InitV24 19200"}));

  SetLink("USB");
  EXPECT_EQ(transport.SendConnection(frame, sizeof frame), 6);
  EXPECT_EQ(transport.ReceiveConnection(buffer, sizeof buffer), 22);
  EXPECT_EQ(ports.calls, (Calls{"SendUsb", "ReceiveUsb"}));

  SetLink("LAN/USB");  // a TCP link, whatever the name suggests
  EXPECT_EQ(transport.SendConnection(frame, sizeof frame), 6);
  EXPECT_EQ(transport.ReceiveConnection(buffer, sizeof buffer), 33);
  EXPECT_EQ(transport.CloseSocket(), 1);
  EXPECT_EQ(ports.calls, (Calls{"SendSocket", "ReceiveSocket", "CloseSocket"}));

  SetLink("LAN");
  EXPECT_EQ(transport.SendConnection(frame, sizeof frame), 0);
  EXPECT_EQ(transport.ReceiveConnection(buffer, sizeof buffer), 0);
  EXPECT_TRUE(ports.calls.empty());

  // Every send is dumped first, whatever the kind and the outcome.
  EXPECT_EQ(backend.Count("SendConnection():\r\n16 16 3F 01 AB CD "), 4u);
  EXPECT_EQ(backend.Count("SendConnection():\r\n"), 1u);
}

TEST_F(TransportTest, TheClosedTestFollowsDeviceHandleOnSerialAndUsbOnly) {
  for (const char* name : {"COM1", "USB1"}) {
    SetLink(name);
    ports.deviceClosed = 0;
    EXPECT_EQ(transport.IsDisconnected(), 0) << name;
    ports.deviceClosed = 1;
    EXPECT_EQ(transport.IsDisconnected(), 1) << name;
  }
  // An empty TCP read means the connection has ended; no kind, no link.
  ports.deviceClosed = 0;
  for (const char* name : {"TCP", "NONE"}) {
    SetLink(name);
    EXPECT_EQ(transport.IsDisconnected(), 1) << name;
  }
}

TEST_F(TransportTest, CloseClosesOnlyThePortOfTheNamesKind) {
  const struct {
    const char* name;
    Calls closed;
  } table[] = {{"XYZ", {}}, {"COM3", {"CloseV24"}}, {"USB", {"CloseUsb"}}, {"LAN/USB", {"CloseSocket"}}};
  for (const auto& row : table) {
    SetLink(row.name);
    EXPECT_EQ(transport.CloseConnection(), 1) << row.name;
    EXPECT_EQ(ports.calls, row.closed) << row.name;
  }
}

TEST_F(TransportTest, AMissingPortFailsItsLinkWithoutCrashing) {
  Transport bare{config, trace, control, ports, nullptr, nullptr};
  const uint8_t byte = 0x55;
  uint8_t buffer[16];
  for (const char* name : {"USB", "TCP"}) {
    SetLink(name);
    bare.SelectTransport();
    EXPECT_EQ(bare.SendConnection(&byte, 1), 0) << name;
    EXPECT_EQ(bare.ReceiveConnection(buffer, sizeof buffer), 0) << name;
    EXPECT_EQ(bare.CloseConnection(), 1) << name;
  }
  EXPECT_EQ(bare.CloseSocket(), 0);
  EXPECT_TRUE(ports.calls.empty());
}

}  // namespace
}  // namespace kavro
