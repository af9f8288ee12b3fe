/*
 * The client of pipe_bench.py, read as the documentation's sample client
 * reads: opens the message pipe PIPE (with SECURITY_SQOS_PRESENT |
 * SECURITY_IDENTIFICATION), and reads one message per ReadFile. With
 * "batch" it first asks KAVROD32.dll for batches (several records a
 * message) and takes them apart. It checks every payload record: L bytes,
 * the first four the payload's number (little-endian, from 0), the rest
 * the number's low byte. Prints "ready" once connected (for kavro, after
 * the link-state record), and after N payloads, event 0 or the pipe's end
 * one line:
 *
 *     received R lost L duplicated D reordered O malformed M
 *
 *     pipe_sink PIPE N L [batch]
 */
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define RECORD_PAYLOAD 1u
#define RECORD_LINK_EVENT 2u
#define RECORD_LINK_STATE 3u
#define RECORD_BATCH 7u
#define REQUEST_BATCH 5u

static uint32_t Le32(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24; }

static unsigned long received, lost, duplicated, reordered, malformed, expected, wanted, size;
static uint8_t* seen;
static int ended;

static void Take(const uint8_t* record, uint32_t length) {
  uint32_t kind, number, i;
  if (length < 8) {
    ++malformed;
    return;
  }
  kind = Le32(record);
  if (kind == RECORD_LINK_EVENT && Le32(record + 4) == 0) ended = 1;
  if (kind != RECORD_PAYLOAD) return;
  if (length - 8 != size || size < 4) {
    ++malformed;
    return;
  }
  number = Le32(record + 8);
  for (i = 4; i < size; ++i) {
    if (record[8 + i] != (uint8_t)number) {
      ++malformed;
      return;
    }
  }
  if (number >= wanted) {
    ++malformed;
    return;
  }
  if (seen[number]) {
    ++duplicated;
    return;
  }
  seen[number] = 1;
  ++received;
  if (number < expected) ++reordered;
  if (number >= expected) expected = number + 1;
}

int main(int argc, char** argv) {
  static uint8_t message[1 << 17];
  HANDLE pipe = INVALID_HANDLE_VALUE;
  DWORD mode = PIPE_READMODE_MESSAGE, got = 0;
  int batch, tries;
  unsigned long i;
  if (argc < 4) {
    fprintf(stderr, "usage: pipe_sink PIPE N L [batch]\n");
    return 2;
  }
  wanted = strtoul(argv[2], NULL, 10);
  size = strtoul(argv[3], NULL, 10);
  batch = argc > 4 && strcmp(argv[4], "batch") == 0;
  seen = calloc(wanted + 1, 1);
  for (tries = 0; tries < 1000 && pipe == INVALID_HANDLE_VALUE; ++tries) {
    pipe = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, NULL);
    if (pipe == INVALID_HANDLE_VALUE) Sleep(10);
  }
  if (pipe == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "pipe_sink: cannot open %s: error %lu\n", argv[1], GetLastError());
    return 1;
  }
  SetNamedPipeHandleState(pipe, &mode, NULL, NULL);
  if (batch) {
    const uint8_t request[8] = {REQUEST_BATCH, 0, 0, 0, 0, 0, 0, 0};
    DWORD written = 0;
    WriteFile(pipe, request, sizeof request, &written, NULL);
  }
  /* kavro's pipe starts with the link-state record; the relay's does not. */
  if (strstr(argv[1], "kavrod") != NULL) {
    if (!ReadFile(pipe, message, sizeof message, &got, NULL) || got < 8 || Le32(message) != RECORD_LINK_STATE) {
      fprintf(stderr, "pipe_sink: no link-state record\n");
      return 1;
    }
  }
  printf("ready\n");
  fflush(stdout);
  while (received < wanted && !ended && ReadFile(pipe, message, sizeof message, &got, NULL)) {
    if (got >= 8 && Le32(message) == RECORD_BATCH) {
      uint32_t count = Le32(message + 4), at = 8;
      for (i = 0; i < count && at + 4 <= got; ++i) {
        uint32_t length = Le32(message + at);
        if (at + 4 + length > got) {
          ++malformed;
          break;
        }
        Take(message + at + 4, length);
        at += 4 + length;
      }
    } else {
      Take(message, got);
    }
  }
  for (i = 0; i < wanted; ++i) lost += !seen[i];
  printf("received %lu lost %lu duplicated %lu reordered %lu malformed %lu\n", received, lost, duplicated, reordered,
         malformed);
  fflush(stdout);
  CloseHandle(pipe);
  return 0;
}
