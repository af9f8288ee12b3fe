// The HTTP side: the page's files, the login, the server-sent events that
// carry the monitor's updates, and the optional send form. Every request's
// Host and Origin are checked before anything else.
#pragma once

#include <memory>
#include <string>

#include "monitor.h"
#include "settings.h"

namespace kavro::web {

class WebServer {
 public:
  WebServer(const Settings& settings, Monitor& monitor, std::string password);
  ~WebServer();
  // Loads the page's files and binds the address; false with `error`.
  bool Bind(std::string& error);
  // Serves until Stop.
  void Run();
  void Stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kavro::web
