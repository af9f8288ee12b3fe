// The MQTT bridge's on-disk spool: what a restart publishes again, a torn
// last entry, and the bound that pushes the oldest records out.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../../tools/kavro-mqtt/spool.h"

namespace kavro::mqtt {
namespace {

class SpoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kavro-spool-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::vector<SpoolRecord> Records(uint64_t firstSequence, size_t count, size_t size) {
    std::vector<SpoolRecord> out;
    for (size_t i = 0; i < count; ++i) {
      SpoolRecord r;
      r.kind = SPOOL_PAYLOAD;
      r.value = 0x20;
      r.startId = 0xABCD;
      r.sequence = firstSequence + i;
      r.bytes.assign(size, static_cast<uint8_t>(r.sequence));
      out.push_back(r);
    }
    return out;
  }

  std::string dir_;
};

TEST_F(SpoolTest, RestartPublishesWhatTheBrokerHadNotAcknowledgedAndCutsATornEntry) {
  std::string error;
  uint64_t dropped = 0;
  {
    Spool spool;
    ASSERT_TRUE(spool.Open(dir_, 1 << 20, error)) << error;
    auto records = Records(1, 3, 10);
    ASSERT_TRUE(spool.Append(records, dropped, error)) << error;
    SpoolRecord r;
    ASSERT_TRUE(spool.Peek(r));
    spool.Published(r.index);
    ASSERT_TRUE(spool.Peek(r));
    spool.Published(r.index);
    spool.Acknowledged(1);
    spool.SavePosition();
  }
  // A write cut short by SIGKILL.
  for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
    if (entry.path().extension() == ".spool") std::ofstream(entry.path(), std::ios::app) << "\x30\x00\x00";
  }
  Spool spool;
  ASSERT_TRUE(spool.Open(dir_, 1 << 20, error)) << error;
  std::vector<uint64_t> sequences;
  SpoolRecord r;
  while (spool.Peek(r)) {
    sequences.push_back(r.sequence);
    spool.Published(r.index);
  }
  EXPECT_EQ(sequences, (std::vector<uint64_t>{2, 3}));
  EXPECT_EQ(r.bytes, std::vector<uint8_t>(10, 3));
  EXPECT_EQ(spool.LastIdentity(), std::make_pair(uint64_t{0xABCD}, uint64_t{3}));
  // Appending goes on behind the cut, and is read back whole.
  auto more = Records(4, 1, 5);
  ASSERT_TRUE(spool.Append(more, dropped, error)) << error;
  ASSERT_TRUE(spool.Peek(r));
  EXPECT_EQ(r.sequence, 4u);
  EXPECT_EQ(r.index, 4u);
}

TEST_F(SpoolTest, FullSpoolDropsTheOldestAndCountsThem) {
  std::string error;
  Spool spool;
  ASSERT_TRUE(spool.Open(dir_, 1 << 20, error)) << error;
  uint64_t dropped = 0, total = 0;
  for (uint64_t i = 0; i < 40; ++i) {
    auto records = Records(1 + i * 4, 4, 16000);
    ASSERT_TRUE(spool.Append(records, dropped, error)) << error;
    total += dropped;
  }
  const SpoolCounts counts = spool.Counts();
  EXPECT_GT(total, 0u);
  EXPECT_EQ(counts.dropped, total);
  EXPECT_LE(counts.bytes, 1u << 20);
  EXPECT_EQ(counts.records + counts.dropped, 160u);
  SpoolRecord r;
  ASSERT_TRUE(spool.Peek(r));
  EXPECT_EQ(r.sequence, total + 1) << "the oldest go first";
}

}  // namespace
}  // namespace kavro::mqtt
