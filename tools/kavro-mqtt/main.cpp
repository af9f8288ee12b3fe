// kavro-mqtt: the MQTT bridge of one kavro link. It takes the link's records
// from the companion library as its acknowledged client, keeps them in an
// on-disk spool until the broker has them, and sends what arrives on the tx
// topic to the PBX through kavro's control socket.
#include <signal.h>

#include <cstdio>
#include <thread>

#include "bridge.h"
#include "settings.h"
#include "spool.h"

int main(int argc, char** argv) {
  using namespace kavro::mqtt;
  signal(SIGPIPE, SIG_IGN);
  Settings settings;
  if (int code = LoadSettings(argc, argv, settings); code >= 0) return code;
  if (settings.checkConfig) return CheckConfig(settings);

  auto fail = [](const std::string& message) {
    std::fprintf(stderr, "<3>kavro-mqtt: %s\n", message.c_str());
    return EXIT_FAILURE_RUN;
  };
  Spool spool;
  std::string error;
  if (!spool.Open(settings.spoolDir, settings.spoolMax, error)) return fail(error);

  // Signals are taken by this thread alone, with sigwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  Bridge bridge(settings, spool);
  if (!bridge.Start(error)) return fail(error);
  const SpoolCounts counts = spool.Counts();
  std::fprintf(stderr, "<6>kavro-mqtt: bridging link %s to %s under %s/; %llu records wait in the spool\n",
               settings.link.c_str(), settings.broker.c_str(), settings.topicPrefix.c_str(),
               static_cast<unsigned long long>(counts.records));

  std::thread reader([&bridge] { bridge.RunReader(); });
  std::thread broker([&bridge] { bridge.RunBroker(); });
  int received = 0;
  while (sigwait(&signals, &received) == 0) {
    if (received == SIGUSR1 && !bridge.Failed(error)) continue;
    break;
  }
  // The reader first: its last batch is synced and acknowledged to the
  // library before the broker thread saves the position and disconnects.
  bridge.Stop();
  reader.join();
  broker.join();
  if (bridge.Failed(error)) return fail(error);
  return EXIT_OK;
}
