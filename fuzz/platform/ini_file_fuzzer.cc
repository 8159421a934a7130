// Hostile profile files: every read stays within the accessor's limits, a
// section's key=value lines agree with reading each key by itself, and a
// written value reads back while the file's other sections stay as read.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/ini_file.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

// One file per process, removed when the process ends.
class ScratchFile {
 public:
  ScratchFile() : path_("/tmp/qm_ini_fuzz_" + std::to_string(::getpid()) + ".ini") {}
  ~ScratchFile() { ::unlink(path_.c_str()); }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const std::string& FilePath() {
  static const ScratchFile file;
  return file.path();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& path = FilePath();
  {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
      return 0;
    }
    std::fwrite(data, 1, size, file);
    std::fclose(file);
  }
  qm::platform::IniFile ini(path);
  // The sections the launcher reads, and one the input names itself.
  std::vector<std::string> sections = {"V", "C", "AData", "Proxy", ""};
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t open = input.find('[');
  if (open != std::string::npos) {
    sections.push_back(input.substr(open + 1, input.find(']', open) - open - 1));
  }
  std::vector<std::vector<std::string>> before;
  for (const std::string& section : sections) {
    std::vector<std::string> keys;
    std::vector<std::string> lines;
    ini.ReadSection(section, keys);
    ini.ReadSectionValues(section, lines);
    Check(keys.size() == lines.size());
    size_t names = 0;
    for (size_t i = 0; i < keys.size(); ++i) {
      names += keys[i].size() + 1;
      const std::string value = ini.ReadString(section, keys[i], "");
      Check(value.size() <= 2047);
      Check(lines[i] == keys[i] + "=" + value);
    }
    Check(names < 16384);
    before.push_back(lines);
  }
  // A write of a plain value to a section of its own reads back, and the
  // sections read before read the same (unless the input already had it).
  const std::string written = "v" + std::to_string(size);
  bool own_section = false;
  for (const std::string& section : sections) {
    own_section = own_section || section == "QmFuzz";
  }
  try {
    ini.WriteString("QmFuzz", "key", written);
  } catch (const qm::platform::EIniFileException&) {
    return 0;
  }
  std::vector<std::string> probe;
  ini.ReadSection("QmFuzz", probe);
  if (!own_section && input.find("qmfuzz") == std::string::npos &&
      input.find("QMFUZZ") == std::string::npos && input.find("QmFuzz") == std::string::npos) {
    Check(ini.ReadString("QmFuzz", "key", "") == written);
    for (size_t s = 0; s + 1 < sections.size(); ++s) {
      std::vector<std::string> lines;
      ini.ReadSectionValues(sections[s], lines);
      Check(lines == before[s]);
    }
  }
  return 0;
}
