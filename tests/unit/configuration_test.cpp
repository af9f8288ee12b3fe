#include "control/configuration.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "diag/trace_log.h"
#include "platform/posix/posix_registry_file.h"
#include "support/fakes.h"

namespace kavro {
namespace {

using platform::RegistryFile;

// Passes reads through to a parsed export and notes which values the
// configuration asked for.
class RecordingRegistry : public platform::Registry {
 public:
  explicit RecordingRegistry(std::unique_ptr<RegistryFile> file) : file_(std::move(file)) {}

  std::unique_ptr<platform::RegistryKey> OpenKey(const char* path) override {
    ++opens;
    auto key = file_->OpenKey(path);
    if (!key) return nullptr;
    return std::make_unique<Key>(std::move(key), queried);
  }

  std::vector<std::string> queried;
  int opens = 0;

 private:
  class Key : public platform::RegistryKey {
   public:
    Key(std::unique_ptr<platform::RegistryKey> inner, std::vector<std::string>& log)
        : inner_(std::move(inner)), log_(log) {}
    long QueryValue(const char* name, uint32_t* type, uint8_t* data, uint32_t* size) override {
      log_.push_back(name);
      return inner_->QueryValue(name, type, data, size);
    }

   private:
    std::unique_ptr<platform::RegistryKey> inner_;
    std::vector<std::string>& log_;
  };
  std::unique_ptr<RegistryFile> file_;
};

const std::string KEY_LINE = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n";

class ConfigurationTest : public ::testing::Test {
 protected:
  ConfigurationTest() : trace_(backend_) { trace_.TraceMask = 0xFF; }

  // Loads from an export that holds the key with `values` (or only `text`
  // when `wholeFile` is set).
  LinkConfig Load(const std::string& values, bool wholeFile = false) {
    std::string text = wholeFile ? values : "Windows Registry Editor Version 5.00\r\n\r\n" + KEY_LINE + values;
    registry_ = std::make_unique<RecordingRegistry>(RegistryFile::Parse(text, "test.reg"));
    Configuration configuration(*registry_, trace_);
    LinkConfig config;
    EXPECT_EQ(configuration.LoadConfiguration(config), 1);
    return config;
  }

  std::vector<std::string> Warnings() const { return backend_.Messages(); }
  bool Queried(const std::string& name) const {
    for (const auto& q : registry_->queried) {
      if (q == name) return true;
    }
    return false;
  }

  testing::FakeLogBackend backend_;
  TraceLog trace_;
  std::unique_ptr<RecordingRegistry> registry_;
};

const std::string TAPI_WARNING = "LoadConfiguration  RegQueryValue TapiSvrIpAddr failed using 192.168.0.250\n\r";

TEST_F(ConfigurationTest, NoKeyGivesDefaultsAndOneWarning) {
  // Missing file, another key only, and a file that cannot be parsed: all
  // are a key that cannot be opened.
  const std::vector<std::string> files = {
      "",
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Other]\r\n"
      "\"USBEnabled\"=dword:00000001\r\n",
      "Windows Registry Editor Version 5.00\r\n\r\n" + KEY_LINE + "\"USBEnabled\"=dword:00000001\r\nbroken\r\n",
  };
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    backend_.Clear();
    LinkConfig config = Load(file, true);
    EXPECT_STREQ(config.Link, "COM2");
    EXPECT_STREQ(config.LinkSpeed, "9600");
    EXPECT_EQ(config.ControlLines, 0u);
    EXPECT_STREQ(config.TapiSvrIpAddr, "192.168.0.250");
    EXPECT_EQ(config.TapiSvrIpPort, 5002u);
    EXPECT_EQ(config.Keepalive, 3u);
    EXPECT_EQ(Warnings(), std::vector<std::string>{"LoadConfiguration failed!\n\r"});
    EXPECT_TRUE(registry_->queried.empty());
  }
}

TEST_F(ConfigurationTest, UsbEnabledCountsOnlyAsANonZeroDword) {
  struct Case {
    std::string value;
    const char* link;
  };
  const std::vector<Case> cases = {
      {"\"USBEnabled\"=dword:00000001\r\n", "USB"},
      {"\"USBEnabled\"=dword:00010000\r\n", "USB"},
      {"\"USBEnabled\"=dword:00000000\r\n", "COM2"},
      {"\"USBEnabled\"=\"1\"\r\n", "COM2"},
      {"\"USBEnabled\"=hex:01,00,00,00\r\n", "COM2"},
      // Larger than the 4-byte limit: refused although its type is right.
      {"\"USBEnabled\"=hex(4):01,00,00,00,00\r\n", "COM2"},
      {"", "COM2"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    LinkConfig config = Load(c.value);
    EXPECT_STREQ(config.Link, c.link);
    Configuration configuration(*registry_, trace_);
    EXPECT_EQ(configuration.IsUsbEnabled(), std::string(c.link) == "USB");
  }
  EXPECT_TRUE(Warnings().empty());
}

TEST_F(ConfigurationTest, TcpLinksReadTheTcpValuesOnly) {
  const std::string rest =
      "\"LinkSpeed\"=\"19200\"\r\n\"ControlLines\"=dword:00000001\r\n"
      "\"TapiSvrIpAddr\"=\"10.1.2.3\"\r\n\"TapiSvrIpPort\"=dword:00001389\r\n\"Keepalive\"=dword:00000000\r\n";
  for (const char* link : {"TCP", "TCP/IP", "TCP-with-a-long-name", "LAN/USB"}) {
    SCOPED_TRACE(link);
    LinkConfig config = Load("\"Link\"=\"" + std::string(link) + "\"\r\n" + rest);
    EXPECT_STREQ(config.Link, "LAN/USB");
    EXPECT_STREQ(config.TapiSvrIpAddr, "10.1.2.3");
    EXPECT_EQ(config.TapiSvrIpPort, 5001u);
    EXPECT_EQ(config.Keepalive, 0u);
    EXPECT_STREQ(config.LinkSpeed, "9600");
    EXPECT_EQ(config.ControlLines, 0u);
    EXPECT_FALSE(Queried("LinkSpeed"));
    EXPECT_FALSE(Queried("ControlLines"));
  }
  EXPECT_TRUE(Warnings().empty());
}

TEST_F(ConfigurationTest, ComLinksReadTheSerialValuesOnly) {
  LinkConfig config = Load(
      "\"Link\"=\"COM1\"\r\n\"LinkSpeed\"=\"19200\"\r\n\"ControlLines\"=dword:00000001\r\n"
      "\"TapiSvrIpAddr\"=\"10.1.2.3\"\r\n\"TapiSvrIpPort\"=dword:00001389\r\n\"Keepalive\"=dword:00000000\r\n");
  EXPECT_STREQ(config.Link, "COM1");
  EXPECT_STREQ(config.LinkSpeed, "19200");
  EXPECT_EQ(config.ControlLines, 1u);
  EXPECT_STREQ(config.TapiSvrIpAddr, "192.168.0.250");
  EXPECT_EQ(config.TapiSvrIpPort, 5002u);
  EXPECT_EQ(config.Keepalive, 3u);
  EXPECT_FALSE(Queried("TapiSvrIpAddr"));
  EXPECT_TRUE(Warnings().empty());

  // The kind is told case-sensitively: "com1" and "Tcp" read neither group.
  for (const char* link : {"com1", "Tcp", "USB", ""}) {
    SCOPED_TRACE(link);
    config = Load("\"Link\"=\"" + std::string(link) + "\"\r\n\"LinkSpeed\"=\"19200\"\r\n");
    EXPECT_STREQ(config.Link, link);
    EXPECT_STREQ(config.LinkSpeed, "9600");
    EXPECT_EQ(registry_->queried, (std::vector<std::string>{"USBEnabled", "Link"}));
  }
  EXPECT_TRUE(Warnings().empty());
}

TEST_F(ConfigurationTest, LinkSpeedHoldsAtMostFiveCharacters) {
  struct Case {
    std::string value;
    const char* speed;
  };
  const std::vector<Case> cases = {
      {"\"LinkSpeed\"=\"57600\"", "57600"},
      {"\"LinkSpeed\"=\"115200\"", "9600"},
      {"\"LinkSpeed\"=\"1200\"", "1200"},
      // A rate entered as a number is its decimal text, under the same limit.
      {"\"LinkSpeed\"=dword:00004b00", "19200"},
      {"\"LinkSpeed\"=dword:0001c200", "9600"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    LinkConfig config = Load("\"Link\"=\"COM3\"\r\n" + c.value + "\r\n");
    EXPECT_STREQ(config.LinkSpeed, c.speed);
  }
  EXPECT_TRUE(Warnings().empty());
}

TEST_F(ConfigurationTest, ControlLinesTestsTheLowByteOfADword) {
  struct Case {
    std::string value;
    uint32_t lines;
  };
  const std::vector<Case> cases = {
      {"\"ControlLines\"=dword:00000001", 1},
      {"\"ControlLines\"=dword:00000011", 1},
      {"\"ControlLines\"=dword:00000100", 0},
      {"\"ControlLines\"=dword:00000000", 0},
      {"\"ControlLines\"=\"1\"", 0},
      {"\"ControlLines\"=hex:01,00,00,00", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    LinkConfig config = Load("\"Link\"=\"COM1\"\r\n" + c.value + "\r\n");
    EXPECT_EQ(config.ControlLines, c.lines);
  }
}

TEST_F(ConfigurationTest, TapiSvrIpAddrMustBeShortText) {
  LinkConfig config = Load("\"Link\"=\"TCP\"\r\n\"TapiSvrIpAddr\"=\"192.168.100.200\"\r\n");
  EXPECT_STREQ(config.TapiSvrIpAddr, "192.168.100.200");
  EXPECT_TRUE(Warnings().empty());

  for (const std::string value : {"\"TapiSvrIpAddr\"=\"192.168.100.2001\"",
                                  // Text, but not REG_SZ.
                                  "\"TapiSvrIpAddr\"=hex(2):31,00,2e,00,32,00,00,00", "\"TapiSvrIpAddr\"=-"}) {
    SCOPED_TRACE(value);
    backend_.Clear();
    config = Load("\"Link\"=\"LAN/USB\"\r\n\"TapiSvrIpAddr\"=\"10.0.0.1\"\r\n" + value + "\r\n");
    EXPECT_STREQ(config.TapiSvrIpAddr, "192.168.0.250");
    EXPECT_EQ(Warnings(), std::vector<std::string>{TAPI_WARNING});
  }
}

TEST_F(ConfigurationTest, PortAndKeepaliveTakeExactlyFourBytes) {
  LinkConfig config = Load(
      "\"Link\"=\"TCP\"\r\n\"TapiSvrIpAddr\"=\"10.0.0.1\"\r\n"
      "\"TapiSvrIpPort\"=dword:00011170\r\n\"Keepalive\"=hex:11,00,00,00\r\n");
  EXPECT_EQ(config.TapiSvrIpPort, 70000u);
  EXPECT_EQ(config.TapiSvrIpPort & 0xFFFF, 4464u);
  EXPECT_EQ(config.Keepalive, 17u);
  EXPECT_TRUE(Warnings().empty());

  // Text too long for four bytes, or a value shorter than four: the default
  // stays whole and the mistake is said.
  config = Load(
      "\"Link\"=\"TCP\"\r\n\"TapiSvrIpAddr\"=\"10.0.0.1\"\r\n"
      "\"TapiSvrIpPort\"=\"5003\"\r\n\"Keepalive\"=hex:00\r\n");
  EXPECT_EQ(config.TapiSvrIpPort, 5002u);
  EXPECT_EQ(config.Keepalive, 3u);
  EXPECT_EQ(Warnings(),
            (std::vector<std::string>{"LoadConfiguration  RegQueryValue TapiSvrIpPort is not 4 bytes, using 5002\n\r",
                                      "LoadConfiguration  RegQueryValue Keepalive is not 4 bytes, using 3\n\r"}));
}

TEST_F(ConfigurationTest, LongLinkIsCutToSevenCharactersWithAWarning) {
  LinkConfig config = Load("\"Link\"=\"COM12345678\"\r\n\"LinkSpeed\"=\"38400\"\r\n");
  EXPECT_STREQ(config.Link, "COM1234");
  // The groups follow the value as read.
  EXPECT_STREQ(config.LinkSpeed, "38400");
  EXPECT_EQ(Warnings(), std::vector<std::string>{"LoadConfiguration  Link COM12345678 too long, using COM1234\n\r"});

  // 255 bytes is the limit of the read; longer still keeps `Link` default.
  backend_.Clear();
  config = Load("\"Link\"=\"" + std::string(255, 'X') + "\"\r\n");
  EXPECT_STREQ(config.Link, "COM2");
  EXPECT_TRUE(Warnings().empty());
}

TEST_F(ConfigurationTest, WithoutLinkTheDefaultLinkChoosesTheGroup) {
  const std::string values = "\"LinkSpeed\"=\"4800\"\r\n\"ControlLines\"=dword:00000001\r\n";
  LinkConfig config = Load(values);
  EXPECT_STREQ(config.Link, "COM2");
  EXPECT_STREQ(config.LinkSpeed, "4800");
  EXPECT_EQ(config.ControlLines, 1u);
  EXPECT_FALSE(Queried("TapiSvrIpAddr"));

  config = Load("\"USBEnabled\"=dword:00000001\r\n" + values);
  EXPECT_STREQ(config.Link, "USB");
  EXPECT_STREQ(config.LinkSpeed, "9600");
  EXPECT_EQ(config.ControlLines, 0u);
  EXPECT_EQ(registry_->queried, (std::vector<std::string>{"USBEnabled", "Link"}));
  EXPECT_TRUE(Warnings().empty());
}

}  // namespace
}  // namespace kavro
