// kavro-mqtt: the MQTT bridge of one kavro link. It takes the link's records
// from the companion library as its acknowledged client, keeps them in an
// on-disk spool until the broker has them, and sends what arrives on the tx
// topic to the PBX through kavro's control socket.
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "bridge.h"
#include "settings.h"
#include "spool.h"

namespace {

void Say(const char* level, const std::string& message) {
  std::fprintf(stderr, "%skavro-mqtt: %s\n", level, message.c_str());
  std::fflush(stderr);
}

// Run by the service manager (systemd sets INVOCATION_ID for every unit it
// starts): faults that can heal are waited out. Otherwise someone runs it by
// hand and wants to hear at once what is wrong.
bool UnderServiceManager() {
  const char* id = std::getenv("INVOCATION_ID");
  return id != nullptr && *id != '\0';
}

// Waits up to `ms` for one of `signals`; the signal, or 0.
int WaitForSignal(const sigset_t& signals, int ms) {
  timespec timeout{ms / 1000, (ms % 1000) * 1000000L};
  const int got = sigtimedwait(&signals, nullptr, &timeout);
  return got > 0 ? got : 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kavro::mqtt;
  signal(SIGPIPE, SIG_IGN);
  Settings settings;
  if (int code = LoadSettings(argc, argv, settings); code >= 0) return code;
  if (settings.checkConfig) return CheckConfig(settings);
  const bool fromTerminal = !UnderServiceManager();

  auto fail = [](const std::string& message, int code = EXIT_FAILURE_RUN) {
    Say("<3>", message);
    return code;
  };

  // Signals are taken by this thread alone, with sigwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGUSR1);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  // One bridge per spool. Under the unit a second one (or the unit beside a
  // bridge run by hand) waits for the first to go; from a terminal it says
  // who holds the spool and ends.
  SpoolLock lock;
  Spool spool;
  std::string error;
  std::string said;
  for (int waitMs = 1000;; waitMs = std::min(waitMs * 2, 60000)) {
    long holder = 0;
    if (lock.Take(settings.spoolDir, holder, error)) {
      if (spool.Open(settings.spoolDir, settings.spoolMax, error)) break;
    } else if (error.empty()) {
      error = "the spool " + settings.spoolDir + " is in use by " +
              (holder > 0 ? "process " + std::to_string(holder) : std::string("another process")) +
              " (another kavro-mqtt for this link); stop it, or give this one its own --spool-dir";
      if (fromTerminal) return fail(error, EXIT_SPOOL_BUSY);
    }
    if (fromTerminal) return fail(error);
    if (error != said) {
      Say("<3>", error + "; waiting, and trying again every few seconds up to a minute");
      said = error;
    }
    const int got = WaitForSignal(signals, waitMs);
    if (got == SIGTERM || got == SIGINT) return EXIT_OK;
  }
  if (!said.empty()) Say("<6>", "the spool " + settings.spoolDir + " is this bridge's now");

  Bridge bridge(settings, spool, fromTerminal);
  if (!bridge.Start(error)) return fail(error);
  const SpoolCounts counts = spool.Counts();
  Say("<6>", "bridging link " + settings.link + " to " + settings.broker + " under " + settings.topicPrefix + "/; " +
                 std::to_string(counts.records) + " records wait in the spool");

  std::thread reader([&bridge] { bridge.RunReader(); });
  std::thread broker([&bridge] { bridge.RunBroker(); });
  int received = 0;
  while (sigwait(&signals, &received) == 0) {
    if (received == SIGHUP) {
      // The files are read again; a bad setting leaves the running ones.
      Settings next;
      if (LoadSettings(argc, argv, next) >= 0) {
        Say("<3>", "reload: the settings stay as they were");
      } else {
        bridge.Reload(next);
      }
      continue;
    }
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
