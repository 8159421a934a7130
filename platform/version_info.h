// Version resources of executables (the VS_VERSIONINFO block).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qm::platform {

class VersionInfo {
 public:
  // Reads the version information of a file; nullopt when the file is missing
  // or has none (GetFileVersionInfoSize gives 0).
  static std::optional<VersionInfo> Load(const std::string& path);

  // "\VarFileInfo\Translation": each entry is language in the low word,
  // code page in the high word, as the resource stores them.
  bool QueryTranslations(std::vector<uint32_t>* entries) const;
  // A string value such as "\StringFileInfo\041203B5\ProductVersion",
  // in code page 949 bytes. false when the query fails.
  bool QueryString(const std::string& sub_block, std::string* value) const;

 private:
  VersionInfo() = default;
  std::string block_;  // the raw VS_VERSIONINFO block (UTF-16 strings)
};

}  // namespace qm::platform
