#include "web_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "../common/control_request.h"
#include "../common/hex_text.h"
#include "../kavroctl/command_line.h"
#include "../kavroctl/ctl_protocol.h"

namespace kavro::web {
namespace {

constexpr size_t SESSIONS_MAX = 32;
constexpr int64_t SESSION_MS = 12 * 3600 * 1000;
// Updates go out at most this often: batches, not a message per record.
constexpr int BATCH_MS = 250;
// A comment line now and then keeps proxies from closing a quiet stream.
constexpr int KEEPALIVE_MS = 15000;

std::string RandomHex(size_t bytes) {
  std::string raw(bytes, '\0');
  size_t got = 0;
  while (got < bytes) {
    const ssize_t n = getrandom(raw.data() + got, bytes - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  return tools::FormatHex(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), false);
}

// The same time whatever the first difference: a password is not guessed
// a byte at a time.
bool SameText(const std::string& a, const std::string& b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i % (b.empty() ? 1 : b.size())]);
  return diff == 0 && !b.empty();
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool ReadFile(const std::string& path, std::string& out, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  out = text.str();
  return true;
}

}  // namespace

struct WebServer::Impl {
  const Settings& settings;
  Monitor& monitor;
  const std::string password;
  httplib::Server server;
  std::set<std::string> hosts;    // Host values accepted, lower case
  std::set<std::string> origins;  // Origin values accepted
  struct File {
    std::string body;
    const char* type;
  };
  std::map<std::string, File> files;
  struct Session {
    std::string user, csrf;
    int64_t expires;
  };
  std::mutex sessionsMutex;
  std::map<std::string, Session> sessions;
  // Browsers keep cookies per host, not per port: each instance on a
  // machine (one a link) needs a name of its own, or one login would end
  // another's.
  const std::string cookie;
  std::atomic<int> pages{0};
  std::atomic<bool> stopping{false};

  Impl(const Settings& s, Monitor& m, std::string p)
      : settings(s), monitor(m), password(std::move(p)), cookie("kavro_web_" + std::to_string(s.listenPort)) {}

  void AllowHost(const std::string& host) {
    const std::string h = Lower(host);
    hosts.insert(h);
    origins.insert("http://" + h);
    origins.insert("https://" + h);
  }

  std::optional<Session> FindSession(const httplib::Request& req) {
    const std::string cookies = req.get_header_value("Cookie");
    const std::string key = cookie + "=";
    for (size_t at = 0; at < cookies.size();) {
      size_t end = cookies.find(';', at);
      if (end == std::string::npos) end = cookies.size();
      std::string part = cookies.substr(at, end - at);
      part.erase(0, part.find_first_not_of(' '));
      if (part.rfind(key, 0) == 0) {
        const std::string token = part.substr(key.size());
        std::lock_guard<std::mutex> guard(sessionsMutex);
        auto it = sessions.find(token);
        if (it == sessions.end()) return std::nullopt;
        if (it->second.expires < WallMs()) {
          sessions.erase(it);
          return std::nullopt;
        }
        return it->second;
      }
      at = end + 1;
    }
    return std::nullopt;
  }

  static void Refuse(httplib::Response& res, int status, const std::string& why) {
    res.status = status;
    res.set_content("{\"error\":" + tools::JsonString(why) + "}", "application/json");
  }

  // Before any route: a Host we are not reached by is a rebinding attempt;
  // an Origin of another site is a cross-site request; a state-changing
  // request must carry an Origin at all.
  httplib::Server::HandlerResponse Screen(const httplib::Request& req, httplib::Response& res) {
    res.set_header("Content-Security-Policy",
                   "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
                   "form-action 'none'; frame-ancestors 'none'; base-uri 'none'");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("X-Frame-Options", "DENY");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("Cache-Control", "no-store");
    if (hosts.count(Lower(req.get_header_value("Host"))) == 0) {
      Refuse(res, 421, "this server is not reached by that Host name; add it to allowed-host");
      return httplib::Server::HandlerResponse::Handled;
    }
    const std::string origin = req.get_header_value("Origin");
    if (!origin.empty() && origins.count(Lower(origin)) == 0) {
      Refuse(res, 403, "requests from other sites are refused");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method != "GET" && req.method != "HEAD" && origin.empty()) {
      Refuse(res, 403, "a request that changes anything must come from the page");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  }

  void ServeFile(const std::string& name, httplib::Response& res) {
    const File& f = files.at(name);
    res.set_content(f.body, f.type);
  }

  void Login(const httplib::Request& req, httplib::Response& res) {
    const std::string user = req.get_param_value("user");
    const std::string given = req.get_param_value("password");
    const bool userOk = SameText(user, settings.user);
    const bool passwordOk = SameText(given, password);
    if (!userOk || !passwordOk) {
      // Slows guessing; the thread is one of the pool's, and a page's
      // stream keeps its own.
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      std::fprintf(stderr, "<5>kavro-web: failed login as \"%s\" from %s\n", tools::ClipForMessage(user).c_str(),
                   req.remote_addr.c_str());
      Refuse(res, 401, "wrong user name or password");
      return;
    }
    const std::string token = RandomHex(32);
    Session session{settings.user, RandomHex(32), WallMs() + SESSION_MS};
    {
      std::lock_guard<std::mutex> guard(sessionsMutex);
      if (sessions.size() >= SESSIONS_MAX) {
        auto oldest = sessions.begin();
        for (auto it = sessions.begin(); it != sessions.end(); ++it) {
          if (it->second.expires < oldest->second.expires) oldest = it;
        }
        sessions.erase(oldest);
      }
      sessions[token] = session;
    }
    // Behind a TLS proxy the cookie must never travel in clear.
    const bool tls = req.get_header_value("X-Forwarded-Proto") == "https";
    res.set_header("Set-Cookie",
                   cookie + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" + (tls ? "; Secure" : ""));
    res.set_content(SessionJson(session), "application/json");
  }

  std::string SessionJson(const Session& s) {
    return "{\"user\":" + tools::JsonString(s.user) + ",\"csrf\":\"" + s.csrf +
           "\",\"allow_send\":" + (settings.allowSend ? "true" : "false") +
           ",\"link\":" + tools::JsonString(settings.link) + ",\"version\":" + tools::JsonString(KAVRO_VERSION) + "}";
  }

  void Logout(const httplib::Request& req, httplib::Response& res) {
    const std::string cookies = req.get_header_value("Cookie");
    std::lock_guard<std::mutex> guard(sessionsMutex);
    for (auto it = sessions.begin(); it != sessions.end();) {
      if (cookies.find(it->first) != std::string::npos) {
        it = sessions.erase(it);
      } else {
        ++it;
      }
    }
    res.set_header("Set-Cookie", cookie + "=; Path=/; HttpOnly; SameSite=Strict; Max-Age=0");
    res.set_content("{}", "application/json");
  }

  void Events(httplib::Response& res) {
    if (pages.fetch_add(1) >= settings.maxPages) {
      pages.fetch_sub(1);
      Refuse(res, 503, "too many pages are open (max-pages " + std::to_string(settings.maxPages) + ")");
      return;
    }
    auto cursor = std::make_shared<PageCursor>();
    auto lastWrite = std::make_shared<int64_t>(0);
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, cursor, lastWrite](size_t, httplib::DataSink& sink) {
          if (stopping) return false;
          const bool fresh = cursor->version == 0;
          if (!fresh) {
            // A batch a few times a second, whatever the rate of records.
            std::this_thread::sleep_for(std::chrono::milliseconds(BATCH_MS));
            monitor.WaitForChange(*cursor, KEEPALIVE_MS);
            if (stopping) return false;
          }
          PageCursor before = *cursor;
          std::string update = monitor.Update(*cursor);
          std::string event;
          if (fresh || cursor->version != before.version) {
            event = std::string("event: ") + (fresh ? "snapshot" : "update") + "\ndata: " + update + "\n\n";
          } else if (WallMs() - *lastWrite >= KEEPALIVE_MS) {
            event = ": keepalive\n\n";
          }
          if (event.empty()) return true;
          *lastWrite = WallMs();
          return sink.write(event.data(), event.size());
        },
        [this](bool) { pages.fetch_sub(1); });
  }

  void Send(const httplib::Request& req, httplib::Response& res, const Session& session) {
    if (!settings.allowSend) {
      Refuse(res, 403, "sending is off; start kavro-web with --allow-send to offer it");
      return;
    }
    const std::string token = req.get_header_value("X-CSRF-Token");
    if (!SameText(token, session.csrf)) {
      Refuse(res, 403, "the request carries no valid token; reload the page");
      return;
    }
    std::string error;
    const std::string addressText = req.get_param_value("address");
    auto address = tools::ParseNumber(addressText.empty() ? "0" : addressText, 255);
    if (!address) {
      Refuse(res, 400, "address \"" + tools::ClipForMessage(addressText) + "\" is not a number from 0 to 255");
      return;
    }
    std::vector<uint8_t> payload;
    const std::string text = req.get_param_value("payload");
    if (req.get_param_value("format") == "hex") {
      auto bytes = tools::ParseHexBytes(text, &error);
      if (!bytes) {
        Refuse(res, 400, error);
        return;
      }
      payload = *bytes;
    } else {
      payload.assign(text.begin(), text.end());
    }
    if (payload.empty()) {
      Refuse(res, 400, "send needs at least one payload byte");
      return;
    }
    if (payload.size() > ctl::MAX_REQUEST_DATA) {
      Refuse(res, 400,
             "payload of " + std::to_string(payload.size()) + " bytes is longer than kavro takes (" +
                 std::to_string(ctl::MAX_REQUEST_DATA) + ")");
      return;
    }
    auto answer = tools::ControlRequest(settings.runDir, ctl::MSG_COPYDATA,
                                        ctl::PayloadWord(static_cast<uint32_t>(*address)), payload, error);
    std::string result;
    bool accepted = false;
    if (!answer) {
      result = "kavroctl: " + error;
    } else if (auto code = ctl::ParseAnswer(answer->data(), answer->size()); !code) {
      result = "kavroctl: kavro gave a malformed answer";
    } else if (*code == 0) {
      result = ctl::RefusalMessage(payload.size());
    } else {
      accepted = true;
      result = "result " + std::to_string(*code);
    }
    std::fprintf(stderr, "<5>kavro-web: %s sent %zu bytes to address %llu: %s\n", session.user.c_str(), payload.size(),
                 static_cast<unsigned long long>(*address), accepted ? "accepted" : result.c_str());
    res.set_content(std::string("{\"accepted\":") + (accepted ? "true" : "false") +
                        ",\"message\":" + tools::JsonString(result) + "}",
                    "application/json");
  }
};

WebServer::WebServer(const Settings& settings, Monitor& monitor, std::string password)
    : impl_(std::make_unique<Impl>(settings, monitor, std::move(password))) {}

WebServer::~WebServer() = default;

bool WebServer::Bind(std::string& error) {
  Impl& m = *impl_;
  const Settings& s = m.settings;
  const struct {
    const char* name;
    std::string path;
    const char* type;
  } files[] = {{"/", s.pageDir + "/index.html", "text/html; charset=utf-8"},
               {"/app.js", s.pageDir + "/app.js", "text/javascript; charset=utf-8"},
               {"/style.css", s.pageDir + "/style.css", "text/css; charset=utf-8"},
               {"/chart.js", s.chartJs, "text/javascript; charset=utf-8"}};
  for (const auto& f : files) {
    Impl::File file{"", f.type};
    if (!ReadFile(f.path, file.body, error)) {
      error += f.name == std::string("/chart.js") ? " (install libjs-chart.js or set chart-js)"
                                                  : " (set page-dir to where the page's files are)";
      return false;
    }
    m.files[f.name] = std::move(file);
  }

  const std::string port = std::to_string(s.listenPort);
  const bool v6 = s.listenHost.find(':') != std::string::npos;
  m.AllowHost((v6 ? "[" + s.listenHost + "]" : s.listenHost) + ":" + port);
  if (s.listenHost == "127.0.0.1" || s.listenHost == "::1") m.AllowHost("localhost:" + port);
  for (const std::string& h : s.allowedHosts) m.AllowHost(h);

  // Not the library's default SO_REUSEPORT: with it a second instance on
  // the same port would share it silently instead of being told.
  m.server.set_socket_options([](int fd) {
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // One thread per open page, and a few for everything else.
  const int threads = s.maxPages + 4;
  m.server.new_task_queue = [threads] { return new httplib::ThreadPool(static_cast<size_t>(threads)); };
  m.server.set_payload_max_length(64 * 1024);
  m.server.set_keep_alive_max_count(100);
  m.server.set_pre_routing_handler(
      [&m](const httplib::Request& req, httplib::Response& res) { return m.Screen(req, res); });

  for (const char* name : {"/", "/app.js", "/style.css", "/chart.js"}) {
    const std::string file = name;
    m.server.Get(name, [&m, file](const httplib::Request&, httplib::Response& res) { m.ServeFile(file, res); });
  }
  m.server.Post("/api/login", [&m](const httplib::Request& req, httplib::Response& res) { m.Login(req, res); });
  m.server.Post("/api/logout", [&m](const httplib::Request& req, httplib::Response& res) { m.Logout(req, res); });
  m.server.Get("/api/session", [&m](const httplib::Request& req, httplib::Response& res) {
    auto session = m.FindSession(req);
    if (!session) return Impl::Refuse(res, 401, "log in first");
    res.set_content(m.SessionJson(*session), "application/json");
  });
  m.server.Get("/api/status", [&m](const httplib::Request& req, httplib::Response& res) {
    if (!m.FindSession(req)) return Impl::Refuse(res, 401, "log in first");
    PageCursor cursor;
    res.set_content(m.monitor.Update(cursor), "application/json");
  });
  m.server.Get("/events", [&m](const httplib::Request& req, httplib::Response& res) {
    if (!m.FindSession(req)) return Impl::Refuse(res, 401, "log in first");
    m.Events(res);
  });
  m.server.Post("/api/send", [&m](const httplib::Request& req, httplib::Response& res) {
    auto session = m.FindSession(req);
    if (!session) return Impl::Refuse(res, 401, "log in first");
    m.Send(req, res, *session);
  });

  if (!m.server.bind_to_port(s.listenHost.c_str(), s.listenPort)) {
    // Bind once more by hand, only to learn why.
    std::string why = "cannot bind";
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICHOST;
    addrinfo* info = nullptr;
    if (getaddrinfo(s.listenHost.c_str(), port.c_str(), &hints, &info) != 0) {
      why = "not a numeric address";
    } else {
      const int fd = socket(info->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
      int yes = 1;
      setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
      if (fd >= 0 && bind(fd, info->ai_addr, info->ai_addrlen) != 0) why = std::strerror(errno);
      if (fd >= 0) close(fd);
      freeaddrinfo(info);
    }
    error = "cannot listen on " + s.listenHost + ":" + port + ": " + why +
            "; set listen = ADDRESS:PORT in /etc/kavro/kavro-web@" + s.link + ".conf";
    return false;
  }
  return true;
}

void WebServer::Run() { impl_->server.listen_after_bind(); }

void WebServer::Stop() {
  impl_->stopping = true;
  impl_->server.stop();
}

}  // namespace kavro::web
