#include "tools/qmpublish/manifest.h"

#include "platform/ini_file.h"
#include "tools/qmpublish/file_bytes.h"
#include "util/ascii.h"
#include "util/string_helpers.h"

namespace qm::publish {
namespace {

constexpr char kRemarkPrefix[] = "qmpublish ";

}  // namespace

PreviousManifest PreviousManifest::Load(const std::filesystem::path& path) {
  PreviousManifest manifest;
  if (!std::filesystem::exists(path)) {
    return manifest;
  }
  const platform::IniFile ini(PlatformPath(path));
  for (const char* section : {"V", "C", "SP", "AData", "BData"}) {
    std::vector<std::string> keys;
    ini.ReadSection(section, keys);
    for (const std::string& key : keys) {
      const std::string raw = ini.ReadString(section, key, "");
      Record record;
      record.value = R_Trim(raw);
      const size_t semicolon = raw.rfind(';');
      if (semicolon != std::string::npos) {
        const std::string remark = Trim(raw.substr(semicolon + 1));
        if (remark.rfind(kRemarkPrefix, 0) == 0) {
          record.digest = remark.substr(sizeof(kRemarkPrefix) - 1);
        }
      }
      manifest.records_[AsciiUpperCopy(std::string(section) + "/" + key)] = record;
      const std::string upper = AsciiUpperCopy(key);
      if (std::string(section) == "V" && upper != "PART" && upper != "DATA") {
        manifest.launcher_keys_.push_back(key);
      }
    }
  }
  std::vector<std::string> keys;
  ini.ReadSection("H", keys);
  for (const std::string& key : keys) {
    const std::string value = ini.ReadString("H", key, "");
    if (AsciiUpperCopy(key) == "SERIAL") {
      manifest.serial_ = value;
    } else {
      manifest.hash_lines_[AsciiUpperCopy(key)] = value;
    }
  }
  return manifest;
}

std::optional<std::string> PreviousManifest::HashLine(const std::string& archive_key) const {
  auto it = hash_lines_.find(AsciiUpperCopy(archive_key));
  if (it == hash_lines_.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::optional<Record> PreviousManifest::Find(const std::string& section,
                                             const std::string& key) const {
  auto it = records_.find(AsciiUpperCopy(section + "/" + key));
  if (it == records_.end()) {
    return std::nullopt;
  }
  return it->second;
}

std::string DigestRemark(const std::string& digest) {
  return kRemarkPrefix + digest;
}

std::string NextVersion(const std::optional<Record>& previous, const std::string& digest) {
  if (!previous) {
    return "1";
  }
  if (previous->digest == digest) {
    return previous->value;
  }
  const std::string& value = previous->value;
  if (value.empty() || value.size() > 9 ||
      value.find_first_not_of("0123456789") != std::string::npos) {
    // Not one of our numbers: start again at 1, which differs from it.
    return value == "1" ? "2" : "1";
  }
  return std::to_string(std::stoll(value) + 1);
}

void ManifestText::Section(const std::string& name) {
  text_ += "[" + name + "]\r\n";
}

void ManifestText::Line(const std::string& key,
                        const std::string& value,
                        const std::string& remark) {
  text_ += key + "=" + value;
  if (!remark.empty()) {
    text_ += " ; " + remark;
  }
  text_ += "\r\n";
}

}  // namespace qm::publish
