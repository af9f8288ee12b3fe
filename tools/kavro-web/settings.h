// kavro-web's settings: the command line over the instance's file
// (/etc/kavro/kavro-web@LINK.conf) over the common one
// (/etc/kavro/kavro-web.conf), `key = value` lines with the long option names.
#pragma once

#include <string>
#include <vector>

namespace kavro::web {

constexpr const char* COMMON_CONFIG_FILE = "/etc/kavro/kavro-web.conf";

struct Settings {
  std::string link;
  std::string runDir;
  std::string listenHost = "127.0.0.1";
  int listenPort = 8040;
  std::string user = "kavro";
  std::string passwordFile = "/etc/kavro/kavro-web.password";
  std::vector<std::string> allowedHosts;  // besides the listening address
  bool allowSend = false;
  int maxPages = 8;
  std::string pageDir = "/usr/share/kavro-web";
  std::string chartJs = "/usr/share/javascript/chart.js/chart.min.js";
  std::string broker;  // mqtt://HOST[:PORT]; empty: no bridge panel
  std::string brokerUsername, brokerPasswordFile;
  std::string topicPrefix;
  std::vector<std::string> configFiles;  // read, in order
};

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILURE_RUN = 1;
constexpr int EXIT_USAGE = 2;

// -1: go on; otherwise the exit code, its message printed.
int LoadSettings(int argc, char** argv, Settings& settings);

// The first line of a file that only its owner and group may read; false
// with a message that says what to do.
bool ReadSecretFile(const std::string& path, std::string& secret, std::string& error);

}  // namespace kavro::web
