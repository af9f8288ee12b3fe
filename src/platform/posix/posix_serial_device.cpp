#include "platform/posix/posix_serial_device.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace kavro::platform {

namespace {

bool SpeedFor(uint32_t rate, speed_t* speed) {
  switch (rate) {
    case 1200: *speed = B1200; return true;
    case 2400: *speed = B2400; return true;
    case 4800: *speed = B4800; return true;
    case 9600: *speed = B9600; return true;
    case 19200: *speed = B19200; return true;
    case 38400: *speed = B38400; return true;
    case 57600: *speed = B57600; return true;
    case 115200: *speed = B115200; return true;
    default: return false;  // B0 among them: it would hang the line up
  }
}

// Raw 8-bit transfer: nothing the line discipline could add, drop, translate
// or act on may stand between the link protocol and the wire. The frames are
// binary (SYN, CRC bytes, 0x11/0x13 as data), so every translation and both
// kinds of flow control are off.
void MakeRaw(termios& t, uint8_t stopBits) {
  t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL |
                                      IXON | IXOFF | IXANY | IMAXBEL);
#ifdef IUCLC
  t.c_iflag &= ~static_cast<tcflag_t>(IUCLC);
#endif
  t.c_oflag &= ~static_cast<tcflag_t>(OPOST | ONLCR | OCRNL | ONOCR | ONLRET);
#ifdef OLCUC
  t.c_oflag &= ~static_cast<tcflag_t>(OLCUC);
#endif
  t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | TOSTOP);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
#ifdef CMSPAR
  t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
  // CLOCAL: the modem lines are the link's business (DSR check), not the
  // driver's; a missing carrier must not block the open or the reads.
  // HUPCL drops DTR when the process dies without closing the port.
  t.c_cflag |= CS8 | CLOCAL | CREAD | HUPCL;
  if (stopBits == 2) t.c_cflag |= CSTOPB;
  // Reads are driven by poll on a non-blocking descriptor.
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
}

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag &&
         a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME] && cfgetispeed(&a) == cfgetispeed(&b) &&
         cfgetospeed(&a) == cfgetospeed(&b);
}

}  // namespace

std::shared_ptr<PosixSerialDevice> PosixSerialDevice::Open(const std::string& path, int* error) {
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = errno;
    return nullptr;
  }
  // TIOCEXCL refuses further opens of the tty but not to a privileged
  // process; the advisory lock holds against every program that honours
  // serial port locks, root included.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    *error = (errno == EWOULDBLOCK) ? EBUSY : errno;
    ::close(fd);
    return nullptr;
  }
  if (::ioctl(fd, TIOCEXCL) != 0) {
    *error = errno;  // ENOTTY: not a serial device at all
    ::close(fd);
    return nullptr;
  }
  int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) {
    *error = errno;
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    return nullptr;
  }
  *error = 0;
  return std::shared_ptr<PosixSerialDevice>(new PosixSerialDevice(fd, wakeFd));
}

namespace {

// TIOCEXCL belongs to the tty, not to the descriptor: a pseudo-terminal's
// slave keeps it after the last close while its master stays open, and
// every later open by an unprivileged account then fails with EBUSY. The
// port leaves the tty as it found it.
int CloseExclusive(int fd) {
  ::ioctl(fd, TIOCNXCL);
  return ::close(fd);
}

}  // namespace

PosixSerialDevice::~PosixSerialDevice() {
  int fd = fd_.exchange(-1);
  if (fd >= 0) CloseExclusive(fd);
  ::close(wakeFd_);
}

int PosixSerialDevice::SetQueues(uint32_t, uint32_t) {
  // The tty layer's buffers have a fixed size; there is nothing to choose.
  std::lock_guard<std::mutex> lock(controlMutex_);
  return fd_.load() < 0 ? EBADF : 0;
}

int PosixSerialDevice::Purge() {
  std::lock_guard<std::mutex> lock(controlMutex_);
  int fd = fd_.load();
  if (fd < 0) return EBADF;
  return ::tcflush(fd, TCIOFLUSH) == 0 ? 0 : errno;
}

int PosixSerialDevice::ApplySettings(const SerialSettings& settings) {
  std::lock_guard<std::mutex> lock(controlMutex_);
  int fd = fd_.load();
  if (fd < 0) return EBADF;
  termios old{};
  if (::tcgetattr(fd, &old) != 0) return errno;
  termios wanted = old;
  speed_t speed;
  const bool known = SpeedFor(settings.rate, &speed) && (settings.stopBits == 1 || settings.stopBits == 2);
  if (known) {
    MakeRaw(wanted, settings.stopBits);
    if (::cfsetispeed(&wanted, speed) != 0 || ::cfsetospeed(&wanted, speed) != 0) return EINVAL;
  } else {
    // The rate and the stop bits stay as they are (B0 would hang the line
    // up), but the line is made raw all the same: a tty freshly opened is in
    // cooked mode, echoing and translating, which would mangle every frame
    // until a valid rate comes.
    MakeRaw(wanted, (old.c_cflag & CSTOPB) ? 2 : 1);
  }
  if (!SameSettings(old, wanted) && ::tcsetattr(fd, TCSANOW, &wanted) != 0) return errno;
  // tcsetattr succeeds when any part of the request was taken. A port that
  // did not take the rate goes back to what it had: a line at a rate the
  // PBX does not use is worse than the old one. (Drivers may drop flag bits
  // their hardware lacks; that alone is no reason to refuse.)
  termios now{};
  if (::tcgetattr(fd, &now) != 0) return errno;
  if (cfgetospeed(&now) != cfgetospeed(&wanted) || cfgetispeed(&now) != cfgetispeed(&wanted)) {
    ::tcsetattr(fd, TCSANOW, &old);
    return EINVAL;
  }
  return known ? 0 : EINVAL;
}

int PosixSerialDevice::ApplyTimeouts(const SerialTimeouts& timeouts) {
  // The burst of a read ends when a one-byte read would have given up.
  readGapMs_ = timeouts.readMultiplier + timeouts.readConstant;
  writeMultiplierMs_ = timeouts.writeMultiplier;
  writeConstantMs_ = timeouts.writeConstant;
  return 0;
}

int PosixSerialDevice::SetModemLine(int line, bool on) {
  int bits = line;
  std::lock_guard<std::mutex> lock(controlMutex_);
  int fd = fd_.load();
  if (fd < 0) return EBADF;
  // A pseudo-terminal has no modem lines: these fail with ENOTTY there.
  return ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0 ? 0 : errno;
}

int PosixSerialDevice::SetDtr(bool on) { return SetModemLine(TIOCM_DTR, on); }

int PosixSerialDevice::SetRts(bool on) { return SetModemLine(TIOCM_RTS, on); }

int PosixSerialDevice::GetDsr(bool* dsrOn) {
  int status = 0;
  *dsrOn = false;
  std::lock_guard<std::mutex> lock(controlMutex_);
  int fd = fd_.load();
  if (fd < 0) return EBADF;
  if (::ioctl(fd, TIOCMGET, &status) != 0) return errno;
  *dsrOn = (status & TIOCM_DSR) != 0;
  return 0;
}

uint32_t PosixSerialDevice::ReadBurst(uint8_t* buffer, uint32_t size, bool* failed) {
  *failed = false;
  if (size == 0) return 0;
  std::lock_guard<std::mutex> lock(readMutex_);
  int fd = fd_.load();
  if (fd < 0 || interrupted_) {
    *failed = true;
    return 0;
  }
  uint32_t count = 0;
  int timeout = -1;  // the first byte is waited for without a limit
  for (;;) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      *failed = true;
      break;
    }
    if (fds[1].revents != 0) {
      *failed = true;  // the port is being closed
      break;
    }
    if (ready == 0) break;  // the gap after the last byte: the burst is over
    if (fds[0].revents & POLLIN) {
      ssize_t n = ::read(fd, buffer + count, size - count);
      if (n > 0) {
        count += static_cast<uint32_t>(n);
        if (count == size) break;
        timeout = static_cast<int>(readGapMs_.load());
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      *failed = true;  // 0 or EIO: the far side of the line has gone
      break;
    }
    // POLLHUP, POLLERR or POLLNVAL without data.
    *failed = true;
    break;
  }
  if (*failed && count == 0 && !interrupted_) {
    // A hung-up line (adapter unplugged, far end of a pseudo-terminal
    // closed) fails every read at once, and the receive thread reads again
    // at once until the link layer gives up. Failing no faster than a read
    // that found nothing keeps that from spinning; a close still ends the
    // pause at once.
    pollfd wake{wakeFd_, POLLIN, 0};
    ::poll(&wake, 1, static_cast<int>(readGapMs_.load()));
  }
  return count;
}

int PosixSerialDevice::Write(const uint8_t* data, uint32_t length) {
  std::lock_guard<std::mutex> lock(writeMutex_);
  int fd = fd_.load();
  if (fd < 0 || interrupted_) return EBADF;
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() +
      std::chrono::milliseconds(static_cast<uint64_t>(writeMultiplierMs_.load()) * length + writeConstantMs_.load());
  uint32_t written = 0;
  while (written < length) {
    ssize_t n = ::write(fd, data + written, length - written);
    if (n > 0) {
      written += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) return n == 0 ? EIO : errno;
    // The driver's output queue is full: wait for room, the write limit or
    // the close, whichever comes first.
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ETIMEDOUT;
    pollfd fds[2] = {{fd, POLLOUT, 0}, {wakeFd_, POLLIN, 0}};
    int ready = ::poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (ready == 0) return ETIMEDOUT;
    if (fds[1].revents != 0) return EBADF;
    if (!(fds[0].revents & POLLOUT)) return EIO;
  }
  return 0;
}

void PosixSerialDevice::Interrupt() {
  interrupted_ = true;
  // The counter is never read back, so the descriptor stays readable and
  // every later poll returns at once as well.
  uint64_t one = 1;
  ssize_t ignored = ::write(wakeFd_, &one, sizeof one);
  (void)ignored;
}

int PosixSerialDevice::Close() {
  Interrupt();
  // Both waits have seen the wake-up and left, and no settings or modem
  // line call is half way through; only now may the descriptor go, or a
  // number reused by another open could be read from or reconfigured.
  std::scoped_lock lock(readMutex_, writeMutex_);
  std::lock_guard<std::mutex> control(controlMutex_);
  int fd = fd_.exchange(-1);
  if (fd < 0) return 0;
  return CloseExclusive(fd) == 0 ? 0 : errno;
}

std::string PosixSerialDeviceFactory::DevicePathFor(const std::string& portName, const std::string& configured) {
  if (!configured.empty()) return configured;
  // COMn without a mapping: the n-th on-board UART, counted from 1 as the
  // port names are and from 0 as the kernel names the devices.
  if (portName.compare(0, 3, "COM") != 0) return {};
  const std::string digits = portName.substr(3);
  if (digits.empty() || digits.size() > 9 || digits[0] == '0') return {};
  uint32_t number = 0;
  for (char digit : digits) {
    if (digit < '0' || digit > '9') return {};
    number = number * 10 + static_cast<uint32_t>(digit - '0');
  }
  return "/dev/ttyS" + std::to_string(number - 1);
}

}  // namespace kavro::platform
