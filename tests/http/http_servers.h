// The HTTP test peers of this binary: nginx, tinyproxy with Basic auth and
// the scripted server, started once by http_servers.py (or by the wrapper
// that runs the Windows build under Wine, which passes their ports in the
// environment).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::http::test {

struct HttpServers {
  int nginx_port = 0;
  int other_port = 0;  // second nginx server block
  int proxy_port = 0;  // tinyproxy, BasicAuth user password
  int script_port = 0;
  int refused_port = 0;    // nothing listens here
  int blackhole_port = 0;  // connection attempts get no answer
  std::string work_dir;    // as this program opens files

  // Started on first use, stopped at exit. big_mb: size of files/big.bin.
  static const HttpServers& Get();

  std::string NginxUrl(const std::string& path) const;
  std::string ScriptUrl(const std::string& path) const;
};

// One step of the scripted server's reply.
struct Step {
  enum Kind { kRead, kSend, kRepeat, kPause, kClose, kReset } kind;
  std::string text;
  int count = 0;  // kRepeat: times; kPause: milliseconds
};
Step Read();
Step Send(std::string text);
Step Repeat(std::string text, int count);
Step Pause(int ms);
Step Close();
Step Reset();

// Makes the scripted server answer its next connections with these steps
// (the last list serves every further connection); returns the script id.
int SetScript(const std::vector<std::vector<Step>>& connections);
// The request bytes that connection `index` of script `id` sent; empty when
// none was recorded.
std::string RecordedRequest(int id, int index);

// Byte i of the pattern that files/big.bin repeats.
uint8_t PatternByte(uint64_t i);

}  // namespace qm::http::test
