// Non-blocking sockets whose network events WSAAsyncSelect posts to a window.
#include <map>
#include <vector>

#include "platform/message_loop.h"
#include "platform/socket.h"
#include "platform/win32/net/wsock_api.h"

namespace qm::platform {
namespace {

// Winsock hands out the same handle values again soon after a close, so the
// handles given to callers are serial numbers that are never reused. Network
// events reach a relay window of this layer first, which swaps the Winsock
// handle for the caller's and passes them on in order.
struct Entry {
  SOCKET native = INVALID_SOCKET;
  uintptr_t target = 0;
  uint32_t message = 0;
};

constexpr uint32_t kRelayMessage = kUserMessage + 1;

std::map<SocketHandle, Entry>& Sockets() {
  static std::map<SocketHandle, Entry> sockets;
  return sockets;
}

std::map<SOCKET, SocketHandle>& ByNative() {
  static std::map<SOCKET, SocketHandle> by_native;
  return by_native;
}

SocketHandle g_next_handle = 0x1000;

void Relay(const Message& message) {
  if (message.id != kRelayMessage) {
    return;
  }
  auto it = ByNative().find(static_cast<SOCKET>(message.wparam));
  if (it == ByNative().end()) {
    return;
  }
  const Entry& entry = Sockets()[it->second];
  if (entry.target != 0) {
    PostToWindow(entry.target, entry.message, it->second, message.lparam);
  }
}

MessageWindow& RelayWindow() {
  static MessageWindow window(Relay);
  return window;
}

Entry* Find(SocketHandle socket) {
  auto it = Sockets().find(socket);
  if (it == Sockets().end()) {
    SetSocketLastError(kSockErrNotSocket);
    return nullptr;
  }
  return &it->second;
}

// The Winsock handle, or INVALID_SOCKET with the error set.
SOCKET Native(SocketHandle socket) {
  Entry* entry = Find(socket);
  return entry != nullptr ? entry->native : INVALID_SOCKET;
}

sockaddr_in MakeAddress(uint32_t address, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = port;
  return sa;
}

bool SetOption(SocketHandle socket, int level, int name, const void* value, int size) {
  const win32::WsockApi* api = win32::Api();
  SOCKET s = Native(socket);
  return api != nullptr && s != INVALID_SOCKET &&
         api->setsockopt(s, level, name, static_cast<const char*>(value), size) == 0;
}

bool SetBool(SocketHandle socket, int level, int name, bool on) {
  BOOL value = on ? TRUE : FALSE;
  return SetOption(socket, level, name, &value, sizeof(value));
}

// Events of a closed socket still queued at the relay would otherwise be
// taken for those of a new socket with the same Winsock handle.
void DropQueuedEvents(SOCKET native) {
  HWND relay = reinterpret_cast<HWND>(RelayWindow().native_handle());
  MSG msg;
  std::vector<MSG> others;
  while (PeekMessageW(&msg, relay, kRelayMessage, kRelayMessage, PM_REMOVE)) {
    if (static_cast<SOCKET>(msg.wParam) != native) {
      others.push_back(msg);
    }
  }
  for (const MSG& m : others) {
    PostMessageW(m.hwnd, m.message, m.wParam, m.lParam);
  }
}

}  // namespace

SocketHandle OpenSocket(int type, int protocol) {
  const win32::WsockApi* api = win32::Api();
  if (api == nullptr) {
    return kInvalidSocket;
  }
  int native_type = type == kSockStream ? SOCK_STREAM : type == kSockDgram ? SOCK_DGRAM : SOCK_RAW;
  SOCKET s = api->socket(AF_INET, native_type, protocol);
  if (s == INVALID_SOCKET) {
    return kInvalidSocket;
  }
  u_long non_blocking = 1;
  api->ioctlsocket(s, FIONBIO, &non_blocking);
  SocketHandle handle = g_next_handle++;
  if (g_next_handle == kInvalidSocket) {
    g_next_handle = 0x1000;
  }
  Sockets()[handle] = Entry{s, 0, 0};
  ByNative()[s] = handle;
  return handle;
}

bool SelectEvents(SocketHandle socket, uintptr_t window, uint32_t message, uint32_t events) {
  const win32::WsockApi* api = win32::Api();
  Entry* entry = Find(socket);
  if (api == nullptr || entry == nullptr) {
    return false;
  }
  HWND relay = reinterpret_cast<HWND>(RelayWindow().native_handle());
  if (api->WSAAsyncSelect(entry->native, relay, kRelayMessage, static_cast<long>(events)) != 0) {
    return false;
  }
  entry->target = window;
  entry->message = message;
  return true;
}

bool SetReuseAddress(SocketHandle socket, bool on) {
  return SetBool(socket, SOL_SOCKET, SO_REUSEADDR, on);
}

bool SetNoDelay(SocketHandle socket, bool on) {
  return SetBool(socket, IPPROTO_TCP, TCP_NODELAY, on);
}

bool SetKeepAlive(SocketHandle socket, bool on) {
  return SetBool(socket, SOL_SOCKET, SO_KEEPALIVE, on);
}

bool SetLinger(SocketHandle socket, bool on, int seconds) {
  linger value{};
  value.l_onoff = on ? 1 : 0;
  value.l_linger = static_cast<u_short>(seconds);
  return SetOption(socket, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
}

bool BindSocket(SocketHandle socket, uint32_t address, uint16_t port) {
  const win32::WsockApi* api = win32::Api();
  sockaddr_in sa = MakeAddress(address, port);
  return api != nullptr &&
         api->bind(Native(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0;
}

bool GetLocalName(SocketHandle socket, uint32_t* address, uint16_t* port) {
  const win32::WsockApi* api = win32::Api();
  sockaddr_in sa{};
  int length = sizeof(sa);
  if (api == nullptr ||
      api->getsockname(Native(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
    return false;
  }
  *address = sa.sin_addr.s_addr;
  *port = sa.sin_port;
  return true;
}

bool GetPeerName(SocketHandle socket, uint32_t* address, uint16_t* port) {
  const win32::WsockApi* api = win32::Api();
  sockaddr_in sa{};
  int length = sizeof(sa);
  if (api == nullptr ||
      api->getpeername(Native(socket), reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
    return false;
  }
  *address = sa.sin_addr.s_addr;
  *port = sa.sin_port;
  return true;
}

int ConnectSocket(SocketHandle socket, uint32_t address, uint16_t port) {
  const win32::WsockApi* api = win32::Api();
  if (api == nullptr) {
    return -1;
  }
  sockaddr_in sa = MakeAddress(address, port);
  return api->connect(Native(socket), reinterpret_cast<const sockaddr*>(&sa), sizeof(sa)) == 0 ? 0
                                                                                               : -1;
}

int SendSocket(SocketHandle socket, const void* data, int length, int flags) {
  const win32::WsockApi* api = win32::Api();
  if (api == nullptr) {
    return -1;
  }
  int n =
      api->send(Native(socket), static_cast<const char*>(data), length, (flags & 1) ? MSG_OOB : 0);
  return n == SOCKET_ERROR ? -1 : n;
}

int ReceiveSocket(SocketHandle socket, void* buffer, int size, int flags) {
  const win32::WsockApi* api = win32::Api();
  if (api == nullptr) {
    return -1;
  }
  int n = api->recv(Native(socket), static_cast<char*>(buffer), size, (flags & 1) ? MSG_OOB : 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool BytesAvailable(SocketHandle socket, uint32_t* count) {
  const win32::WsockApi* api = win32::Api();
  u_long value = 0;
  if (api == nullptr || api->ioctlsocket(Native(socket), FIONREAD, &value) != 0) {
    return false;
  }
  *count = static_cast<uint32_t>(value);
  return true;
}

bool ShutdownSocket(SocketHandle socket, int how) {
  const win32::WsockApi* api = win32::Api();
  return api != nullptr && api->shutdown(Native(socket), how) == 0;
}

bool CloseSocket(SocketHandle socket) {
  const win32::WsockApi* api = win32::Api();
  Entry* entry = Find(socket);
  if (api == nullptr || entry == nullptr) {
    return false;
  }
  SOCKET native = entry->native;
  bool closed = api->closesocket(native) == 0;
  int error = closed ? 0 : api->WSAGetLastError();
  // Forgotten either way: the caller drops the handle after this call.
  Sockets().erase(socket);
  ByNative().erase(native);
  if (!closed) {
    api->WSASetLastError(error);
    return false;
  }
  DropQueuedEvents(native);
  return true;
}

}  // namespace qm::platform
