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

using testing::FakeLogBackend;

class FakeSerial : public SerialPortOps {
 public:
  int32_t OpenV24(const char*, const char*, uint32_t) override { return 1; }
  int32_t InitV24(const char* rateText) override {
    calls.push_back(std::string("InitV24 ") + rateText);
    return initResult;
  }
  int32_t CloseV24() override {
    calls.push_back("CloseV24");
    return 1;
  }
  int32_t SendV24(const uint8_t* data, uint32_t length) override {
    calls.push_back("SendV24");
    // As the real port: no bytes is a bad argument.
    return (data == nullptr || length == 0) ? -1 : sendResult;
  }
  int32_t ReceiveV24(uint8_t*, uint32_t) override {
    calls.push_back("ReceiveV24");
    return receiveResult;
  }
  int32_t IsV24Closed() override { return closed; }

  std::vector<std::string> calls;
  int32_t initResult = 1;
  int32_t sendResult = 1;
  int32_t receiveResult = 11;
  int32_t closed = 0;
};

class FakeUsb : public UsbPortOps {
 public:
  int32_t OpenUsb(const char*) override { return 1; }
  int32_t SendUsb(const uint8_t*, uint32_t length) override {
    calls.push_back("SendUsb");
    return static_cast<int32_t>(length);
  }
  int32_t ReceiveUsb(uint8_t*, uint32_t) override {
    calls.push_back("ReceiveUsb");
    return 22;
  }
  int32_t CloseUsb() override {
    calls.push_back("CloseUsb");
    return 1;
  }
  std::vector<std::string> calls;
};

class FakeSocket : public SocketPortOps {
 public:
  int32_t OpenSocket(const char*, uint16_t) override { return 1; }
  int32_t CloseSocket() override {
    calls.push_back("CloseSocket");
    return 1;
  }
  int32_t SendSocket(const uint8_t*, uint32_t length) override {
    calls.push_back("SendSocket");
    return static_cast<int32_t>(length & 0xFFFF);
  }
  int32_t ReceiveSocket(uint8_t*, uint32_t) override {
    calls.push_back("ReceiveSocket");
    return 33;
  }
  std::vector<std::string> calls;
};

class TransportTest : public ::testing::Test {
 protected:
  TransportTest() { trace.TraceMask = LOG_ERROR | LOG_WARNING | LOG_PROTOCOL | LOG_DETAIL; }

  void SetLink(const char* name) {
    std::memset(config.Link, 0, sizeof config.Link);
    std::memcpy(config.Link, name, std::min(std::strlen(name), sizeof config.Link - 1));
  }
  size_t AllCalls() const { return serial.calls.size() + usb.calls.size() + socket.calls.size(); }

  FakeLogBackend backend;
  TraceLog trace{backend};
  platform::VirtualEventHub hub;
  LinkControl control{trace, hub};
  LinkConfig config;
  FakeSerial serial;
  FakeUsb usb;
  FakeSocket socket;
  Transport transport{config, trace, control, serial, &usb, &socket};
};

TEST_F(TransportTest, LinkKindFollowsTheCaseSensitivePrefixOfTheName) {
  enum Kind { None, Com, Usb, Tcp };
  const struct {
    const char* name;
    Kind kind;
  } table[] = {
      {"COM1", Com},   {"COMX", Com},    {"COM", Com},    {"com1", None},    {"USB", Usb},
      {"USB2", Usb},   {"usb", None},    {"TCP", Tcp},    {"TCP/IP", Tcp},   {"LAN/USB", Tcp},
      {"LAN/US", None}, {"LAN", None},   {"CO", None},    {"", None},        {" COM1", None},
  };
  for (const auto& row : table) {
    SetLink(row.name);
    EXPECT_EQ(transport.IsComLink(), row.kind == Com) << '"' << row.name << '"';
    EXPECT_EQ(transport.IsUsbLink(), row.kind == Usb) << '"' << row.name << '"';
    EXPECT_EQ(transport.IsTcpLink(), row.kind == Tcp) << '"' << row.name << '"';
  }
}

TEST_F(TransportTest, SendGoesToThePortOfTheLinkAndPassesItsResultOn) {
  const uint8_t frame[] = {0x16, 0x16, 0x3F, 0x01, 0xAB, 0xCD};

  SetLink("COM2");
  EXPECT_EQ(transport.SendConnection(frame, sizeof frame), 1);
  serial.sendResult = 0;
  EXPECT_EQ(transport.SendConnection(frame, sizeof frame), 0);
  // The serial port's "no data" answer is not turned into a failure or a
  // success on the way.
  EXPECT_EQ(transport.SendConnection(frame, 0), -1);
  EXPECT_EQ(serial.calls.size(), 3u);

  SetLink("USB");
  EXPECT_EQ(transport.SendConnection(frame, sizeof frame), 6);
  SetLink("LAN/USB");  // a TCP link, whatever the name suggests
  EXPECT_EQ(transport.SendConnection(frame, sizeof frame), 6);
  EXPECT_EQ(usb.calls, std::vector<std::string>{"SendUsb"});
  EXPECT_EQ(socket.calls, std::vector<std::string>{"SendSocket"});

  SetLink("LAN");
  EXPECT_EQ(transport.SendConnection(frame, sizeof frame), 0);
  EXPECT_EQ(AllCalls(), 5u);

  // Every call is dumped first, whatever the kind and the outcome.
  EXPECT_EQ(backend.Count("SendConnection():\r\n16 16 3F 01 AB CD "), 5u);
  EXPECT_EQ(backend.Count("SendConnection():\r\n"), 1u);
}

TEST_F(TransportTest, ReceiveAndClosedTestFollowTheLinkKind) {
  uint8_t buffer[64];

  SetLink("COM1");
  EXPECT_EQ(transport.ReceiveConnection(buffer, sizeof buffer), 11);
  EXPECT_EQ(transport.IsDisconnected(), 0);
  serial.closed = 1;
  EXPECT_EQ(transport.IsDisconnected(), 1);

  // The USB device shares DeviceHandle with the serial port, so the serial
  // closed test answers for it.
  SetLink("USB1");
  EXPECT_EQ(transport.ReceiveConnection(buffer, sizeof buffer), 22);
  EXPECT_EQ(transport.IsDisconnected(), 1);
  serial.closed = 0;
  EXPECT_EQ(transport.IsDisconnected(), 0);

  // An empty TCP read means the connection has ended.
  SetLink("TCP");
  EXPECT_EQ(transport.ReceiveConnection(buffer, sizeof buffer), 33);
  EXPECT_EQ(transport.IsDisconnected(), 1);

  SetLink("NONE");
  EXPECT_EQ(transport.ReceiveConnection(buffer, sizeof buffer), 0);
  EXPECT_EQ(transport.IsDisconnected(), 1);
  EXPECT_EQ(AllCalls(), 3u);
}

TEST_F(TransportTest, CloseClosesOnlyThePortsOfTheNamesKind) {
  SetLink("XYZ");
  EXPECT_EQ(transport.CloseConnection(), 1);
  EXPECT_EQ(AllCalls(), 0u);

  SetLink("COM3");
  EXPECT_EQ(transport.CloseConnection(), 1);
  SetLink("LAN/USB");
  EXPECT_EQ(transport.CloseConnection(), 1);
  EXPECT_EQ(serial.calls, std::vector<std::string>{"CloseV24"});
  EXPECT_EQ(socket.calls, std::vector<std::string>{"CloseSocket"});
  EXPECT_TRUE(usb.calls.empty());

  SetLink("USB");
  EXPECT_EQ(transport.CloseConnection(), 1);
  EXPECT_EQ(usb.calls, std::vector<std::string>{"CloseUsb"});
}

TEST_F(TransportTest, RateSwitchAndSocketCloseReachTheirPorts) {
  SetLink("COM1");
  serial.initResult = 0;
  EXPECT_EQ(transport.SetLinkSpeed("19200"), 0);
  EXPECT_EQ(serial.calls, std::vector<std::string>{"InitV24 19200"});

  SetLink("TCP");
  EXPECT_EQ(transport.CloseSocket(), 1);
  EXPECT_EQ(socket.calls, std::vector<std::string>{"CloseSocket"});
}

TEST_F(TransportTest, AMissingPortFailsItsLinkWithoutCrashing) {
  Transport bare{config, trace, control, serial, nullptr, nullptr};
  const uint8_t byte = 0x55;
  uint8_t buffer[16];
  for (const char* name : {"USB", "TCP"}) {
    SetLink(name);
    EXPECT_EQ(bare.SendConnection(&byte, 1), 0) << name;
    EXPECT_EQ(bare.ReceiveConnection(buffer, sizeof buffer), 0) << name;
    EXPECT_EQ(bare.CloseConnection(), 1) << name;
  }
  EXPECT_EQ(bare.CloseSocket(), 0);
  EXPECT_TRUE(serial.calls.empty());
}

}  // namespace
}  // namespace kavro
