/*
 * The client of delivery_bench.py: connects to a record socket (kavro's
 * RUN_DIR/kavrod, or the yardstick relay), reads as fast as it can with
 * recvmmsg, and checks every payload record: L bytes, the first four the
 * payload's number (little-endian, from 0), the rest the number's low byte.
 * Other record kinds are skipped. A payload that comes again is duplicated,
 * one that comes after a later one reordered, one that never comes lost. Prints "ready" once connected, and at the
 * end one line:
 *
 *     received R lost L duplicated D reordered O malformed M last_ns T
 *
 * where T is CLOCK_MONOTONIC at the last payload. Ends after N distinct
 * payloads, at end of file, or after 10 s without a record.
 *
 *     delivery_sink PATH N L
 */
#define _GNU_SOURCE
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#define BATCH 64

static uint64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: delivery_sink PATH N L\n");
    return 2;
  }
  const uint32_t total = (uint32_t)strtoul(argv[2], NULL, 10);
  const size_t length = strtoul(argv[3], NULL, 10);
  if (length < 4) {
    fprintf(stderr, "delivery_sink: payloads need at least 4 bytes for their number\n");
    return 2;
  }
  struct sockaddr_un address = {.sun_family = AF_UNIX};
  snprintf(address.sun_path, sizeof address.sun_path, "%s", argv[1]);
  int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
  for (int tries = 0; connect(fd, (struct sockaddr*)&address, sizeof address) < 0; ++tries) {
    if (tries > 500) {
      fprintf(stderr, "delivery_sink: cannot connect to %s: %s\n", argv[1], strerror(errno));
      return 1;
    }
    usleep(10000);
  }
  printf("ready\n");
  fflush(stdout);

  const size_t size = 8 + length + 1;
  uint8_t* buffers = malloc(size * BATCH);
  uint8_t* seen = calloc(total, 1);
  struct iovec parts[BATCH];
  struct mmsghdr messages[BATCH];
  uint64_t received = 0, duplicated = 0, reordered = 0, malformed = 0, last_ns = 0;
  uint32_t distinct = 0;
  int64_t expected = 0;
  while (distinct < total) {
    for (int i = 0; i < BATCH; ++i) {
      parts[i].iov_base = buffers + (size_t)i * size;
      parts[i].iov_len = size;
      memset(&messages[i], 0, sizeof messages[i]);
      messages[i].msg_hdr.msg_iov = &parts[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, 10000) <= 0) break;
    int n = recvmmsg(fd, messages, BATCH, MSG_DONTWAIT, NULL);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      break;
    }
    if (n == 0) break;
    int ended = 0, payloads = 0;
    for (int i = 0; i < n; ++i) {
      const uint8_t* r = buffers + (size_t)i * size;
      const size_t got = messages[i].msg_len;
      if (got == 0) {
        ended = 1;
        break;
      }
      if (got < 8) {
        ++malformed;
        continue;
      }
      if (r[0] != 1 || r[1] || r[2] || r[3]) continue;
      if (got != 8 + length || (messages[i].msg_hdr.msg_flags & MSG_TRUNC)) {
        ++malformed;
        continue;
      }
      uint32_t number = (uint32_t)r[8] | (uint32_t)r[9] << 8 | (uint32_t)r[10] << 16 | (uint32_t)r[11] << 24;
      int good = number < total;
      for (size_t k = 12; good && k < got; ++k) good = r[k] == (uint8_t)number;
      if (!good) {
        ++malformed;
        continue;
      }
      ++received;
      payloads = 1;
      if (seen[number]) {
        ++duplicated;
      } else {
        seen[number] = 1;
        ++distinct;
        /* A gap is a loss until the missing payload turns up later. */
        if ((int64_t)number < expected) ++reordered;
      }
      if ((int64_t)number >= expected) expected = (int64_t)number + 1;
    }
    if (payloads) last_ns = now_ns();
    if (ended) break;
  }
  printf("received %llu lost %llu duplicated %llu reordered %llu malformed %llu last_ns %llu\n",
         (unsigned long long)received, (unsigned long long)(total - distinct), (unsigned long long)duplicated,
         (unsigned long long)reordered, (unsigned long long)malformed, (unsigned long long)last_ns);
  return 0;
}
