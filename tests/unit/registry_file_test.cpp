#include "platform/posix/posix_registry_file.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace kavro::platform {
namespace {

constexpr const char* KEY = "SOFTWARE\\Tovik\\Tovik TK-Anlage";

struct Read {
  long result = -1;
  uint32_t type = 0xFFFFFFFF;
  uint32_t size = 0;
  std::vector<uint8_t> data;
};

// One RegQueryValueExA with a buffer of `limit` bytes, filled with 0xEE so
// that a copy that should not happen shows.
Read Query(RegistryKey& key, const char* name, uint32_t limit = 1024) {
  Read r;
  r.data.assign(limit, 0xEE);
  r.size = limit;
  r.result = key.QueryValue(name, &r.type, r.data.data(), &r.size);
  if (r.result == ERROR_SUCCESS) r.data.resize(r.size);
  return r;
}

std::vector<uint8_t> Text(const std::string& s) {
  std::vector<uint8_t> v(s.begin(), s.end());
  v.push_back(0);
  return v;
}

// The editor's own export: UTF-16LE with a byte-order mark and CR LF.
std::string Utf16Export(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t c : text) {
    bytes += static_cast<char>(c & 0xFF);
    bytes += static_cast<char>(c >> 8);
  }
  return bytes;
}

TEST(RegistryFileParse, EveryValueKindOfAVersion5Export) {
  auto reg = RegistryFile::Parse(
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; exported for the PBX link\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n"
      "@=\"default text\"\r\n"
      "\"Link\"=\"COM1\"\r\n"
      "\"Quoted\"=\"say \\\"hi\\\" C:\\\\dir\\\\\"\r\n"
      "\"Empty\"=\"\"\r\n"
      "\"ControlLines\"=dword:00000001\r\n"
      "\"Big\"=dword:FFFFfffe\r\n"
      "\"Blob\"=hex:01,ab,FF\r\n"
      "\"NoBytes\"=hex:\r\n"
      "\"Path\"=hex(2):25,00,53,00,59,00,53,00,25,00,5c,00,6b,00,00,00\r\n"
      "\"Names\"=hex(7):61,00,62,00,00,00,63,00,00,00,00,00\r\n"
      "\"Quad\"=hex(b):01,02,03,04,05,06,07,08\r\n"
      "\"Odd\"=hex(0):07\r\n"
      "\"Custom\"=hex(ffff0001):10,20\r\n"
      "\"Wrapped\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,\\\r\n"
      "  14,15,16,17,\\\r\n"
      "  18,19\r\n"
      "\"After\"=\"still parsed\"\r\n",
      "test.reg");
  ASSERT_TRUE(reg->IsLoaded()) << reg->Error();
  auto key = reg->OpenKey(KEY);
  ASSERT_NE(key, nullptr);

  struct Expect {
    const char* name;
    uint32_t type;
    std::vector<uint8_t> data;
  };
  std::vector<uint8_t> wrapped;
  for (int i = 0; i < 0x1a; ++i) wrapped.push_back(static_cast<uint8_t>(i));
  const std::vector<Expect> expected = {
      {nullptr, REG_SZ, Text("default text")},
      {"Link", REG_SZ, Text("COM1")},
      {"Quoted", REG_SZ, Text("say \"hi\" C:\\dir\\")},
      {"Empty", REG_SZ, Text("")},
      {"ControlLines", REG_DWORD, {1, 0, 0, 0}},
      {"Big", REG_DWORD, {0xFE, 0xFF, 0xFF, 0xFF}},
      {"Blob", REG_BINARY, {0x01, 0xAB, 0xFF}},
      {"NoBytes", REG_BINARY, {}},
      // String types are UTF-16 in a version 5 export and come out as ANSI.
      {"Path", REG_EXPAND_SZ, Text("%SYS%\\k")},
      {"Names", REG_MULTI_SZ, {'a', 'b', 0, 'c', 0, 0}},
      {"Quad", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"Odd", REG_NONE, {7}},
      {"Custom", 0xFFFF0001u, {0x10, 0x20}},
      {"Wrapped", REG_BINARY, wrapped},
      {"After", REG_SZ, Text("still parsed")},
  };
  for (const Expect& e : expected) {
    SCOPED_TRACE(e.name ? e.name : "@");
    Read r = Query(*key, e.name);
    ASSERT_EQ(r.result, ERROR_SUCCESS);
    EXPECT_EQ(r.type, e.type);
    EXPECT_EQ(r.data, e.data);
  }
  // "" names the default value as well.
  EXPECT_EQ(Query(*key, "").data, Text("default text"));
}

TEST(RegistryFileParse, Utf16LittleEndianExportWithByteOrderMark) {
  std::string bytes = Utf16Export(
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n"
      u"\"Link\"=\"TCP/IP\"\r\n"
      u"\"Standort\"=\"B\u00fcro \u20ac\"\r\n"
      u"\"TapiSvrIpPort\"=dword:0000138a\r\n\r\n"
      u"[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage\\Ports]\r\n"
      u"\"COM1\"=\"/dev/ttyUSB0\"\r\n");
  auto reg = RegistryFile::Parse(bytes, "utf16.reg");
  ASSERT_TRUE(reg->IsLoaded()) << reg->Error();
  auto key = reg->OpenKey(KEY);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(Query(*key, "Link").data, Text("TCP/IP"));
  // Non-ASCII text reaches the ANSI query as UTF-8.
  EXPECT_EQ(Query(*key, "Standort").data, Text("B\xC3\xBCro \xE2\x82\xAC"));
  EXPECT_EQ(Query(*key, "TapiSvrIpPort").data, (std::vector<uint8_t>{0x8A, 0x13, 0, 0}));
  auto ports = reg->OpenKey("SOFTWARE\\Tovik\\Tovik TK-Anlage\\Ports");
  ASSERT_NE(ports, nullptr);
  EXPECT_EQ(Query(*ports, "COM1").data, Text("/dev/ttyUSB0"));
}

TEST(RegistryFileParse, Utf8WithByteOrderMarkAndLineFeedsAndRegedit4) {
  auto utf8 = RegistryFile::Parse(
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\n"
      "\"Link\"=\"COM3\"\n",
      "bom.reg");
  ASSERT_TRUE(utf8->IsLoaded()) << utf8->Error();
  EXPECT_EQ(Query(*utf8->OpenKey(KEY), "Link").data, Text("COM3"));

  // REGEDIT4 keeps string data in the ANSI code page: no UTF-16 conversion.
  auto old = RegistryFile::Parse(
      "REGEDIT4\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n"
      "\"Path\"=hex(2):25,53,25,00\r\n"
      "\"USBEnabled\"=dword:00000001\r\n",
      "old.reg");
  ASSERT_TRUE(old->IsLoaded()) << old->Error();
  auto key = old->OpenKey(KEY);
  ASSERT_NE(key, nullptr);
  Read path = Query(*key, "Path");
  EXPECT_EQ(path.type, REG_EXPAND_SZ);
  EXPECT_EQ(path.data, Text("%S%"));
  EXPECT_EQ(Query(*key, "USBEnabled").type, REG_DWORD);
}

TEST(RegistryFileParse, NamesCompareCaseInsensitivelyAndKeysNest) {
  auto reg = RegistryFile::Parse(
      "Windows Registry Editor Version 5.00\n"
      "[hkey_local_machine\\Software\\TOVIK\\tovik tk-anlage\\Ports]\n"
      "\"Com1\"=\"/dev/ttyS4\"\n"
      "[HKLM\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\n"
      "\"LINK\"=\"COM1\"\n"
      "\"link\"=\"COM2\"\n"
      "[HKEY_CURRENT_USER\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\n"
      "\"Link\"=\"USB\"\n",
      "case.reg");
  ASSERT_TRUE(reg->IsLoaded()) << reg->Error();
  auto key = reg->OpenKey("software\\tovik\\TOVIK TK-ANLAGE");
  ASSERT_NE(key, nullptr);
  // The later of two spellings of one name wins, and the other hive's value
  // does not leak into the machine key.
  EXPECT_EQ(Query(*key, "Link").data, Text("COM2"));
  auto ports = reg->OpenKey("SOFTWARE\\TOVIK\\Tovik TK-Anlage\\PORTS\\");
  ASSERT_NE(ports, nullptr);
  EXPECT_EQ(Query(*ports, "COM1").data, Text("/dev/ttyS4"));
  // A key above a written key exists, a sibling does not.
  EXPECT_NE(reg->OpenKey("SOFTWARE\\Tovik"), nullptr);
  EXPECT_EQ(reg->OpenKey("SOFTWARE\\Other"), nullptr);

  // Fifty thousand levels: the keys above cost nothing to create, where
  // storing each one's path would take gigabytes.
  std::string deep = "SOFTWARE";
  std::string middle;
  for (int i = 0; i < 50000; ++i) {
    deep += "\\k";
    if (i == 24999) middle = deep;
  }
  auto nested = RegistryFile::Parse("REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + deep + "]\n\"v\"=\"deep\"\n", "deep.reg");
  ASSERT_TRUE(nested->IsLoaded()) << nested->Error();
  ASSERT_NE(nested->OpenKey(deep.c_str()), nullptr);
  EXPECT_EQ(Query(*nested->OpenKey(deep.c_str()), "v").data, Text("deep"));
  ASSERT_NE(nested->OpenKey(middle.c_str()), nullptr);
  EXPECT_EQ(Query(*nested->OpenKey(middle.c_str()), "v").result, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(nested->OpenKey((middle + "\\x").c_str()), nullptr);
}

TEST(RegistryFileQuery, SizeLimitsBehaveAsTheAnsiQuery) {
  auto reg = RegistryFile::Parse(
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\n"
      "\"LinkSpeed\"=\"115200\"\n\"Keepalive\"=dword:00000003\n",
      "q.reg");
  auto key = reg->OpenKey(KEY);
  ASSERT_NE(key, nullptr);

  // Six characters need seven bytes: a limit of 6 fails and copies nothing.
  Read small = Query(*key, "LinkSpeed", 6);
  EXPECT_EQ(small.result, ERROR_MORE_DATA);
  EXPECT_EQ(small.size, 7u);
  EXPECT_EQ(small.type, REG_SZ);
  EXPECT_EQ(small.data, std::vector<uint8_t>(6, 0xEE));

  Read exact = Query(*key, "LinkSpeed", 7);
  EXPECT_EQ(exact.result, ERROR_SUCCESS);
  EXPECT_EQ(exact.data, Text("115200"));

  // Without a buffer the query reports the size only.
  uint32_t size = 0, type = 0;
  EXPECT_EQ(key->QueryValue("Keepalive", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(key->QueryValue("Keepalive", nullptr, nullptr, nullptr), ERROR_SUCCESS);

  EXPECT_EQ(Query(*key, "Missing").result, ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Query(*key, nullptr).result, ERROR_FILE_NOT_FOUND);
}

TEST(RegistryFileParse, DeletionsRemoveValuesAndKeys) {
  auto reg = RegistryFile::Parse(
      "Windows Registry Editor Version 5.00\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\n"
      "\"Link\"=\"COM1\"\n"
      "\"LinkSpeed\"=\"19200\"\n"
      "\"LinkSpeed\"=-\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage\\Ports]\n"
      "\"COM1\"=\"/dev/ttyUSB0\"\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
      "\"x\"=\"y\"\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Old]\n"
      "[HKEY_LOCAL_MACHINE\\SYSTEM\\Parent\\Child]\n"
      "[-HKEY_LOCAL_MACHINE\\SYSTEM\\Parent\\Child]\n"
      "\"ignored\"=\"value of a deleted key\"\n"
      "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\n"
      "\"Link\"=\"USB\"\n",
      "del.reg");
  ASSERT_TRUE(reg->IsLoaded()) << reg->Error();
  EXPECT_EQ(reg->OpenKey("SOFTWARE\\Old"), nullptr);
  // The parent of a deleted key stays, though only the key named it.
  EXPECT_NE(reg->OpenKey("SYSTEM\\Parent"), nullptr);
  EXPECT_EQ(reg->OpenKey("SYSTEM\\Parent\\Child"), nullptr);
  // Deleting the key took its sub-key and old values; the key written again
  // after it holds only its new value.
  EXPECT_EQ(reg->OpenKey("SOFTWARE\\Tovik\\Tovik TK-Anlage\\Ports"), nullptr);
  auto key = reg->OpenKey(KEY);
  ASSERT_NE(key, nullptr);
  EXPECT_EQ(Query(*key, "Link").data, Text("USB"));
  EXPECT_EQ(Query(*key, "LinkSpeed").result, ERROR_FILE_NOT_FOUND);
}

TEST(RegistryFileParse, MalformedFilesNameTheLineAndOpenNothing) {
  const std::string head =
      "Windows Registry Editor Version 5.00\n\n"
      "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\n"
      "\"Link\"=\"COM1\"\n";
  struct Case {
    std::string text;
    std::string error;
  };
  const std::vector<Case> cases = {
      {"", "kavro: bad.reg:1: empty file"},
      {"REGEDIT5\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\n", "kavro: bad.reg:1: expected \"Windows Registry Editor"},
      // A UTF-16 file without its byte-order mark is not recognised.
      {std::string("W\0i\0n\0", 6), "kavro: bad.reg:1: expected"},
      {head + "Link=COM1\n", "kavro: bad.reg:5: expected [key] or \"name\"=value"},
      {head + "\"LinkSpeed\" 19200\n", "kavro: bad.reg:5: expected \"name\"=value"},
      {head + "\"LinkSpeed\"=19200\n", "kavro: bad.reg:5: expected \"name\"=value"},
      {head + "\"LinkSpeed\"=\"19200\n", "kavro: bad.reg:5: missing closing quote"},
      {head + "\"LinkSpeed\"=\"19200\"x\n", "kavro: bad.reg:5: unexpected text after the value"},
      {head + "\"ControlLines\"=dword:1000000000\n", "kavro: bad.reg:5: expected dword:"},
      {head + "\"ControlLines\"=dword:\n", "kavro: bad.reg:5: expected dword:"},
      {head + "\"Blob\"=hex:01,\\\n  02,0x3\n", "kavro: bad.reg:6: bad hex byte \"0x3\""},
      {head + "\"Blob\"=hex:01,,02\n", "kavro: bad.reg:5: missing hex byte"},
      {head + "\"Blob\"=hex(zz):01\n", "kavro: bad.reg:5: expected hex(type):"},
      {head + "\"Blob\"=hex:01,02,\\\n", "kavro: bad.reg:5: hex data continues past the end"},
      {head + "\"Blob\"=hex:01,02,\\\n\n\"Link\"=\"COM2\"\n", "kavro: bad.reg:6: hex data continues onto an empty"},
      {head + "[HKEY_LOCAL_MACHINE\\SOFTWARE\n", "kavro: bad.reg:5: expected ]"},
      {head + "[HKEY_NOWHERE\\SOFTWARE]\n", "kavro: bad.reg:5: unknown root key \"HKEY_NOWHERE\""},
      {"REGEDIT4\r\n\"Link\"=\"COM1\"\r\n", "kavro: bad.reg:2: value outside of a [key]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto reg = RegistryFile::Parse(c.text, "bad.reg");
    EXPECT_FALSE(reg->IsLoaded());
    EXPECT_EQ(reg->Error().rfind(c.error, 0), 0u) << reg->Error();
    EXPECT_EQ(reg->OpenKey(KEY), nullptr);
    EXPECT_EQ(reg->OpenKey(""), nullptr);
  }
}

class RegistryFileLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kavro-registry-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string Write(const std::string& name, const std::string& text) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
  }
  std::string dir_;
};

TEST_F(RegistryFileLoad, MissingFileIsSilentAndOpensNothing) {
  ::testing::internal::CaptureStderr();
  auto reg = RegistryFile::Load(dir_ + "/none.reg");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_FALSE(reg->IsLoaded());
  EXPECT_EQ(reg->OpenKey(KEY), nullptr);
}

TEST_F(RegistryFileLoad, MalformedFileIsReportedOnStandardErrorOnce) {
  std::string path = Write("kavro.reg",
                           "Windows Registry Editor Version 5.00\r\n\r\n"
                           "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n"
                           "\"Link\"=\"COM1\"\r\n\"LinkSpeed\"=\"19200\"\r\n;\r\nLinkSpeed=1\r\n");
  ::testing::internal::CaptureStderr();
  auto reg = RegistryFile::Load(path);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "kavro: " + path + ":7: expected [key] or \"name\"=value\n");
  EXPECT_EQ(reg->OpenKey(KEY), nullptr);
}

TEST_F(RegistryFileLoad, ReadsAFileAndReportsAnUnreadableOne) {
  std::string path =
      Write("kavro.reg", Utf16Export(u"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Tovik\\Tovik TK-Anlage]\r\n"
                                     u"\"Link\"=\"USB\"\r\n"));
  auto reg = RegistryFile::Load(path);
  ASSERT_TRUE(reg->IsLoaded()) << reg->Error();
  EXPECT_EQ(Query(*reg->OpenKey(KEY), "Link").data, Text("USB"));

  // A directory in place of the file is not a missing file: it is said.
  ::testing::internal::CaptureStderr();
  auto dir = RegistryFile::Load(dir_);
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err.rfind("kavro: " + dir_ + ": cannot read: ", 0), 0u) << err;
  EXPECT_EQ(dir->OpenKey(KEY), nullptr);
}

}  // namespace
}  // namespace kavro::platform
