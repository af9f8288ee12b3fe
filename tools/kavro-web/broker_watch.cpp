#include "broker_watch.h"

#ifdef KAVRO_WEB_MQTT
#include <mosquitto.h>
#endif

#include <cstdlib>

namespace kavro::web {

#ifdef KAVRO_WEB_MQTT
namespace {

struct Watch {
  const Settings* settings;
  Monitor* monitor;
  std::string prefix;
  mosquitto* mosq = nullptr;
};
Watch* watch = nullptr;

void OnConnect(mosquitto* mosq, void* user, int rc) {
  auto* w = static_cast<Watch*>(user);
  if (rc != 0) {
    w->monitor->SetBridge("", false, mosquitto_connack_string(rc));
    return;
  }
  // The retained status, and the retained state whose last will says
  // "offline" when the bridge went away.
  mosquitto_subscribe(mosq, nullptr, (w->prefix + "/status").c_str(), 0);
  mosquitto_subscribe(mosq, nullptr, (w->prefix + "/state").c_str(), 0);
  w->monitor->SetBridge("", true, "");
}

void OnDisconnect(mosquitto*, void* user, int rc) {
  auto* w = static_cast<Watch*>(user);
  w->monitor->SetBridge("", false, rc == 0 ? "" : mosquitto_strerror(rc));
}

void OnMessage(mosquitto*, void* user, const mosquitto_message* message) {
  auto* w = static_cast<Watch*>(user);
  if (message->payloadlen < 0 || message->payloadlen > 65536) return;
  const std::string text(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
  if (w->prefix + "/state" == message->topic) {
    w->monitor->SetBridgeState(text);
  } else {
    w->monitor->SetBridge(text, true, "");
  }
}

}  // namespace

bool StartBrokerWatch(const Settings& settings, Monitor& monitor, std::string& error) {
  if (settings.broker.empty()) return true;
  std::string rest;
  if (settings.broker.rfind("mqtt://", 0) == 0) {
    rest = settings.broker.substr(7);
  } else {
    error = "broker = \"" + settings.broker + "\": only mqtt://HOST[:PORT] is read by kavro-web";
    return false;
  }
  std::string host = rest;
  int port = 1883;
  if (const size_t colon = rest.rfind(':'); colon != std::string::npos && rest.find(']') == std::string::npos) {
    host = rest.substr(0, colon);
    port = std::atoi(rest.c_str() + colon + 1);
  }
  if (host.empty() || port <= 0 || port > 65535) {
    error = "broker = \"" + settings.broker + "\" is not mqtt://HOST[:PORT]";
    return false;
  }
  std::string password;
  if (!settings.brokerPasswordFile.empty() && !ReadSecretFile(settings.brokerPasswordFile, password, error)) {
    return false;
  }
  mosquitto_lib_init();
  watch = new Watch{&settings, &monitor, settings.topicPrefix};
  watch->mosq = mosquitto_new(nullptr, true, watch);
  if (watch->mosq == nullptr) {
    error = "cannot make an MQTT client";
    return false;
  }
  if (!settings.brokerUsername.empty()) {
    mosquitto_username_pw_set(watch->mosq, settings.brokerUsername.c_str(),
                              password.empty() ? nullptr : password.c_str());
  }
  mosquitto_connect_callback_set(watch->mosq, OnConnect);
  mosquitto_disconnect_callback_set(watch->mosq, OnDisconnect);
  mosquitto_message_callback_set(watch->mosq, OnMessage);
  // The broker may come later: the loop keeps trying, with back-off.
  mosquitto_reconnect_delay_set(watch->mosq, 1, 30, true);
  if (mosquitto_connect_async(watch->mosq, host.c_str(), port, 30) != MOSQ_ERR_SUCCESS) {
    monitor.SetBridge("", false, "cannot reach the broker " + settings.broker + " yet");
  }
  mosquitto_loop_start(watch->mosq);
  return true;
}

void StopBrokerWatch() {
  if (watch == nullptr) return;
  mosquitto_disconnect(watch->mosq);
  mosquitto_loop_stop(watch->mosq, true);
  mosquitto_destroy(watch->mosq);
  mosquitto_lib_cleanup();
  delete watch;
  watch = nullptr;
}

#else

bool StartBrokerWatch(const Settings& settings, Monitor&, std::string& error) {
  if (settings.broker.empty()) return true;
  error = "this kavro-web was built without libmosquitto: it cannot read the bridge's status; remove broker =";
  return false;
}

void StopBrokerWatch() {}

#endif

}  // namespace kavro::web
