#include "tools/cli/report.h"

#include <cstdio>

namespace qm::cli {

void Reporter::Say(const std::string& text) const {
  std::fprintf(stderr, "%s: %s\n", program_, text.c_str());
}

int Reporter::Usage(const std::string& error) const {
  Say(error);
  std::fputs(usage_, stderr);
  return kExitUsage;
}

int Reporter::Help() const {
  std::fputs(usage_, stdout);
  return kExitOk;
}

}  // namespace qm::cli
