#include "update/settings_rules.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "util/ascii.h"
#include "util/string_helpers.h"
#include "zip/member_names.h"

namespace qm::update {
namespace {

constexpr size_t kMaxEngineBaseText = 9999;
constexpr size_t kMaxNormalizedRest = 99999;

[[noreturn]] void RejectEntry(const std::string& entry, const std::string& why) {
  const size_t separator = entry.find('\\');
  const std::string number = entry.substr(0, separator);
  const std::string value = separator == std::string::npos ? "" : entry.substr(separator + 1);
  throw std::runtime_error("The server's QuillMar.ini lists component " + number + " " + why +
                           ": [C] " + number + "=" + value + " (expected file name\\version)");
}

}  // namespace

bool IsBareFileName(const std::string& name) {
  return name.find_first_of("/\\:") == std::string::npos && !zip::IsDeviceName(name);
}

ProductVersionFields SplitProductVersion(const std::string& product_version) {
  StringList fields;
  SplitToList(fields, product_version, "-");
  fields.resize(std::max<size_t>(fields.size(), 4));
  return {fields[0], fields[1], fields[2], fields[3]};
}

int ChoosableMirrorCount(int line_count) {
  return line_count < 3 ? 1 : line_count - 1;
}

int ChooseMirrorIndex(int line_count, uint32_t random) {
  return static_cast<int>(random % static_cast<uint32_t>(ChoosableMirrorCount(line_count)));
}

LauncherLine SplitLauncherLine(const std::string& value, const std::string& version_key) {
  const size_t separator = value.find("::");
  if (separator == std::string::npos) {
    return {value, version_key};
  }
  return {value.substr(0, separator), value.substr(separator + 2, kMaxEngineBaseText)};
}

bool IsAbsoluteBase(const std::string& text) {
  return AsciiUpperCopy(text).find("HTTP:") != std::string::npos;
}

std::string NormalizeBase(const std::string& base) {
  std::string result = ReplaceAll(base + "/", "//", "/");
  const size_t scheme = AsciiUpperCopy(result).find("HTTP:");
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
    RejectEntry(entry, "without a version");
  }
  if (!IsBareFileName(fields[1])) {
    RejectEntry(entry, "whose name is not a bare file name");
  }
  ComponentEntry component{fields[1], fields[2], ""};
  const std::ptrdiff_t dot = LastPos(".", component.file_name);
  if (dot > 0) {
    component.stem = component.file_name.substr(0, static_cast<size_t>(dot - 1));
  }
  return component;
}

}  // namespace qm::update
