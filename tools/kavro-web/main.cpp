// kavro-web: a live page of one kavro link for the browser. It reads the
// link's records from the companion library as an observer (it never stands
// in the link's way), kavro's status from the control socket, and with a
// broker the MQTT bridge's status; a login guards everything the page shows.
#include <signal.h>

#include <cstdio>
#include <thread>

#include "broker_watch.h"
#include "monitor.h"
#include "settings.h"
#include "web_server.h"

int main(int argc, char** argv) {
  using namespace kavro::web;
  signal(SIGPIPE, SIG_IGN);
  Settings settings;
  if (int code = LoadSettings(argc, argv, settings); code >= 0) return code;
  auto fail = [](const std::string& message) {
    std::fprintf(stderr, "<3>kavro-web: %s\n", message.c_str());
    return EXIT_FAILURE_RUN;
  };
  std::string password;
  std::string error;
  if (!ReadSecretFile(settings.passwordFile, password, error)) return fail(error);

  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Monitor monitor(settings);
  WebServer server(settings, monitor, password);
  if (!server.Bind(error)) return fail(error);
  if (!StartBrokerWatch(settings, monitor, error)) return fail(error);
  monitor.Start();
  std::fprintf(stderr, "<6>kavro-web: the page of link %s is at http://%s:%d/ (user %s)\n", settings.link.c_str(),
               settings.listenHost.find(':') != std::string::npos ? ("[" + settings.listenHost + "]").c_str()
                                                                  : settings.listenHost.c_str(),
               settings.listenPort, settings.user.c_str());
  std::thread http([&server] { server.Run(); });
  int received = 0;
  sigwait(&signals, &received);
  server.Stop();
  monitor.Stop();
  http.join();
  StopBrokerWatch();
  return EXIT_OK;
}
