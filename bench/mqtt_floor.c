/* The floor of bench/mqtt_bench.py: the least a program can do to carry a
 * PBX's TCP frames to an MQTT broker with the same client library as
 * kavro-mqtt. It connects to the PBX side, cuts the tagged frames (C5, a
 * 16-bit big-endian length, the payload) and publishes each payload at QoS 1
 * with the same user properties as the bridge, up to the same window of
 * unacknowledged messages. No link protocol, no companion library, no spool.
 *
 *   mqtt_floor PBX_PORT BROKER_PORT TOPIC
 */
#include <arpa/inet.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: mqtt_floor PBX_PORT BROKER_PORT TOPIC\n");
    return 2;
  }
  mosquitto_lib_init();
  struct mosquitto* mosq = mosquitto_new("mqtt-floor", true, NULL);
  mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_max_inflight_messages_set(mosq, 1000);
  if (mosquitto_connect(mosq, "127.0.0.1", atoi(argv[2]), 30) != MOSQ_ERR_SUCCESS ||
      mosquitto_loop_start(mosq) != MOSQ_ERR_SUCCESS) {
    fprintf(stderr, "mqtt_floor: cannot reach the broker\n");
    return 1;
  }
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in pbx = {0};
  pbx.sin_family = AF_INET;
  pbx.sin_port = htons((uint16_t)atoi(argv[1]));
  pbx.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, (struct sockaddr*)&pbx, sizeof pbx) != 0) {
    perror("mqtt_floor: connect to the PBX side");
    return 1;
  }
  fprintf(stderr, "mqtt_floor: ready\n");
  static unsigned char buffer[1 << 20];
  size_t have = 0;
  unsigned long long sequence = 0;
  for (;;) {
    ssize_t n = read(fd, buffer + have, sizeof buffer - have);
    if (n <= 0) break;
    have += (size_t)n;
    size_t at = 0;
    while (have - at >= 3 && have - at >= 3 + (size_t)(buffer[at + 1] << 8 | buffer[at + 2])) {
      const size_t length = (size_t)(buffer[at + 1] << 8 | buffer[at + 2]);
      char id[48];
      snprintf(id, sizeof id, "%016llx-%llu", 0x1234ULL, ++sequence);
      mosquitto_property* props = NULL;
      mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "address", "20");
      mosquitto_property_add_string_pair(&props, MQTT_PROP_USER_PROPERTY, "id", id);
      mosquitto_publish_v5(mosq, NULL, argv[3], (int)length, buffer + at + 3, 1, false, props);
      mosquitto_property_free_all(&props);
      at += 3 + length;
    }
    memmove(buffer, buffer + at, have - at);
    have -= at;
  }
  mosquitto_disconnect(mosq);
  mosquitto_loop_stop(mosq, false);
  mosquitto_destroy(mosq);
  return 0;
}
