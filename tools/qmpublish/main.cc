// qmpublish: publishes a game release for the updater and checks a server.
//   qmpublish publish RELEASE OUT [--mirror URL]... [--bk TEXT] [--bkp TEXT]
//                     [--engine-folder NAME] [--level N] [--jobs N]
//                     [--key KEYFILE] [--serial N]
//   qmpublish check [-x PROXY] [--proxy-port PORT] [-U USER:PASSWORD] [--key KEY]
//                   [--public-key HEX] URL
//   qmpublish keygen KEYFILE
// Exit status: 0 done, 1 refused or a problem found, 2 bad command line.
#include <cstdio>
#include <string>
#include <vector>

#include "tools/cli/command_line.h"
#include "tools/cli/proxy_options.h"
#include "tools/qmpublish/check.h"
#include "tools/qmpublish/publish.h"
#include "tools/qmpublish/publish_error.h"
#include "tools/qmpublish/signing_key.h"
#include "update/integrity_format.h"
#include "util/hex.h"

namespace {

const char kUsage[] =
    "usage: qmpublish publish RELEASE OUT [options]\n"
    "         turns the release folder RELEASE into the server tree OUT\n"
    "         (OUT/QuillMar/QuillMar.ini and the archives); run it again on the\n"
    "         same OUT for each release\n"
    "  --mirror URL          a download mirror, http://host/path/ (repeat for more)\n"
    "  --bk TEXT, --bkp TEXT texts handed to the game client (section S)\n"
    "  --engine-folder NAME  folder of the engine, data, B-data and component\n"
    "                        archives (default: one per release, named by content)\n"
    "  --level N             compression level 1..12 (default 12)\n"
    "  --jobs N              files compressed at once (default 2)\n"
    "  --key KEYFILE         sign the manifest with this private key (keygen)\n"
    "  --serial N            the release serial (default: one more than the last);\n"
    "                        it must be above the previous manifest's\n"
    "       qmpublish check [options] URL\n"
    "         fetches URL/QuillMar/QuillMar.ini as the updater does and tests\n"
    "         every archive of every mirror that can be chosen\n"
    "  -x PROXY              through this HTTP proxy (host or host:port)\n"
    "  --proxy-port PORT     proxy port when PROXY names none (default 80)\n"
    "  -U USER:PASSWORD      Basic credentials for the proxy\n"
    "  --key KEY             the launcher's version key (default: the one in the manifest)\n"
    "  --public-key HEX      verify the manifest's signature with this public key\n"
    "                        (the 128 hex digits that keygen printed)\n"
    "       qmpublish keygen KEYFILE\n"
    "         makes a signing key: writes the private key to KEYFILE (readable by\n"
    "         you only) and prints the public key that launchers are built with\n";

int Usage(const std::string& error) {
  std::fprintf(stderr, "qmpublish: %s\n%s", error.c_str(), kUsage);
  return 2;
}

int Help() {
  std::fputs(kUsage, stdout);
  return 0;
}

bool IsHelp(const std::string& arg) {
  return arg == "--help" || arg == "-h";
}

bool Number(const std::string& text, int* value) {
  if (text.empty() || text.size() > 3 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  *value = std::stoi(text);
  return true;
}

enum PublishOption { kMirror = 0x100, kBk, kBkp, kEngineFolder, kLevel, kJobs, kKeyFile, kSerial };

int RunPublish(const std::vector<std::string>& args) {
  qm::publish::PublishOptions options;
  const qm::cli::CommandLine line =
      qm::cli::ParseCommandLine(args, "",
                                {{"mirror", required_argument, nullptr, kMirror},
                                 {"bk", required_argument, nullptr, kBk},
                                 {"bkp", required_argument, nullptr, kBkp},
                                 {"engine-folder", required_argument, nullptr, kEngineFolder},
                                 {"level", required_argument, nullptr, kLevel},
                                 {"jobs", required_argument, nullptr, kJobs},
                                 {"key", required_argument, nullptr, kKeyFile},
                                 {"serial", required_argument, nullptr, kSerial}});
  if (!line.error.empty()) {
    return Usage(line.error);
  }
  if (line.help) {
    return Help();
  }
  for (const auto& [id, value] : line.options) {
    switch (id) {
      case kMirror:
        options.mirrors.push_back(value);
        break;
      case kBk:
        options.bk = value;
        break;
      case kBkp:
        options.bkp = value;
        break;
      case kEngineFolder:
        options.engine_folder = value;
        break;
      case kKeyFile:
        options.key_file = value;
        break;
      case kSerial:
        options.serial = qm::update::ParseSerial(value);
        if (!options.serial) {
          return Usage("--serial needs a number from 1 on");
        }
        break;
      default:
        if (!Number(value, id == kLevel ? &options.level : &options.jobs)) {
          return Usage(std::string(id == kLevel ? "--level" : "--jobs") + " needs a number");
        }
    }
  }
  const std::vector<std::string>& positional = line.operands;
  if (positional.size() != 2) {
    return Usage("publish needs the release folder and the output folder");
  }
  options.release = positional[0];
  options.out = positional[1];
  options.log = stderr;
  try {
    qm::publish::Publish(options);
  } catch (const qm::publish::PublishError& e) {
    std::fprintf(stderr, "qmpublish: %s\nnothing was published.\n", e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmpublish: %s\n", e.what());
    return 1;
  }
  return 0;
}

enum CheckOption { kVersionKey = 0x200, kPublicKey };

int RunCheck(const std::vector<std::string>& args) {
  qm::publish::CheckOptions options;
  std::vector<option> long_options = qm::cli::ProxyLongOptions();
  long_options.push_back({"key", required_argument, nullptr, kVersionKey});
  long_options.push_back({"public-key", required_argument, nullptr, kPublicKey});
  const qm::cli::CommandLine line =
      qm::cli::ParseCommandLine(args, qm::cli::kProxyShortOptions, long_options);
  if (!line.error.empty()) {
    return Usage(line.error);
  }
  if (line.help) {
    return Help();
  }
  qm::cli::ProxyOptions proxy;
  for (const auto& [id, value] : line.options) {
    std::string error;
    if (qm::cli::TakeProxyOption(id, value, &proxy, &error)) {
      if (!error.empty()) {
        return Usage(error);
      }
    } else if (id == kVersionKey) {
      options.version_key = value;
    } else {
      options.public_key = qm::ParseHexArray<64>(value);
      if (!options.public_key) {
        return Usage("--public-key needs the 128 hex digits that keygen printed");
      }
    }
  }
  options.proxy = proxy.proxy;
  options.proxy_port = proxy.port;
  options.proxy_user = proxy.user;
  options.proxy_password = proxy.password;
  if (line.operands.size() > 1) {
    return Usage("more than one URL");
  }
  if (!line.operands.empty()) {
    options.base_url = line.operands[0];
  }
  if (options.base_url.empty()) {
    return Usage("check needs the updater's base URL, such as http://www.example.com");
  }
  while (!options.base_url.empty() && options.base_url.back() == '/') {
    options.base_url.pop_back();
  }
  const qm::publish::CheckReport report = qm::publish::Check(options, stdout, stderr);
  for (const std::string& warning : report.warnings) {
    std::fprintf(stderr, "qmpublish: warning: %s\n", warning.c_str());
  }
  for (const std::string& problem : report.problems) {
    std::fprintf(stderr, "qmpublish: %s\n", problem.c_str());
  }
  if (!report.problems.empty()) {
    std::fprintf(stderr, "qmpublish: %zu problem(s); players may fail to update\n",
                 report.problems.size());
    return 1;
  }
  std::fprintf(stderr, "qmpublish: every archive is there and unpacks%s\n",
               report.warnings.empty() ? "" : " (see the warnings)");
  return 0;
}

int RunKeygen(const std::vector<std::string>& args) {
  if (args.size() == 1 && IsHelp(args[0])) {
    return Help();
  }
  if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-')) {
    return Usage("keygen needs the file for the private key");
  }
  try {
    const qm::publish::SigningKey key = qm::publish::SigningKey::Generate(args[0]);
    std::fprintf(stderr,
                 "qmpublish: wrote the private key %s (readable by you only): keep it "
                 "offline and backed up (docs/integrity.md)\n"
                 "qmpublish: the public key, for QM_PUBLIC_KEY and check --public-key:\n",
                 args[0].c_str());
    std::printf("%s\n", qm::HexOf(key.PublicKey()).c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qmpublish: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && IsHelp(args[0])) {
    return Help();
  }
  if (args.empty()) {
    return Usage("say publish, check or keygen");
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "publish") {
    return RunPublish(rest);
  }
  if (args[0] == "check") {
    return RunCheck(rest);
  }
  if (args[0] == "keygen") {
    return RunKeygen(rest);
  }
  return Usage("unknown command " + args[0]);
}
