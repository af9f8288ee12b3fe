// The pure parts of kavroctl: its command line, hex and number parsing, the
// control request and answer packets, and the rendering of delivered records.
#include <gtest/gtest.h>

#include <set>

#include "../../tools/common/hex_text.h"
#include "../../tools/kavroctl/command_line.h"
#include "../../tools/kavroctl/ctl_protocol.h"
#include "control/status_report.h"

namespace {

using kavro::tools::ParseHexBytes;
using kavro::tools::ParseNumber;
using namespace kavro::ctl;

std::vector<uint8_t> Bytes(std::initializer_list<int> values) {
  std::vector<uint8_t> out;
  for (int v : values) out.push_back(static_cast<uint8_t>(v));
  return out;
}

TEST(HexParsing, AcceptsTheWaysPeopleWriteBytes) {
  const auto abc = Bytes({0x41, 0x42, 0x43});
  EXPECT_EQ(ParseHexBytes("41 42 43"), abc);
  EXPECT_EQ(ParseHexBytes("414243"), abc);
  EXPECT_EQ(ParseHexBytes("0x41,0x42,0x43"), abc);
  EXPECT_EQ(ParseHexBytes("41:42:43\n"), abc);
  EXPECT_EQ(ParseHexBytes("  41\t4243  "), abc);
  EXPECT_EQ(ParseHexBytes("ff Fe 0A"), Bytes({0xFF, 0xFE, 0x0A}));
  // A lone digit is one byte, not half of one.
  EXPECT_EQ(ParseHexBytes("1 2 3"), Bytes({1, 2, 3}));
  EXPECT_EQ(ParseHexBytes(""), std::vector<uint8_t>{});
}

TEST(HexParsing, RejectsAnythingItWouldHaveToGuessAt) {
  std::string error;
  EXPECT_FALSE(ParseHexBytes("414", &error));  // odd run: 41 4 or 4 14?
  EXPECT_NE(error.find("\"414\" has an odd number of hex digits (3)"), std::string::npos) << error;
  // A runaway token, such as a whole file without blanks, is named by its
  // start only.
  EXPECT_FALSE(ParseHexBytes("41 " + std::string(301, '7'), &error));
  EXPECT_NE(error.find("\"7777777777777777...\" has an odd number of hex digits (301)"), std::string::npos) << error;
  EXPECT_FALSE(ParseHexBytes(std::string(300, 'z'), &error));
  EXPECT_EQ(error, "not a hex byte sequence: \"zzzzzzzzzzzzzzzz...\"");
  EXPECT_FALSE(ParseHexBytes("41 zz"));
  EXPECT_FALSE(ParseHexBytes("0x"));
  EXPECT_FALSE(ParseHexBytes("41-42"));
  EXPECT_FALSE(ParseHexBytes("A B C G"));
}

TEST(NumberParsing, TakesHexWithPrefixAndDecimalAndKeepsBounds) {
  EXPECT_EQ(ParseNumber("0x20"), 0x20u);
  EXPECT_EQ(ParseNumber("32"), 32u);
  EXPECT_EQ(ParseNumber("0X11110000"), 0x11110000u);
  EXPECT_EQ(ParseNumber("4294967295"), 0xFFFFFFFFu);
  EXPECT_FALSE(ParseNumber("4294967296"));
  EXPECT_FALSE(ParseNumber("256", 255));
  EXPECT_EQ(ParseNumber("0xff", 255), 255u);
  EXPECT_FALSE(ParseNumber("-1"));
  EXPECT_FALSE(ParseNumber("12abc"));
  EXPECT_FALSE(ParseNumber(""));
  EXPECT_FALSE(ParseNumber("0x1g"));
}

struct Parsed {
  Options options;
  std::string subcommand;
};

// A kavroctl command line, parsed with /env standing for KAVRO_RUN_DIR.
Parsed ParseArgs(std::vector<const char*> args, Front front = Front::Unix) {
  args.insert(args.begin(), "kavroctl");
  CommandLine commandLine("/env", front);
  commandLine.Parse(static_cast<int>(args.size()), args.data());
  return {commandLine.options, commandLine.app.get_subcommands().at(0)->get_name()};
}

TEST(CommandLine, GlobalOptionsGoBeforeOrAfterTheSubcommand) {
  auto before = ParseArgs({"--run-dir", "/a", "-v", "send", "41"});
  EXPECT_EQ(before.subcommand, "send");
  EXPECT_EQ(before.options.runDir, "/a");
  EXPECT_TRUE(before.options.verbose);

  // Between payload words too: the words still make one payload.
  auto after = ParseArgs({"send", "41", "--run-dir", "/b", "42", "--verbose", "--address", "20"});
  EXPECT_EQ(after.options.runDir, "/b");
  EXPECT_TRUE(after.options.verbose);
  EXPECT_EQ(after.options.sendSource.hexWords, (std::vector<std::string>{"41", "42"}));
  EXPECT_EQ(after.options.address, "20");

  auto listen = ParseArgs({"listen", "--follow", "--run-dir", "/c", "--count", "3"});
  EXPECT_EQ(listen.subcommand, "listen");
  EXPECT_EQ(listen.options.runDir, "/c");
  EXPECT_TRUE(listen.options.follow);
  EXPECT_EQ(listen.options.count, 3u);

  // The environment's directory holds only while no option names one; given
  // twice, the one after the subcommand wins.
  auto plain = ParseArgs({"close"});
  EXPECT_EQ(plain.options.runDir, "/env");
  EXPECT_FALSE(plain.options.verbose);
  EXPECT_EQ(ParseArgs({"--run-dir", "/a", "service", "--run-dir", "/b"}).options.runDir, "/b");

  EXPECT_THROW(ParseArgs({"send", "--run-dir"}), CLI::ParseError);
  EXPECT_THROW(ParseArgs({"--follow", "listen"}), CLI::ParseError);
  EXPECT_THROW(ParseArgs({"--run-dir", "/a"}), CLI::ParseError);

  // The Windows front: the same subcommands and options, but the driver is
  // found by its window, so there is no run directory to name or follow.
  auto windows = ParseArgs({"listen", "-v", "--state", "--json", "--count", "2"}, Front::Windows);
  EXPECT_EQ(windows.subcommand, "listen");
  EXPECT_TRUE(windows.options.state && windows.options.json && windows.options.verbose);
  EXPECT_EQ(ParseArgs({"status", "--json"}, Front::Windows).subcommand, "status");
  EXPECT_THROW(ParseArgs({"--run-dir", "/a", "close"}, Front::Windows), CLI::ParseError);
  EXPECT_THROW(ParseArgs({"listen", "--follow"}, Front::Windows), CLI::ParseError);
}

TEST(CommandLine, ListenSaysWhetherItsCountCame) {
  Options options;
  std::string message;
  // Without a count, the link ending and the time running out are its ends.
  EXPECT_EQ(ListenExitCode(options, 3, ListenEnd::Closed, &message), EXIT_OK);
  EXPECT_EQ(ListenExitCode(options, 0, ListenEnd::TimedOut, &message), EXIT_OK);
  options.count = 5;
  EXPECT_EQ(ListenExitCode(options, 5, ListenEnd::Done, &message), EXIT_OK);
  EXPECT_EQ(message, "");
  EXPECT_EQ(ListenExitCode(options, 3, ListenEnd::Closed, &message), EXIT_LISTEN_CLOSED);
  EXPECT_EQ(message, "kavroctl: kavro closed the connection after 3 of 5 records (the link ended)");
  EXPECT_EQ(ListenExitCode(options, 2, ListenEnd::TimedOut, &message), EXIT_LISTEN_TIMEOUT);
  EXPECT_EQ(message, "kavroctl: --timeout ran out after 2 of 5 records");
  EXPECT_EQ(std::set<int>({EXIT_OK, EXIT_REFUSED, EXIT_USAGE, EXIT_UNREACHABLE, EXIT_LISTEN_CLOSED,
                           EXIT_LISTEN_TIMEOUT}).size(), 6u);
}

TEST(CommandLine, AddressIsHexLikeThePayloadBytes) {
  EXPECT_EQ(ParseAddress("20"), 0x20);
  EXPECT_EQ(ParseAddress("0x20"), 0x20);
  EXPECT_EQ(ParseAddress("0XfF"), 0xFF);
  EXPECT_EQ(ParseAddress("0"), 0);
  EXPECT_EQ(ParseAddress("0021"), 0x21);
  for (const char* bad : {"100", "0x100", "0x", "", "-1", "2g", " 20"}) {
    EXPECT_THROW(ParseAddress(bad), UsageError) << bad;
  }
}

TEST(CommandLine, MessagesQuoteOnlyTheStartOfLongInput) {
  const std::string huge(300, '9');
  for (auto parse : {+[](const std::string& t) { ParseAddress(t); },
                     +[](const std::string& t) { ParseWord(t, "the command word"); }}) {
    try {
      parse(huge);
      ADD_FAILURE() << "took a 300-digit number";
    } catch (const UsageError& e) {
      EXPECT_NE(e.message.find("\"9999999999999999...\""), std::string::npos) << e.message;
      EXPECT_LT(e.message.size(), 120u) << e.message;
    }
  }
  try {
    ParseWord("4294967296", "the command word");
    ADD_FAILURE();
  } catch (const UsageError& e) {
    EXPECT_EQ(e.message,
              "kavroctl: the command word \"4294967296\" is not a number from 0 to 4294967295 (hex with 0x, or "
              "decimal)");
  }
}

TEST(ControlRequest, IsMessageWordAndDataLittleEndian) {
  const auto packet = BuildRequest(MSG_COPYDATA, PayloadWord(0x20), Bytes({0x41, 0x42}));
  EXPECT_EQ(packet, Bytes({0x4A, 0, 0, 0, 0x20, 0x00, 0x01, 0x00, 0x41, 0x42}));
  EXPECT_EQ(BuildRequest(MSG_CLOSE, 0, {}), Bytes({0x10, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(BuildRequest(MSG_COPYDATA, WORD_SERVICE, {}), Bytes({0x4A, 0, 0, 0, 0x00, 0x00, 0x11, 0x11}));
  // Only the low byte of the address reaches the word.
  EXPECT_EQ(PayloadWord(0x1FF), 0x000100FFu);
}

TEST(ControlAnswer, IsExactlyOneSignedWord) {
  const uint8_t one[] = {1, 0, 0, 0};
  const uint8_t minusOne[] = {0xFF, 0xFF, 0xFF, 0xFF};
  const uint8_t longer[] = {1, 0, 0, 0, 0};
  EXPECT_EQ(ParseAnswer(one, 4), 1);
  EXPECT_EQ(ParseAnswer(minusOne, 4), -1);
  EXPECT_FALSE(ParseAnswer(one, 3));
  EXPECT_FALSE(ParseAnswer(longer, 5));
}

// kavro's encoder and kavroctl's parser agree on every field, large counts
// keep their upper half, and anything short of a whole record is refused
// rather than shown with made-up numbers.
TEST(StatusAnswer, RoundTripsAndRefusesWhatIsNoRecord) {
  kavro::StatusReport report;
  report.LinkKind = KAVRO_LINK_KIND_SERIAL;
  report.LinkState = KAVRO_LINK_STATE_TIMER_RECOVERY;
  report.QueueDepth = 3;
  report.UptimeMs = 0x123456789ull;
  report.SinceReceivedMs = UINT64_MAX;
  report.FramesSent = 1;
  report.FramesReceived = 2;
  report.PayloadsSent = 3;
  report.PayloadsReceived = 4;
  report.Retransmissions = 5;
  report.Rejected = 6;
  report.Damaged = 7;
  report.LinkResets = 0x100000000ull;
  report.Link = "COM1";
  report.Device = "/dev/ttyUSB0";
  report.RecordsLost = 0x200000001ull;
  report.RecordsNotTaken = 1481;
  const std::vector<uint8_t> answer = kavro::EncodeStatusAnswer(report);
  ASSERT_EQ(answer.size(), KAVRO_STATUS_AT_TEXTS + 5 + 13 + KAVRO_STATUS_TAIL_SIZE);
  EXPECT_EQ(ParseAnswer(answer.data(), 4), 1);

  const auto s = ParseStatus(answer.data(), answer.size());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->linkKind, KAVRO_LINK_KIND_SERIAL);
  EXPECT_STREQ(LinkStateName(s->linkState), "timer recovery");
  EXPECT_EQ(s->queueDepth, 3u);
  EXPECT_EQ(s->listeners, -1);
  EXPECT_EQ(s->uptimeMs, 0x123456789ull);
  EXPECT_EQ(s->sinceReceivedMs, UINT64_MAX);
  EXPECT_EQ(std::vector<uint64_t>({s->framesSent, s->framesReceived, s->payloadsSent, s->payloadsReceived,
                                   s->retransmissions, s->rejected, s->damaged}),
            std::vector<uint64_t>({1, 2, 3, 4, 5, 6, 7}));
  EXPECT_EQ(s->linkResets, 0x100000000ull);
  EXPECT_EQ(s->link, "COM1");
  EXPECT_EQ(s->device, "/dev/ttyUSB0");
  EXPECT_EQ(s->acknowledgedClients, -1);
  EXPECT_EQ(s->recordsLost, 0x200000001ull);
  EXPECT_NE(FormatStatusText(*s).find("records lost to slow clients  8589934593\n"), std::string::npos);
  EXPECT_EQ(s->recordsNotTaken, 1481u);
  EXPECT_NE(FormatStatusText(*s).find("records no one could take     1481\n"), std::string::npos);
  // A kavro from before the library's counts ends with the texts; one from
  // before the refusal count, with the shorter tail.
  const auto older = ParseStatus(answer.data(), answer.size() - KAVRO_STATUS_TAIL_SIZE);
  ASSERT_TRUE(older);
  EXPECT_EQ(older->recordsLost, UINT64_MAX);
  const auto shorter =
      ParseStatus(answer.data(), answer.size() - KAVRO_STATUS_TAIL_SIZE + KAVRO_STATUS_TAIL_SIZE_V1);
  ASSERT_TRUE(shorter);
  EXPECT_EQ(shorter->recordsLost, 0x200000001ull);
  EXPECT_EQ(shorter->recordsNotTaken, UINT64_MAX);
  EXPECT_NE(FormatStatusText(*shorter).find("records no one could take     unknown\n"), std::string::npos);
  EXPECT_NE(FormatStatusJson(*s).find("\"records_not_taken\":1481"), std::string::npos);
  const std::string json = FormatStatusJson(*s);
  EXPECT_NE(json.find("\"state\":\"timer recovery\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"since_last_frame_ms\":null"), std::string::npos) << json;
  EXPECT_NE(json.find("\"listeners\":null"), std::string::npos) << json;

  // A kavro that does not know the request answers the plain 0; a cut
  // answer loses the zero of its last text.
  const uint8_t zero[] = {0, 0, 0, 0};
  EXPECT_FALSE(ParseStatus(zero, sizeof zero));
  EXPECT_FALSE(ParseStatus(answer.data(), answer.size() - KAVRO_STATUS_TAIL_SIZE - 1));
}

TEST(DeliveredRecords, DecodeHeadAndBytes) {
  const auto packet = Bytes({1, 0, 0, 0, 0x20, 0, 0, 0, 0x41, 0x42, 0x43});
  auto record = DecodeRecord(packet.data(), packet.size());
  ASSERT_TRUE(record);
  EXPECT_EQ(record->kind, RECORD_PAYLOAD);
  EXPECT_EQ(record->value, 0x20u);
  EXPECT_EQ(record->bytes, Bytes({0x41, 0x42, 0x43}));
  EXPECT_FALSE(DecodeRecord(packet.data(), 7));
  auto headOnly = DecodeRecord(packet.data(), 8);
  ASSERT_TRUE(headOnly);
  EXPECT_TRUE(headOnly->bytes.empty());
}

TEST(CreditRequest, GrantsExactlyTheCountInThirtyTwoBitParts) {
  EXPECT_EQ(BuildCreditRequests(1), (std::vector<std::vector<uint8_t>>{Bytes({1, 0, 0, 0, 1, 0, 0, 0})}));
  const auto big = BuildCreditRequests(uint64_t{UINT32_MAX} + 3);
  ASSERT_EQ(big.size(), 2u);
  EXPECT_EQ(big[0], Bytes({1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(big[1], Bytes({1, 0, 0, 0, 3, 0, 0, 0}));
}

TEST(DeliveredRecords, ReadableLines) {
  EXPECT_EQ(FormatRecordText({RECORD_PAYLOAD, 0x20, Bytes({0x41, 0x42, 0x43})}), "payload addr=0x20 len=3 41 42 43");
  EXPECT_EQ(FormatRecordText({RECORD_PAYLOAD, 0, {}}), "payload addr=0x00 len=0");
  EXPECT_EQ(FormatRecordText({RECORD_EVENT, 17, {}}), "event 17 (service answered)");
  EXPECT_EQ(FormatRecordText({RECORD_EVENT, 0, {}}), "event 0 (shutting down)");
  EXPECT_EQ(FormatRecordText({RECORD_EVENT, 18, {}}), "event 18 (link failed)");
  EXPECT_EQ(FormatRecordText({RECORD_EVENT, 5, {}}), "event 5 (unknown event)");
  EXPECT_EQ(FormatRecordText({9, 3, Bytes({0xAB})}), "record kind=9 value=3 len=1 AB");
  EXPECT_EQ(FormatRecordText({RECORD_LINK_STATE, 1, {}}), "state up");
  EXPECT_EQ(FormatRecordText({RECORD_LINK_STATE, 0, {}}), "state down");
}

TEST(DeliveredRecords, JsonLines) {
  EXPECT_EQ(FormatRecordJson({RECORD_PAYLOAD, 0x20, Bytes({0x41, 0x42, 0x43})}),
            R"({"kind":"payload","address":32,"length":3,"hex":"414243"})");
  EXPECT_EQ(FormatRecordJson({RECORD_PAYLOAD, 0x120, {}}), R"({"kind":"payload","address":32,"length":0,"hex":""})");
  EXPECT_EQ(FormatRecordJson({RECORD_EVENT, 1, {}}), R"({"kind":"event","code":1,"name":"link established"})");
  EXPECT_EQ(FormatRecordJson({7, 2, Bytes({0x01})}), R"({"kind":"unknown","type":7,"value":2,"length":1,"hex":"01"})");
  EXPECT_EQ(FormatRecordJson({RECORD_LINK_STATE, 1, {}}), R"({"kind":"state","up":true})");
  EXPECT_EQ(kavro::tools::JsonString("a\"b\\c\n\x01"), R"("a\"b\\c\n\u0001")");
}

TEST(Messages, UnreachableSaysWhereAndWhatToDo) {
  EXPECT_EQ(UnreachableMessage("/run/kavro", "/run/kavro/KavroControlProg", "No such file or directory", false),
            "kavroctl: no kavro is running on /run/kavro (cannot connect to /run/kavro/KavroControlProg: No such "
            "file or directory); start kavro or pass --run-dir");
  EXPECT_NE(UnreachableMessage("/r", "/r/kavrod", "Permission denied", true).find("no permission"), std::string::npos);
}

TEST(Messages, RefusalNamesTheLengthOnlyWhenNoSerialLinkCarriesIt) {
  EXPECT_EQ(RefusalMessage(2038), "kavroctl: refused: queue full, link going down or not established");
  EXPECT_EQ(RefusalMessage(2039),
            "kavroctl: refused: payload of 2039 bytes is longer than a serial or USB link carries (2038), or the "
            "TCP link is down");
}

}  // namespace
