#include "platform/win32/win32_serial_device.h"

#include <windows.h>

namespace kavro::platform {

namespace {

HANDLE AsHandle(void* p) { return static_cast<HANDLE>(p); }

bool IsKnownRate(uint32_t rate) {
  switch (rate) {
    case 1200: case 2400: case 4800: case 9600:
    case 19200: case 38400: case 57600: case 115200:
      return true;
    default:
      return false;
  }
}

int LastError() { return static_cast<int>(GetLastError()); }

}  // namespace

std::shared_ptr<Win32SerialDevice> Win32SerialDevice::Open(const std::string& path, int* error) {
  // No sharing: the port belongs to this link alone.
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    *error = LastError();
    return nullptr;
  }
  HANDLE readEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE writeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE closeEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (readEvent == nullptr || writeEvent == nullptr || closeEvent == nullptr) {
    *error = LastError();
    for (HANDLE event : {readEvent, writeEvent, closeEvent}) {
      if (event != nullptr) CloseHandle(event);
    }
    CloseHandle(port);
    return nullptr;
  }
  *error = 0;
  return std::shared_ptr<Win32SerialDevice>(new Win32SerialDevice(port, readEvent, writeEvent, closeEvent));
}

Win32SerialDevice::Win32SerialDevice(void* port, void* readEvent, void* writeEvent, void* closeEvent)
    : port_(port),
      // Kernel handles have 32 significant bits on 64-bit Windows as well,
      // so the number fits DeviceHandle.
      handleNumber_(static_cast<int32_t>(reinterpret_cast<intptr_t>(port))),
      readEvent_(readEvent),
      writeEvent_(writeEvent),
      closeEvent_(closeEvent) {}

Win32SerialDevice::~Win32SerialDevice() {
  Close();
  CloseHandle(AsHandle(readEvent_));
  CloseHandle(AsHandle(writeEvent_));
  CloseHandle(AsHandle(closeEvent_));
}

int Win32SerialDevice::SetQueues(uint32_t inputSize, uint32_t outputSize) {
  std::lock_guard<std::mutex> lock(controlMutex_);
  if (handleNumber_ == -1) return ERROR_INVALID_HANDLE;
  return SetupComm(AsHandle(port_), inputSize, outputSize) ? 0 : LastError();
}

int Win32SerialDevice::Purge() {
  std::lock_guard<std::mutex> lock(controlMutex_);
  if (handleNumber_ == -1) return ERROR_INVALID_HANDLE;
  return PurgeComm(AsHandle(port_), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) ? 0
                                                                                                 : LastError();
}

int Win32SerialDevice::ApplySettings(const SerialSettings& settings) {
  std::lock_guard<std::mutex> lock(controlMutex_);
  if (handleNumber_ == -1) return ERROR_INVALID_HANDLE;
  HANDLE port = AsHandle(port_);
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(port, &dcb)) return LastError();
  const bool known = IsKnownRate(settings.rate) && (settings.stopBits == 1 || settings.stopBits == 2);
  // A rate of no known text is never handed to the driver: a rate of 0 can
  // hang the line up. The line keeps its rate and stop bits and is only made
  // raw, and the request counts as refused.
  if (known) {
    dcb.BaudRate = settings.rate;
    dcb.StopBits = settings.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  }
  // Raw 8-bit transfer, no parity, no flow control of any kind: the frames
  // are binary, and 0x11/0x13 are data.
  dcb.fBinary = 1;
  dcb.fParity = 0;
  dcb.fOutxCtsFlow = 0;
  dcb.fOutxDsrFlow = 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fDsrSensitivity = 0;
  dcb.fTXContinueOnXoff = 0;
  dcb.fOutX = 0;
  dcb.fInX = 0;
  dcb.fErrorChar = 0;
  dcb.fNull = 0;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = 0;
  dcb.fDummy2 = 0;
  dcb.wReserved = 0;
  dcb.XonLim = 0;
  dcb.XoffLim = 0;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.XonChar = 0;
  dcb.XoffChar = 0;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
  dcb.wReserved1 = 0;
  const bool applied = SetCommState(port, &dcb) != 0;
  const int error = applied ? 0 : LastError();
  // Line control "disabled" lowers DTR and RTS: a PBX that watches them
  // would take the rate change for the terminal going away.
  if (dtrOn_) EscapeCommFunction(port, SETDTR);
  if (rtsOn_) EscapeCommFunction(port, SETRTS);
  if (!applied) return error;
  return known ? 0 : ERROR_INVALID_PARAMETER;
}

int Win32SerialDevice::ApplyTimeouts(const SerialTimeouts& timeouts) {
  std::lock_guard<std::mutex> lock(controlMutex_);
  if (handleNumber_ == -1) return ERROR_INVALID_HANDLE;
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = MAXDWORD;
  t.ReadTotalTimeoutMultiplier = timeouts.readMultiplier;
  t.ReadTotalTimeoutConstant = timeouts.readConstant;
  t.WriteTotalTimeoutMultiplier = timeouts.writeMultiplier;
  t.WriteTotalTimeoutConstant = timeouts.writeConstant;
  readGapMs_ = timeouts.readMultiplier + timeouts.readConstant;
  writeMultiplierMs_ = timeouts.writeMultiplier;
  writeConstantMs_ = timeouts.writeConstant;
  return SetCommTimeouts(AsHandle(port_), &t) ? 0 : LastError();
}

int Win32SerialDevice::SetLine(bool dtr, bool on) {
  std::lock_guard<std::mutex> lock(controlMutex_);
  if (handleNumber_ == -1) return ERROR_INVALID_HANDLE;
  (dtr ? dtrOn_ : rtsOn_) = on;
  const DWORD function = dtr ? (on ? SETDTR : CLRDTR) : (on ? SETRTS : CLRRTS);
  return EscapeCommFunction(AsHandle(port_), function) ? 0 : LastError();
}

int Win32SerialDevice::SetDtr(bool on) { return SetLine(true, on); }

int Win32SerialDevice::SetRts(bool on) { return SetLine(false, on); }

int Win32SerialDevice::GetDsr(bool* dsrOn) {
  *dsrOn = false;
  std::lock_guard<std::mutex> lock(controlMutex_);
  if (handleNumber_ == -1) return ERROR_INVALID_HANDLE;
  DWORD status = 0;
  if (!GetCommModemStatus(AsHandle(port_), &status)) return LastError();
  *dsrOn = (status & MS_DSR_ON) != 0;
  return 0;
}

bool Win32SerialDevice::Await(void* overlappedRecord, unsigned long* transferred, unsigned long timeoutMs) {
  auto* overlapped = static_cast<OVERLAPPED*>(overlappedRecord);
  HANDLE port = AsHandle(port_);
  HANDLE events[2] = {overlapped->hEvent, AsHandle(closeEvent_)};
  const DWORD woken = WaitForMultipleObjects(2, events, FALSE, timeoutMs);
  if (woken != WAIT_OBJECT_0) {
    // Closing, or the time limit: the operation is cancelled, and waited for
    // to its end, since the overlapped record lives on this stack.
    CancelIoEx(port, overlapped);
  }
  DWORD count = 0;
  const BOOL ok = GetOverlappedResult(port, overlapped, &count, TRUE);
  *transferred = count;
  if (woken == WAIT_TIMEOUT) SetLastError(ERROR_TIMEOUT);
  return ok && woken == WAIT_OBJECT_0;
}

int Win32SerialDevice::ReadSome(uint8_t* buffer, uint32_t size, uint32_t* got) {
  *got = 0;
  OVERLAPPED overlapped{};
  overlapped.hEvent = AsHandle(readEvent_);
  DWORD count = 0;
  if (ReadFile(AsHandle(port_), buffer, size, &count, &overlapped)) {
    *got = count;
    return 0;
  }
  if (GetLastError() != ERROR_IO_PENDING) return LastError();
  // The port's read time limits end the read; the wait only needs a bound
  // for a driver that ignores them.
  const unsigned long limit = 2 * readGapMs_.load() * size + 1000;
  unsigned long transferred = 0;
  const bool ok = Await(&overlapped, &transferred, limit);
  *got = transferred;
  return ok ? 0 : LastError();
}

void Win32SerialDevice::PauseAfterFailure() {
  // A port that fails every wait at once (an adapter unplugged) would turn
  // the receive loop into a busy loop; failing no faster than a read that
  // found nothing keeps it calm. A close ends the pause at once.
  WaitForSingleObject(AsHandle(closeEvent_), readGapMs_.load());
}

uint32_t Win32SerialDevice::ReadBurst(uint8_t* buffer, uint32_t size, bool* failed) {
  *failed = false;
  if (size == 0) return 0;
  std::lock_guard<std::mutex> lock(readMutex_);
  if (interrupted_) {
    *failed = true;
    return 0;
  }
  HANDLE port = AsHandle(port_);

  // Wait for a received character or a line error. The mask is set anew on
  // every call, since closing the port clears it to end this very wait.
  bool waitFailed = false;
  if (!SetCommMask(port, EV_RXCHAR | EV_ERR)) {
    waitFailed = true;
  } else {
    OVERLAPPED overlapped{};
    overlapped.hEvent = AsHandle(readEvent_);
    DWORD events = 0;
    if (!WaitCommEvent(port, &events, &overlapped)) {
      if (GetLastError() == ERROR_IO_PENDING) {
        unsigned long ignored = 0;
        waitFailed = !Await(&overlapped, &ignored, INFINITE);
      } else {
        waitFailed = true;
      }
    }
  }
  if (interrupted_) {
    *failed = true;
    return 0;
  }

  // The burst: one byte at a time within the read gap, and whatever the
  // driver already holds in one read.
  uint32_t count = 0;
  while (count < size) {
    uint32_t got = 0;
    if (ReadSome(buffer + count, 1, &got) != 0 || interrupted_) {
      *failed = true;
      break;
    }
    if (got == 0) break;  // the gap after the last byte: the burst is over
    count += got;
    DWORD errors = 0;
    COMSTAT status{};
    if (count < size && ClearCommError(port, &errors, &status) && status.cbInQue > 0) {
      const uint32_t waiting = status.cbInQue < size - count ? status.cbInQue : size - count;
      if (ReadSome(buffer + count, waiting, &got) != 0 || interrupted_) {
        *failed = true;
        count += got;
        break;
      }
      count += got;
    }
  }
  if (count == 0 && (waitFailed || *failed) && !interrupted_) PauseAfterFailure();
  if (waitFailed && count == 0) *failed = true;
  return count;
}

int Win32SerialDevice::Write(const uint8_t* data, uint32_t length) {
  std::lock_guard<std::mutex> lock(writeMutex_);
  if (interrupted_) return ERROR_OPERATION_ABORTED;
  HANDLE port = AsHandle(port_);
  OVERLAPPED overlapped{};
  overlapped.hEvent = AsHandle(writeEvent_);
  DWORD written = 0;
  int error = 0;
  if (!WriteFile(port, data, length, &written, &overlapped)) {
    if (GetLastError() != ERROR_IO_PENDING) {
      error = LastError();
    } else {
      // The port's write limit (2 ms a byte and a second) ends the write;
      // the wait holds to the same bound in case the driver does not.
      const unsigned long limit =
          writeMultiplierMs_.load() * length + writeConstantMs_.load() + 100;
      unsigned long transferred = 0;
      if (!Await(&overlapped, &transferred, limit)) error = LastError();
      written = transferred;
    }
  }
  // A write the port's time limit ended completes with fewer bytes: the
  // frame did not go out, which is a failure, not a success.
  if (error == 0 && written != length) error = ERROR_TIMEOUT;
  if (error == 0 && interrupted_) error = ERROR_OPERATION_ABORTED;
  if (error != 0) {
    // A port error stops all further I/O until it is cleared.
    DWORD errors = 0;
    ClearCommError(port, &errors, nullptr);
  }
  return error;
}

void Win32SerialDevice::Interrupt() {
  if (interrupted_.exchange(true)) return;
  SetEvent(AsHandle(closeEvent_));
  HANDLE port = AsHandle(port_);
  // A new mask ends a pending WaitCommEvent at once; cancelling the port's
  // I/O covers a read or write that is under way.
  SetCommMask(port, 0);
  CancelIoEx(port, nullptr);
}

int Win32SerialDevice::Close() {
  Interrupt();
  // The handle goes only after both directions have left the port: a
  // handle value reused by another open must never be read from.
  std::scoped_lock lock(readMutex_, writeMutex_, controlMutex_);
  if (handleNumber_.exchange(-1) == -1) return 0;
  return CloseHandle(AsHandle(port_)) ? 0 : LastError();
}

}  // namespace kavro::platform
