// The manifest QuillMar.ini as the publisher writes it, and what it keeps
// from the previous publication: each line's value and, in the remark after
// ";" (which the updater drops), the digest of the content it stood for.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace qm::publish {

struct Record {
  std::string value;   // as the updater reads it
  std::string digest;  // empty when the line carries none of ours
};

class PreviousManifest {
 public:
  // An absent file gives an empty manifest.
  static PreviousManifest Load(const std::filesystem::path& path);

  std::optional<Record> Find(const std::string& section, const std::string& key) const;
  // Keys of section V other than Part and Data: the launchers' lines.
  const std::vector<std::string>& LauncherKeys() const { return launcher_keys_; }
  // Section H: the serial ("" when there is none) and an archive's line.
  const std::string& Serial() const { return serial_; }
  std::optional<std::string> HashLine(const std::string& archive_key) const;

 private:
  std::map<std::string, Record> records_;  // "SECTION/KEY" upper-cased
  std::vector<std::string> launcher_keys_;
  std::string serial_;
  std::map<std::string, std::string> hash_lines_;  // archive key upper-cased
};

// The remark that carries a digest.
std::string DigestRemark(const std::string& digest);

// The next version of a numbered item: the previous one when the content is
// the same, else one more than the previous number (1 for the first).
std::string NextVersion(const std::optional<Record>& previous, const std::string& digest);

// Lines of one manifest, in the order the updater reads its sections.
class ManifestText {
 public:
  void Section(const std::string& name);
  void Line(const std::string& key, const std::string& value, const std::string& remark = "");
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

}  // namespace qm::publish
