// kavro-decode: shows people what went over a kavro link. It reads kavro's
// trace log (or bytes in hex or raw) and prints every layer-2 frame, the
// service handshake, every TCP frame and every run of noise, decoded field by
// field with its CRCs checked by the same code kavro uses.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "../common/hex_text.h"
#include "decoder.h"
#include "link/socket_framing.h"
#include "render.h"
#include "trace_reader.h"

namespace {

using namespace kavro::decode;

constexpr int EXIT_OK = 0;
constexpr int EXIT_UNREADABLE = 1;
constexpr int EXIT_USAGE = 2;

enum class Format { Auto, Log, Hex, Raw };
enum class Framing { Auto, Serial, Tcp };

struct Failure {
  int code;
  std::string message;
};

Framing FramingOf(const std::vector<uint8_t>& bytes) {
  return !bytes.empty() && bytes[0] == kavro::SOCKET_FRAME_TAG ? Framing::Tcp : Framing::Serial;
}

// One direction of the link within a run of kavro, with the decoder for the
// framing the run uses and the place in the log of the block it decodes.
class Direction {
 public:
  Direction(Printer& printer, bool sent) : printer_(printer) {
    origin_.fromLog = true;
    origin_.sent = sent;
  }

  void Start(Framing framing, bool fromProcessStart) {
    ItemSink sink = [this](Item&& item) { printer_.Decoded(item, origin_); };
    serial_.reset();
    tcp_.reset();
    if (framing == Framing::Tcp) {
      tcp_ = std::make_unique<TcpDecoder>(sink,
                                          origin_.sent ? TcpDecoder::Rules::Anywhere : TcpDecoder::Rules::KavroReceive);
    } else {
      const bool handshake = fromProcessStart && !origin_.sent;
      serial_ = std::make_unique<SerialDecoder>(
          sink, handshake ? SerialDecoder::Start::ReceivedFromStart : SerialDecoder::Start::Anywhere);
    }
  }

  void Feed(const kavro::decode::LogRecord& record, const std::vector<uint8_t>& bytes) {
    origin_.logLine = record.line;
    origin_.stamp = record.stamp;
    if (serial_) serial_->Feed(bytes.data(), bytes.size());
    if (tcp_) tcp_->Feed(bytes.data(), bytes.size());
  }

  void Break() {
    if (serial_) serial_->Break();
    if (tcp_) tcp_->Break();
  }

  void Stop() {
    Break();
    serial_.reset();
    tcp_.reset();
  }

  const Origin& CurrentOrigin() const { return origin_; }

 private:
  Printer& printer_;
  Origin origin_;
  std::unique_ptr<SerialDecoder> serial_;
  std::unique_ptr<TcpDecoder> tcp_;
};

// Returns the number of records read.
size_t DecodeLog(TraceReader& reader, Printer& printer, Framing forced, bool withLog) {
  Direction sent(printer, true);
  Direction received(printer, false);
  bool fromProcessStart = false;
  bool framingKnown = false;
  size_t count = 0;

  std::optional<LogRecord> record = reader.Next();
  while (record) {
    ++count;
    // After each read the parser names the count it was given: the next
    // record tells whether a dump shows a read whole.
    std::optional<LogRecord> next = reader.Next();
    if (IsRunStart(*record)) {
      // Each run of kavro starts its parsers afresh.
      sent.Stop();
      received.Stop();
      printer.RunStart(*record);
      fromProcessStart = true;
      framingKnown = false;
    } else if (auto dump = ParseHexDump(*record); !dump) {
      if (withLog) printer.LogLine(*record);
    } else if (!dump->bytes.empty() || dump->cut) {
      if (!framingKnown) {
        // A run's first block tells its link: kavro's first bytes on a serial
        // or USB link are the service request, the PBX's are text or frames.
        const Framing framing = forced != Framing::Auto ? forced : FramingOf(dump->bytes);
        sent.Start(framing, fromProcessStart);
        received.Start(framing, fromProcessStart);
        framingKnown = true;
      }
      Direction& direction = dump->sent ? sent : received;
      direction.Feed(*record, dump->bytes);
      std::optional<uint32_t> readCount;
      if (!dump->sent && next) readCount = CheckFrameCount(*next);
      // The dump counts the bytes it leaves out; else the count kavro names
      // after a read tells the block's size.
      if (dump->more) readCount = static_cast<uint32_t>(dump->bytes.size() + *dump->more);
      // A dump that shows fewer bytes than the block had was cut by the log's
      // line limit.
      if (dump->cut || (readCount && *readCount > dump->bytes.size())) {
        direction.Break();
        printer.Gap(direction.CurrentOrigin(), dump->bytes.size(), readCount);
      }
    }
    record = std::move(next);
  }
  sent.Stop();
  received.Stop();
  return count;
}

void DecodeBytes(const std::vector<uint8_t>& bytes, Printer& printer, Framing forced) {
  Origin origin;
  ItemSink sink = [&](Item&& item) { printer.Decoded(item, origin); };
  const Framing framing = forced != Framing::Auto ? forced : FramingOf(bytes);
  if (framing == Framing::Tcp) {
    TcpDecoder decoder(sink, TcpDecoder::Rules::Anywhere);
    decoder.Feed(bytes.data(), bytes.size());
    decoder.Break();
  } else {
    SerialDecoder decoder(sink, SerialDecoder::Start::Anywhere);
    decoder.Feed(bytes.data(), bytes.size());
    decoder.Break();
  }
}

// An input as a sequence of chunks: enough of its start to tell its kind,
// then the rest, read as it is needed.
class Input {
 public:
  explicit Input(const std::string& name) : name_(name == "-" ? "standard input" : name) {
    if (name != "-") {
      file_.open(name, std::ios::binary);
      if (!file_) throw Failure{EXIT_UNREADABLE, "kavro-decode: cannot read " + name + ": " + std::strerror(errno)};
      in_ = &file_;
    }
    while (head_.size() < HEAD_BYTES && ReadChunk(head_)) {}
  }

  const std::string& Name() const { return name_; }
  const std::string& Head() const { return head_; }

  // Appends the next chunk to `to`; false at the end.
  bool ReadChunk(std::string& to) {
    char chunk[CHUNK_BYTES];
    in_->read(chunk, sizeof chunk);
    if (in_->bad()) throw Failure{EXIT_UNREADABLE, "kavro-decode: cannot read " + name_ + ": " + std::strerror(errno)};
    to.append(chunk, static_cast<size_t>(in_->gcount()));
    return in_->gcount() > 0;
  }

  std::string All() {
    std::string all = std::move(head_);
    head_.clear();
    while (ReadChunk(all)) {}
    return all;
  }

  // The physical lines, the head first.
  TraceReader::LineSource Lines() {
    return [this](std::string& line, bool& ended) {
      // Each byte is looked at once: a long line is searched chunk by chunk,
      // not from its start again after every chunk.
      size_t from = pos_;
      for (;;) {
        const size_t end = head_.find('\n', from);
        if (end != std::string::npos) {
          line.assign(head_, pos_, end - pos_);
          pos_ = end + 1;
          ended = true;
          return true;
        }
        head_.erase(0, pos_);
        pos_ = 0;
        from = head_.size();
        if (!ReadChunk(head_)) break;
      }
      if (head_.empty()) return false;
      line = std::move(head_);
      head_.clear();
      ended = false;
      return true;
    };
  }

 private:
  static constexpr size_t HEAD_BYTES = 64 * 1024;
  static constexpr size_t CHUNK_BYTES = 64 * 1024;

  std::string name_;
  std::ifstream file_;
  std::istream* in_ = &std::cin;
  std::string head_;
  size_t pos_ = 0;
};

bool LooksLikeHex(const std::string& text) {
  bool digit = false;
  for (char c : text) digit = digit || kavro::tools::HexDigitValue(c) >= 0;
  return digit && kavro::tools::ParseHexBytes(text).has_value();
}

void DecodeInput(Input& input, Format format, Framing framing, bool withLog, Printer& printer) {
  if (format == Format::Auto && LooksLikeTraceLog(input.Head())) format = Format::Log;
  if (format == Format::Log) {
    const bool empty = input.Head().empty();
    TraceReader reader(input.Lines());
    if (DecodeLog(reader, printer, framing, withLog) == 0 && !empty) {
      throw Failure{EXIT_UNREADABLE, "kavro-decode: " + input.Name() + " holds no trace log line"};
    }
    return;
  }
  const std::string text = input.All();
  if (format == Format::Auto) format = LooksLikeHex(text) ? Format::Hex : Format::Raw;
  if (format == Format::Hex) {
    std::string error;
    auto bytes = kavro::tools::ParseHexBytes(text, &error);
    if (!bytes) throw Failure{EXIT_UNREADABLE, "kavro-decode: " + input.Name() + ": " + error};
    DecodeBytes(*bytes, printer, framing);
    return;
  }
  DecodeBytes(std::vector<uint8_t>(text.begin(), text.end()), printer, framing);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{
      "kavro-decode: decode what went over a kavro link. Reads kavro's trace log (or bytes in hex or raw) and "
      "prints every layer-2 frame (type, address, N(S)/N(R), P/F, length, CRCs checked, payload), the service "
      "request and the PBX's answer, every TCP frame (keepalives named) and the noise between frames."};
  app.name("kavro-decode");
  app.footer(
      "Input:\n"
      "  INPUT is a file, or - for standard input (the default). By default its kind is found from its content:\n"
      "  a trace log by its \"[dd.mm.yy hh:mm:ss] kavro: \" lines, hex text (\"16 16 31 00 ...\"), else raw\n"
      "  bytes. From a trace log the blocks kavro sent (SendConnection) and received (Received) are decoded as\n"
      "  two streams, each run of kavro (\"OpenConnection\") afresh, with the log line and time of each block.\n"
      "  The framing (serial/USB layer 2, or TCP) is found from the first bytes: 0xC5 means TCP.\n"
      "\n"
      "Output:\n"
      "  One line per item (payloads follow in rows of 16 bytes): from a trace log the time, #the log line and\n"
      "  \"sent\" (written by kavro, to the PBX) or \"rcvd\" (read by kavro, from the PBX); from bytes @the offset.\n"
      "  A CRC is shown as received, \"ok\" or \"BAD, expected\" the value it should have.\n"
      "\n"
      "Exit codes:\n"
      "  0  decoded (damaged frames and noise are findings, not errors)\n"
      "  1  an input cannot be read, or is not of the kind --format names\n"
      "  2  usage error\n"
      "\n"
      "Examples:\n"
      "  kavro-decode /var/log/kavro.log\n"
      "  kavro-decode --with-log --json /var/log/kavro.log | jq 'select(.ok == false)'\n"
      "  kavro-decode -x 16 16 31 00 AB AB\n"
      "  kavro-decode -x C5 00 02 F2 01\n"
      "  tail -n 200 /var/log/kavro.log | kavro-decode\n"
      "  kavro-decode --format raw --framing serial capture.bin");
  app.set_version_flag("--version", std::string("kavro-decode ") + KAVRO_VERSION);

  std::vector<std::string> inputs;
  bool hexArguments = false;
  bool json = false;
  bool withLog = false;
  Format format = Format::Auto;
  Framing framing = Framing::Auto;
  const std::map<std::string, Format> formats{
      {"auto", Format::Auto}, {"log", Format::Log}, {"hex", Format::Hex}, {"raw", Format::Raw}};
  const std::map<std::string, Framing> framings{
      {"auto", Framing::Auto}, {"serial", Framing::Serial}, {"tcp", Framing::Tcp}};

  app.add_option("INPUT", inputs, "files to decode; - or none: standard input");
  app.add_flag("-x,--hex-bytes", hexArguments, "the INPUT words are the bytes themselves, in hex");
  app.add_option("-f,--format", format, "what the input holds: auto (default), log, hex or raw")
      ->option_text("KIND")
      ->transform(CLI::CheckedTransformer(formats, CLI::ignore_case));
  app.add_option("--framing", framing, "auto (default), serial (layer 2 of serial and USB links) or tcp (0xC5 frames)")
      ->option_text("KIND")
      ->transform(CLI::CheckedTransformer(framings, CLI::ignore_case));
  app.add_flag("--json", json, "one JSON object per line");
  app.add_flag("--with-log", withLog, "trace logs: also print the trace lines that are no byte dumps");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? EXIT_OK : EXIT_USAGE;
  }

  Printer printer(json);
  try {
    if (hexArguments) {
      if (inputs.empty()) throw Failure{EXIT_USAGE, "kavro-decode: --hex-bytes needs the bytes as arguments"};
      std::string joined;
      for (const auto& word : inputs) joined += word + " ";
      std::string error;
      auto bytes = kavro::tools::ParseHexBytes(joined, &error);
      if (!bytes) throw Failure{EXIT_USAGE, "kavro-decode: " + error};
      DecodeBytes(*bytes, printer, framing);
      return EXIT_OK;
    }
    if (inputs.empty()) inputs.push_back("-");
    for (const auto& name : inputs) {
      Input input(name);
      if (inputs.size() > 1 && !json) std::printf("==> %s <==\n", input.Name().c_str());
      DecodeInput(input, format, framing, withLog, printer);
    }
  } catch (const Failure& failure) {
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", failure.message.c_str());
    return failure.code;
  }
  return EXIT_OK;
}
