// nginx serving one folder on a fixed loopback port, for as long as the
// object lives.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace qm::bench {

class NginxServer {
 public:
  NginxServer() = default;
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;
  ~NginxServer();

  // Serves root on 127.0.0.1:port; state files go to work. False with a
  // reason in *error when nginx did not come up.
  bool Start(const std::filesystem::path& work,
             const std::filesystem::path& root,
             int port,
             std::string* error);

 private:
  pid_t pid_ = -1;
};

}  // namespace qm::bench
