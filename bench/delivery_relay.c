/*
 * The yardstick of delivery_bench.py: the least a program can do to move a
 * TCP link's payloads to a client as kavro and its companion library do. One
 * thread connects to the PBX at HOST:PORT, serves one client on the
 * SOCK_SEQPACKET socket PATH, cuts the tagged frames (0xC5, 16-bit
 * big-endian length, payload) out of 64 KiB reads and sends each payload as
 * one record (u32 kind 1, u32 address 0x20, the payload) with one blocking
 * sendmsg, straight from the read buffer.
 *
 *     delivery_relay HOST PORT PATH
 */
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

static void die(const char* what) {
  fprintf(stderr, "delivery_relay: %s: %s\n", what, strerror(errno));
  exit(1);
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: delivery_relay HOST PORT PATH\n");
    return 2;
  }
  struct sockaddr_un local = {.sun_family = AF_UNIX};
  snprintf(local.sun_path, sizeof local.sun_path, "%s", argv[3]);
  int listener = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  if (listener < 0 || bind(listener, (struct sockaddr*)&local, sizeof local) < 0 || listen(listener, 1) < 0)
    die("listen");

  struct sockaddr_in pbx = {.sin_family = AF_INET, .sin_port = htons((uint16_t)atoi(argv[2]))};
  inet_pton(AF_INET, argv[1], &pbx.sin_addr);
  int link = socket(AF_INET, SOCK_STREAM, 0);
  if (link < 0 || connect(link, (struct sockaddr*)&pbx, sizeof pbx) < 0) die("connect");

  int client = accept(listener, NULL, NULL);
  if (client < 0) die("accept");

  static uint8_t buffer[65536 + 3];
  uint8_t header[8] = {1, 0, 0, 0, 0x20, 0, 0, 0};
  size_t held = 0;
  for (;;) {
    ssize_t n = read(link, buffer + held, sizeof buffer - held);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    held += (size_t)n;
    size_t at = 0;
    while (held - at >= 3) {
      if (buffer[at] != 0xC5) {
        fprintf(stderr, "delivery_relay: lost the framing\n");
        return 1;
      }
      size_t length = (size_t)buffer[at + 1] << 8 | buffer[at + 2];
      if (held - at < 3 + length) break;
      struct iovec parts[2] = {{header, sizeof header}, {buffer + at + 3, length}};
      struct msghdr message = {.msg_iov = parts, .msg_iovlen = 2};
      while (sendmsg(client, &message, MSG_NOSIGNAL) < 0) {
        if (errno != EINTR) die("sendmsg");
      }
      at += 3 + length;
    }
    memmove(buffer, buffer + at, held - at);
    held -= at;
  }
  close(client);
  close(link);
  unlink(argv[3]);
  return 0;
}
