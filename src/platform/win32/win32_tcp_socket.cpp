#include "platform/win32/win32_tcp_socket.h"

// Only the types and constants of Winsock: its functions come from
// ws2_32.dll at run time, so the program does not import it.
#include <winsock2.h>
#include <algorithm>
#include <cstring>
#include <windows.h>

namespace kavro::platform {

namespace {

// ws2_32.dll's functions as the link needs them. The documented ordinals are
// those of the Winsock 1.1 interface, which ws2_32.dll keeps stable; the
// three calls the bounded waits add are bound by name.
struct Winsock {
  int(WSAAPI* closesocket)(SOCKET);
  int(WSAAPI* connect)(SOCKET, const sockaddr*, int);
  u_short(WSAAPI* htons)(u_short);
  unsigned long(WSAAPI* inet_addr)(const char*);
  int(WSAAPI* recv)(SOCKET, char*, int, int);
  int(WSAAPI* send)(SOCKET, const char*, int, int);
  int(WSAAPI* shutdown)(SOCKET, int);
  SOCKET(WSAAPI* socket)(int, int, int);
  int(WSAAPI* WSAGetLastError)();
  int(WSAAPI* WSAStartup)(WORD, LPWSADATA);
  int(WSAAPI* WSACleanup)();
  int(WSAAPI* ioctlsocket)(SOCKET, long, u_long*);
  int(WSAAPI* select)(int, fd_set*, fd_set*, fd_set*, const timeval*);
  int(WSAAPI* getsockopt)(SOCKET, int, int, char*, int*);
};

Winsock ws{};
std::mutex winsockMutex;
bool winsockLoaded = false;

template <typename Function>
bool Bind(HMODULE module, Function& function, const char* name) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  return function != nullptr;
}

template <typename Function>
bool Bind(HMODULE module, Function& function, WORD ordinal) {
  return Bind(module, function, MAKEINTRESOURCEA(ordinal));
}

SOCKET AsSocket(uintptr_t value) { return static_cast<SOCKET>(value); }

// A set of the one socket, filled without the FD_SET macros, whose test
// calls into ws2_32.dll.
fd_set Only(SOCKET s) {
  fd_set set;
  set.fd_count = 1;
  set.fd_array[0] = s;
  return set;
}

timeval Milliseconds(uint64_t ms) {
  timeval t;
  t.tv_sec = static_cast<long>(ms / 1000);
  t.tv_usec = static_cast<long>((ms % 1000) * 1000);
  return t;
}

int32_t PendingError(SOCKET s) {
  int error = 0;
  int size = sizeof error;
  if (ws.getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &size) != 0) {
    return ws.WSAGetLastError();
  }
  return error;
}

}  // namespace

bool Win32TcpSocket::LoadWinsock(int32_t* error) {
  std::lock_guard<std::mutex> lock(winsockMutex);
  if (winsockLoaded) return true;
  HMODULE module = LoadLibraryA("ws2_32.dll");
  if (module == nullptr) {
    *error = static_cast<int32_t>(GetLastError());
    return false;
  }
  const bool bound = Bind(module, ws.closesocket, 3) && Bind(module, ws.connect, 4) && Bind(module, ws.htons, 9) &&
                     Bind(module, ws.inet_addr, 11) && Bind(module, ws.recv, 16) && Bind(module, ws.send, 19) &&
                     Bind(module, ws.shutdown, 22) && Bind(module, ws.socket, 23) &&
                     Bind(module, ws.WSAGetLastError, 111) && Bind(module, ws.WSAStartup, 115) &&
                     Bind(module, ws.WSACleanup, 116) && Bind(module, ws.ioctlsocket, "ioctlsocket") &&
                     Bind(module, ws.select, "select") && Bind(module, ws.getsockopt, "getsockopt");
  if (!bound) {
    *error = ERROR_PROC_NOT_FOUND;
    FreeLibrary(module);
    return false;
  }
  // Kept loaded for the life of the process: a later link needs it again.
  winsockLoaded = true;
  return true;
}

Win32TcpSocket::~Win32TcpSocket() { Close(); }

void Win32TcpSocket::Release() {
  if (started_) ws.WSACleanup();
  started_ = false;
}

int32_t Win32TcpSocket::Connect(const char* address, uint16_t port) {
  Close();
  // Nothing read ahead of an earlier connection belongs to this one.
  aheadAt_ = aheadEnd_ = 0;
  int32_t error = 0;
  if (!LoadWinsock(&error)) return error;
  WSADATA data;
  const int started = ws.WSAStartup(MAKEWORD(2, 2), &data);
  // A failed start has nothing to clean up: WSACleanup belongs to a start
  // that succeeded, and would end another user's in this process.
  if (started != 0) return started;
  started_ = true;
  closing_ = false;

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = ws.htons(port);
  // Not checked beforehand: a text that is no address makes the connect
  // fail, as an unreachable address does.
  peer.sin_addr.s_addr = ws.inet_addr(address != nullptr ? address : "");

  const SOCKET s = ws.socket(AF_INET, SOCK_STREAM, 0);
  if (s == INVALID_SOCKET) {
    error = ws.WSAGetLastError();
    Release();
    return error;
  }
  u_long nonBlocking = 1;
  if (ws.ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    error = ws.WSAGetLastError();
  } else if (ws.connect(s, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) != 0) {
    error = ws.WSAGetLastError();
    if (error == WSAEWOULDBLOCK) {
      // The outcome, within the limit. A failed connect shows in the
      // exception set, a successful one in the write set.
      error = 0;
      const uint64_t deadline = GetTickCount64() + CONNECT_LIMIT_MS;
      for (;;) {
        fd_set writable = Only(s);
        fd_set failed = Only(s);
        const timeval slice = Milliseconds(CONNECT_SLICE_MS);
        const int ready = ws.select(0, nullptr, &writable, &failed, &slice);
        if (ready == SOCKET_ERROR) {
          error = ws.WSAGetLastError();
          break;
        }
        if (failed.fd_count > 0) {
          error = PendingError(s);
          if (error == 0) error = WSAECONNREFUSED;
          break;
        }
        if (writable.fd_count > 0) {
          error = PendingError(s);
          break;
        }
        if (connectWaitHook_ && connectWaitHook_()) {
          error = WSAEINTR;
          break;
        }
        if (GetTickCount64() >= deadline) {
          error = WSAETIMEDOUT;
          break;
        }
      }
    }
  }
  if (error != 0) {
    ws.closesocket(s);
    Release();
    return error;
  }
  socket_ = static_cast<uintptr_t>(s);
  // Socket handles have 32 significant bits on 64-bit Windows as well.
  handleNumber_ = static_cast<int32_t>(s);
  return 0;
}

int32_t Win32TcpSocket::Send(const uint8_t* data, uint32_t length, SendProgress& progress) {
  progress = SendProgress{};
  std::lock_guard<std::mutex> lock(sendMutex_);
  if (closing_ || handleNumber_ == -1) return WSAENOTCONN;
  const SOCKET s = AsSocket(socket_);
  // The Linux socket's limit: a second and a millisecond per 16 bytes to
  // start, as long again for the rest once the first byte is out.
  uint64_t deadline = GetTickCount64() + SEND_CONSTANT_MS + length / SEND_BYTES_PER_MS;
  uint32_t done = 0;
  int32_t error = 0;
  while (done < length && error == 0) {
    const uint32_t chunk = length - done > 0x7FFFFFFF ? 0x7FFFFFFF : length - done;
    const int n = ws.send(s, reinterpret_cast<const char*>(data + done), static_cast<int>(chunk), 0);
    if (n > 0) {
      if (done == 0) {
        deadline = GetTickCount64() + SEND_CONSTANT_MS + (length - static_cast<uint32_t>(n)) / SEND_BYTES_PER_MS;
      }
      done += static_cast<uint32_t>(n);
      continue;
    }
    const int failure = ws.WSAGetLastError();
    if (n == 0 || failure != WSAEWOULDBLOCK) {
      error = n == 0 ? WSAECONNRESET : failure;
      break;
    }
    // The peer is not taking bytes: wait for room, the limit or the close.
    const uint64_t now = GetTickCount64();
    if (now >= deadline) {
      error = WSAETIMEDOUT;
    } else if (closing_) {
      error = WSAESHUTDOWN;
    } else {
      const uint64_t left = deadline - now;
      fd_set writable = Only(s);
      fd_set failed = Only(s);
      const timeval slice = Milliseconds(left < 200 ? left : 200);
      const int ready = ws.select(0, nullptr, &writable, &failed, &slice);
      if (ready == SOCKET_ERROR) {
        error = ws.WSAGetLastError();
      } else if (failed.fd_count > 0) {
        const int32_t pending = PendingError(s);
        error = pending != 0 ? pending : WSAECONNRESET;
      }
    }
  }
  if (error != 0 && done > 0) {
    // Cut short: whatever followed would land inside the cut block and put
    // the peer's framing out of step for good. The connection ends before
    // the lock lets another block out, and the receive thread, woken by
    // the shutdown, finds it gone.
    progress.Sent = done;
    progress.Closing = closing_;
    closing_ = true;
    ws.shutdown(s, SD_BOTH);
  }
  return error;
}

int32_t Win32TcpSocket::Receive(uint8_t* buffer, uint32_t size, int32_t& error) {
  std::lock_guard<std::mutex> lock(receiveMutex_);
  constexpr size_t READ_AHEAD = 65536;
  for (;;) {
    // After a shutdown the connection counts as closed by the peer.
    if (closing_ || handleNumber_ == -1) return 0;
    if (aheadAt_ < aheadEnd_) {
      const size_t n = std::min<size_t>(size, aheadEnd_ - aheadAt_);
      std::memcpy(buffer, ahead_.data() + aheadAt_, n);
      aheadAt_ += n;
      return static_cast<int32_t>(n);
    }
    const SOCKET s = AsSocket(socket_);
    fd_set readable = Only(s);
    fd_set failed = Only(s);
    // The shutdown wakes the wait; the slice only bounds how long a close
    // can be kept waiting for this lock where it would not.
    const timeval slice = Milliseconds(200);
    const int ready = ws.select(0, &readable, nullptr, &failed, &slice);
    if (ready == SOCKET_ERROR) {
      error = ws.WSAGetLastError();
      return -1;
    }
    if (ready == 0) continue;
    // Woken by our own shutdown: the connection is over, as when the peer
    // closes it.
    if (closing_) return 0;
    ahead_.resize(READ_AHEAD);
    const int n = ws.recv(s, reinterpret_cast<char*>(ahead_.data()), static_cast<int>(READ_AHEAD), 0);
    if (n == 0) return 0;
    if (n > 0) {
      aheadAt_ = 0;
      aheadEnd_ = static_cast<size_t>(n);
      continue;
    }
    const int failure = ws.WSAGetLastError();
    if (failure == WSAEWOULDBLOCK || failure == WSAEINTR) continue;
    error = failure;
    return -1;
  }
}

void Win32TcpSocket::Shutdown() {
  closing_ = true;
  if (handleNumber_ != -1) ws.shutdown(AsSocket(socket_), SD_BOTH);
}

void Win32TcpSocket::Close() {
  closing_ = true;
  std::scoped_lock lock(sendMutex_, receiveMutex_);
  if (handleNumber_ != -1) {
    ws.closesocket(AsSocket(socket_));
    socket_ = ~uintptr_t{0};
    handleNumber_ = -1;
  }
  Release();
}

}  // namespace kavro::platform
