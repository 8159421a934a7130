// The rules by which the server's settings file is read, fed hostile
// values: each either gives a result within its rule or, for a component
// entry, raises the error of a malformed entry.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "update/settings_rules.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) {
    return 0;
  }
  const uint32_t random = data[0] | (data[1] << 8) | (data[2] << 16) | (uint32_t{data[3]} << 24);
  const int lines = static_cast<int>(data[4]) - 8;
  const std::string value(reinterpret_cast<const char*>(data + 5), size - 5);

  const int k = qm::update::ChooseMirrorIndex(lines, random);
  Check(k >= 0 && (lines < 3 ? k == 0 : k <= lines - 2));

  const qm::update::LauncherLine line = qm::update::SplitLauncherLine(value, "82001500");
  Check(line.version.size() <= value.size() &&
        value.compare(0, line.version.size(), line.version) == 0);

  const std::string base = qm::update::NormalizeBase(value);
  Check(!base.empty());
  if (!qm::update::IsAbsoluteBase(value)) {
    Check(base.back() == '/');
  }
  const std::string engine = qm::update::EngineBase(value, line.engine_base_text);
  Check(!engine.empty());

  try {
    const qm::update::ComponentEntry entry = qm::update::ParseComponentEntry("1\\" + value);
    // Only a bare file name is ever read or fetched.
    Check(qm::update::IsBareFileName(entry.file_name));
    Check(entry.file_name.compare(0, entry.stem.size(), entry.stem) == 0);
    Check(entry.file_name.find_first_of("\\/:") == std::string::npos);
  } catch (const std::runtime_error&) {
    // A malformed entry: the run reports it and goes no further.
  }
  return 0;
}
