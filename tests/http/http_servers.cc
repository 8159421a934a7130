#include "tests/http/http_servers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/support/files.h"

namespace qm::http::test {
namespace {

constexpr int kBigMb = 300;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

#ifdef _WIN32
// The wrapper passes Unix paths; Wine maps the root to drive Z:.
std::string LocalPath(const std::string& unix_path) {
  std::string path = "Z:" + unix_path;
  for (char& c : path) {
    if (c == '/')
      c = '\\';
  }
  return path;
}
#endif

void ParseLine(const std::string& line, HttpServers& s) {
  std::istringstream in(line);
  std::string pair;
  while (in >> pair) {
    size_t eq = pair.find('=');
    if (eq == std::string::npos)
      continue;
    std::string name = pair.substr(0, eq), value = pair.substr(eq + 1);
    if (name == "QM_HTTP_NGINX_PORT")
      s.nginx_port = std::stoi(value);
    else if (name == "QM_HTTP_OTHER_PORT")
      s.other_port = std::stoi(value);
    else if (name == "QM_HTTP_PROXY_PORT")
      s.proxy_port = std::stoi(value);
    else if (name == "QM_HTTP_SCRIPT_PORT")
      s.script_port = std::stoi(value);
    else if (name == "QM_HTTP_REFUSED_PORT")
      s.refused_port = std::stoi(value);
    else if (name == "QM_HTTP_BLACKHOLE_PORT")
      s.blackhole_port = std::stoi(value);
    else if (name == "QM_HTTP_WORK_DIR")
      s.work_dir = value;
  }
}

class ServersEnvironment {
 public:
  ServersEnvironment() {
    std::string given = Env("QM_HTTP_SERVERS");
    if (!given.empty()) {
      ParseLine(given, servers_);
#ifdef _WIN32
      servers_.work_dir = LocalPath(servers_.work_dir);
#endif
      return;
    }
#ifndef _WIN32
    std::mt19937_64 random(std::random_device{}());
    std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("qm-http-" + std::to_string(random()));
    std::filesystem::create_directories(work);
    std::string command = "python3 '" + Env("QM_SOURCE_DIR") + "/tests/http/http_servers.py' '" +
                          work.string() + "' --big-mb " + std::to_string(kBigMb);
    pipe_ = popen(command.c_str(), "r");
    if (pipe_ != nullptr) {
      char line[1024] = {};
      if (fgets(line, sizeof line, pipe_) != nullptr)
        ParseLine(line, servers_);
    }
    work_ = work;
#endif
  }

  ~ServersEnvironment() {
#ifndef _WIN32
    if (pipe_ != nullptr) {
      std::ofstream(work_ / "stop").put('\n');
      pclose(pipe_);
      std::error_code ignored;
      std::filesystem::remove_all(work_, ignored);
    }
#endif
  }

  const HttpServers& servers() const {
    return servers_;
  }

 private:
  HttpServers servers_;
#ifndef _WIN32
  FILE* pipe_ = nullptr;
  std::filesystem::path work_;
#endif
};

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c >= 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string ScriptPath(const std::string& name) {
  const std::string& dir = HttpServers::Get().work_dir;
#ifdef _WIN32
  return dir + "\\" + name;
#else
  return dir + "/" + name;
#endif
}

}  // namespace

const HttpServers& HttpServers::Get() {
  static ServersEnvironment environment;
  const HttpServers& s = environment.servers();
  if (s.nginx_port == 0 || s.script_port == 0)
    ADD_FAILURE() << "the HTTP test servers did not start";
  return s;
}

std::string HttpServers::NginxUrl(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(nginx_port) + path;
}

std::string HttpServers::ScriptUrl(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(script_port) + path;
}

Step Read() {
  return {Step::kRead, "", 0};
}
Step Send(std::string text) {
  return {Step::kSend, std::move(text), 0};
}
Step Repeat(std::string text, int count) {
  return {Step::kRepeat, std::move(text), count};
}
Step Pause(int ms) {
  return {Step::kPause, "", ms};
}
Step Close() {
  return {Step::kClose, "", 0};
}
Step Reset() {
  return {Step::kReset, "", 0};
}

int SetScript(const std::vector<std::vector<Step>>& connections) {
  static int next_id = 0;
  int id = ++next_id;
  std::string json = "{\"id\": " + std::to_string(id) + ", \"connections\": [";
  for (size_t c = 0; c < connections.size(); ++c) {
    json += c ? ", [" : "[";
    for (size_t i = 0; i < connections[c].size(); ++i) {
      const Step& s = connections[c][i];
      json += i ? ", " : "";
      switch (s.kind) {
        case Step::kRead:
          json += "{\"read\": 1}";
          break;
        case Step::kSend:
          json += "{\"send\": " + JsonString(s.text) + "}";
          break;
        case Step::kRepeat:
          json += "{\"repeat\": " + JsonString(s.text) + ", \"count\": " + std::to_string(s.count) +
                  "}";
          break;
        case Step::kPause:
          json += "{\"pause\": " + std::to_string(s.count) + "}";
          break;
        case Step::kClose:
          json += "{\"close\": 1}";
          break;
        case Step::kReset:
          json += "{\"reset\": 1}";
          break;
      }
    }
    json += "]";
  }
  json += "]}";
  std::string path = ScriptPath("script.json");
  {
    std::ofstream out(path + ".tmp", std::ios::binary);
    out << json;
  }
  std::error_code ignored;
  std::filesystem::rename(path + ".tmp", path, ignored);
  EXPECT_FALSE(ignored) << "cannot write " << path;
  return id;
}

std::string RecordedRequest(int id, int index) {
  std::string name = "requests";
#ifdef _WIN32
  name += "\\";
#else
  name += "/";
#endif
  name += std::to_string(id) + "-" + std::to_string(index) + ".bin";
  return test_support::ReadFileBytes(ScriptPath(name));
}

uint8_t PatternByte(uint64_t i) {
  uint64_t j = i % ((1u << 20) + 7);
  return static_cast<uint8_t>(((j * j * 31 + j * 7 + 11) >> 3) & 0xFF);
}

}  // namespace qm::http::test
