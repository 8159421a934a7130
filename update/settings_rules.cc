#include "update/settings_rules.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "util/string_helpers.h"

namespace qm::update {
namespace {

constexpr size_t kMaxEngineBaseText = 9999;
constexpr size_t kMaxNormalizedRest = 99999;

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

}  // namespace

int ChooseMirrorIndex(int line_count, uint32_t random) {
  if (line_count < 3) {
    return 0;
  }
  return static_cast<int>(random % static_cast<uint32_t>(line_count - 1));
}

LauncherLine SplitLauncherLine(const std::string& value, const std::string& version_key) {
  const size_t separator = value.find("::");
  if (separator == std::string::npos) {
    return {value, version_key};
  }
  return {value.substr(0, separator), value.substr(separator + 2, kMaxEngineBaseText)};
}

bool IsAbsoluteBase(const std::string& text) {
  return Upper(text).find("HTTP:") != std::string::npos;
}

std::string NormalizeBase(const std::string& base) {
  std::string result = ReplaceAll(base + "/", "//", "/");
  const size_t scheme = Upper(result).find("HTTP:");
  if (scheme != std::string::npos) {
    result = "http:/" + result.substr(scheme + 5, kMaxNormalizedRest);
  }
  return result;
}

std::string EngineBase(const std::string& download_base, const std::string& text) {
  if (IsAbsoluteBase(text)) {
    return NormalizeBase(text);
  }
  return NormalizeBase(download_base + "/" + text);
}

ComponentEntry ParseComponentEntry(const std::string& entry) {
  StringList fields;
  SplitToList(fields, entry, "\\");
  if (fields.size() < 3) {
    const std::string number = fields.empty() ? entry : fields[0];
    const std::string value = entry.size() > number.size() ? entry.substr(number.size() + 1) : "";
    throw std::runtime_error("The server's QuillMar.ini lists component " + number +
                             " without a version: [C] " + number + "=" + value +
                             " (expected file name\\version)");
  }
  ComponentEntry component{fields[1], fields[2], ""};
  const std::ptrdiff_t dot = LastPos(".", component.file_name);
  if (dot > 0) {
    component.stem = component.file_name.substr(0, static_cast<size_t>(dot - 1));
  }
  return component;
}

}  // namespace qm::update
