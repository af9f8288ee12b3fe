// The MQTT bridge's on-disk spool: what a restart publishes again, a torn
// last entry, the bound that pushes the oldest records out, a disk that
// fills, a record the broker refuses, and identities of several ids.
#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
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

  static std::vector<SpoolRecord> Records(uint64_t firstSequence, size_t count, size_t size,
                                          uint64_t startId = 0xABCD) {
    std::vector<SpoolRecord> out;
    for (size_t i = 0; i < count; ++i) {
      SpoolRecord r;
      r.kind = SPOOL_PAYLOAD;
      r.value = 0x20;
      r.startId = startId;
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

// A write error in the middle of a batch (here the file size limit, as a
// full disk would) leaves the spool as it was behind the last whole record:
// the rest stays with the caller, a later try goes on, and a restart reads
// every record once, in order.
TEST_F(SpoolTest, WriteErrorLeavesNoTornEntryAndATryLaterGoesOn) {
  std::string error;
  uint64_t dropped = 0;
  {
    Spool spool;
    ASSERT_TRUE(spool.Open(dir_, 1 << 20, error)) << error;
    auto first = Records(1, 2, 1000);
    ASSERT_TRUE(spool.Append(first, dropped, error)) << error;
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 2 * 1040 + 1500;  // room for one more record and a part of the next
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    auto batch = Records(3, 3, 1000);
    const bool written = spool.Append(batch, dropped, error);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);
    ASSERT_FALSE(written);
    EXPECT_NE(error.find("cannot "), std::string::npos) << error;
    ASSERT_EQ(batch.size(), 3u) << "one flush per batch: none of it is durable";
    EXPECT_EQ(batch.front().sequence, 3u);
    EXPECT_FALSE(spool.Holds(0xABCD, 3));
    ASSERT_TRUE(spool.Append(batch, dropped, error)) << error;
    EXPECT_EQ(batch.front().index, 3u) << "indexes go on without a gap";
  }
  Spool spool;
  ASSERT_TRUE(spool.Open(dir_, 1 << 20, error)) << error;
  std::vector<uint64_t> sequences;
  SpoolRecord r;
  while (spool.Peek(r)) {
    sequences.push_back(r.sequence);
    spool.Published(r.index);
  }
  EXPECT_EQ(sequences, (std::vector<uint64_t>{1, 2, 3, 4, 5}));
}

// A record the broker refuses stays: the publisher is given it again (not
// what is still in flight behind it), the position does not pass it, and
// the counts follow. Repeats are known per id, so records of an older id
// delivered again after a newer one (a record log after a restart of
// kavro) are recognised too.
TEST_F(SpoolTest, RefusedRecordStaysAndIdentitiesOfSeveralIdsAreKnown) {
  std::string error;
  uint64_t dropped = 0;
  {
    Spool spool;
    ASSERT_TRUE(spool.Open(dir_, 1 << 20, error)) << error;
    auto old = Records(7, 3, 100, 0x1111);
    auto fresh = Records(1, 2, 100, 0x2222);
    ASSERT_TRUE(spool.Append(old, dropped, error)) << error;
    ASSERT_TRUE(spool.Append(fresh, dropped, error)) << error;
    SpoolRecord r;
    std::vector<uint64_t> indexes;
    while (spool.Peek(r)) {
      indexes.push_back(r.index);
      spool.Published(r.index);
    }
    ASSERT_EQ(indexes, (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    spool.Acknowledged(1);
    spool.Refused(2);
    spool.Acknowledged(3);
    ASSERT_TRUE(spool.Peek(r));
    EXPECT_EQ(r.index, 2u);
    spool.Published(r.index);
    EXPECT_FALSE(spool.Peek(r)) << "3 is acknowledged, 4 and 5 are still with the broker";
    spool.SavePosition();
    const SpoolCounts counts = spool.Counts();
    EXPECT_EQ(counts.records, 4u);
    EXPECT_GT(counts.bytes, 0u);
  }
  Spool spool;
  ASSERT_TRUE(spool.Open(dir_, 1 << 20, error)) << error;
  EXPECT_TRUE(spool.Holds(0x1111, 9));
  EXPECT_FALSE(spool.Holds(0x1111, 10));
  EXPECT_TRUE(spool.Holds(0x2222, 2));
  EXPECT_FALSE(spool.Holds(0x2222, 3));
  EXPECT_FALSE(spool.Holds(0x3333, 1));
  SpoolRecord r;
  std::vector<uint64_t> again;
  while (spool.Peek(r)) {
    again.push_back(r.index);
    spool.Published(r.index);
    spool.Acknowledged(r.index);
  }
  EXPECT_EQ(again, (std::vector<uint64_t>{2, 3, 4, 5})) << "from the refused record on, after a restart";
  spool.SavePosition();
  EXPECT_EQ(spool.Counts().records, 0u);
  EXPECT_EQ(spool.Counts().bytes, 0u) << "no bytes without records";
}

}  // namespace
}  // namespace kavro::mqtt
