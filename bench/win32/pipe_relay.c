/*
 * The yardstick of pipe_bench.py: the least a Windows program can do to move
 * a TCP link's payloads to a pipe client as kavro.exe and KAVROD32.dll do.
 * One thread connects to the PBX at HOST:PORT, serves one client on the
 * message pipe PIPE, cuts the tagged frames (0xC5, 16-bit big-endian length,
 * payload) out of 64 KiB reads and writes each payload as one record (u32
 * kind 1, u32 address 0x20, the payload) with one blocking WriteFile.
 *
 *     pipe_relay HOST PORT PIPE
 */
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static void die(const char* what) {
  fprintf(stderr, "pipe_relay: %s: error %lu\n", what, GetLastError());
  exit(1);
}

int main(int argc, char** argv) {
  static uint8_t buffer[65536 + 3];
  static uint8_t record[8 + 65535];
  WSADATA wsa;
  struct sockaddr_in pbx;
  SOCKET link;
  HANDLE pipe;
  size_t held = 0;
  if (argc != 4) {
    fprintf(stderr, "usage: pipe_relay HOST PORT PIPE\n");
    return 2;
  }
  pipe = CreateNamedPipeA(argv[3], PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                          PIPE_TYPE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, sizeof record, 512, 0, NULL);
  if (pipe == INVALID_HANDLE_VALUE) die("CreateNamedPipe");
  if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) die("WSAStartup");
  memset(&pbx, 0, sizeof pbx);
  pbx.sin_family = AF_INET;
  pbx.sin_port = htons((u_short)atoi(argv[2]));
  pbx.sin_addr.s_addr = inet_addr(argv[1]);
  link = socket(AF_INET, SOCK_STREAM, 0);
  if (link == INVALID_SOCKET || connect(link, (struct sockaddr*)&pbx, sizeof pbx) != 0) die("connect");
  if (!ConnectNamedPipe(pipe, NULL) && GetLastError() != ERROR_PIPE_CONNECTED) die("ConnectNamedPipe");
  record[0] = 1;
  record[4] = 0x20;
  for (;;) {
    size_t at = 0;
    int n = recv(link, (char*)buffer + held, (int)(sizeof buffer - held), 0);
    if (n <= 0) break;
    held += (size_t)n;
    while (held - at >= 3) {
      size_t length;
      DWORD written = 0;
      if (buffer[at] != 0xC5) {
        fprintf(stderr, "pipe_relay: lost the framing\n");
        return 1;
      }
      length = (size_t)buffer[at + 1] << 8 | buffer[at + 2];
      if (held - at < 3 + length) break;
      memcpy(record + 8, buffer + at + 3, length);
      if (!WriteFile(pipe, record, (DWORD)(8 + length), &written, NULL)) die("WriteFile");
      at += 3 + length;
    }
    memmove(buffer, buffer + at, held - at);
    held -= at;
  }
  FlushFileBuffers(pipe);
  CloseHandle(pipe);
  closesocket(link);
  return 0;
}
