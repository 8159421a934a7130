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
#include "tools/cli/report.h"
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

constexpr qm::cli::Reporter kReport("qmpublish", kUsage);

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
    return kReport.Usage(line.error);
  }
  if (line.help) {
    return kReport.Help();
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
          return kReport.Usage("--serial needs a number from 1 on");
        }
        break;
      default:
        if (!Number(value, id == kLevel ? &options.level : &options.jobs)) {
          return kReport.Usage(std::string(id == kLevel ? "--level" : "--jobs") +
                               " needs a number");
        }
    }
  }
  const std::vector<std::string>& positional = line.operands;
  if (positional.size() != 2) {
    return kReport.Usage("publish needs the release folder and the output folder");
  }
  options.release = positional[0];
  options.out = positional[1];
  options.log = stderr;
  try {
    qm::publish::Publish(options);
  } catch (const qm::publish::PublishError& e) {
    kReport.Say(e.what());
    kReport.Say("nothing was published");
    return qm::cli::kExitFailed;
  } catch (const std::exception& e) {
    kReport.Say(e.what());
    return qm::cli::kExitFailed;
  }
  return qm::cli::kExitOk;
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
    return kReport.Usage(line.error);
  }
  if (line.help) {
    return kReport.Help();
  }
  qm::cli::ProxyOptions proxy;
  for (const auto& [id, value] : line.options) {
    std::string error;
    if (qm::cli::TakeProxyOption(id, value, &proxy, &error)) {
      if (!error.empty()) {
        return kReport.Usage(error);
      }
    } else if (id == kVersionKey) {
      options.version_key = value;
    } else {
      options.public_key = qm::ParseHexArray<64>(value);
      if (!options.public_key) {
        return kReport.Usage("--public-key needs the 128 hex digits that keygen printed");
      }
    }
  }
  options.proxy = proxy.proxy;
  options.proxy_port = proxy.port;
  options.proxy_user = proxy.user;
  options.proxy_password = proxy.password;
  if (line.operands.size() > 1) {
    return kReport.Usage("more than one URL");
  }
  if (!line.operands.empty()) {
    options.base_url = line.operands[0];
  }
  if (options.base_url.empty()) {
    return kReport.Usage("check needs the updater's base URL, such as http://www.example.com");
  }
  while (!options.base_url.empty() && options.base_url.back() == '/') {
    options.base_url.pop_back();
  }
  const qm::publish::CheckReport report = qm::publish::Check(options, stdout, stderr);
  for (const std::string& warning : report.warnings) {
    kReport.Say("warning: " + warning);
  }
  for (const std::string& problem : report.problems) {
    kReport.Say(problem);
  }
  if (!report.problems.empty()) {
    kReport.Say(std::to_string(report.problems.size()) + " problem(s); players may fail to update");
    return qm::cli::kExitFailed;
  }
  kReport.Say(std::string("every archive is there and unpacks") +
              (report.warnings.empty() ? "" : " (see the warnings)"));
  return qm::cli::kExitOk;
}

int RunKeygen(const std::vector<std::string>& args) {
  if (args.size() == 1 && IsHelp(args[0])) {
    return kReport.Help();
  }
  if (args.size() != 1 || (args[0].size() > 1 && args[0][0] == '-')) {
    return kReport.Usage("keygen needs the file for the private key");
  }
  try {
    const qm::publish::SigningKey key = qm::publish::SigningKey::Generate(args[0]);
    kReport.Say("wrote the private key " + args[0] +
                " (readable by you only): keep it offline and backed up (docs/integrity.md)");
    kReport.Say("the public key, for QM_PUBLIC_KEY and check --public-key:");
    std::printf("%s\n", qm::HexOf(key.PublicKey()).c_str());
  } catch (const std::exception& e) {
    kReport.Say(e.what());
    return qm::cli::kExitFailed;
  }
  return qm::cli::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!args.empty() && IsHelp(args[0])) {
    return kReport.Help();
  }
  if (args.empty()) {
    return kReport.Usage("say publish, check or keygen");
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
  return kReport.Usage("unknown command " + args[0]);
}
