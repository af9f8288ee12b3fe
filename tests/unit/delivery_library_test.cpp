// Loading the companion library: the messages an operator sees when it
// cannot be used, the calls reaching a real library, and where the default
// library is looked for.
#include "control/delivery_library.h"
#include "control/lifecycle_delivery.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "platform/posix/posix_library_loader.h"

namespace kavro {
namespace {

const std::string kAdvice = "; check --delivery-library or KAVRO_DELIVERY_LIBRARY";

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

void* Block(const std::string& bytes) {
  void* block = std::malloc(bytes.empty() ? 1 : bytes.size());
  std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

TEST(DeliveryLibraryTest, LibraryThatCannotBeUsedIsReportedInOneLineThatSaysWhatToDo) {
  platform::PosixLibraryLoader loader;
  DeliveryLibrary library(loader);
  std::string error;

  EXPECT_FALSE(library.Load("/nonexistent/libnothing.so", error));
  EXPECT_EQ(error.rfind("kavro: cannot load companion library /nonexistent/libnothing.so: ", 0), 0u) << error;
  EXPECT_TRUE(EndsWith(error, kAdvice)) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
  EXPECT_FALSE(library.IsLoaded());

  // A real library that is not a companion library.
  error.clear();
  EXPECT_FALSE(library.Load("libm.so.6", error));
  EXPECT_EQ(error, "kavro: companion library libm.so.6 lacks the function DeliverPayload" + kAdvice);
  EXPECT_FALSE(library.IsLoaded());

  // Unloaded, nothing is called and the caller keeps the block.
  void* block = Block("ABC");
  EXPECT_EQ(library.DeliverPayload(0x20, block, 3), KAVRO_QUEUE_ERROR);
  std::free(block);
  library.SignalLinkEvent(LINK_EVENT_FAILED);
}

class RecordedDeliveryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/delivery_library_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    record_file_ = dir_ + "/calls";
    setenv("KAVRO_RECORD_FILE", record_file_.c_str(), 1);
    unsetenv("KAVRO_RECORD_REFUSE");
    std::string error;
    ASSERT_TRUE(library_.Load(KAVRO_RECORDER_LIBRARY, error)) << error;
  }
  void TearDown() override {
    unsetenv("KAVRO_RECORD_FILE");
    unsetenv("KAVRO_RECORD_REFUSE");
    std::filesystem::remove_all(dir_);
  }
  std::string Recorded() {
    std::ifstream in(record_file_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  platform::PosixLibraryLoader loader_;
  DeliveryLibrary library_{loader_};
  std::string dir_;
  std::string record_file_;
};

TEST_F(RecordedDeliveryTest, CallsReachTheLibraryInOrder) {
  EXPECT_NE(library_.DeliverPayload(0x20, Block("ABC"), 3), KAVRO_QUEUE_ERROR);
  library_.SignalLinkEvent(LINK_EVENT_SERVICE_ANSWERED);
  EXPECT_NE(library_.DeliverPayload(0x03, Block(""), 0), KAVRO_QUEUE_ERROR);
  library_.SignalLinkEvent(LINK_EVENT_SHUTDOWN);
  EXPECT_EQ(Recorded(), "payload 20 414243\nevent 17\npayload 03\nevent 0\n");
}

TEST_F(RecordedDeliveryTest, RefusedOrNullBlockStaysWithTheCaller) {
  setenv("KAVRO_RECORD_REFUSE", "1", 1);
  void* block = Block("\x01\xFE");
  EXPECT_EQ(library_.DeliverPayload(0x7F, block, 2), KAVRO_QUEUE_ERROR);
  std::free(block);  // the sanitizers catch a library that freed it as well

  // A null block never reaches the library, which would own nothing to free.
  unsetenv("KAVRO_RECORD_REFUSE");
  EXPECT_EQ(library_.DeliverPayload(0x20, nullptr, 0), KAVRO_QUEUE_ERROR);
  EXPECT_EQ(Recorded(), "refused 7F 01FE\n");
}

TEST_F(RecordedDeliveryTest, FailedReloadKeepsTheLibraryInUse) {
  std::string error;
  EXPECT_FALSE(library_.Load("/nonexistent/libother.so", error));
  EXPECT_TRUE(library_.IsLoaded());
  library_.SignalLinkEvent(LINK_EVENT_ESTABLISHED);
  EXPECT_EQ(Recorded(), "event 1\n");
}

// A library that answers as scripted and counts what it lost.
class ScriptedDelivery : public Delivery {
 public:
  int32_t DeliverPayload(uint32_t, void* payload, uint32_t) override {
    if (answer == KAVRO_QUEUE_ERROR) return answer;
    std::free(payload);
    if (answer == 2) ++lost;
    return answer;
  }
  void SignalLinkEvent(uint32_t) override {}
  bool QueryStatus(DeliveryStatus& status) override {
    status.RecordsLost = lost;
    return true;
  }
  int32_t answer = 1;
  uint64_t lost = 0;
};

class NoticeList : public platform::LifecycleSink {
 public:
  void Notice(platform::NoticeLevel level, const std::string& text) override {
    EXPECT_EQ(level, platform::NoticeLevel::Warning) << text;
    lines.push_back(text);
  }
  std::string ErrorText(int code) override { return std::to_string(code); }
  std::vector<std::string> Take() { return std::exchange(lines, {}); }
  std::vector<std::string> lines;
};

// Records lost (a slow client dropped, kept records overflowing one per
// record) and records refused are each said when they start and, with the
// count of the rest, when they end: never a line per record. The refusals
// are counted by the driver itself.
TEST(LifecycleDeliveryTest, LossesAndRefusalsAreSaidOncePerEpisodeWithTheirCount) {
  ScriptedDelivery library;
  NoticeList notices;
  LifecycleDelivery delivery(library, notices, nullptr, "COM1");
  auto hand = [&](int32_t answer, int times) {
    library.answer = answer;
    for (int i = 0; i < times; ++i) {
      void* block = Block("x");
      if (delivery.DeliverPayload(0x20, block, 1) == KAVRO_QUEUE_ERROR) std::free(block);
    }
  };
  hand(2, 1);
  hand(1, 3);
  hand(2, 99);
  EXPECT_EQ(notices.Take(), std::vector<std::string>{"1 records lost to slow clients (1 since the start); see the "
                                                     "library's line before"});
  hand(1, LifecycleDelivery::LOSS_QUIET_RECORDS);
  EXPECT_EQ(notices.Take(), std::vector<std::string>{"99 more records lost to slow clients (100 since the start)"});

  hand(KAVRO_QUEUE_ERROR, 5);
  EXPECT_EQ(notices.Take(), std::vector<std::string>{"a record no one could take: the companion library refused it "
                                                     "(no client, its backlog full, or a bound reached); the next "
                                                     "ones are counted until it takes one again (1 since the start)"});
  hand(1, 1);
  EXPECT_EQ(notices.Take(), std::vector<std::string>{"4 more records no one could take (5 since the start)"});
  hand(KAVRO_QUEUE_ERROR, 3);
  hand(2, 1);
  DeliveryStatus status;
  ASSERT_TRUE(delivery.QueryStatus(status));
  EXPECT_EQ(status.RecordsNotTaken, 8u);
  EXPECT_EQ(notices.Take(), (std::vector<std::string>{"a record no one could take: the companion library refused "
                                                      "it (no client, its backlog full, or a bound reached); the "
                                                      "next ones are counted until it takes one again (6 since the "
                                                      "start)",
                                                      "2 more records no one could take (8 since the start)",
                                                      "1 records lost to slow clients (101 since the start); see the "
                                                      "library's line before"}));
  // The end of the link closes what is still open.
  hand(2, 2);
  delivery.SignalLinkEvent(LINK_EVENT_SHUTDOWN);
  EXPECT_EQ(notices.Take(), std::vector<std::string>{"2 more records lost to slow clients (103 since the start)"});
}

// A loader that knows only the files it is told about.
class FakeLoader : public platform::LibraryLoader {
 public:
  std::unique_ptr<platform::Library> Open(const std::string&, std::string& reason) override {
    reason = "not here";
    return nullptr;
  }
  std::string ExecutableDirectory() override { return directory; }
  bool FileExists(const std::string& path) override { return files.count(path) > 0; }

  std::string directory;
  std::set<std::string> files;
};

TEST(DefaultDeliveryLibraryTest, BesideTheExecutableFirstThenTheSystemSearch) {
  FakeLoader loader;
  loader.directory = "/opt/kavro/bin";
  EXPECT_EQ(ResolveDefaultDeliveryLibrary(loader), "libkavrod.so.1");
  loader.files.insert("/opt/kavro/bin/libkavrod.so.1");
  EXPECT_EQ(ResolveDefaultDeliveryLibrary(loader), "/opt/kavro/bin/libkavrod.so.1");
  loader.directory = "";
  EXPECT_EQ(ResolveDefaultDeliveryLibrary(loader), "libkavrod.so.1");

  // The real loader finds the directory this test runs from.
  platform::PosixLibraryLoader real;
  std::string here = real.ExecutableDirectory();
  EXPECT_TRUE(real.FileExists(here + "/delivery_library_test")) << here;
  EXPECT_FALSE(real.FileExists(here));
}

}  // namespace
}  // namespace kavro
