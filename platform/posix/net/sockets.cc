// Non-blocking sockets whose readiness, seen by the loop's descriptor watch,
// becomes Winsock-style network event messages: connect once, read re-armed
// by each receive, write after a send that would block, close once.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <unordered_map>

#include "platform/message_loop.h"
#include "platform/posix/fd_watch.h"
#include "platform/posix/net/socket_errors.h"
#include "platform/socket.h"

namespace qm::platform {
namespace {

// A handle is the descriptor plus a serial number above it, so that a late
// event of a closed socket never matches a newer one on the same descriptor.
constexpr int kFdBits = sizeof(SocketHandle) >= 8 ? 32 : 20;
constexpr SocketHandle kFdMask = (static_cast<SocketHandle>(1) << kFdBits) - 1;
constexpr SocketHandle kSerialLimit =
    (~static_cast<SocketHandle>(0) >> kFdBits) - 1;  // kInvalidSocket stays unused

struct Entry {
  SocketHandle handle = kInvalidSocket;
  uintptr_t window = 0;
  uint32_t message = 0;
  uint32_t events = 0;
  bool connecting = false;
  bool read_armed = true;
  bool write_armed = false;
  bool closed_posted = false;
};

std::unordered_map<int, Entry>& Sockets() {
  static std::unordered_map<int, Entry> sockets;
  return sockets;
}

SocketHandle g_serial = 0;

Entry* Find(SocketHandle handle) {
  if (handle == kInvalidSocket) {
    return nullptr;
  }
  auto it = Sockets().find(static_cast<int>(handle & kFdMask));
  if (it == Sockets().end() || it->second.handle != handle) {
    return nullptr;
  }
  return &it->second;
}

Entry* FindOrFail(SocketHandle handle) {
  Entry* entry = Find(handle);
  if (entry == nullptr) {
    SetSocketLastError(kSockErrNotSocket);
  }
  return entry;
}

int FdOf(const Entry& entry) {
  return static_cast<int>(entry.handle & kFdMask);
}

void Post(const Entry& entry, uint32_t event, int error) {
  if (entry.window == 0 || (entry.events & event) == 0) {
    return;
  }
  PostToWindow(entry.window, entry.message, entry.handle,
               static_cast<intptr_t>(event | (static_cast<uint32_t>(error) << 16)));
}

void OnReady(int fd, unsigned ready);

void UpdateWatch(const Entry& entry) {
  unsigned watch = 0;
  if (entry.window != 0 && entry.events != 0) {
    if (entry.connecting) {
      watch = posix::kFdWritable;
    } else {
      if (entry.read_armed && !entry.closed_posted && (entry.events & (kNetRead | kNetClose))) {
        watch |= posix::kFdReadable;
      }
      if (entry.write_armed && (entry.events & kNetWrite)) {
        watch |= posix::kFdWritable;
      }
    }
  }
  posix::WatchFd(FdOf(entry), watch, OnReady);
}

void OnReady(int fd, unsigned ready) {
  auto it = Sockets().find(fd);
  if (it == Sockets().end()) {
    return;
  }
  Entry& entry = it->second;
  if (entry.connecting) {
    if ((ready & posix::kFdWritable) == 0) {
      return;
    }
    int so_error = 0;
    socklen_t length = sizeof(so_error);
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &length) != 0) {
      so_error = errno;
    }
    entry.connecting = false;
    int error = posix::WinsockErrorFromErrno(so_error);
    Post(entry, kNetConnect, error);
    if (error == 0) {
      // Winsock says at once that a fresh connection can be written.
      Post(entry, kNetWrite, 0);
    } else {
      entry.read_armed = false;
    }
    UpdateWatch(entry);
    return;
  }
  if ((ready & posix::kFdReadable) && entry.read_armed && !entry.closed_posted) {
    char byte;
    ssize_t n = recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
      entry.read_armed = false;
      Post(entry, kNetRead, 0);
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      entry.closed_posted = true;
      Post(entry, kNetClose, n == 0 ? 0 : posix::WinsockErrorFromErrno(errno));
    }
  }
  if ((ready & posix::kFdWritable) && entry.write_armed) {
    entry.write_armed = false;
    Post(entry, kNetWrite, 0);
  }
  UpdateWatch(entry);
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = port;
  return sa;
}

bool SetIntOption(SocketHandle socket, int level, int name, int value) {
  Entry* entry = FindOrFail(socket);
  if (entry == nullptr) {
    return false;
  }
  if (setsockopt(FdOf(*entry), level, name, &value, sizeof(value)) != 0) {
    posix::SetLastErrorFromErrno();
    return false;
  }
  return true;
}

}  // namespace

SocketHandle OpenSocket(int type, int protocol) {
  int native_type = type == kSockStream ? SOCK_STREAM : type == kSockDgram ? SOCK_DGRAM : SOCK_RAW;
  int fd = ::socket(AF_INET, native_type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
  if (fd < 0) {
    posix::SetLastErrorFromErrno();
    return kInvalidSocket;
  }
  if (static_cast<SocketHandle>(fd) > kFdMask) {
    ::close(fd);
    SetSocketLastError(kSockErrTooManyFiles);
    return kInvalidSocket;
  }
  g_serial = g_serial >= kSerialLimit ? 1 : g_serial + 1;
  Entry entry;
  entry.handle = (g_serial << kFdBits) | static_cast<SocketHandle>(fd);
  Sockets()[fd] = entry;
  return entry.handle;
}

bool SelectEvents(SocketHandle socket, uintptr_t window, uint32_t message, uint32_t events) {
  Entry* entry = FindOrFail(socket);
  if (entry == nullptr) {
    return false;
  }
  entry->window = window;
  entry->message = message;
  entry->events = events;
  UpdateWatch(*entry);
  return true;
}

bool SetReuseAddress(SocketHandle socket, bool on) {
  return SetIntOption(socket, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}

bool SetNoDelay(SocketHandle socket, bool on) {
  return SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}

bool SetKeepAlive(SocketHandle socket, bool on) {
  return SetIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, on ? 1 : 0);
}

bool SetLinger(SocketHandle socket, bool on, int seconds) {
  Entry* entry = FindOrFail(socket);
  if (entry == nullptr) {
    return false;
  }
  linger value{};
  value.l_onoff = on ? 1 : 0;
  value.l_linger = seconds;
  if (setsockopt(FdOf(*entry), SOL_SOCKET, SO_LINGER, &value, sizeof(value)) != 0) {
    posix::SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool BindSocket(SocketHandle socket, uint32_t address, uint16_t port) {
  Entry* entry = FindOrFail(socket);
  if (entry == nullptr) {
    return false;
  }
  sockaddr_in sa = MakeAddress(address, port);
  if (::bind(FdOf(*entry), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) != 0) {
    posix::SetLastErrorFromErrno();
    return false;
  }
  return true;
}

static bool GetName(SocketHandle socket, bool peer, uint32_t* address, uint16_t* port) {
  Entry* entry = FindOrFail(socket);
  if (entry == nullptr) {
    return false;
  }
  sockaddr_in sa{};
  socklen_t length = sizeof(sa);
  int rc = peer ? getpeername(FdOf(*entry), reinterpret_cast<sockaddr*>(&sa), &length)
                : getsockname(FdOf(*entry), reinterpret_cast<sockaddr*>(&sa), &length);
  if (rc != 0) {
    posix::SetLastErrorFromErrno();
    return false;
  }
  *address = sa.sin_addr.s_addr;
  *port = sa.sin_port;
  return true;
}

bool GetLocalName(SocketHandle socket, uint32_t* address, uint16_t* port) {
  return GetName(socket, false, address, port);
}

bool GetPeerName(SocketHandle socket, uint32_t* address, uint16_t* port) {
  return GetName(socket, true, address, port);
}

int ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port) {
  Entry* entry = FindOrFail(socket);
  if (entry == nullptr) {
    return -1;
  }
  sockaddr_in sa = MakeAddress(address, port);
  int rc = ::connect(FdOf(*entry), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa));
  int error = rc == 0 ? 0 : errno;
  switch (error) {
    case 0:
    case EINPROGRESS:
    case EINTR:
      // The result comes with the connect event, as Winsock gives it.
      entry->connecting = true;
      UpdateWatch(*entry);
      break;
    case ECONNREFUSED:
    case ENETUNREACH:
    case EHOSTUNREACH:
    case ETIMEDOUT:
      // Refused at once (loopback): still reported through the event.
      entry->read_armed = false;
      Post(*entry, kNetConnect, posix::WinsockErrorFromErrno(error));
      UpdateWatch(*entry);
      break;
    default:
      SetSocketLastError(posix::WinsockErrorFromErrno(error));
      return -1;
  }
  SetSocketLastError(kSockErrWouldBlock);
  return -1;
}

int SendSocket(SocketHandle socket, const void* data, int length, int flags) {
  Entry* entry = FindOrFail(socket);
  if (entry == nullptr) {
    return -1;
  }
  int native_flags = MSG_NOSIGNAL | MSG_DONTWAIT | ((flags & 1) ? MSG_OOB : 0);
  ssize_t n = ::send(FdOf(*entry), data, static_cast<size_t>(length), native_flags);
  if (n < 0) {
    posix::SetLastErrorFromErrno();
    if (SocketLastError() == kSockErrWouldBlock) {
      entry->write_armed = true;
      UpdateWatch(*entry);
    }
    return -1;
  }
  if (n < length) {
    // The buffer is full: say when it has room again.
    entry->write_armed = true;
    UpdateWatch(*entry);
  }
  return static_cast<int>(n);
}

int ReceiveSocket(SocketHandle socket, void* buffer, int size, int flags) {
  Entry* entry = FindOrFail(socket);
  if (entry == nullptr) {
    return -1;
  }
  int native_flags = MSG_DONTWAIT | ((flags & 1) ? MSG_OOB : 0);
  ssize_t n = ::recv(FdOf(*entry), buffer, static_cast<size_t>(size < 0 ? 0 : size), native_flags);
  int saved = errno;
  if (!entry->connecting && !entry->read_armed) {
    entry->read_armed = true;
    UpdateWatch(*entry);
  }
  if (n < 0) {
    SetSocketLastError(posix::WinsockErrorFromErrno(saved));
    return -1;
  }
  return static_cast<int>(n);
}

bool BytesAvailable(SocketHandle socket, uint32_t* count) {
  Entry* entry = FindOrFail(socket);
  if (entry == nullptr) {
    return false;
  }
  int value = 0;
  if (ioctl(FdOf(*entry), FIONREAD, &value) != 0) {
    posix::SetLastErrorFromErrno();
    return false;
  }
  *count = static_cast<uint32_t>(value < 0 ? 0 : value);
  return true;
}

bool ShutdownSocket(SocketHandle socket, int how) {
  Entry* entry = FindOrFail(socket);
  if (entry == nullptr) {
    return false;
  }
  int native = how == 0 ? SHUT_RD : how == 1 ? SHUT_WR : SHUT_RDWR;
  if (::shutdown(FdOf(*entry), native) != 0) {
    posix::SetLastErrorFromErrno();
    return false;
  }
  return true;
}

bool CloseSocket(SocketHandle socket) {
  Entry* entry = FindOrFail(socket);
  if (entry == nullptr) {
    return false;
  }
  int fd = FdOf(*entry);
  posix::UnwatchFd(fd);
  Sockets().erase(fd);
  if (::close(fd) != 0 && errno != EINTR) {
    posix::SetLastErrorFromErrno();
    return false;
  }
  return true;
}

}  // namespace qm::platform
