#include "platform/posix/command_line.h"

namespace qm::platform::posix {
namespace {

std::string& Name() {
  static std::string name;
  return name;
}

std::vector<std::string>& Arguments() {
  static std::vector<std::string> arguments;
  return arguments;
}

}  // namespace

void RecordCommandLine(int argc, char** argv) {
  Name() = argc > 0 && argv[0] ? argv[0] : "";
  Arguments().clear();
  for (int i = 1; i < argc; ++i) {
    Arguments().push_back(argv[i] ? argv[i] : "");
  }
}

const std::string& ProgramName() {
  return Name();
}

const std::vector<std::string>& RecordedArguments() {
  return Arguments();
}

}  // namespace qm::platform::posix
