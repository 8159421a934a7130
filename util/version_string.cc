#include "util/version_string.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <vector>

#include "platform/version_info.h"

namespace qm {

std::string GetFileVersionString(const std::string& fileName, const std::string& name) {
  std::optional<platform::VersionInfo> info = platform::VersionInfo::Load(fileName);
  if (!info) {
    return "?";
  }
  std::vector<uint32_t> translations;
  if (!info->QueryTranslations(&translations) || translations.empty()) {
    return "?";
  }
  // Only the first translation is consulted: language first, then code page.
  unsigned language = translations[0] & 0xFFFF;
  unsigned code_page = translations[0] >> 16;
  char hex[16];
  std::snprintf(hex, sizeof(hex), "%4.4X%4.4X", language, code_page);
  std::string value;
  if (!info->QueryString(std::string("\\StringFileInfo\\") + hex + "\\" + name, &value)) {
    return "?";
  }
  return value.substr(0, value.find('\0'));
}

}  // namespace qm
