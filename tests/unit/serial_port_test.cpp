// The serial port driven against a real pseudo-terminal: the test holds the
// master side and plays the PBX.
#include "transport/serial_port.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/link_config.h"
#include "platform/posix/posix_serial_device.h"
#include "platform/virtual/virtual_event_hub.h"
#include "support/fakes.h"

namespace kavro {
namespace {

using testing::FakeLogBackend;
using Bytes = std::vector<uint8_t>;

// Only guards against a hang turning into a stuck test run; never a
// statement about speed.
constexpr auto kLiveness = std::chrono::seconds(10);

// Holds one key, the Ports sub-key of the configuration, with text values.
class FakeRegistry : public platform::Registry {
 public:
  struct Key : platform::RegistryKey {
    explicit Key(FakeRegistry& r) : owner(r) {}
    long QueryValue(const char* name, uint32_t* type, uint8_t* data, uint32_t* size) override {
      auto it = owner.values.find(name);
      if (it == owner.values.end()) return platform::ERROR_FILE_NOT_FOUND;
      const std::string& text = it->second.second;
      *type = it->second.first;
      if (*size < text.size() + 1) return platform::ERROR_MORE_DATA;
      std::memcpy(data, text.c_str(), text.size() + 1);
      *size = static_cast<uint32_t>(text.size() + 1);
      return platform::ERROR_SUCCESS;
    }
    FakeRegistry& owner;
  };
  std::unique_ptr<platform::RegistryKey> OpenKey(const char* path) override {
    if (!hasPorts || std::string(KAVRO_REGISTRY_KEY) + "\\Ports" != path) return nullptr;
    return std::make_unique<Key>(*this);
  }
  void Map(const std::string& name, const std::string& path, uint32_t type = platform::REG_SZ) {
    values[name] = {type, path};
  }
  bool hasPorts = true;
  std::map<std::string, std::pair<uint32_t, std::string>> values;
};

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    trace.TraceMask = LOG_ERROR | LOG_WARNING | LOG_PROTOCOL | LOG_DETAIL;
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    char name[128];
    ASSERT_EQ(ptsname_r(master, name, sizeof name), 0);
    slavePath = name;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    registry.Map("COM7", slavePath);
  }
  void TearDown() override {
    port.CloseV24();
    if (master >= 0) close(master);
  }

  int Open(const char* rate = "9600", uint32_t controlLines = 0) { return port.OpenV24("COM7", rate, controlLines); }
  termios Settings() {
    termios t{};
    EXPECT_EQ(tcgetattr(control.Block.DeviceHandle, &t), 0);
    return t;
  }
  void MasterWrite(const Bytes& bytes) {
    ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // What the PBX side receives, until `count` bytes are in or nothing more
  // comes for a while.
  Bytes MasterRead(size_t count) {
    Bytes out;
    while (out.size() < count) {
      pollfd p{master, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      uint8_t buf[4096];
      ssize_t n = read(master, buf, std::min(sizeof buf, count - out.size()));
      if (n <= 0) break;
      out.insert(out.end(), buf, buf + n);
    }
    return out;
  }
  bool MasterHasNothing() {
    uint8_t b;
    return read(master, &b, 1) < 0 && errno == EAGAIN;
  }
  std::future<Bytes> ReceiveOnce(uint32_t size = 4096) {
    return std::async(std::launch::async, [this, size] {
      Bytes buf(size);
      int32_t n = port.ReceiveV24(buf.data(), size);
      buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
      return buf;
    });
  }
  // The result of a read on the receive thread. A read that never returns
  // is a failure; closing the port frees the thread so the test can end.
  template <typename T>
  T Await(std::future<T>& pending, const char* what) {
    if (pending.wait_for(kLiveness) != std::future_status::ready) {
      ADD_FAILURE() << what << " did not return";
      port.CloseV24();
    }
    return pending.get();
  }
  // Reads until `count` bytes are in (a slow machine may split a burst) or
  // a read comes back empty.
  Bytes Receive(size_t count) {
    Bytes out;
    while (out.size() < count) {
      auto pending = ReceiveOnce();
      Bytes got = Await(pending, "ReceiveV24");
      if (got.empty()) break;
      out.insert(out.end(), got.begin(), got.end());
    }
    return out;
  }
  // Waits until the slave's input queue holds `count` bytes.
  bool PendingInput(int count) {
    for (int i = 0; i < 500; ++i) {
      int n = 0;
      if (ioctl(control.Block.DeviceHandle, FIONREAD, &n) == 0 && n >= count) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }
  bool Logged(const std::string& prefix) {
    for (const auto& m : backend.Messages()) {
      if (m.rfind(prefix, 0) == 0) return true;
    }
    return false;
  }
  std::string Line(const char* format, long value) {
    char text[256];
    snprintf(text, sizeof text, format, value);
    return text;
  }

  FakeLogBackend backend;
  TraceLog trace{backend};
  platform::VirtualEventHub hub;
  LinkControl control{trace, hub};
  FakeRegistry registry;
  platform::PosixSerialDeviceFactory devices;
  SerialPort port{control, trace, registry, devices, hub};
  int master = -1;
  std::string slavePath;
};

TEST_F(SerialPortTest, OpensRawSoEveryByteCrossesUnchangedBothWays) {
  ASSERT_EQ(Open("9600"), 1);
  ASSERT_NE(control.Block.DeviceHandle, INVALID_HANDLE);
  EXPECT_EQ(port.IsV24Closed(), 0);
  EXPECT_TRUE(backend.Contains(Line("Kavrocom: CreateFile(COM7) Handle %lx, err=0", control.Block.DeviceHandle)));
  EXPECT_TRUE(backend.Contains("OpenV24 successfull"));

  termios t = Settings();
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B9600));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);

  // CR, LF, XON, XOFF, NUL, 0xFF, interrupt, end-of-file, erase, suspend:
  // each one a byte some part of a tty would otherwise act on.
  const Bytes bytes = {0x0D, 0x0A, 0x11, 0x13, 0x00, 0xFF, 0x03, 0x04, 0x7F, 0x1A, 0x0D, 0x0D};
  MasterWrite(bytes);
  EXPECT_EQ(Receive(bytes.size()), bytes);
  EXPECT_TRUE(MasterHasNothing()) << "the port echoed";

  EXPECT_EQ(port.SendV24(bytes.data(), static_cast<uint32_t>(bytes.size())), 1);
  EXPECT_EQ(MasterRead(bytes.size()), bytes);
  EXPECT_TRUE(backend.Contains("SendV24 12 D"));
  EXPECT_TRUE(backend.Contains("SendV24 executed"));
}

TEST_F(SerialPortTest, AReadReturnsOneBurstAndEndsAtTheGap) {
  ASSERT_EQ(Open(), 1);

  // Bytes written together come back in one read, which then ends by
  // itself without waiting to fill the buffer. A write meanwhile is not
  // held up by the waiting read.
  auto first = ReceiveOnce();
  const Bytes frame = {0x16, 0x16, 0x01, 0x01, 0x55, 0xAA};
  EXPECT_EQ(port.SendV24(frame.data(), static_cast<uint32_t>(frame.size())), 1);
  EXPECT_EQ(MasterRead(frame.size()), frame);
  MasterWrite({'a', 'b', 'c'});
  EXPECT_EQ(Await(first, "a burst"), (Bytes{'a', 'b', 'c'}));

  // Bytes written after that pause belong to the next read.
  MasterWrite({'d', 'e'});
  EXPECT_EQ(Receive(2), (Bytes{'d', 'e'}));

  // A read never stores more than asked for; the rest waits.
  MasterWrite({'x', 'y', 'z'});
  ASSERT_TRUE(PendingInput(3));
  uint8_t one[4] = {};
  EXPECT_EQ(port.ReceiveV24(one, 1), 1);
  EXPECT_EQ(one[0], 'x');
  EXPECT_EQ(Receive(2), (Bytes{'y', 'z'}));

  // Size 0: the entry line, nothing read.
  backend.Clear();
  EXPECT_EQ(port.ReceiveV24(one, 0), 0);
  EXPECT_EQ(backend.Messages().size(), 1u);
}

TEST_F(SerialPortTest, CloseWakesABlockedReadAndReleasesThePort) {
  ASSERT_EQ(Open(), 1);
  auto blocked = ReceiveOnce();
  // Give the read a chance to be inside its wait; closing works either way.
  for (int i = 0; i < 200 && !Logged("ReceiveV24 "); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  auto closing = std::async(std::launch::async, [this] { return port.CloseV24(); });
  if (closing.wait_for(kLiveness) != std::future_status::ready) {
    ADD_FAILURE() << "the close waits behind the blocked read";
    MasterWrite({0x00});  // frees the read, and with it the close
  }
  EXPECT_EQ(closing.get(), 1);
  EXPECT_TRUE(Await(blocked, "a read woken by the close").empty());
  EXPECT_EQ(port.IsV24Closed(), 1);
  EXPECT_EQ(control.Block.DeviceHandle, INVALID_HANDLE);
  EXPECT_TRUE(backend.Contains("ReadV24 failed !"));
  EXPECT_TRUE(backend.Contains("CloseV24 successfull"));

  // Nothing is held any more: the port opens again.
  EXPECT_EQ(Open(), 1);
}

TEST_F(SerialPortTest, AHungUpLineFailsReadsButLeavesThePortOpen) {
  ASSERT_EQ(Open(), 1);
  close(master);  // the far end goes away
  master = -1;
  for (int i = 0; i < 2; ++i) {
    backend.Clear();
    auto pending = ReceiveOnce();
    EXPECT_TRUE(Await(pending, "a read on a hung-up line").empty());
    EXPECT_TRUE(backend.Contains("ReadV24 failed !"));
  }
  // Only the close ends the port; the link layer decides when.
  EXPECT_EQ(port.IsV24Closed(), 0);
  EXPECT_EQ(port.CloseV24(), 1);
}

TEST_F(SerialPortTest, CloseEndsAWriteStuckOnAFullLine) {
  ASSERT_EQ(Open(), 1);
  // The PBX side reads nothing, so the write fills the line's buffers and
  // waits for room within its long time limit.
  Bytes big(1 << 20, 0x5A);
  auto writing =
      std::async(std::launch::async, [&] { return port.SendV24(big.data(), static_cast<uint32_t>(big.size())); });
  EXPECT_EQ(writing.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_EQ(port.CloseV24(), 1);
  EXPECT_EQ(Await(writing, "a write ended by the close"), 0);
  EXPECT_TRUE(backend.Contains(Line("Kavrocom: WriteFile failed, err=%ld", EBADF)));
}

TEST_F(SerialPortTest, AnUnknownRateLeavesTheRateAsItWasButTheLineRaw) {
  termios before{};
  ASSERT_EQ(tcgetattr(master, &before), 0);
  ASSERT_EQ(Open("9600 8N1"), 1);
  EXPECT_TRUE(backend.Contains(Line("KavroCom: SetCommState failed, err=%ld", EINVAL)));
  termios t = Settings();
  EXPECT_EQ(cfgetospeed(&t), cfgetospeed(&before));
  // Still no echo and no translation, though a freshly opened tty is cooked.
  const Bytes bytes = {0x0D, 0x11, 0x13, 0x03};
  MasterWrite(bytes);
  EXPECT_EQ(Receive(bytes.size()), bytes);
  EXPECT_TRUE(MasterHasNothing()) << "the port echoed";

  // After the handshake: never B0, the rate and stop bits stay.
  ASSERT_EQ(port.InitV24("19200"), 1);
  for (const char* text : {"9600 ", "09600", "", "0", "96000"}) {
    backend.Clear();
    EXPECT_EQ(port.InitV24(text), 1) << '"' << text << '"';
    t = Settings();
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B19200)) << '"' << text << '"';
    EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B19200)) << '"' << text << '"';
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u) << '"' << text << '"';
    EXPECT_TRUE(backend.Contains(Line("KavroCom: SetCommState failed, err=%ld", EINVAL)));
  }
}

TEST_F(SerialPortTest, ReinitialisingSetsStopBitsByRateAndPurges) {
  ASSERT_EQ(Open("9600"), 1);
  const struct {
    const char* text;
    speed_t speed;
    bool twoStopBits;
  } rows[] = {{"4800", B4800, true},      {"1200", B1200, true},    {"9600", B9600, false},   {"2400", B2400, true},
              {"115200", B115200, false}, {"19200", B19200, false}, {"38400", B38400, false}, {"57600", B57600, false}};
  for (const auto& row : rows) {
    EXPECT_EQ(port.InitV24(row.text), 1);
    termios t = Settings();
    EXPECT_EQ(cfgetospeed(&t), row.speed) << row.text;
    EXPECT_EQ((t.c_cflag & CSTOPB) != 0, row.twoStopBits) << row.text;
  }
  EXPECT_TRUE(backend.Contains("InitV24(57600)"));
  EXPECT_FALSE(Logged("KavroCom: SetCommState failed"));

  // Bytes sent at the old rate are gone after the switch.
  MasterWrite({'C', 'T', 'I'});
  ASSERT_TRUE(PendingInput(3));
  EXPECT_EQ(port.InitV24("9600"), 1);
  int pending = -1;
  ASSERT_EQ(ioctl(control.Block.DeviceHandle, FIONREAD, &pending), 0);
  EXPECT_EQ(pending, 0);
}

TEST_F(SerialPortTest, WithoutModemLinesTheDsrCheckFailsAndThePortIsGivenBack) {
  EXPECT_EQ(Open("9600", 1), 0);
  EXPECT_EQ(control.Block.DeviceHandle, INVALID_HANDLE);
  EXPECT_EQ(port.IsV24Closed(), 1);
  EXPECT_EQ(hub.NowMs(), DSR_SETTLE_MS);  // DSR is looked at after the settle time
  EXPECT_TRUE(Logged("KavroCom: DSR Check failed, err="));
  EXPECT_FALSE(backend.Contains("OpenV24 successfull"));
  // The port was really closed: a new open is not refused as busy.
  EXPECT_EQ(Open("9600", 0), 1);
}

TEST_F(SerialPortTest, APortOpensOnceAndForOneOwnerOnly) {
  ASSERT_EQ(Open(), 1);
  const int32_t handle = control.Block.DeviceHandle;
  backend.Clear();
  EXPECT_EQ(Open(), 0);
  EXPECT_TRUE(backend.Messages().empty());
  EXPECT_EQ(control.Block.DeviceHandle, handle);

  // A second link driver on the same device is refused.
  LinkControl otherControl{trace, hub};
  SerialPort other{otherControl, trace, registry, devices, hub};
  EXPECT_EQ(other.OpenV24("COM7", "9600", 0), 0);
  EXPECT_TRUE(backend.Contains(Line("Kavrocom: CreateFile(COM7) failed, err=%ld", EBUSY)));
  EXPECT_EQ(otherControl.Block.DeviceHandle, INVALID_HANDLE);
}

TEST_F(SerialPortTest, PortNamesMapThroughThePortsKeyOrTheirNumber) {
  EXPECT_EQ(port.DevicePathFor("COM1"), "/dev/ttyS0");
  EXPECT_EQ(port.DevicePathFor("COM12"), "/dev/ttyS11");
  registry.Map("COM1", "/dev/ttyUSB0");
  EXPECT_EQ(port.DevicePathFor("COM1"), "/dev/ttyUSB0");
  // Only text values name a device.
  registry.Map("COM2", "", platform::REG_DWORD);
  EXPECT_EQ(port.DevicePathFor("COM2"), "/dev/ttyS1");
  for (const char* name : {"COMX", "COM", "COM0", "COM1x", "COM01", "USB", ""}) {
    EXPECT_EQ(port.DevicePathFor(name), "") << '"' << name << '"';
  }
  registry.Map("COMX", "/dev/pbx");
  EXPECT_EQ(port.DevicePathFor("COMX"), "/dev/pbx");
  registry.hasPorts = false;
  EXPECT_EQ(port.DevicePathFor("COM3"), "/dev/ttyS2");

  // A name without a device.
  EXPECT_EQ(port.OpenV24("COMX", "9600", 0), 0);
  EXPECT_TRUE(backend.Contains(Line("Kavrocom: CreateFile(COMX) failed, err=%ld", ENOENT)));
  EXPECT_EQ(port.IsV24Closed(), 1);
}

TEST_F(SerialPortTest, CallsWithoutDataOrWithoutAPortFailQuietlyOrWithTheirLine) {
  const uint8_t byte = 0x16;
  // Nothing to send: refused before anything is logged or written.
  EXPECT_EQ(port.SendV24(&byte, 0), -1);
  EXPECT_EQ(port.SendV24(nullptr, 5), -1);
  EXPECT_TRUE(backend.Messages().empty());

  // No port open.
  EXPECT_EQ(port.InitV24("9600"), 0);
  EXPECT_TRUE(backend.Messages().empty());
  EXPECT_EQ(port.SendV24(&byte, 1), 0);
  EXPECT_TRUE(backend.Contains(Line("Kavrocom: WriteFile failed, err=%ld", EBADF)));
  uint8_t buffer[8];
  EXPECT_EQ(port.ReceiveV24(buffer, sizeof buffer), 0);
  EXPECT_EQ(port.CloseV24(), 1);
  EXPECT_TRUE(backend.Contains("CloseV24 successfull"));

  ASSERT_EQ(Open(), 1);
  EXPECT_EQ(port.SendV24(&byte, 0), -1);
  EXPECT_TRUE(MasterHasNothing());
}

}  // namespace
}  // namespace kavro
