// Started by the foreign-folder test:
//   name_child self <file> <more...>   writes its ExecutablePath, then the
//                                      other arguments, one per line
#include <string>
#include <vector>

#include "platform/app_entry.h"
#include "platform/file_system.h"
#include "platform/process.h"

int qm::ApplicationMain() {
  const std::vector<std::string> args = platform::CommandLineArguments();
  if (args.size() < 2 || args[0] != "self") {
    return 1;
  }
  std::string text = platform::ExecutablePath() + "\n";
  for (size_t i = 2; i < args.size(); ++i) {
    text += args[i] + "\n";
  }
  // Whole or not at all: the test waits for the file to appear.
  const std::string temp = args[1] + ".part";
  platform::File out;
  if (!out.Open(temp, platform::File::Mode::kCreate) || !out.Write(text.data(), text.size())) {
    return 2;
  }
  out.Close();
  return platform::ReplaceFile(temp, args[1]) ? 0 : 3;
}
