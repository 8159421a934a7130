#include "platform/app_entry.h"
#include "platform/posix/command_line.h"

int main(int argc, char** argv) {
  qm::platform::posix::RecordCommandLine(argc, argv);
  return qm::ApplicationMain();
}
