#include "tools/qmpublish/release.h"

#include <algorithm>
#include <map>
#include <set>

#include "platform/sha256.h"
#include "tools/qmpublish/file_bytes.h"
#include "tools/qmpublish/publish_error.h"
#include "update/integrity_format.h"
#include "update/settings_rules.h"
#include "util/ascii.h"
#include "util/hex.h"
#include "util/string_helpers.h"
#include "util/version_string.h"
#include "zip/member_names.h"

namespace qm::publish {
namespace {

namespace fs = std::filesystem;

// The files and empty folders below folder, as members; checks each name.
std::vector<ZipSource> CollectMembers(const fs::path& folder) {
  std::vector<ZipSource> members;
  std::map<std::string, std::string> by_upper;  // Windows ignores letter case
  std::error_code error;
  fs::recursive_directory_iterator it(folder, fs::directory_options::follow_directory_symlink,
                                      error);
  if (error) {
    throw PublishError("cannot read the folder " + folder.string() + ": " + error.message());
  }
  for (const fs::directory_entry& entry : it) {
    const fs::path relative = entry.path().lexically_relative(folder);
    if (relative.string().find('\\') != std::string::npos) {
      throw PublishError(entry.path().string() +
                         ": a name with \"\\\" turns into a folder on Windows; rename it");
    }
    ZipSource member;
    member.stored_name = PlatformPath(relative.generic_string());
    if (!update::IndexableName(member.stored_name)) {
      throw PublishError(entry.path().string() +
                         ": a name with a tab or a line break cannot stand in the archive's "
                         "content index; rename it");
    }
    if (entry.is_directory()) {
      if (!fs::is_empty(entry.path())) {
        continue;  // its files bring it along
      }
      member.stored_name += "/";
    } else if (entry.is_regular_file()) {
      member.file = entry.path();
      member.size = entry.file_size();
      member.executable = (entry.status().permissions() & fs::perms::owner_exec) != fs::perms::none;
    } else {
      throw PublishError(entry.path().string() +
                         " is neither a file nor a folder; remove it from the release");
    }
    std::string windows_name = member.stored_name;
    std::replace(windows_name.begin(), windows_name.end(), '/', '\\');
    if (!zip::IsSafeStoredName(windows_name)) {
      throw PublishError(entry.path().string() +
                         ": Windows cannot hold this name (a character of :<>|\"?*, a name of "
                         "dots, a dot or blank at its end, or a device name such as CON, AUX, "
                         "NUL, COM1 or LPT1); rename it");
    }
    auto [old, added] = by_upper.emplace(AsciiUpperCopy(member.stored_name), entry.path().string());
    if (!added) {
      throw PublishError(old->second + " and " + entry.path().string() +
                         " differ only in letter case, which Windows cannot tell apart; "
                         "keep one of them");
    }
    members.push_back(std::move(member));
  }
  std::sort(members.begin(), members.end(),
            [](const ZipSource& a, const ZipSource& b) { return a.stored_name < b.stored_name; });
  return members;
}

// Names, kinds, sizes and content, in name order.
std::string Digest(const std::vector<ZipSource>& members) {
  platform::Sha256 hash;
  for (const ZipSource& member : members) {
    hash.Update(member.stored_name);
    hash.Update(std::string(1, '\0'));
    hash.Update(std::to_string(member.size) +
                (member.file.empty() ? "d" : (member.executable ? "x" : "f")));
    if (!member.file.empty()) {
      hash.Update(ReadWholeFile(member.file));
    }
  }
  return HexOf(hash.Final());
}

Item FolderItem(const fs::path& folder,
                std::string label,
                std::string section,
                std::string key,
                bool below_engine) {
  Item item;
  item.label = std::move(label);
  item.section = std::move(section);
  item.archive = key + ".zip";
  item.key = std::move(key);
  item.below_engine = below_engine;
  item.members = CollectMembers(folder);
  for (const ZipSource& member : item.members) {
    item.bytes += member.size;
  }
  return item;
}

// Folders 1 .. n of a data-set folder; raises on a gap or a stray name.
std::vector<fs::path> NumberedSets(const fs::path& folder) {
  std::map<int, fs::path> sets;
  if (fs::is_directory(folder)) {
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
      const std::string name = entry.path().filename().string();
      const bool number = !name.empty() && name[0] != '0' && name.size() < 6 &&
                          name.find_first_not_of("0123456789") == std::string::npos;
      if (!number || !entry.is_directory()) {
        throw PublishError(entry.path().string() +
                           ": the sets of this folder are sub-folders named 1, 2, 3 ...; "
                           "move or rename it");
      }
      sets[std::stoi(name)] = entry.path();
    }
  }
  std::vector<fs::path> ordered;
  for (const auto& [number, path] : sets) {
    if (number != static_cast<int>(ordered.size()) + 1) {
      throw PublishError(folder.string() + ": set " + std::to_string(ordered.size() + 1) +
                         " is missing; the updater counts the sets from 1 without gaps");
    }
    ordered.push_back(path);
  }
  return ordered;
}

std::string CheckedVersion(const fs::path& file, const std::string& name) {
  std::string version = GetFileVersionString(PlatformPath(file), name);
  if (version == "?") {
    throw PublishError(file.string() + " has no readable " + name +
                       " in its version resource; the updater compares it at every start and "
                       "would download the file again each time: give it a version resource");
  }
  const std::string problem = ValueProblem(version);
  if (!problem.empty()) {
    throw PublishError(file.string() + ": its " + name + " \"" + version + "\" " + problem +
                       "; the updater would download the file at every start: change the "
                       "version resource");
  }
  return version;
}

}  // namespace

std::string ValueProblem(const std::string& value) {
  if (value.find(';') != std::string::npos) {
    return "holds \";\", from which the updater drops the rest";
  }
  if (value.find_first_of("\r\n") != std::string::npos) {
    return "holds a line break";
  }
  if (!value.empty() && (Trim(value) != value)) {
    return "begins or ends with a blank";
  }
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return "is enclosed in quotes, which the settings reader drops";
  }
  if (value.size() > 2000) {
    return "is longer than the settings reader takes";
  }
  return "";
}

namespace {

void CheckLayout(const fs::path& root) {
  if (!fs::is_directory(root)) {
    throw PublishError(root.string() + " is not a folder; give the release folder");
  }
  const std::set<std::string> known = {"launcher", "splash", "engine",    "data",
                                       "adata",    "bdata",  "components"};
  for (const fs::directory_entry& entry : fs::directory_iterator(root)) {
    if (!known.count(entry.path().filename().string())) {
      throw PublishError(entry.path().string() +
                         ": not part of the release layout (launcher, splash, engine, data, "
                         "adata, bdata, components); move it elsewhere or fix its name");
    }
  }
}

// The launcher's versions, which name the release.
void ReadReleaseVersions(const fs::path& launcher, Release* release) {
  if (!fs::is_regular_file(launcher)) {
    throw PublishError("no " + launcher.string() +
                       "; the release needs the launcher, whose version resource names the "
                       "release");
  }
  release->file_version = CheckedVersion(launcher, "FileVersion");
  if (release->file_version.find("::") != std::string::npos) {
    throw PublishError(launcher.string() +
                       ": its FileVersion holds \"::\", which the updater "
                       "reads as the start of the engine folder");
  }
  release->product_version = GetFileVersionString(PlatformPath(launcher), "ProductVersion");
  release->version_key = update::SplitProductVersion(release->product_version).VersionKey();
  if (release->product_version == "?" || release->version_key.empty() ||
      release->version_key.find_first_of("=[]; \t\\/:\"") != std::string::npos) {
    throw PublishError(launcher.string() + ": its ProductVersion \"" + release->product_version +
                       "\" gives no usable version key (first and third field, as in "
                       "82001-000-500-000001); change the version resource");
  }
}

// The component in file, as item number; checks its name against the
// engine's archives (engine_names) and the components before it (stems).
Item ComponentItem(const fs::path& file,
                   int number,
                   const std::set<std::string>& engine_names,
                   std::map<std::string, std::string>* stems) {
  const std::string name = file.filename().string();
  if (!fs::is_regular_file(file)) {
    throw PublishError(file.string() +
                       ": components are single files beside the game; "
                       "move this out of components/");
  }
  const size_t dot = name.rfind('.');
  const std::string stem = dot == std::string::npos ? "" : name.substr(0, dot);
  if (stem.empty() || name.find_first_of("\\;=") != std::string::npos ||
      !ValueProblem(name).empty()) {
    throw PublishError(file.string() +
                       ": a component needs a plain name with an extension, "
                       "such as Foo.dll; its archive is named after it");
  }
  if (engine_names.count(AsciiUpperCopy(stem))) {
    throw PublishError(file.string() + ": its archive " + stem +
                       ".zip would take the place of the engine, data or B-data archive; "
                       "rename the component");
  }
  auto [old, added] = stems->emplace(AsciiUpperCopy(stem), name);
  if (!added) {
    throw PublishError(file.string() + ": " + old->second + " and " + name +
                       " would share the archive " + stem + ".zip; rename one of them");
  }
  Item item;
  item.label = "component " + name;
  item.section = "C";
  item.key = std::to_string(number);
  item.archive = stem + ".zip";
  item.below_engine = true;
  item.file_name = PlatformPath(name);
  item.resource_version = CheckedVersion(file, "FileVersion");
  item.members.push_back({item.file_name, file, fs::file_size(file)});
  item.bytes = item.members.back().size;
  return item;
}

void AddComponents(const fs::path& components,
                   const std::set<std::string>& engine_names,
                   Release* release) {
  if (!fs::is_directory(components)) {
    return;
  }
  std::vector<fs::path> files;
  for (const fs::directory_entry& entry : fs::directory_iterator(components)) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::map<std::string, std::string> stems;  // upper-cased stem -> file name
  int number = 0;
  for (const fs::path& file : files) {
    release->items.push_back(ComponentItem(file, ++number, engine_names, &stems));
  }
}

}  // namespace

Release ReadRelease(const fs::path& root) {
  CheckLayout(root);
  Release release;
  ReadReleaseVersions(root / "launcher" / "QuillMar.exe", &release);
  const std::string& key = release.version_key;

  Item launcher_item = FolderItem(root / "launcher", "launcher", "V", key, false);
  launcher_item.resource_version = release.file_version;
  release.items.push_back(std::move(launcher_item));
  if (fs::is_directory(root / "splash")) {
    release.items.push_back(FolderItem(root / "splash", "splash", "SP", key + "_Sp", false));
  }
  if (fs::is_directory(root / "engine")) {
    release.items.push_back(FolderItem(root / "engine", "engine", "V", "Part", true));
  }
  if (fs::is_directory(root / "data")) {
    release.items.push_back(FolderItem(root / "data", "data", "V", "Data", true));
  }
  int k = 0;
  for (const fs::path& set : NumberedSets(root / "adata")) {
    const std::string n = std::to_string(++k);
    release.items.push_back(FolderItem(set, "A-data " + n, "AData", "AData" + n, false));
  }
  k = 0;
  std::set<std::string> engine_names = {"PART", "DATA"};
  for (const fs::path& set : NumberedSets(root / "bdata")) {
    const std::string n = std::to_string(++k);
    release.items.push_back(FolderItem(set, "B-data " + n, "BData", "BData" + n, true));
    engine_names.insert("BDATA" + n);
  }
  AddComponents(root / "components", engine_names, &release);
  for (Item& item : release.items) {
    item.digest = Digest(item.members);
  }
  return release;
}

}  // namespace qm::publish
