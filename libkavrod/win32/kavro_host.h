/*
 * kavro_host.h: what kavro.exe offers the companion library that runs in its
 * process (KAVROD32.dll or one of one's own). Include <windows.h> first.
 *
 * kavro.exe exports, by name and with the C calling convention,
 *
 *     void KavroLifecycleNotice(uint32_t level, const char *text);
 *
 * which writes one line where kavro.exe's own lifecycle lines go: the trace
 * log when it is on, the Windows Event Log (event source "kavro": error,
 * warning or information entry) and the error output when kavro.exe has
 * one. `level` is KAVRO_NOTICE_ERROR, _WARNING or _INFO; `text` is one line
 * without a line end. It may be called from any thread.
 *
 * KavroHostNotice() finds it in the running program and calls it; it
 * returns 0 when the program offers none (an older kavro.exe, another host),
 * and the library then reports the line on its own.
 */
#ifndef KAVRO_HOST_H
#define KAVRO_HOST_H

#include <stdint.h>

#define KAVRO_NOTICE_ERROR 3u
#define KAVRO_NOTICE_WARNING 4u
#define KAVRO_NOTICE_INFO 6u

#define KAVRO_LIFECYCLE_NOTICE_EXPORT "KavroLifecycleNotice"

typedef void (*KavroLifecycleNoticeFunction)(uint32_t level, const char *text);

static __inline int KavroHostNotice(uint32_t level, const char *text) {
  HMODULE program = GetModuleHandleA(NULL);
  FARPROC found = program != NULL ? GetProcAddress(program, KAVRO_LIFECYCLE_NOTICE_EXPORT) : NULL;
  if (found == NULL) return 0;
  ((KavroLifecycleNoticeFunction)(void (*)(void))found)(level, text);
  return 1;
}

#endif /* KAVRO_HOST_H */
