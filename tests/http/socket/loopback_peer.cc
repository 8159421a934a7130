#include "tests/http/socket/loopback_peer.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <stdexcept>

namespace qm::http::testing {
namespace {

#ifdef _WIN32
struct WinsockUser {
  WinsockUser() {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  }
};
void EnsureStarted() {
  static WinsockUser user;
}
constexpr int kSendFlags = 0;
void CloseNative(NativeSocket s) {
  closesocket(static_cast<SOCKET>(s));
}
NativeSocket InvalidNative() {
  return static_cast<NativeSocket>(INVALID_SOCKET);
}
#else
void EnsureStarted() {}
constexpr int kSendFlags = MSG_NOSIGNAL;
void CloseNative(NativeSocket s) {
  close(s);
}
NativeSocket InvalidNative() {
  return -1;
}
#endif

void SetTimeouts(NativeSocket s) {
#ifdef _WIN32
  DWORD ms = 10000;
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&ms),
             sizeof(ms));
  setsockopt(static_cast<SOCKET>(s), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<char*>(&ms),
             sizeof(ms));
#else
  timeval tv{10, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
#endif
}

NativeSocket BoundLoopbackSocket(uint16_t* port) {
  EnsureStarted();
  NativeSocket s = static_cast<NativeSocket>(socket(AF_INET, SOCK_STREAM, 0));
  if (s == InvalidNative()) {
    throw std::runtime_error("peer: socket failed");
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    throw std::runtime_error("peer: bind failed");
  }
  socklen_t length = sizeof(sa);
  getsockname(s, reinterpret_cast<sockaddr*>(&sa), &length);
  *port = ntohs(sa.sin_port);
  return s;
}

// Waits up to 10 seconds for a connection.
NativeSocket AcceptOne(NativeSocket listener) {
#ifdef _WIN32
  fd_set set;
  FD_ZERO(&set);
  FD_SET(static_cast<SOCKET>(listener), &set);
  timeval tv{10, 0};
  if (select(0, &set, nullptr, nullptr, &tv) <= 0)
    return InvalidNative();
  return static_cast<NativeSocket>(accept(static_cast<SOCKET>(listener), nullptr, nullptr));
#else
  pollfd p{listener, POLLIN, 0};
  if (poll(&p, 1, 10000) <= 0) {
    return InvalidNative();
  }
  return accept(listener, nullptr, nullptr);
#endif
}

}  // namespace

PeerConnection::~PeerConnection() {
  Close();
}

std::string PeerConnection::ReceiveAll() {
  std::string data;
  char buffer[65536];
  for (;;) {
    int n = static_cast<int>(recv(socket_, buffer, sizeof(buffer), 0));
    if (n <= 0) {
      return data;
    }
    data.append(buffer, static_cast<size_t>(n));
  }
}

std::string PeerConnection::ReceiveExactly(size_t count) {
  std::string data;
  char buffer[65536];
  while (data.size() < count) {
    size_t want = std::min(sizeof(buffer), count - data.size());
    int n = static_cast<int>(recv(socket_, buffer, static_cast<int>(want), 0));
    if (n <= 0) {
      break;
    }
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

void PeerConnection::SendAll(const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    int n = static_cast<int>(
        send(socket_, data.data() + done, static_cast<int>(data.size() - done), kSendFlags));
    if (n <= 0) {
      return;
    }
    done += static_cast<size_t>(n);
  }
}

void PeerConnection::Close() {
  if (open_) {
    CloseNative(socket_);
  }
  open_ = false;
}

void PeerConnection::Reset() {
  if (!open_) {
    return;
  }
  linger value{};
  value.l_onoff = 1;
  value.l_linger = 0;
  setsockopt(socket_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value), sizeof(value));
  Close();
}

LoopbackPeer::LoopbackPeer() {
  listener_ = BoundLoopbackSocket(&port_);
  if (listen(listener_, 8) != 0) {
    throw std::runtime_error("peer: listen failed");
  }
}

LoopbackPeer::~LoopbackPeer() {
  Join();
  CloseNative(listener_);
}

void LoopbackPeer::Serve(const std::function<void(PeerConnection&)>& script, int connections) {
  Join();
  thread_ = std::thread([this, script, connections] {
    for (int i = 0; i < connections; ++i) {
      NativeSocket s = AcceptOne(listener_);
      if (s == InvalidNative()) {
        return;
      }
      SetTimeouts(s);
      PeerConnection connection(s);
      script(connection);
    }
  });
}

void LoopbackPeer::Join() {
  if (thread_.joinable()) {
    thread_.join();
  }
}

std::string RefusedPort() {
  uint16_t port = 0;
  NativeSocket s = BoundLoopbackSocket(&port);
  CloseNative(s);
  return std::to_string(port);
}

}  // namespace qm::http::testing
