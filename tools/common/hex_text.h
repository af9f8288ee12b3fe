// Text helpers shared by kavroctl and kavro-pbx: hex payloads typed by users,
// numbers in hex or decimal, and the hex and JSON renderings of bytes that
// scripts parse. Header-only so the unit tests include it directly.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kavro::tools {

inline int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Parses hex bytes as people write them: "41 42 43", "414243", "0x41,0x42",
// "41:42:43". Blanks, tabs, line ends, commas and colons separate tokens;
// a token may carry a 0x prefix; a token is one digit (one byte) or an even
// run of digits. Anything else is an error, reported in `error` with the
// offending token, because a silently half-parsed payload would go on the
// link as something the user never meant.
// A piece of user input quoted in a message: a mistyped token may be a
// whole file of hex text, and a message of a hundred lines helps nobody.
inline std::string ClipForMessage(std::string_view text, size_t keep = 16) {
  if (text.size() <= keep) return std::string(text);
  return std::string(text.substr(0, keep)) + "...";
}

inline std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text, std::string* error = nullptr) {
  std::vector<uint8_t> bytes;
  size_t i = 0;
  auto isSeparator = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ':'; };
  while (i < text.size()) {
    if (isSeparator(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && !isSeparator(text[end])) ++end;
    std::string_view token = text.substr(i, end - i);
    std::string_view digits = token;
    if (digits.size() >= 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) digits.remove_prefix(2);
    bool valid = !digits.empty();
    for (char c : digits) valid = valid && HexDigitValue(c) >= 0;
    if (!valid) {
      if (error) *error = "not a hex byte sequence: \"" + ClipForMessage(token) + "\"";
      return std::nullopt;
    }
    if (digits.size() > 1 && digits.size() % 2 != 0) {
      if (error) {
        *error = "\"" + ClipForMessage(token) + "\" has an odd number of hex digits (" + std::to_string(digits.size()) +
                 "); write every byte as two digits, such as 0A";
      }
      return std::nullopt;
    }
    if (digits.size() == 1) {
      bytes.push_back(static_cast<uint8_t>(HexDigitValue(digits[0])));
    } else {
      for (size_t d = 0; d < digits.size(); d += 2) {
        bytes.push_back(static_cast<uint8_t>(HexDigitValue(digits[d]) * 16 + HexDigitValue(digits[d + 1])));
      }
    }
    i = end;
  }
  return bytes;
}

// A number as given on a command line: 0x-prefixed hex or plain decimal, no
// sign, no trailing text, at most `max`.
inline std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max = UINT32_MAX) {
  if (text.empty()) return std::nullopt;
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  uint64_t value = 0;
  for (char c : text) {
    int digit = base == 16 ? HexDigitValue(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (digit < 0) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (value > max) return std::nullopt;
  }
  return value;
}

// "41 42 43" (spaced) or "414243" (packed), upper case.
inline std::string FormatHex(const uint8_t* data, size_t count, bool spaced) {
  static const char* const kDigits = "0123456789ABCDEF";
  std::string out;
  out.reserve(count * 3);
  for (size_t i = 0; i < count; ++i) {
    if (spaced && i > 0) out.push_back(' ');
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0x0F]);
  }
  return out;
}

inline std::string FormatHex(const std::vector<uint8_t>& bytes, bool spaced) {
  return FormatHex(bytes.data(), bytes.size(), spaced);
}

// A JSON string literal, quotes included; control characters are escaped so
// every record stays on one line.
inline std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          static const char* const kDigits = "0123456789abcdef";
          out += "\\u00";
          out.push_back(kDigits[(c >> 4) & 0x0F]);
          out.push_back(kDigits[c & 0x0F]);
        } else {
          out.push_back(c);
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace kavro::tools
