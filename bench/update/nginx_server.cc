#include "bench/update/nginx_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "bench/update/loopback_port.h"

namespace qm::bench {

NginxServer::~NginxServer() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
}

bool NginxServer::Start(const std::filesystem::path& work,
                        const std::filesystem::path& root,
                        int port,
                        std::string* error) {
  if (PortAnswers(port)) {
    *error = "port " + std::to_string(port) + " is already in use";
    return false;
  }
  std::filesystem::create_directories(work / "tmp");
  const std::string w = work.string();
  const std::filesystem::path conf = work / "nginx.conf";
  {
    // One worker in the foreground, sendfile, no access log: a plain static
    // file server as the game's web site would run it.
    std::ofstream out(conf);
    out << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
        << "pid " << w << "/nginx.pid;\nerror_log " << w << "/nginx-error.log;\n"
        << "events { worker_connections 64; }\n"
        << "http {\n  access_log off;\n"
        << "  client_body_temp_path " << w << "/tmp;\n  proxy_temp_path " << w << "/tmp;\n"
        << "  fastcgi_temp_path " << w << "/tmp;\n  uwsgi_temp_path " << w << "/tmp;\n"
        << "  scgi_temp_path " << w << "/tmp;\n"
        << "  default_type application/octet-stream;\n  sendfile on;\n"
        << "  server {\n    listen 127.0.0.1:" << port << ";\n    root " << root.string()
        << ";\n  }\n}\n";
  }
  const std::string conf_path = conf.string();
  const std::string log_path = (work / "nginx-error.log").string();
  pid_ = fork();
  if (pid_ < 0) {
    *error = "fork failed";
    return false;
  }
  if (pid_ == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // no server left behind if the bench dies
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    execlp("nginx", "nginx", "-p", w.c_str(), "-c", conf_path.c_str(), "-e", log_path.c_str(),
           static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 200; ++i) {
    if (PortAnswers(port)) {
      return true;
    }
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      *error = "nginx exited; see " + log_path;
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  *error = "nginx did not answer on port " + std::to_string(port);
  return false;
}

}  // namespace qm::bench
