// qmfetch: fetches one URL with the updater's HTTP client.
//   qmfetch [-i] [-x PROXY] [--proxy-port PORT] [-U USER:PASSWORD] [-o FILE] URL
// Exit status: 0 fetched, 1 the transfer failed, 2 bad command line.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "http/http_cli.h"
#include "http/receive_stream.h"
#include "tools/cli/command_line.h"
#include "tools/cli/proxy_options.h"
#include "tools/cli/report.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

const char kUsage[] =
    "usage: qmfetch [-i] [-x PROXY] [--proxy-port PORT] [-U USER:PASSWORD] [-o FILE] URL\n"
    "  -i                 print the response header\n"
    "  -x PROXY           fetch through this HTTP proxy (host or host:port)\n"
    "  --proxy-port PORT  proxy port when PROXY names none (default 80)\n"
    "  -U USER:PASSWORD   Basic credentials for the proxy\n"
    "  -o FILE            write the document to FILE (default: standard output)\n";

constexpr qm::cli::Reporter kReport("qmfetch", kUsage);

struct Options {
  bool help = false;
  bool show_header = false;
  qm::cli::ProxyOptions proxy;
  std::string output;
  std::string url;
};

// false with a message on a bad command line.
bool ParseArguments(const std::vector<std::string>& args, Options& options, std::string& error) {
  const qm::cli::CommandLine line = qm::cli::ParseCommandLine(
      args, std::string("io:") + qm::cli::kProxyShortOptions, qm::cli::ProxyLongOptions());
  error = line.error;
  options.help = line.help;
  for (const auto& [id, value] : line.options) {
    if (id == 'i') {
      options.show_header = true;
    } else if (id == 'o') {
      options.output = value;
    } else {
      qm::cli::TakeProxyOption(id, value, &options.proxy, &error);
    }
    if (!error.empty()) {
      return false;
    }
  }
  if (!error.empty()) {
    return false;
  }
  if (line.operands.size() > 1) {
    error = "more than one URL";
    return false;
  }
  if (line.operands.empty() && !options.help) {
    error = "no URL given";
    return false;
  }
  options.url = line.operands.empty() ? "" : line.operands[0];
  return true;
}

std::string FolderOf(const std::string& path) {
  size_t separator = path.find_last_of("\\/");
  return separator == std::string::npos ? "." : path.substr(0, separator == 0 ? 1 : separator);
}

void PrintHeader(const qm::http::THttpCli& client) {
  for (const std::string& line : client.ReceivedHeader()) {
    std::fprintf(stdout, "%s\r\n", line.c_str());
  }
  std::fputs("\r\n", stdout);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  Options options;
  std::string error;
  if (!ParseArguments(std::vector<std::string>(argv + 1, argv + argc), options, error)) {
    return kReport.Usage(error);
  }
  if (options.help) {
    return kReport.Help();
  }

  std::string spill_folder = options.output.empty()
                                 ? std::filesystem::temp_directory_path().string()
                                 : FolderOf(options.output);
  qm::http::SpillingStream stream(spill_folder);
  qm::http::THttpCli client;
  client.URL = options.url;
  client.Proxy = options.proxy.proxy;
  client.ProxyPort = options.proxy.port;
  client.ProxyUsername = options.proxy.user;
  client.ProxyPassword = options.proxy.password;
  client.SetReceiveStream(&stream);
  try {
    client.Get();
  } catch (const qm::http::EHttpException& e) {
    if (options.show_header) {
      PrintHeader(client);
    }
    kReport.Say(std::to_string(e.ErrorCode()) + " " + e.what());
    return qm::cli::kExitFailed;
  }

  if (options.show_header) {
    PrintHeader(client);
  }
  if (!options.output.empty()) {
    if (!stream.CommitToPath(options.output)) {
      kReport.Say(stream.error());
      return qm::cli::kExitFailed;
    }
    return qm::cli::kExitOk;
  }
  bool written = stream.ReadAll(
      [](const char* data, size_t size) { return std::fwrite(data, 1, size, stdout) == size; });
  if (std::fflush(stdout) != 0 || !written) {
    kReport.Say("cannot write the document: " +
                (stream.error().empty() ? std::string("standard output") : stream.error()));
    return qm::cli::kExitFailed;
  }
  return qm::cli::kExitOk;
}
