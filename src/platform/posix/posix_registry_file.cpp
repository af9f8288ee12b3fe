#include "platform/posix/posix_registry_file.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace kavro::platform {

namespace {

// RegQueryValueExA's answer to a buffer without a size.
constexpr long ERROR_INVALID_PARAMETER = 87;

constexpr std::string_view HKLM = "hkey_local_machine";

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) { return a.size() == b.size() && Lower(a) == Lower(b); }

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to `maxDigits` hex digits, the whole of `text`.
bool ParseHex(std::string_view text, size_t maxDigits, uint32_t& value) {
  if (text.empty() || text.size() > maxDigits) return false;
  value = 0;
  for (char c : text) {
    int digit = HexDigit(c);
    if (digit < 0) return false;
    value = value * 16 + static_cast<uint32_t>(digit);
  }
  return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// UTF-16 to UTF-8; an odd last byte is dropped and a lone surrogate becomes
// U+FFFD, so that damaged text still reads as text.
std::string Utf16ToUtf8(const uint8_t* bytes, size_t count, bool bigEndian) {
  std::string out;
  out.reserve(count / 2);
  auto unit = [&](size_t i) -> uint32_t {
    return bigEndian ? (uint32_t{bytes[i]} << 8) | bytes[i + 1] : (uint32_t{bytes[i + 1]} << 8) | bytes[i];
  };
  size_t i = 0;
  while (i + 1 < count) {
    uint32_t cp = unit(i);
    i += 2;
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (i + 1 < count && unit(i) >= 0xDC00 && unit(i) <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (unit(i) - 0xDC00);
        i += 2;
      } else {
        cp = 0xFFFD;
      }
    } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    AppendUtf8(out, cp);
  }
  return out;
}

// The roots an export may name, short forms included, by their full name.
std::string_view CanonicalRoot(std::string_view root) {
  static constexpr std::pair<std::string_view, std::string_view> kRoots[] = {
      {"hkey_local_machine", "hkey_local_machine"},
      {"hklm", "hkey_local_machine"},
      {"hkey_current_user", "hkey_current_user"},
      {"hkcu", "hkey_current_user"},
      {"hkey_classes_root", "hkey_classes_root"},
      {"hkcr", "hkey_classes_root"},
      {"hkey_users", "hkey_users"},
      {"hku", "hkey_users"},
      {"hkey_current_config", "hkey_current_config"},
      {"hkcc", "hkey_current_config"},
      {"hkey_dyn_data", "hkey_dyn_data"},
  };
  std::string lower = Lower(root);
  for (const auto& [name, canonical] : kRoots) {
    if (lower == name) return canonical;
  }
  return {};
}

// A key path as stored: lower case, no backslash at either end.
std::string NormaliseSubKey(std::string_view path) {
  while (!path.empty() && path.front() == '\\') path.remove_prefix(1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  return Lower(path);
}

// Whether `full` names a key: one written in the file, or one above such a
// key (creating a key creates every key above it, as the registry does;
// those are not stored, since storing each one's whole path would cost the
// square of a deep key's length).
template <typename Keys>
bool KeyExists(const Keys& keys, const std::string& full) {
  if (keys.count(full) != 0) return true;
  const std::string prefix = full + "\\";
  auto it = keys.lower_bound(prefix);
  return it != keys.end() && it->first.starts_with(prefix);
}

}  // namespace

class RegistryFile::Key : public RegistryKey {
 public:
  explicit Key(std::shared_ptr<const Values> values) : values_(std::move(values)) {}

  long QueryValue(const char* name, uint32_t* type, uint8_t* data, uint32_t* size) override {
    auto it = values_->find(Lower(name ? name : ""));
    if (it == values_->end()) return ERROR_FILE_NOT_FOUND;
    const Value& value = it->second;
    const auto needed = static_cast<uint32_t>(value.data.size());
    if (type) *type = value.type;
    if (data) {
      if (!size) return ERROR_INVALID_PARAMETER;
      if (*size < needed) {
        *size = needed;
        return ERROR_MORE_DATA;
      }
      if (needed) std::memcpy(data, value.data.data(), needed);
    }
    if (size) *size = needed;
    return ERROR_SUCCESS;
  }

 private:
  std::shared_ptr<const Values> values_;
};

class RegistryFile::Parser {
 public:
  Parser(RegistryFile& registry, const std::string& name) : registry_(registry), name_(name) {}

  bool Run(std::string_view bytes) {
    Decode(bytes);
    SplitLines();
    size_t i = 0;
    while (i < lines_.size() && Trim(lines_[i]).empty()) ++i;
    if (i == lines_.size()) return Fail(1, "empty file");
    std::string_view header = Trim(lines_[i]);
    if (EqualsNoCase(header, "Windows Registry Editor Version 5.00")) {
      // Version 5 exports keep the registry's own UTF-16 string data in hex().
      unicodeData_ = true;
    } else if (!EqualsNoCase(header, "REGEDIT4")) {
      return Fail(i + 1, "expected \"Windows Registry Editor Version 5.00\" or \"REGEDIT4\"");
    }
    for (line_ = i + 1; line_ < lines_.size(); ++line_) {
      std::string_view text = Trim(lines_[line_]);
      if (text.empty() || text.front() == ';') continue;
      bool ok;
      if (text.front() == '[') {
        ok = KeyLine(text);
      } else if (text.front() == '"' || text.front() == '@') {
        ok = ValueLine(text);
      } else {
        ok = Fail(line_ + 1, "expected [key] or \"name\"=value");
      }
      if (!ok) return false;
    }
    return true;
  }

 private:
  bool Fail(size_t lineNumber, const std::string& what) {
    registry_.error_ = "kavro: " + name_ + ":" + std::to_string(lineNumber) + ": " + what;
    return false;
  }
  bool Fail(const std::string& what) { return Fail(line_ + 1, what); }

  void Decode(std::string_view bytes) {
    const auto* raw = reinterpret_cast<const uint8_t*>(bytes.data());
    if (bytes.size() >= 2 && raw[0] == 0xFF && raw[1] == 0xFE) {
      text_ = Utf16ToUtf8(raw + 2, bytes.size() - 2, false);
    } else if (bytes.size() >= 2 && raw[0] == 0xFE && raw[1] == 0xFF) {
      text_ = Utf16ToUtf8(raw + 2, bytes.size() - 2, true);
    } else if (bytes.size() >= 3 && raw[0] == 0xEF && raw[1] == 0xBB && raw[2] == 0xBF) {
      text_.assign(bytes.substr(3));
    } else {
      text_.assign(bytes);
    }
  }

  void SplitLines() {
    std::string_view rest = text_;
    while (true) {
      size_t end = rest.find('\n');
      std::string_view line = rest.substr(0, end);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      lines_.push_back(line);
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
      if (rest.empty()) break;
    }
  }

  bool KeyLine(std::string_view text) {
    if (text.back() != ']') return Fail("expected ] at the end of the key name");
    std::string_view path = text.substr(1, text.size() - 2);
    bool remove = !path.empty() && path.front() == '-';
    if (remove) path.remove_prefix(1);
    size_t slash = path.find('\\');
    std::string_view root = CanonicalRoot(path.substr(0, slash));
    if (root.empty()) {
      return Fail("unknown root key \"" + std::string(path.substr(0, slash)) + "\"");
    }
    std::string full(root);
    if (slash != std::string_view::npos) {
      std::string sub = NormaliseSubKey(path.substr(slash));
      if (!sub.empty()) full += "\\" + sub;
    }
    seenKey_ = true;
    auto& keys = registry_.keys_;
    if (remove) {
      // A deleted key takes its sub-keys with it; the values that follow it
      // in the file belong to no key and are skipped. Its parent stays, also
      // when it existed only as the key's parent.
      const size_t parent = full.rfind('\\');
      if (parent != std::string::npos && KeyExists(keys, full)) {
        auto& kept = keys[full.substr(0, parent)];
        if (!kept) kept = std::make_shared<Values>();
      }
      keys.erase(full);
      const std::string prefix = full + "\\";
      for (auto it = keys.lower_bound(prefix); it != keys.end() && it->first.starts_with(prefix);) {
        it = keys.erase(it);
      }
      current_ = nullptr;
      return true;
    }
    auto& key = keys[full];
    if (!key) key = std::make_shared<Values>();
    current_ = key.get();
    return true;
  }

  // A quoted string at the front of `text` with the escapes \\ and \";
  // `text` is left after the closing quote.
  bool QuotedString(std::string_view& text, std::string& out) {
    out.clear();
    size_t i = 1;
    while (i < text.size() && text[i] != '"') {
      if (text[i] == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) ++i;
      out += text[i++];
    }
    if (i >= text.size()) return Fail("missing closing quote");
    text.remove_prefix(i + 1);
    return true;
  }

  bool ValueLine(std::string_view text) {
    if (!seenKey_) return Fail("value outside of a [key]");
    std::string name;
    if (text.front() == '@') {
      text.remove_prefix(1);
    } else if (!QuotedString(text, name)) {
      return false;
    }
    text = Trim(text);
    if (text.empty() || text.front() != '=') return Fail("expected \"name\"=value");
    text = Trim(text.substr(1));

    Value value;
    bool remove = false;
    if (text.starts_with("-")) {
      remove = true;
      text.remove_prefix(1);
    } else if (text.starts_with("\"")) {
      std::string content;
      if (!QuotedString(text, content)) return false;
      value.type = REG_SZ;
      value.data.assign(content.begin(), content.end());
      value.data.push_back(0);
    } else if (StartsWithNoCase(text, "dword:")) {
      text.remove_prefix(6);
      size_t end = 0;
      while (end < text.size() && HexDigit(text[end]) >= 0) ++end;
      uint32_t number;
      if (!ParseHex(text.substr(0, end), 8, number)) return Fail("expected dword: and 8 hex digits");
      text.remove_prefix(end);
      value.type = REG_DWORD;
      for (int shift = 0; shift < 32; shift += 8) value.data.push_back(static_cast<uint8_t>(number >> shift));
    } else if (StartsWithNoCase(text, "hex")) {
      text.remove_prefix(3);
      value.type = REG_BINARY;
      if (text.starts_with("(")) {
        size_t close = text.find(')');
        if (close == std::string_view::npos || !ParseHex(text.substr(1, close - 1), 8, value.type)) {
          return Fail("expected hex(type): with the type in hex digits");
        }
        text.remove_prefix(close + 1);
      }
      if (!text.starts_with(":")) return Fail("expected hex: or hex(type):");
      if (!HexBytes(text.substr(1), value.data)) return false;
      text = {};
      ConvertStringData(value);
    } else {
      return Fail("expected \"name\"=value");
    }
    text = Trim(text);
    if (!text.empty() && text.front() != ';') return Fail("unexpected text after the value");

    if (!current_) return true;
    std::string key = Lower(name);
    if (remove) {
      current_->erase(key);
    } else {
      (*current_)[key] = std::move(value);
    }
    return true;
  }

  // Comma-separated bytes; a trailing backslash continues the list on the
  // next line, as the editor wraps long values.
  bool HexBytes(std::string_view text, std::vector<uint8_t>& out) {
    while (true) {
      text = Trim(text);
      bool more = !text.empty() && text.back() == '\\';
      if (more) text.remove_suffix(1);
      size_t start = 0;
      while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string_view token = Trim(text.substr(start, comma - start));
        bool last = comma == std::string_view::npos;
        uint32_t byte;
        if (!token.empty()) {
          if (!ParseHex(token, 2, byte)) return Fail("bad hex byte \"" + std::string(token) + "\"");
          out.push_back(static_cast<uint8_t>(byte));
        } else if (!last) {
          return Fail("missing hex byte between commas");
        }
        if (last) break;
        start = comma + 1;
      }
      if (!more) return true;
      if (line_ + 1 >= lines_.size()) return Fail("hex data continues past the end of the file");
      text = lines_[++line_];
      if (Trim(text).empty()) return Fail("hex data continues onto an empty line");
    }
  }

  // A version 5 export holds string types as the registry's UTF-16 data; the
  // ANSI query converts them, and so does this.
  void ConvertStringData(Value& value) const {
    if (!unicodeData_) return;
    if (value.type != REG_SZ && value.type != REG_EXPAND_SZ && value.type != REG_MULTI_SZ) return;
    std::string text = Utf16ToUtf8(value.data.data(), value.data.size(), false);
    value.data.assign(text.begin(), text.end());
  }

  RegistryFile& registry_;
  const std::string& name_;
  std::string text_;
  std::vector<std::string_view> lines_;
  size_t line_ = 0;
  bool unicodeData_ = false;
  bool seenKey_ = false;
  Values* current_ = nullptr;
};

std::unique_ptr<RegistryFile> RegistryFile::Parse(std::string_view bytes, const std::string& name) {
  auto registry = std::make_unique<RegistryFile>();
  Parser parser(*registry, name);
  if (parser.Run(bytes)) {
    registry->loaded_ = true;
  } else {
    registry->keys_.clear();
  }
  return registry;
}

std::unique_ptr<RegistryFile> RegistryFile::Load(const std::string& path, bool report) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) {
    if (errno == ENOENT || errno == ENOTDIR) return std::make_unique<RegistryFile>();
    auto registry = std::make_unique<RegistryFile>();
    registry->error_ = "kavro: " + path + ": cannot read: " + std::strerror(errno);
    if (report) std::fprintf(stderr, "%s\n", registry->error_.c_str());
    return registry;
  }
  std::string bytes;
  char block[4096];
  size_t count;
  while ((count = std::fread(block, 1, sizeof block, file)) > 0) bytes.append(block, count);
  bool failed = std::ferror(file);
  int error = errno;
  std::fclose(file);
  if (failed) {
    auto registry = std::make_unique<RegistryFile>();
    registry->error_ = "kavro: " + path + ": cannot read: " + std::strerror(error);
    if (report) std::fprintf(stderr, "%s\n", registry->error_.c_str());
    return registry;
  }
  auto registry = Parse(bytes, path);
  if (!registry->IsLoaded() && report) std::fprintf(stderr, "%s\n", registry->error_.c_str());
  return registry;
}

std::unique_ptr<RegistryKey> RegistryFile::OpenKey(const char* path) {
  if (!loaded_) return nullptr;
  std::string full(HKLM);
  std::string sub = NormaliseSubKey(path ? path : "");
  if (!sub.empty()) full += "\\" + sub;
  auto it = keys_.find(full);
  if (it != keys_.end()) return std::make_unique<Key>(it->second);
  // A key above one written in the file, without values of its own.
  if (!KeyExists(keys_, full)) return nullptr;
  return std::make_unique<Key>(std::make_shared<Values>());
}

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// Edits (insertions, deletions, changes) between two short names.
size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); j++) row[j] = j;
  for (size_t i = 1; i <= a.size(); i++) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); j++) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Close enough to be a slip of the keyboard, far enough not to be the name
// itself: a quarter of the name's letters, at least one and at most three.
bool LooksLike(const std::string& found, const std::string& known) {
  if (found == known) return false;
  const size_t limit = std::clamp<size_t>(known.size() / 4, 1, 3);
  return EditDistance(found, known) <= limit;
}

}  // namespace

std::vector<std::string> RegistryFile::NearMisses(const std::vector<std::string>& knownKeys,
                                                  const std::vector<std::string>& knownValues) const {
  std::vector<std::string> found;
  const std::string root = std::string(HKLM) + "\\";
  for (const auto& [path, values] : keys_) {
    if (path.compare(0, root.size(), root) != 0) continue;
    const std::string sub = path.substr(root.size());
    bool known = false;
    for (const std::string& k : knownKeys) known = known || sub == Lower(k);
    if (known) continue;
    for (const std::string& k : knownKeys) {
      if (LooksLike(sub, Lower(k))) {
        found.push_back("registry key [" + sub + "] is not read, so its values are ignored; did you mean [" + k + "]?");
        break;
      }
    }
  }
  if (!knownKeys.empty()) {
    auto it = keys_.find(std::string(HKLM) + "\\" + Lower(knownKeys.front()));
    if (it != keys_.end()) {
      for (const auto& [name, value] : *it->second) {
        bool known = false;
        for (const std::string& v : knownValues) known = known || name == Lower(v);
        if (known) continue;
        for (const std::string& v : knownValues) {
          if (LooksLike(name, Lower(v))) {
            found.push_back("registry value \"" + name + "\" is not read, so " + v +
                            " keeps its default; did you mean \"" + v + "\"?");
            break;
          }
        }
      }
    }
  }
  return found;
}

}  // namespace kavro::platform
