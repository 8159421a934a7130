// A scripted TCP peer on 127.0.0.1 that runs in a thread of the test process
// over the operating system's own sockets, independent of the code under test.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

namespace qm::http::testing {

#ifdef _WIN32
using NativeSocket = uintptr_t;
#else
using NativeSocket = int;
#endif

// One accepted connection, blocking calls with a 10 second limit each.
class PeerConnection {
 public:
  explicit PeerConnection(NativeSocket socket) : socket_(socket) {}
  ~PeerConnection();

  // Everything until the other side closes (or the time limit).
  std::string ReceiveAll();
  // Up to n bytes; fewer when the other side closes first.
  std::string ReceiveExactly(size_t n);
  void SendAll(const std::string& data);
  // Orderly close.
  void Close();
  // Close with a reset (linger on, 0 seconds).
  void Reset();

 private:
  NativeSocket socket_;
  bool open_ = true;
};

class LoopbackPeer {
 public:
  LoopbackPeer();  // listens on an ephemeral loopback port
  ~LoopbackPeer();

  std::string port() const { return std::to_string(port_); }
  // Accepts connections one after another and runs script on each, in the
  // peer's thread, until `connections` have been served.
  void Serve(const std::function<void(PeerConnection&)>& script, int connections = 1);
  // Waits for the scripts to end.
  void Join();

 private:
  NativeSocket listener_;
  uint16_t port_ = 0;
  std::thread thread_;
};

// A loopback port on which nothing listens (bound once, then released).
std::string RefusedPort();

}  // namespace qm::http::testing
