// A tool's command line read by getopt_long: options (short ones and
// --long ones, in any order among the operands) and the operands left.
#pragma once

#include <getopt.h>

#include <string>
#include <utility>
#include <vector>

namespace qm::cli {

struct CommandLine {
  // (option id, its value) in the order given: the short option's letter,
  // or the id that the long option's table row names.
  std::vector<std::pair<int, std::string>> options;
  std::vector<std::string> operands;
  bool help = false;  // -h or --help
  std::string error;  // a bad command line: an unknown option, a value missing
};

// short_options as getopt takes them ("x:U:i"); long_options without the
// closing zero row. -h and --help are added.
CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::string& short_options,
                             std::vector<option> long_options);

}  // namespace qm::cli
