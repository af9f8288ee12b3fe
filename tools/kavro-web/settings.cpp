#include "settings.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>

#include <CLI/CLI.hpp>

namespace kavro::web {
namespace {

const char* const KEYS[] = {
    "run-dir",  "listen",   "user",   "password-file",   "allowed-host",         "allow-send",  "max-pages",
    "page-dir", "chart-js", "broker", "broker-username", "broker-password-file", "topic-prefix"};

std::string Trim(const std::string& text) {
  const size_t begin = text.find_first_not_of(" \t\r\n");
  if (begin == std::string::npos) return "";
  const size_t end = text.find_last_not_of(" \t\r\n");
  return text.substr(begin, end - begin + 1);
}

void Fail(const std::string& message) { std::fprintf(stderr, "<3>kavro-web: %s\n", message.c_str()); }

// `key = value` lines into `values` (a later file wins); false with a line
// printed. A missing file is no error when `optional`.
bool ReadConfigFile(const std::string& path, bool optional, std::map<std::string, std::string>& values,
                    std::vector<std::string>& read) {
  std::ifstream in(path);
  if (!in) {
    if (optional && errno == ENOENT) return true;
    Fail("cannot read the configuration file " + path + ": " + std::strerror(errno));
    return false;
  }
  read.push_back(path);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = Trim(line);
    if (line.empty() || line[0] == '#') continue;
    const size_t eq = line.find('=');
    const std::string key = Trim(line.substr(0, eq));
    bool known = false;
    for (const char* k : KEYS) known = known || key == k;
    if (eq == std::string::npos || !known) {
      std::string names;
      for (const char* k : KEYS) names += std::string(names.empty() ? "" : ", ") + k;
      Fail(path + " line " + std::to_string(number) + ": \"" + line.substr(0, 40) +
           "\" is not a setting; write key = value with one of: " + names);
      return false;
    }
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    if (key == "allowed-host" && values.count(key)) value = values[key] + "," + value;
    values[key] = value;
  }
  return true;
}

bool ParseListen(const std::string& text, Settings& s) {
  std::string host = text;
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos) return false;
    host = text.substr(1, close - 1);
    if (close + 1 < text.size()) {
      if (text[close + 1] != ':') return false;
      port = text.substr(close + 2);
    }
  } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (host.empty()) return false;
  s.listenHost = host;
  if (!port.empty()) {
    char* end = nullptr;
    const long p = std::strtol(port.c_str(), &end, 10);
    if (*end != '\0' || p < 1 || p > 65535) return false;
    s.listenPort = static_cast<int>(p);
  }
  return true;
}

}  // namespace

int LoadSettings(int argc, char** argv, Settings& s) {
  CLI::App app{
      "kavro-web: a live page of one kavro link (state, traffic, records, status) for the browser.\n"
      "Settings come from the command line, then /etc/kavro/kavro-web@LINK.conf, then\n"
      "/etc/kavro/kavro-web.conf (key = value, the long option names)."};
  app.set_version_flag("--version", std::string("kavro-web ") + KAVRO_VERSION);
  std::map<std::string, std::string> cli;
  std::string config;
  app.add_option("LINK", s.link, "the link's name (the instance, as in kavro@LINK)")->required();
  app.add_option("--config", config, "read only this configuration file");
  app.add_option("--run-dir", cli["run-dir"], "directory of kavro's sockets (default /run/kavro/LINK)");
  app.add_option("--listen", cli["listen"], "ADDRESS:PORT to serve on (default 127.0.0.1:8040)");
  app.add_option("--user", cli["user"], "the login's user name (default kavro)");
  app.add_option("--password-file", cli["password-file"],
                 "file whose first line is the login's password, readable by no others "
                 "(default /etc/kavro/kavro-web.password)");
  app.add_option("--allowed-host", cli["allowed-host"],
                 "further HOST[:PORT] names the page is reached by (a reverse proxy's), comma-separated");
  bool allowSendFlag = false;
  app.add_flag("--allow-send", allowSendFlag, "offer the form that sends a payload to the PBX (off by default)");
  app.add_option("--max-pages", cli["max-pages"], "pages open at once (default 8)");
  app.add_option("--page-dir", cli["page-dir"], "the page's files (default /usr/share/kavro-web)");
  app.add_option("--chart-js", cli["chart-js"], "Chart.js (default Debian's libjs-chart.js)");
  app.add_option("--broker", cli["broker"], "mqtt://HOST[:PORT] to read kavro-mqtt's status from (default: none)");
  app.add_option("--broker-username", cli["broker-username"], "user name at the broker");
  app.add_option("--broker-password-file", cli["broker-password-file"], "file with the broker password");
  app.add_option("--topic-prefix", cli["topic-prefix"], "the bridge's topic prefix (default kavro/LINK)");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == 0) {
      app.exit(e);
      return EXIT_OK;
    }
    std::fprintf(stderr, "<3>kavro-web: %s; see kavro-web --help\n", e.what());
    return EXIT_USAGE;
  }
  if (s.link.empty() || s.link.find('/') != std::string::npos || s.link[0] == '.') {
    std::fprintf(stderr, "<3>kavro-web: \"%s\" is not a link name\n", s.link.c_str());
    return EXIT_USAGE;
  }
  std::map<std::string, std::string> values;
  if (!config.empty()) {
    if (!ReadConfigFile(config, false, values, s.configFiles)) return EXIT_FAILURE_RUN;
  } else {
    if (!ReadConfigFile(COMMON_CONFIG_FILE, true, values, s.configFiles)) return EXIT_FAILURE_RUN;
    std::map<std::string, std::string> instance;
    if (!ReadConfigFile("/etc/kavro/kavro-web@" + s.link + ".conf", true, instance, s.configFiles)) {
      return EXIT_FAILURE_RUN;
    }
    for (auto& [k, v] : instance) values[k] = v;
  }
  for (auto& [k, v] : cli) {
    if (!v.empty()) values[k] = v;
  }
  if (allowSendFlag) values["allow-send"] = "true";

  auto get = [&values](const char* key, std::string& out) {
    if (auto it = values.find(key); it != values.end() && !it->second.empty()) out = it->second;
  };
  const char* env = std::getenv("KAVRO_RUN_DIR");
  s.runDir = env != nullptr && *env != '\0' ? env : "/run/kavro/" + s.link;
  get("run-dir", s.runDir);
  if (auto it = values.find("listen"); it != values.end() && !ParseListen(it->second, s)) {
    std::fprintf(stderr, "<3>kavro-web: listen = \"%s\" is not ADDRESS:PORT (for example 127.0.0.1:8040)\n",
                 it->second.c_str());
    return EXIT_USAGE;
  }
  get("user", s.user);
  get("password-file", s.passwordFile);
  get("page-dir", s.pageDir);
  get("chart-js", s.chartJs);
  get("broker", s.broker);
  get("broker-username", s.brokerUsername);
  get("broker-password-file", s.brokerPasswordFile);
  s.topicPrefix = "kavro/" + s.link;
  get("topic-prefix", s.topicPrefix);
  if (auto it = values.find("allow-send"); it != values.end()) {
    const std::string& v = it->second;
    if (v == "true" || v == "yes" || v == "on" || v == "1") {
      s.allowSend = true;
    } else if (v == "false" || v == "no" || v == "off" || v == "0") {
      s.allowSend = false;
    } else {
      std::fprintf(stderr, "<3>kavro-web: allow-send = \"%s\" is neither true nor false\n", v.c_str());
      return EXIT_USAGE;
    }
  }
  if (auto it = values.find("max-pages"); it != values.end()) {
    char* end = nullptr;
    const long n = std::strtol(it->second.c_str(), &end, 10);
    if (*end != '\0' || n < 1 || n > 64) {
      std::fprintf(stderr, "<3>kavro-web: max-pages = \"%s\" is not a number from 1 to 64\n", it->second.c_str());
      return EXIT_USAGE;
    }
    s.maxPages = static_cast<int>(n);
  }
  if (auto it = values.find("allowed-host"); it != values.end()) {
    std::string list = it->second + ",";
    for (size_t at = 0, comma; (comma = list.find(',', at)) != std::string::npos; at = comma + 1) {
      const std::string host = Trim(list.substr(at, comma - at));
      if (!host.empty()) s.allowedHosts.push_back(host);
    }
  }
  return -1;
}

bool ReadSecretFile(const std::string& path, std::string& secret, std::string& error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    error = "cannot read the password file " + path + ": " + std::strerror(errno) +
            "; write the password into it (mode 0640, group kavro)";
    return false;
  }
  if ((st.st_mode & 0007) != 0) {
    error = "the password file " + path + " can be read by others; chmod o= " + path;
    return false;
  }
  std::ifstream in(path);
  if (!in || !std::getline(in, secret)) {
    error = "cannot read the password file " + path + ": " + std::strerror(errno);
    return false;
  }
  while (!secret.empty() && (secret.back() == '\r' || secret.back() == ' ')) secret.pop_back();
  if (secret.empty()) {
    error = "the password file " + path + " is empty; write the password on its first line";
    return false;
  }
  return true;
}

}  // namespace kavro::web
