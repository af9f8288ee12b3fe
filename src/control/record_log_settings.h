// The record log as the command line (or, on Windows, the configuration
// key) asks for it: the directory, the bound and the sync rule, each with
// where it came from, for the start and for --check-config.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry.h"

namespace kavro {

constexpr uint64_t RECORD_LOG_MAX_DEFAULT = 256ull << 20;
// Smaller bounds leave no room for the log's segments.
constexpr uint64_t RECORD_LOG_MAX_LEAST = 1ull << 20;

struct RecordLogSettings {
  std::string Directory;  // empty: no record log
  uint64_t MaxBytes = RECORD_LOG_MAX_DEFAULT;
  bool SyncAlways = false;
  // "command line", "environment", "registry", "default".
  std::string DirectorySource = "default";
  std::string MaxSource = "default";
  std::string SyncSource = "default";
};

// "256M", "1G", "65536", "512K", "300MiB": bytes. False when it is none of
// these or below RECORD_LOG_MAX_LEAST.
bool ParseRecordLogSize(const std::string& text, uint64_t* bytes);
// "default" or "always".
bool ParseRecordLogSync(const std::string& text, bool* always);

// The values RecordLog (the folder), RecordLogMax (a SIZE) and
// RecordLogSync (default or always) of the configuration key, all strings,
// as Windows configures the record log. False with a line in `error` when
// one cannot be read.
bool ReadRecordLogSettings(platform::Registry& registry, RecordLogSettings& settings, std::string& error);

// The --check-config lines.
std::vector<std::string> RecordLogCheckLines(const RecordLogSettings& settings);

}  // namespace kavro
