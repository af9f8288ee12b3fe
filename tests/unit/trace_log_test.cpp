#include "diag/trace_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fakes.h"

namespace kavro {
namespace {

using testing::FakeLogBackend;

TEST(TraceLog, WritesNothingAnywhereWithoutTheFileAtStart) {
  FakeLogBackend backend;
  backend.fileExists = false;
  TraceLog log(backend);
  log.InitTraceLog("/var/log");
  EXPECT_EQ(log.TraceMask, 0u);
  log.TraceMessage(LOG_ERROR, "error %d", 1);
  log.TraceHexDump(LOG_PROTOCOL, "dump", "\x01", 1);
  // Creating the file later has no effect until the next start.
  backend.fileExists = true;
  log.TraceMessage(LOG_ERROR, "still off");
  EXPECT_TRUE(backend.fileLines.empty());
  EXPECT_TRUE(backend.debugLines.empty());
}

TEST(TraceLog, MaskPassesErrorsWarningsAndProtocolButNeverDetail) {
  FakeLogBackend backend;
  TraceLog log(backend);
  log.InitTraceLog("/tmp/logs/");
  EXPECT_EQ(log.LogPath(), "/tmp/logs/kavro.log");
  // The Windows system directory ends in its own separator.
  TraceLog windowsLog(backend);
  windowsLog.InitTraceLog("C:\\Windows\\System32\\");
  EXPECT_EQ(windowsLog.LogPath(), "C:\\Windows\\System32\\kavro.log");
  EXPECT_EQ(log.TraceMask, 0x17u);
  log.TraceMessage(LOG_ERROR, "e");
  log.TraceMessage(LOG_WARNING, "w");
  log.TraceMessage(LOG_PROTOCOL, "p");
  log.TraceMessage(LOG_DETAIL, "d");
  EXPECT_EQ(backend.Messages(), (std::vector<std::string>{"e", "w", "p"}));
  EXPECT_EQ(backend.fileLines.size(), 3u);
}

TEST(TraceLog, LineFormatWithTwoDigitFieldsAndCrLf) {
  FakeLogBackend backend;
  TraceLog log(backend);
  log.InitTraceLog("/var/log");
  log.TraceMessage(LOG_ERROR, "OpenConnection %s failed !", "COM1");
  backend.now = {31, 12, 2009, 23, 59, 7};
  log.TraceMessage(LOG_ERROR, "x");
  backend.now = {1, 1, 2000, 0, 0, 0};
  log.TraceMessage(LOG_ERROR, "y");
  ASSERT_EQ(backend.fileLines.size(), 3u);
  EXPECT_EQ(backend.fileLines[0], "[06.03.26 09:05:03] kavro: OpenConnection COM1 failed !\r\n");
  EXPECT_EQ(backend.fileLines[1], "[31.12.09 23:59:07] kavro: x\r\n");
  EXPECT_EQ(backend.fileLines[2], "[01.01.00 00:00:00] kavro: y\r\n");
  EXPECT_EQ(backend.debugLines, backend.fileLines);
}

TEST(TraceLog, LongMessagesAreCutAndKeepTheirLineEnd) {
  FakeLogBackend backend;
  TraceLog log(backend);
  log.InitTraceLog("/var/log");
  std::string longText(3000, 'a');
  log.TraceMessage(LOG_ERROR, "%s", longText.c_str());
  ASSERT_EQ(backend.fileLines.size(), 1u);
  const std::string& line = backend.fileLines[0];
  EXPECT_EQ(line.size(), 1023u);
  EXPECT_EQ(line.substr(line.size() - 3), "a\r\n");
}

TEST(TraceLog, HexDumpRowsOfSixteenUpperCase) {
  FakeLogBackend backend;
  TraceLog log(backend);
  log.InitTraceLog("/var/log");
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 17; ++i) bytes.push_back(static_cast<uint8_t>(i == 0 ? 0x0A : i));
  log.TraceHexDump(LOG_PROTOCOL, "Received:", bytes.data(), 16);
  log.TraceHexDump(LOG_PROTOCOL, "Received:", bytes.data(), 17);
  log.TraceHexDump(LOG_PROTOCOL, "Empty:", bytes.data(), 0);
  log.TraceHexDump(LOG_DETAIL, "hidden", bytes.data(), 1);
  auto m = backend.Messages();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m[0], "Received:\r\n0A 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \r\n>>");
  EXPECT_EQ(m[1], "Received:\r\n0A 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F \r\n>>10 ");
  EXPECT_EQ(m[2], "Empty:\r\n");
}

TEST(TraceLog, HexDumpOfALargeBlockShowsWholeRowsAndCountsTheRest) {
  FakeLogBackend backend;
  TraceLog log(backend);
  log.InitTraceLog("/var/log");
  std::vector<uint8_t> big(4096, 0xAB);
  log.TraceHexDump(LOG_PROTOCOL, "SendConnection():", big.data(), static_cast<uint32_t>(big.size()));
  log.TraceMessage(LOG_PROTOCOL, "next");
  ASSERT_EQ(backend.fileLines.size(), 2u);
  const std::string& dump = backend.fileLines[0];
  EXPECT_LE(dump.size(), 1023u);
  EXPECT_EQ(dump.find("SendConnection():\r\nAB AB "), 27u);
  // 18 whole rows of 16; the line ends, and the next one starts on its own.
  EXPECT_EQ(dump.substr(dump.size() - 28), "AB \r\n>>... 3808 more bytes\r\n");
  EXPECT_EQ(backend.fileLines[1].substr(0, 1), "[");
}

}  // namespace
}  // namespace kavro
