// kavro-mqtt's settings: the command line, the configuration files
// (/etc/kavro/kavro-mqtt@LINK.conf over /etc/kavro/kavro-mqtt.conf:
// `key = value` lines with the long option names), their defaults, and the
// checks --check-config runs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace kavro::mqtt {

constexpr const char* DEFAULT_CONFIG_FILE = "/etc/kavro/kavro-mqtt.conf";
// The account the unit runs the bridge as: --check-config run as root
// checks the files as this account.
constexpr const char* SERVICE_ACCOUNT = "kavro";

struct BrokerAddress {
  bool tls = false;
  std::string host;
  int port = 0;
};

struct Settings {
  std::string link;
  std::string broker;
  BrokerAddress address;
  std::string topicPrefix;
  bool json = false;
  std::string caFile, certFile, keyFile;
  std::string username, passwordFile;
  std::string clientId;
  int keepalive = 30;
  std::string spoolDir;
  uint64_t spoolMax = 0;
  std::string runDir;
  bool checkConfig = false;
  std::string checkAs;  // --check-as: the account --check-config checks as, when run as root

  // Where each effective value came from, in the order --check-config prints.
  std::vector<std::pair<std::string, std::string>> shown;  // name, "value (source)"
};

// Exit codes.
constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILURE_RUN = 1;
constexpr int EXIT_USAGE = 2;
// Run from a terminal while another kavro-mqtt holds the spool (under the
// service manager the bridge waits for it instead).
constexpr int EXIT_SPOOL_BUSY = 3;

// Parses the command line and the configuration file. Returns -1 when the
// program should go on; otherwise the exit code (after --help, --version,
// or a usage error, whose one-line message is already printed).
int LoadSettings(int argc, char** argv, Settings& settings);

// The file of the instance's own settings, beside the common one:
// DIR/kavro-mqtt@LINK.conf for DIR/kavro-mqtt.conf.
std::string InstanceConfigFile(const std::string& commonFile, const std::string& link);

// Reads the password file's first line; false with a message on failure,
// also when every account may read the file.
bool ReadPassword(const std::string& path, std::string& password, std::string& error);

// "256M", "1G", "65536", "64KiB": bytes, or 0 when not a size.
uint64_t ParseSize(const std::string& text);

// mqtt://host[:port] or mqtts://host[:port]; false with a message.
bool ParseBroker(const std::string& url, BrokerAddress& address, std::string& error);

// Prints the effective values with their source and checks that the files
// can be read and the spool directory written: the exit code.
int CheckConfig(const Settings& settings);

}  // namespace kavro::mqtt
