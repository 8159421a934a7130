// A helper program for the process and file tests, started by them:
//   child args <file>   writes its CommandLineArguments, one per line, to file
//   child sleep <ms>    stays alive (a running executable) for ms
//   child self <file>   writes its ExecutablePath, then its other arguments
#include <windows.h>

#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/process.h"

int main() {
  std::vector<std::string> args = qm::platform::CommandLineArguments();
  if (args.size() >= 2 && args[0] == "args") {
    std::string text;
    for (const std::string& arg : args)
      text += arg + "\n";
    qm::platform::File out;
    std::string temp = args[1] + ".part";
    if (!out.Open(temp, qm::platform::File::Mode::kCreate) || !out.Write(text.data(), text.size()))
      return 2;
    out.Close();
    return qm::platform::ReplaceFile(temp, args[1]) ? 0 : 3;
  }
  if (args.size() >= 2 && args[0] == "self") {
    std::string text = qm::platform::ExecutablePath() + "\n";
    for (size_t i = 2; i < args.size(); ++i)
      text += args[i] + "\n";
    qm::platform::File out;
    return out.Open(args[1], qm::platform::File::Mode::kCreate) &&
                   out.Write(text.data(), text.size())
               ? 0
               : 2;
  }
  if (args.size() >= 2 && args[0] == "sleep") {
    Sleep(std::stoul(args[1]));
    return 0;
  }
  return 1;
}
