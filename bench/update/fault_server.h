// The project's streaming fault server (tests/harness/fault_server.py) in
// front of the benchmark's nginx, for as long as the object lives: every
// answer passes, or is cut after a number of body bytes. Its log of what
// went out on each connection is the benchmark's count of bytes on the wire.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>

namespace qm::bench {

class FaultServer {
 public:
  FaultServer() = default;
  FaultServer(const FaultServer&) = delete;
  FaultServer& operator=(const FaultServer&) = delete;
  ~FaultServer();

  // Listens on 127.0.0.1:port and forwards to upstream_port, closing every
  // answer after cut_every body bytes (0: none); one JSON line per
  // connection goes to log, its own messages beside it (log + ".err").
  bool Start(int port,
             int upstream_port,
             uint64_t cut_every,
             const std::filesystem::path& log,
             std::string* error);

  // Lets its connections end (bounded), then stops it: its log is complete.
  void Stop();

 private:
  pid_t pid_ = -1;
};

// What a fault server's log says went out.
struct WireCount {
  int connections = 0;
  int ranged = 0;      // requests that asked for a Range
  int short_ones = 0;  // answers that sent less body than they announced
  uint64_t body_bytes = 0;
  uint64_t head_bytes = 0;
};

// False when the log cannot be read or a line is not the server's.
bool ReadWireCount(const std::filesystem::path& log, WireCount* count);

}  // namespace qm::bench
