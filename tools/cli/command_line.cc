#include "tools/cli/command_line.h"

namespace qm::cli {
namespace {

constexpr int kHelp = 'h';

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::string& short_options,
                             std::vector<option> long_options) {
  CommandLine result;
  // getopt permutes argv: it gets copies it may reorder.
  std::vector<std::string> storage;
  storage.reserve(args.size() + 1);
  storage.emplace_back("tool");
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  argv.reserve(storage.size() + 1);
  for (std::string& arg : storage) {
    argv.push_back(arg.data());
  }
  argv.push_back(nullptr);
  long_options.push_back({"help", no_argument, nullptr, kHelp});
  long_options.push_back({nullptr, 0, nullptr, 0});
  // A leading ":" reports a missing value apart from an unknown option.
  const std::string letters = ":" + short_options + "h";
  opterr = 0;
  optind = 0;  // starts the scan afresh (glibc and mingw alike)
  const int argc = static_cast<int>(storage.size());
  for (;;) {
    const int id = getopt_long(argc, argv.data(), letters.c_str(), long_options.data(), nullptr);
    if (id == -1) {
      break;
    }
    const std::string given = argv[optind - 1] != nullptr ? argv[optind - 1] : "";
    if (id == ':') {
      result.error = given + " needs a value";
      return result;
    }
    if (id == '?') {
      result.error = "unknown option " +
                     (optopt != 0 ? "-" + std::string(1, static_cast<char>(optopt)) : given);
      return result;
    }
    if (id == kHelp) {
      result.help = true;
      continue;
    }
    result.options.emplace_back(id, optarg != nullptr ? optarg : "");
  }
  for (int i = optind; i < argc; ++i) {
    result.operands.emplace_back(argv[static_cast<size_t>(i)]);
  }
  return result;
}

}  // namespace qm::cli
