/*
 * Test-only LD_PRELOAD library for running kavro.exe under Wine on a
 * pseudo-terminal. A pty has no modem lines and no error counters, so Wine's
 * GetCommModemStatus, EscapeCommFunction and WaitCommEvent fail or end at
 * once there. This library answers those ioctls on pty slaves (character
 * major 136..143) as a real port with DSR, CTS and CD on would, and passes
 * every other call through. 32-bit Wine's ntdll.so is built with a 64-bit
 * time_t and calls __ioctl_time64 instead of ioctl, so both are interposed.
 *
 * Built twice by scripts/test-windows.sh (64-bit and -m32) and preloaded as
 * DIR/$LIB/kavro_modem_shim.so, which the loader resolves per bitness.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdarg.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <linux/serial.h>
#include <termios.h>

typedef int (*ioctl_fn)(int, unsigned long, ...);

static int lines = 0;

static int is_pty_slave(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
  unsigned int m = major(st.st_rdev);
  return m >= 136 && m <= 143;
}

/* 1 when the request was answered here (its result in *result). */
static int answer(int fd, unsigned long request, void *arg, int *result) {
  if (!is_pty_slave(fd)) return 0;
  *result = 0;
  switch (request) {
    case TIOCMGET:
      *(int *)arg = lines | TIOCM_DSR | TIOCM_CTS | TIOCM_CD;
      return 1;
    case TIOCMBIS:
      lines |= *(int *)arg;
      return 1;
    case TIOCMBIC:
      lines &= ~*(int *)arg;
      return 1;
    case TIOCMSET:
      lines = *(int *)arg;
      return 1;
    case TIOCGICOUNT:
      memset(arg, 0, sizeof(struct serial_icounter_struct));
      return 1;
    default:
      return 0;
  }
}

int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  int result;
  if (answer(fd, request, arg, &result)) return result;
  static ioctl_fn real;
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  return real(fd, request, arg);
}

int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void *arg = va_arg(ap, void *);
  va_end(ap);
  int result;
  if (answer(fd, request, arg, &result)) return result;
  static ioctl_fn real;
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "__ioctl_time64");
  if (!real) real = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
  return real(fd, request, arg);
}
