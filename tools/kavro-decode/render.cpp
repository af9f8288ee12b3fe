#include "render.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "../common/hex_text.h"

namespace kavro::decode {

namespace {

using tools::FormatHex;

constexpr size_t ROW_BYTES = 16;
constexpr const char* ROW_INDENT = "      ";

std::string Hex4(uint16_t value) {
  const uint8_t bytes[2] = {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
  return FormatHex(bytes, 2, false);
}

std::string Hex2(uint8_t value) { return "0x" + FormatHex(&value, 1, false); }

// A JSON string of bytes taken as Latin-1: every byte becomes one character,
// so that the output is valid UTF-8 whatever the PBX sent.
std::string JsonBytes(const std::string& text) {
  static const char* const digits = "0123456789abcdef";
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out.push_back('\\');
      out.push_back(static_cast<char>(c));
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c >= 0x7F) {
      out += "\\u00";
      out.push_back(digits[c >> 4]);
      out.push_back(digits[c & 0x0F]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

std::string JsonBytes(const std::vector<uint8_t>& bytes) { return JsonBytes(std::string(bytes.begin(), bytes.end())); }

std::string JsonCrc(const CrcCheck& crc) {
  return std::string("{\"value\":\"") + Hex4(crc.value) + "\",\"expected\":\"" + Hex4(crc.expected) +
         "\",\"ok\":" + (crc.Ok() ? "true" : "false") + "}";
}

// Rows of 16 bytes, their offset, hex and printable text, as hexdump -C has
// taught people to read them.
std::string Rows(const std::vector<uint8_t>& bytes) {
  std::string out;
  for (size_t at = 0; at < bytes.size(); at += ROW_BYTES) {
    const size_t n = std::min(ROW_BYTES, bytes.size() - at);
    std::vector<uint8_t> row(bytes.begin() + static_cast<ptrdiff_t>(at),
                             bytes.begin() + static_cast<ptrdiff_t>(at + n));
    char offset[32];
    std::snprintf(offset, sizeof offset, "%04zx  ", at);
    std::string hex = FormatHex(row, true);
    hex.resize(ROW_BYTES * 3 - 1, ' ');
    out += std::string("\n") + ROW_INDENT + offset + hex + "  |" + PrintableText(row) + "|";
  }
  return out;
}

std::string CrcText(const char* name, const CrcCheck& crc) {
  std::string out = std::string(name) + " " + Hex4(crc.value);
  if (crc.Ok()) return out + " ok";
  return out + " BAD, expected " + Hex4(crc.expected);
}

std::string FrameError(const Item& item) {
  if (item.lengthTooLong) return "length over 2038";
  if (item.frameClass != FrameClass::I) return "CRC";
  if (!item.headerCrc.Ok()) return "header CRC";
  return "payload CRC";
}

// Type, address, sequence numbers and length: what the control byte and
// the header say, whether or not the CRCs hold.
std::string FrameFields(const Item& item) {
  std::string out;
  if (item.type == "unknown") {
    out = std::string("unknown ") + (item.frameClass == FrameClass::S ? "S" : "U") + "-frame " + Hex2(item.control);
  } else {
    out = item.type;
    // The common names fit a column of five, so that the fields line up.
    out.resize(std::max<size_t>(out.size(), 5), ' ');
  }
  out += "  addr " + Hex2(item.address);
  if (item.frameClass == FrameClass::I) out += "  N(S) " + std::to_string(item.ns);
  if (item.frameClass != FrameClass::U) out += "  N(R) " + std::to_string(item.nr);
  if (item.frameClass != FrameClass::U && item.pf) out += "  P/F";
  if (item.frameClass == FrameClass::I) out += "  length " + std::to_string(item.length);
  return out;
}

std::string FrameText(const Item& item) {
  std::string out = FrameFields(item);
  if (item.lengthTooLong) return out + ": over 2038, not a frame" + Rows(item.raw);
  if (item.frameClass != FrameClass::I) {
    out += "  " + CrcText("CRC", item.headerCrc);
    return item.ok ? out : out + Rows(item.raw);
  }
  out += "  " + CrcText("header CRC", item.headerCrc);
  if (!item.headerCrc.Ok()) return out + Rows(item.raw);
  out += "  " + CrcText("payload CRC", item.payloadCrc);
  return out + Rows(item.payload);
}

std::string IncompleteText(const Item& item) {
  std::string out = "incomplete frame";
  if (!item.type.empty()) {
    out = FrameFields(item);
    if (item.headerCrc.present) out += "  " + CrcText("header CRC", item.headerCrc);
    out += "  incomplete";
  }
  out += ", " + std::to_string(item.raw.size()) + " of " + std::to_string(item.needed) + " bytes";
  if (!item.note.empty()) out += " (" + item.note + ")";
  return out + Rows(item.raw);
}

std::string ItemText(const Item& item) {
  switch (item.kind) {
    case ItemKind::Frame: return FrameText(item);
    case ItemKind::TcpFrame:
      return std::string(item.keepalive ? "TCP keepalive" : "TCP frame") + "  length " + std::to_string(item.length) +
             (item.note.empty() ? "" : " (" + item.note + ")") + Rows(item.payload);
    case ItemKind::ServiceRequest: return "service request " + FormatHex(item.raw, true);
    case ItemKind::ServiceAnswer:
      return "service answer " + QuoteText(std::string(item.raw.begin(), item.raw.end())) +
             (item.rateText ? "  rate " + QuoteText(*item.rateText) : std::string("  no rate: the line speed stays"));
    case ItemKind::Text:
      return "text " + QuoteText(std::string(item.raw.begin(), item.raw.end())) +
             (item.note.empty() ? "" : " (" + item.note + ")");
    case ItemKind::Noise:
      return "noise, " + std::to_string(item.raw.size()) + (item.raw.size() == 1 ? " byte" : " bytes") +
             (item.note.empty() ? "" : " (" + item.note + ")") + Rows(item.raw);
    case ItemKind::Incomplete: return IncompleteText(item);
  }
  return "";
}

std::string ItemJson(const Item& item) {
  std::string j;
  auto field = [&j](const char* name, const std::string& value) { j += std::string(",\"") + name + "\":" + value; };
  auto number = [&](const char* name, uint64_t value) { field(name, std::to_string(value)); };
  auto flag = [&](const char* name, bool value) { field(name, value ? "true" : "false"); };
  auto hex = [&](const char* name, const std::vector<uint8_t>& bytes) {
    field(name, "\"" + FormatHex(bytes, false) + "\"");
  };
  switch (item.kind) {
    case ItemKind::Frame:
      field("kind", "\"frame\"");
      field("class", item.frameClass == FrameClass::I ? "\"I\"" : item.frameClass == FrameClass::S ? "\"S\"" : "\"U\"");
      field("type", "\"" + item.type + "\"");
      number("control", item.control);
      number("address", item.address);
      if (item.frameClass == FrameClass::I) number("ns", item.ns);
      if (item.frameClass != FrameClass::U) {
        number("nr", item.nr);
        flag("pf", item.pf);
      }
      if (item.frameClass == FrameClass::I) {
        number("length", item.length);
        if (item.headerCrc.present) field("header_crc", JsonCrc(item.headerCrc));
        if (item.payloadCrc.present) {
          field("payload_crc", JsonCrc(item.payloadCrc));
          hex("hex", item.payload);
          field("ascii", JsonBytes(PrintableText(item.payload)));
        }
      } else {
        field("crc", JsonCrc(item.headerCrc));
      }
      flag("ok", item.ok);
      if (!item.ok) field("error", "\"" + FrameError(item) + "\"");
      break;
    case ItemKind::TcpFrame:
      field("kind", "\"tcp-frame\"");
      number("length", item.length);
      flag("keepalive", item.keepalive);
      hex("hex", item.payload);
      field("ascii", JsonBytes(PrintableText(item.payload)));
      break;
    case ItemKind::ServiceRequest: field("kind", "\"service-request\""); break;
    case ItemKind::ServiceAnswer:
      field("kind", "\"service-answer\"");
      field("text", JsonBytes(item.raw));
      field("rate", item.rateText ? JsonBytes(*item.rateText) : "null");
      break;
    case ItemKind::Text:
      field("kind", "\"text\"");
      field("text", JsonBytes(item.raw));
      break;
    case ItemKind::Noise:
      field("kind", "\"noise\"");
      number("length", item.raw.size());
      field("ascii", JsonBytes(PrintableText(item.raw)));
      break;
    case ItemKind::Incomplete:
      field("kind", "\"incomplete\"");
      number("have", item.raw.size());
      number("need", item.needed);
      if (!item.type.empty()) {
        field("class", "\"I\"");
        field("type", "\"I\"");
        number("control", item.control);
        number("address", item.address);
        number("ns", item.ns);
        number("nr", item.nr);
        flag("pf", item.pf);
        number("length", item.length);
        if (item.headerCrc.present) field("header_crc", JsonCrc(item.headerCrc));
      }
      break;
  }
  if (!item.note.empty()) field("note", JsonBytes(item.note));
  hex("raw", item.raw);
  // The leading comma of the first field opens the object.
  j[0] = '{';
  return j + "}";
}

}  // namespace

std::string QuoteText(const std::string& text) {
  static const char* const digits = "0123456789ABCDEF";
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          out += "\\x";
          out.push_back(digits[c >> 4]);
          out.push_back(digits[c & 0x0F]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  return out + "\"";
}

std::string PrintableText(const std::vector<uint8_t>& bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (uint8_t b : bytes) out.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
  return out;
}

void Printer::Emit(const std::string& line) {
  // A reader that went away (a pager quit, head) ends the tool quietly.
  if (std::fputs(line.c_str(), stdout) < 0 || std::fputc('\n', stdout) < 0) std::exit(0);
}

std::string Printer::TextPrefix(const Origin& origin, uint64_t offset, const char* label) {
  if (!origin.fromLog) {
    char text[32];
    std::snprintf(text, sizeof text, "@%04llx  ", static_cast<unsigned long long>(offset));
    return text;
  }
  // The date goes on a line of its own whenever it changes; the items carry
  // the time of day.
  const std::string date = origin.stamp.substr(0, 8);
  if (date != lastDate_) {
    Emit("-- " + date);
    lastDate_ = date;
  }
  return origin.stamp.substr(9) + " #" + std::to_string(origin.logLine) + " " + label + "  ";
}

std::string Printer::JsonWhere(const Origin& origin, uint64_t offset) {
  if (!origin.fromLog) return ",\"offset\":" + std::to_string(offset);
  return ",\"log_line\":" + std::to_string(origin.logLine) + ",\"time\":\"" + origin.stamp + "\",\"dir\":\"" +
         (origin.sent ? "sent" : "received") + "\"";
}

void Printer::Decoded(const Item& item, const Origin& origin) {
  if (!json_) {
    Emit(TextPrefix(origin, item.offset, origin.sent ? "sent" : "rcvd") + ItemText(item));
    return;
  }
  std::string object = ItemJson(item);
  // Where the item was found goes right behind its kind.
  const size_t kindEnd = object.find(',', 1);
  object.insert(kindEnd == std::string::npos ? object.size() - 1 : kindEnd, JsonWhere(origin, item.offset));
  Emit(object);
}

void Printer::RunStart(const LogRecord& record) {
  if (json_) {
    Emit("{\"kind\":\"run\",\"log_line\":" + std::to_string(record.line) + ",\"time\":\"" + record.stamp +
         "\",\"text\":" + JsonBytes(record.lines.empty() ? std::string() : record.lines[0]) + "}");
    return;
  }
  lastDate_ = record.stamp.substr(0, 8);
  Emit("== kavro started " + record.stamp + " (log line " + std::to_string(record.line) +
       "): " + (record.lines.empty() ? std::string() : record.lines[0]));
}

void Printer::Gap(const Origin& origin, size_t shown, std::optional<uint32_t> count) {
  if (json_) {
    Emit("{\"kind\":\"gap\"" + JsonWhere(origin, 0) + ",\"shown\":" + std::to_string(shown) +
         ",\"count\":" + (count ? std::to_string(*count) : "null") + "}");
    return;
  }
  std::string of = count ? " of " + std::to_string(*count) : "";
  Emit(TextPrefix(origin, 0, origin.sent ? "sent" : "rcvd") + "gap: the log shows only " + std::to_string(shown) + of +
       " bytes of this block; decoding starts afresh after it");
}

void Printer::LogLine(const LogRecord& record) {
  std::string text;
  for (size_t i = 0; i < record.lines.size(); ++i) text += (i ? "\n" : "") + record.lines[i];
  if (json_) {
    Emit("{\"kind\":\"log\",\"log_line\":" + std::to_string(record.line) + ",\"time\":\"" + record.stamp +
         "\",\"text\":" + JsonBytes(text) + "}");
    return;
  }
  Origin origin;
  origin.fromLog = true;
  origin.stamp = record.stamp;
  origin.logLine = record.line;
  const std::string quoted = QuoteText(text);
  Emit(TextPrefix(origin, 0, "log ") + quoted.substr(1, quoted.size() - 2));
}

}  // namespace kavro::decode
