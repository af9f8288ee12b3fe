#include "settings.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>

#include <CLI/CLI.hpp>

#include "kavro/kavro_wire.h"

namespace kavro::mqtt {
namespace {

// The settings a file may hold: the long options, with the same names.
struct Key {
  const char* name;
  const char* help;
  const char* text;  // option text in --help; empty for a flag
};

const Key KEYS[] = {
    {"broker", "broker URL: mqtt://HOST[:PORT] (1883) or mqtts://HOST[:PORT] (8883); default mqtt://localhost", "URL"},
    {"topic-prefix", "topics go under PREFIX/ (default kavro/LINK)", "PREFIX"},
    {"json", "publish rx payloads as JSON {\"address\",\"payload_hex\",\"id\"} instead of the bytes", ""},
    {"ca-file", "CA certificates (PEM) that sign the broker's certificate (mqtts; default: the system's)", "FILE"},
    {"cert", "client certificate (PEM) for brokers that ask for one; needs --key", "FILE"},
    {"key", "private key (PEM) of --cert", "FILE"},
    {"username", "user name at the broker", "NAME"},
    {"password-file", "file whose first line is the password (never given on the command line)", "FILE"},
    {"client-id", "MQTT client id, also naming the broker's persistent session (default kavro-mqtt-LINK)", "ID"},
    {"keepalive", "MQTT keepalive in seconds, 5 to 65535 (default 30)", "S"},
    {"spool-dir", "directory of the on-disk spool (default /var/lib/kavro-mqtt/LINK)", "DIR"},
    {"spool-max", "largest spool size, at least 1M, e.g. 256M or 1G (default 256M); beyond it the oldest records go",
     "SIZE"},
    {"run-dir", "directory of kavro's sockets (env KAVRO_RUN_DIR, default /run/kavro/LINK as kavro@LINK uses)", "DIR"},
};

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  const size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

std::optional<bool> ParseBool(const std::string& text) {
  if (text == "true" || text == "yes" || text == "on" || text == "1") return true;
  if (text == "false" || text == "no" || text == "off" || text == "0") return false;
  return std::nullopt;
}

void Fail(const std::string& message) { std::fprintf(stderr, "<3>kavro-mqtt: %s\n", message.c_str()); }

// A value read from a file: the value, the file, the line.
struct FileValue {
  std::string value;
  std::string file;
  int line = 0;
};

// Reads `key = value` lines; false with a message printed.
bool ReadConfigFile(const std::string& path, std::map<std::string, FileValue>& values) {
  std::ifstream in(path);
  if (!in) {
    Fail("cannot read the configuration file " + path + ": " + std::strerror(errno));
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    const std::string key = Trim(line.substr(0, eq));
    bool known = false;
    for (const auto& k : KEYS) known = known || key == k.name;
    if (eq == std::string::npos || !known) {
      std::string names;
      for (const auto& k : KEYS) names += std::string(names.empty() ? "" : ", ") + k.name;
      Fail(path + " line " + std::to_string(number) + ": \"" + line.substr(0, 40) +
           "\" is not a setting; write key = value with one of: " + names);
      return false;
    }
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    values[key] = {value, path, number};
  }
  return true;
}

}  // namespace

uint64_t ParseSize(const std::string& text) {
  size_t used = 0;
  unsigned long long number = 0;
  try {
    number = std::stoull(text, &used);
  } catch (...) {
    return 0;
  }
  std::string unit = text.substr(used);
  uint64_t scale = 1;
  if (!unit.empty()) {
    const char c = static_cast<char>(std::toupper(static_cast<unsigned char>(unit[0])));
    const std::string rest = unit.substr(1);
    if (rest != "" && rest != "B" && rest != "iB") return 0;
    if (c == 'K') {
      scale = 1ull << 10;
    } else if (c == 'M') {
      scale = 1ull << 20;
    } else if (c == 'G') {
      scale = 1ull << 30;
    } else if (c == 'B' && rest.empty()) {
      scale = 1;
    } else {
      return 0;
    }
  }
  if (number > UINT64_MAX / scale) return 0;
  return number * scale;
}

bool ParseBroker(const std::string& url, BrokerAddress& address, std::string& error) {
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) {
    address.tls = false;
    rest = url.substr(7);
  } else if (url.rfind("mqtts://", 0) == 0) {
    address.tls = true;
    rest = url.substr(8);
  } else {
    error = "the broker \"" + url + "\" is not an mqtt://HOST[:PORT] or mqtts://HOST[:PORT] URL";
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  address.port = address.tls ? 8883 : 1883;
  std::string port;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos) {
      error = "the broker \"" + url + "\" has an IPv6 address without its closing ]";
      return false;
    }
    address.host = rest.substr(1, close - 1);
    if (close + 1 < rest.size()) {
      if (rest[close + 1] != ':') {
        error = "the broker \"" + url + "\" has text after the address";
        return false;
      }
      port = rest.substr(close + 2);
    }
  } else {
    const size_t colon = rest.rfind(':');
    address.host = rest.substr(0, colon);
    if (colon != std::string::npos) port = rest.substr(colon + 1);
  }
  if (address.host.empty() || address.host.find('/') != std::string::npos) {
    error = "the broker \"" + url + "\" names no host";
    return false;
  }
  if (!port.empty()) {
    char* end = nullptr;
    const long value = std::strtol(port.c_str(), &end, 10);
    if (*end != '\0' || value < 1 || value > 65535) {
      error = "the broker \"" + url + "\" has the port \"" + port + "\"; a port is 1 to 65535";
      return false;
    }
    address.port = static_cast<int>(value);
  }
  return true;
}

std::string InstanceConfigFile(const std::string& commonFile, const std::string& link) {
  const size_t slash = commonFile.rfind('/');
  std::string safeLink = link;
  for (char& c : safeLink) {
    if (c == '/') c = '-';
  }
  return (slash == std::string::npos ? std::string() : commonFile.substr(0, slash + 1)) + "kavro-mqtt@" + safeLink +
         ".conf";
}

namespace {

// A password every account can read is no secret: refused, as ssh refuses
// a key file others can read.
bool PrivateEnough(const std::string& path, std::string& error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return true;  // the open says why
  if ((st.st_mode & (S_IROTH | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    error = "the password file " + path + " has mode " + mode +
            ": every account may read or change it; give it mode 0640 and the group kavro (chmod 0640 " + path +
            "; chgrp kavro " + path + ")";
    return false;
  }
  return true;
}

}  // namespace

bool ReadPassword(const std::string& path, std::string& password, std::string& error) {
  if (!PrivateEnough(path, error)) return false;
  std::ifstream in(path);
  if (!in) {
    error = "cannot read the password file " + path + ": " + std::strerror(errno);
    return false;
  }
  std::getline(in, password);
  if (!password.empty() && password.back() == '\r') password.pop_back();
  return true;
}

int LoadSettings(int argc, char** argv, Settings& settings) {
  CLI::App app{
      "kavro-mqtt: publishes what a kavro link receives to an MQTT broker and sends what the broker brings to "
      "the PBX. One process per link."};
  app.name("kavro-mqtt");
  app.set_version_flag("--version", std::string("kavro-mqtt ") + KAVRO_VERSION);
  app.footer(
      "Topics under the prefix (default kavro/LINK):\n"
      "  rx      payloads from the PBX, QoS 1, user properties address and id\n"
      "  event   link events, QoS 1, JSON\n"
      "  state   retained: up, down, or offline (the last will)\n"
      "  status  retained JSON: the link's status and the bridge's counters\n"
      "  tx      payloads for the PBX (QoS 2; user property address), answered on the response topic\n"
      "\n"
      "Settings come from the command line, then /etc/kavro/kavro-mqtt@LINK.conf, then the configuration file\n"
      "(key = value with the long option names), then the defaults; SIGHUP reads the files again.\n"
      "Faults that can heal (broker away, login or certificate refused, ACL, full disk) are said and retried\n"
      "with back-off; from a terminal a refusal before the first connection ends the program.\n"
      "Exit codes: 0 stopped by SIGTERM/SIGINT or --check-config passed; 1 cannot run (from a terminal: the\n"
      "broker refused the login or the certificate, a file cannot be read; spool cannot be opened); 2 usage\n"
      "error or a setting that cannot be used; 3 another kavro-mqtt holds the spool (from a terminal).\n"
      "\n"
      "Example:\n"
      "  kavro-mqtt --broker mqtts://broker.example:8883 --ca-file ca.pem --username cti \\\n"
      "             --password-file /etc/kavro/mqtt.password --run-dir /run/kavro/COM1 COM1");
  std::string configFile;
  bool configGiven = false;
  app.add_option("LINK", settings.link, "the link's name, as kavro was started with (COM1, TCP, ...)")->required();
  app.add_option("--config", configFile, std::string("configuration file (default ") + DEFAULT_CONFIG_FILE + ")")
      ->option_text("FILE");
  app.add_flag("--check-config", settings.checkConfig,
               "print the effective settings with their source, check the files, and exit 0 or 1");
  app.add_option("--check-as", settings.checkAs,
                 std::string("with --check-config run as root: check the files as this account (default ") +
                     SERVICE_ACCOUNT + ", the unit's)")
      ->option_text("ACCOUNT");
  std::map<std::string, std::string> given;
  std::map<std::string, bool> flags;
  std::map<std::string, CLI::Option*> options;
  for (const auto& k : KEYS) {
    const std::string name = std::string("--") + k.name;
    if (*k.text == '\0') {
      options[k.name] = app.add_flag(name, flags[k.name], k.help);
    } else {
      options[k.name] = app.add_option(name, given[k.name], k.help)->option_text(k.text);
    }
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      app.exit(e);
      return EXIT_OK;
    }
    // One line, with the priority the journal reads.
    std::string what = e.what();
    while (!what.empty() && (what.back() == '\n' || what.back() == '.')) what.pop_back();
    Fail(what + "; see kavro-mqtt --help");
    return EXIT_USAGE;
  }
  configGiven = !configFile.empty();
  if (!configGiven) configFile = DEFAULT_CONFIG_FILE;

  // A bad file is a setting that cannot be used: the unit does not restart
  // the bridge for it, --check-config fails.
  const int badFile = settings.checkConfig ? EXIT_FAILURE_RUN : EXIT_USAGE;
  std::map<std::string, FileValue> fileValues;
  if ((configGiven || access(configFile.c_str(), F_OK) == 0) && !ReadConfigFile(configFile, fileValues)) {
    return badFile;
  }
  // The instance's own file wins over the common one.
  const std::string instanceFile = InstanceConfigFile(configFile, settings.link);
  if (access(instanceFile.c_str(), F_OK) == 0 && !ReadConfigFile(instanceFile, fileValues)) return badFile;

  std::string safeLink = settings.link;
  for (char& c : safeLink) {
    if (c == '/') c = '-';
  }
  // kavro@LINK's run directory, where the unit finds it.
  const char* envRunDir = std::getenv("KAVRO_RUN_DIR");
  const std::map<std::string, std::pair<std::string, std::string>> defaults = {
      {"broker", {"mqtt://localhost", "default"}},
      {"topic-prefix", {"kavro/" + settings.link, "default"}},
      {"json", {"false", "default"}},
      {"client-id", {"kavro-mqtt-" + settings.link, "default"}},
      {"keepalive", {"30", "default"}},
      {"spool-dir", {"/var/lib/kavro-mqtt/" + safeLink, "default"}},
      {"spool-max", {"256M", "default"}},
      {"run-dir", envRunDir && *envRunDir
                      ? std::make_pair(std::string(envRunDir), std::string("environment KAVRO_RUN_DIR"))
                      : std::make_pair("/run/kavro/" + safeLink, std::string("default"))},
  };
  std::map<std::string, std::string> value;
  for (const auto& k : KEYS) {
    std::string v, source;
    if (options[k.name]->count() > 0) {
      v = *k.text == '\0' ? "true" : given[k.name];
      source = "command line";
    } else if (auto it = fileValues.find(k.name); it != fileValues.end()) {
      v = it->second.value;
      source = it->second.file + " line " + std::to_string(it->second.line);
    } else if (auto d = defaults.find(k.name); d != defaults.end()) {
      v = d->second.first;
      source = d->second.second;
    } else {
      source = "not set";
    }
    value[k.name] = v;
    // The password itself is never shown; its file name is.
    settings.shown.emplace_back(k.name, (v.empty() ? std::string("-") : v) + " (" + source + ")");
  }

  // A value that cannot be used is a usage error, and a failed check.
  auto usage = [&settings](const std::string& message) {
    Fail(message);
    return settings.checkConfig ? EXIT_FAILURE_RUN : EXIT_USAGE;
  };
  settings.broker = value["broker"];
  std::string error;
  if (!ParseBroker(settings.broker, settings.address, error)) return usage(error);
  settings.topicPrefix = value["topic-prefix"];
  while (!settings.topicPrefix.empty() && settings.topicPrefix.back() == '/') settings.topicPrefix.pop_back();
  if (settings.topicPrefix.empty() || settings.topicPrefix.find_first_of("+#") != std::string::npos) {
    return usage("the topic prefix \"" + value["topic-prefix"] + "\" must be a topic without + or #");
  }
  auto json = ParseBool(value["json"]);
  if (!json) return usage("json is \"" + value["json"] + "\"; write true or false");
  settings.json = *json;
  settings.caFile = value["ca-file"];
  settings.certFile = value["cert"];
  settings.keyFile = value["key"];
  if (settings.certFile.empty() != settings.keyFile.empty()) {
    return usage("--cert and --key go together: the certificate and its private key");
  }
  settings.username = value["username"];
  settings.passwordFile = value["password-file"];
  if (!settings.passwordFile.empty() && settings.username.empty()) {
    return usage("--password-file needs --username");
  }
  settings.clientId = value["client-id"];
  if (settings.clientId.empty() || settings.clientId.size() > 65535) return usage("the client id must not be empty");
  char* end = nullptr;
  const long keepalive = std::strtol(value["keepalive"].c_str(), &end, 10);
  if (*end != '\0' || keepalive < 5 || keepalive > 65535) {
    return usage("the keepalive \"" + value["keepalive"] + "\" is not a number of seconds from 5 to 65535");
  }
  settings.keepalive = static_cast<int>(keepalive);
  settings.spoolDir = value["spool-dir"];
  settings.spoolMax = ParseSize(value["spool-max"]);
  if (settings.spoolMax < (1u << 20)) {
    return usage("the spool size \"" + value["spool-max"] + "\" is not a size of at least 1M (such as 256M or 1G)");
  }
  settings.runDir = value["run-dir"];
  return -1;
}

namespace {

// access() as another account: a child process takes its ids and asks.
// errno of the answer, 0 when allowed.
int AccessAs(const passwd& account, const std::string& path, int mode) {
  const pid_t child = fork();
  if (child < 0) return errno;
  if (child == 0) {
    if (initgroups(account.pw_name, account.pw_gid) != 0 || setgid(account.pw_gid) != 0 ||
        setuid(account.pw_uid) != 0) {
      _exit(EPERM);
    }
    _exit(access(path.c_str(), mode) == 0 ? 0 : errno);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {}
  return WIFEXITED(status) ? WEXITSTATUS(status) : EIO;
}

}  // namespace

int CheckConfig(const Settings& settings) {
  std::printf("%-15s %s\n", "link", settings.link.c_str());
  for (const auto& [name, shown] : settings.shown) std::printf("%-15s %s\n", name.c_str(), shown.c_str());
  bool ok = true;
  // Run as root, the files are checked as the account the unit uses: root
  // reads everything, the service does not.
  const std::string serviceName = settings.checkAs.empty() ? SERVICE_ACCOUNT : settings.checkAs;
  const passwd* service = geteuid() == 0 ? getpwnam(serviceName.c_str()) : nullptr;
  passwd account{};
  std::string who;
  if (geteuid() == 0 && !service && !settings.checkAs.empty()) {
    std::printf("%-15s %s: no such account\n", "checked as", serviceName.c_str());
    std::printf("%-15s %s\n", "result", "the settings cannot be used");
    return EXIT_FAILURE_RUN;
  }
  if (service) {
    account = *service;
    who = "account " + serviceName;
  } else {
    const passwd* self = getpwuid(geteuid());
    who = "account " + (self ? std::string(self->pw_name) : "uid " + std::to_string(geteuid()));
    if (geteuid() == 0) who += " (there is no account " + serviceName + ")";
  }
  auto allowed = [&](const std::string& path, int mode) {
    if (service) return AccessAs(account, path, mode);
    return access(path.c_str(), mode) == 0 ? 0 : errno;
  };
  std::printf("%-15s %s\n", "checked as", who.c_str());
  auto readable = [&](const char* what, const std::string& path) {
    if (path.empty()) return;
    if (const int error = allowed(path, R_OK); error == 0) {
      std::printf("%-15s %s: readable\n", what, path.c_str());
    } else {
      std::printf("%-15s %s: cannot be read: %s\n", what, path.c_str(), std::strerror(error));
      ok = false;
    }
  };
  readable("ca-file", settings.caFile);
  readable("cert", settings.certFile);
  readable("key", settings.keyFile);
  readable("password-file", settings.passwordFile);
  std::string error;
  if (!settings.passwordFile.empty() && !PrivateEnough(settings.passwordFile, error)) {
    std::printf("%-15s %s\n", "password-file", error.c_str());
    ok = false;
  }
  // The spool directory, or the nearest directory above it that exists,
  // must be writable.
  std::string dir = settings.spoolDir;
  while (access(dir.c_str(), F_OK) != 0 && dir.find('/') != std::string::npos && dir != "/") {
    dir = dir.substr(0, dir.rfind('/'));
    if (dir.empty()) dir = "/";
  }
  if (const int e = allowed(dir, W_OK | X_OK); e == 0) {
    std::printf("%-15s %s: writable\n", "spool-dir", dir.c_str());
  } else {
    std::printf("%-15s %s: cannot be written: %s\n", "spool-dir", dir.c_str(), std::strerror(e));
    ok = false;
  }
  // kavro's sockets: not there is no failure (kavro may start later), but
  // a run directory that is not kavro's is worth a word.
  const std::string control = settings.runDir + "/" KAVRO_CONTROL_SOCKET_NAME;
  if (access(control.c_str(), F_OK) == 0) {
    const int e = allowed(control, R_OK | W_OK);
    std::printf("%-15s %s: kavro's sockets are there%s\n", "run-dir", settings.runDir.c_str(),
                e == 0 ? "" : (std::string(", but cannot be used: ") + std::strerror(e)).c_str());
    if (e != 0) ok = false;
  } else {
    std::printf("%-15s %s: no kavro running there now (kavro@%s starts it)\n", "run-dir", settings.runDir.c_str(),
                settings.link.c_str());
  }
  std::printf("%-15s %s\n", "result", ok ? "the settings can be used" : "the settings cannot be used");
  return ok ? EXIT_OK : EXIT_FAILURE_RUN;
}

}  // namespace kavro::mqtt
