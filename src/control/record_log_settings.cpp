#include "control/record_log_settings.h"

#include <cctype>

#include "control/config_check.h"
#include "core/link_config.h"

namespace kavro {

bool ParseRecordLogSize(const std::string& text, uint64_t* bytes) {
  size_t i = 0;
  uint64_t value = 0;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) != 0) {
    if (value > (UINT64_MAX - 9) / 10) return false;
    value = value * 10 + static_cast<uint64_t>(text[i++] - '0');
  }
  if (i == 0) return false;
  std::string unit = text.substr(i);
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  int shift = 0;
  if (unit.empty() || unit == "B") {
    shift = 0;
  } else if (unit == "K" || unit == "KIB" || unit == "KB") {
    shift = 10;
  } else if (unit == "M" || unit == "MIB" || unit == "MB") {
    shift = 20;
  } else if (unit == "G" || unit == "GIB" || unit == "GB") {
    shift = 30;
  } else {
    return false;
  }
  if (value > (UINT64_MAX >> shift)) return false;
  value <<= shift;
  if (value < RECORD_LOG_MAX_LEAST) return false;
  *bytes = value;
  return true;
}

bool ParseRecordLogSync(const std::string& text, bool* always) {
  if (text == "default") {
    *always = false;
  } else if (text == "always") {
    *always = true;
  } else {
    return false;
  }
  return true;
}

namespace {

// A string value of the key: false when absent; `text` empty and true
// for a value of another type.
bool ReadText(platform::RegistryKey& key, const char* name, std::string& text, bool& wrongType) {
  char data[1024] = {};
  uint32_t type = 0;
  uint32_t size = sizeof data - 1;
  if (key.QueryValue(name, &type, reinterpret_cast<uint8_t*>(data), &size) != platform::ERROR_SUCCESS) return false;
  wrongType = type != platform::REG_SZ;
  text = wrongType ? std::string() : std::string(data);
  return true;
}

}  // namespace

bool ReadRecordLogSettings(platform::Registry& registry, RecordLogSettings& settings, std::string& error) {
  auto key = registry.OpenKey(KAVRO_REGISTRY_KEY);
  if (!key) return true;
  std::string text;
  bool wrongType = false;
  if (ReadText(*key, "RecordLog", text, wrongType)) {
    if (wrongType) {
      error = "RecordLog in the configuration key is not a string; give the folder of the record log";
      return false;
    }
    settings.Directory = text;
    settings.DirectorySource = "registry";
  }
  if (ReadText(*key, "RecordLogMax", text, wrongType)) {
    if (wrongType || !ParseRecordLogSize(text, &settings.MaxBytes)) {
      error = "RecordLogMax in the configuration key: give a size of at least 1M as a string (such as 256M)";
      return false;
    }
    settings.MaxSource = "registry";
  }
  if (ReadText(*key, "RecordLogSync", text, wrongType)) {
    if (wrongType || !ParseRecordLogSync(text, &settings.SyncAlways)) {
      error = "RecordLogSync in the configuration key: give default or always";
      return false;
    }
    settings.SyncSource = "registry";
  }
  return true;
}

std::vector<std::string> RecordLogCheckLines(const RecordLogSettings& s) {
  std::vector<std::string> lines;
  if (s.Directory.empty()) {
    lines.push_back(ConfigCheckLine("record log", "off (" + s.DirectorySource + ")"));
    return lines;
  }
  lines.push_back(ConfigCheckLine("record log", s.Directory + " (" + s.DirectorySource + ")"));
  lines.push_back(ConfigCheckLine("record log max", std::to_string(s.MaxBytes) + " bytes (" + s.MaxSource + ")"));
  lines.push_back(ConfigCheckLine("record log sync",
                                  std::string(s.SyncAlways ? "always" : "default") + " (" + s.SyncSource + ")"));
  return lines;
}

}  // namespace kavro
