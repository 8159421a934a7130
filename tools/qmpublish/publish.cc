#include "tools/qmpublish/publish.h"

#include <algorithm>
#include <map>

#include "platform/sha256.h"
#include "tools/qmpublish/file_bytes.h"
#include "tools/qmpublish/manifest.h"
#include "tools/qmpublish/progress.h"
#include "tools/qmpublish/publish_error.h"
#include "tools/qmpublish/release.h"
#include "tools/qmpublish/signing_key.h"
#include "tools/qmpublish/zip_writer.h"
#include "update/integrity_format.h"
#include "update/settings_rules.h"
#include "util/hex.h"

namespace qm::publish {
namespace {

namespace fs = std::filesystem;

void CheckOptions(const PublishOptions& options) {
  for (const std::string& mirror : options.mirrors) {
    std::string problem = ValueProblem(mirror);
    if (problem.empty() && update::NormalizeBase(mirror).rfind("http://", 0) != 0) {
      problem = "is not an http:// URL (the updater speaks plain HTTP only)";
    }
    if (!problem.empty()) {
      std::string message = "the mirror \"" + mirror;
      message += "\" " + problem + "; give it as http://host/path/";
      throw PublishError(message);
    }
  }
  for (const auto& [name, value] :
       {std::pair{"--bk", options.bk}, std::pair{"--bkp", options.bkp}}) {
    const std::string problem = value ? ValueProblem(*value) : "";
    if (!problem.empty()) {
      throw PublishError(std::string("the ") + name + " text \"" + *value + "\" " + problem +
                         ", so the game client would get another text; change it");
    }
  }
  const std::string& folder = options.engine_folder;
  if (!folder.empty() &&
      (!ValueProblem(folder).empty() || update::IsAbsoluteBase(folder) ||
       folder.find_first_of("\\:=?#%[]") != std::string::npos ||
       folder.find("..") != std::string::npos || folder.front() == '/' || folder.back() == '/')) {
    throw PublishError("the engine folder \"" + folder +
                       "\" must be a plain relative folder name such as r42 or game/r42");
  }
  if (options.level < 1 || options.level > 12) {
    throw PublishError("the compression level is 1 (fastest) to 12 (smallest)");
  }
  if (options.jobs < 1 || options.jobs > 64) {
    throw PublishError("the number of jobs is 1 to 64");
  }
}

// A new file at target with the bytes of source: a hard link when the file
// system has them (the archives are never changed in place), else a copy.
void CopyArchive(const fs::path& source, const fs::path& target) {
  std::error_code error;
  fs::remove(target, error);
  fs::create_hard_link(source, target, error);
  if (error) {
    fs::copy_file(source, target, fs::copy_options::overwrite_existing, error);
  }
  if (error) {
    throw PublishError("cannot copy " + source.string() + " to " + target.string() + ": " +
                       error.message());
  }
}

// The key of an archive's line in section H, derived as the updater derives
// the archive's URL (folder: the engine folder, or empty for the download
// base).
std::string HashKey(const std::string& folder, const std::string& archive) {
  const std::string base = "http://host/QuillMar/";
  const std::string url =
      (folder.empty() ? update::NormalizeBase(base) : update::EngineBase(base, folder)) + archive;
  return update::ArchiveKey(update::NormalizeBase(base), url);
}

std::string Sha256OfFile(const fs::path& path) {
  return HexOf(platform::Sha256Of(ReadWholeFile(path)));
}

fs::path IndexPath(const fs::path& archive) {
  return archive.string() + update::kIndexSuffix;
}

// The hash line of an archive of the previous publication, when the
// archive and its index are still what that line says; else none, and the
// archive is made again.
std::optional<update::ArchiveHash> StillValid(const PreviousManifest& previous,
                                              const std::string& key,
                                              const fs::path& archive) {
  const std::optional<std::string> line = previous.HashLine(key);
  std::optional<update::ArchiveHash> hash = line ? update::ParseHashLine(*line) : std::nullopt;
  std::error_code error;
  if (!hash || !fs::is_regular_file(IndexPath(archive)) ||
      fs::file_size(archive, error) != hash->size || error ||
      Sha256OfFile(IndexPath(archive)) != hash->index_sha256 ||
      Sha256OfFile(archive) != hash->sha256) {
    return std::nullopt;
  }
  return hash;
}

// The serial of this publication: above the previous manifest's.
uint64_t NextSerial(const PreviousManifest& previous, const std::optional<uint64_t>& wanted) {
  uint64_t last = 0;
  if (!previous.Serial().empty()) {
    const std::optional<uint64_t> parsed = update::ParseSerial(previous.Serial());
    if (!parsed) {
      throw PublishError("the serial \"" + previous.Serial() +
                         "\" of the manifest in the output folder is not a number; correct "
                         "its line Serial= in section H");
    }
    last = *parsed;
  }
  const uint64_t serial = wanted ? *wanted : last + 1;
  if (serial <= last) {
    throw PublishError("the serial " + std::to_string(serial) +
                       " is not above the previous manifest's " + std::to_string(last) +
                       "; launchers refuse a manifest whose serial does not grow: give "
                       "--serial " +
                       std::to_string(last + 1) + " or more");
  }
  return serial;
}

std::string EngineFolderFor(const Release& release,
                            const std::map<std::string, std::string>& versions) {
  platform::Sha256 hash;
  for (const Item& item : release.items) {
    if (item.below_engine) {
      hash.Update(item.archive + "\n" + versions.at(item.archive) + "\n" + item.digest + "\n");
    }
  }
  return "r" + HexOf(hash.Final()).substr(0, 12);
}

// One publication, in the order of its steps: versions, the engine folder,
// the archives, their copies for earlier launchers, then the manifest and
// its signature.
class Publication {
 public:
  explicit Publication(const PublishOptions& options)
      : options_(options),
        progress_(options.log),
        release_(
            (progress_.Note("reading " + options.release.string()), ReadRelease(options.release))),
        server_(options.out / "QuillMar"),
        manifest_path_(server_ / "QuillMar.ini"),
        previous_(PreviousManifest::Load(manifest_path_)),
        key_(release_.version_key) {
    result_.version_key = key_;
    result_.serial = NextSerial(previous_, options.serial);
  }

  PublishResult Run() {
    LoadSigningKey();
    NumberVersions();
    PrepareEngineFolder();
    PublishArchives();
    CopyForEarlierLaunchers();
    WriteManifest(ManifestFor());
    return result_;
  }

 private:
  void LoadSigningKey() {
    if (options_.key_file.empty()) {
      return;
    }
    signing_key_ = SigningKey::Load(options_.key_file);
    if (SigningKey::ReadableByOthers(options_.key_file)) {
      result_.warnings.push_back(options_.key_file.string() +
                                 " can be read by others than you: chmod 600 it, and make a new "
                                 "key if anyone could have copied it (docs/integrity.md)");
    }
  }

  // Versions: from the version resources, else numbered by content.
  void NumberVersions() {
    for (const Item& item : release_.items) {
      const std::optional<Record> before = previous_.Find(item.section, item.key);
      if (!item.resource_version.empty()) {
        versions_[item.archive] = item.resource_version;
        if (before && !before->digest.empty() && before->digest != item.digest &&
            before->value.rfind(item.resource_version, 0) == 0) {
          result_.warnings.push_back(item.label + " changed but its FileVersion " +
                                     item.resource_version +
                                     " did not: players keep the old file; raise the FileVersion");
        }
      } else {
        versions_[item.archive] = NextVersion(before, item.digest);
      }
    }
  }

  void PrepareEngineFolder() {
    // The engine folder of the previous publication, whose archives serve
    // again when their content is the same.
    if (const std::optional<Record> line = previous_.Find("V", key_)) {
      previous_folder_ = update::SplitLauncherLine(line->value, key_).engine_base_text;
      if (update::IsAbsoluteBase(previous_folder_)) {
        previous_folder_.clear();
      }
    }
    result_.engine_folder = options_.engine_folder.empty() ? EngineFolderFor(release_, versions_)
                                                           : options_.engine_folder;
    engine_dir_ = server_ / result_.engine_folder;
    std::error_code error;
    fs::create_directories(engine_dir_, error);
    if (error) {
      throw PublishError("cannot create " + engine_dir_.string() + ": " + error.message());
    }
  }

  void PublishArchives() {
    ZipOptions zip_options;
    zip_options.level = options_.level;
    zip_options.jobs = options_.jobs;
    zip_options.progress = [this](uint64_t done) { progress_.Update(done); };
    for (const Item& item : release_.items) {
      result_.items.push_back(PublishArchive(item, zip_options));
    }
  }

  // Reuses, copies or compresses one item's archive and its index.
  PublishedItem PublishArchive(const Item& item, const ZipOptions& zip_options) {
    const fs::path target = (item.below_engine ? engine_dir_ : server_) / item.archive;
    const fs::path earlier =
        item.below_engine ? server_ / previous_folder_ / item.archive : server_ / item.archive;
    const std::optional<Record> before = previous_.Find(item.section, item.key);
    PublishedItem published;
    published.label = item.label;
    published.path = target.lexically_relative(options_.out).generic_string();
    published.version = versions_[item.archive];
    const bool same = before && before->digest == item.digest && fs::is_regular_file(earlier) &&
                      (item.below_engine ? !previous_folder_.empty() : true);
    // An archive is reused only with its hash line and index intact.
    const std::optional<update::ArchiveHash> reused =
        same ? StillValid(previous_,
                          HashKey(item.below_engine ? previous_folder_ : "", item.archive), earlier)
             : std::nullopt;
    const std::string hash_key =
        HashKey(item.below_engine ? result_.engine_folder : "", item.archive);
    std::error_code error;
    if (reused && fs::equivalent(earlier, target, error)) {
      published.action = "unchanged";
      hashes_[hash_key] = *reused;
    } else if (reused) {
      CopyArchive(earlier, target);
      CopyArchive(IndexPath(earlier), IndexPath(target));
      published.action = "copied";
      hashes_[hash_key] = *reused;
    } else {
      progress_.Begin(item.archive, item.bytes);
      const WrittenZip written = WriteZip(target, item.members, zip_options);
      const std::string index = update::IndexText(written.index);
      WriteWholeFile(IndexPath(target), index);
      hashes_[hash_key] = {written.size, written.sha256, HexOf(platform::Sha256Of(index))};
      published.action = "compressed";
    }
    published.bytes = fs::file_size(target);
    progress_.End(published.action + " " + published.path + " (" + item.label + ", version " +
                  published.version + ", " + MegaBytes(published.bytes) + ")");
    return published;
  }

  // Launchers of an earlier release ask under their own version key: they
  // get the new launcher (and splash), which asks under the new key from
  // then on.
  void CopyForEarlierLaunchers() {
    for (const std::string& old_key : previous_.LauncherKeys()) {
      if (old_key != key_ && ValueProblem(old_key).empty()) {
        old_keys_.push_back(old_key);
        CopyWithIndex(key_ + ".zip", old_key + ".zip");
      }
    }
    for (const Item& item : release_.items) {
      if (item.section == "SP") {
        for (const std::string& old_key : old_keys_) {
          CopyWithIndex(item.archive, old_key + "_Sp.zip");
        }
      }
    }
  }

  void CopyWithIndex(const std::string& archive, const std::string& copy) {
    CopyArchive(server_ / archive, server_ / copy);
    CopyArchive(IndexPath(server_ / archive), IndexPath(server_ / copy));
    hashes_[HashKey("", copy)] = hashes_.at(HashKey("", archive));
  }

  // Writes the lines of every item of section name.
  void ItemSection(ManifestText& text, const std::string& name) {
    bool begun = false;
    for (const Item& item : release_.items) {
      if (item.section != name) {
        continue;
      }
      if (!begun) {
        text.Section(name);
        begun = true;
      }
      const std::string value =
          name == "C" ? item.file_name + "\\" + versions_[item.archive] : versions_[item.archive];
      text.Line(item.key, value, DigestRemark(item.digest));
    }
  }

  ManifestText ManifestFor() {
    ManifestText text;
    if (!options_.mirrors.empty()) {
      text.Section("P");
      size_t k = 0;
      for (const std::string& mirror : options_.mirrors) {
        text.Line("Path" + std::to_string(k++), mirror);
      }
      // The updater never takes the last line: it repeats the last mirror.
      text.Line("Path" + std::to_string(k), options_.mirrors.back(), "never chosen");
    }
    VersionSection(text);
    ItemSection(text, "C");
    if (options_.bk || options_.bkp) {
      text.Section("S");
      if (options_.bk) {
        text.Line("BK", *options_.bk);
      }
      if (options_.bkp) {
        text.Line("BKP", *options_.bkp);
      }
    }
    SplashSection(text);
    ItemSection(text, "AData");
    ItemSection(text, "BData");
    // Last, where launchers that know nothing of it never look.
    text.Section(update::kHashSection);
    text.Line(update::kSerialKey, std::to_string(result_.serial));
    for (const auto& [hash_key, hash] : hashes_) {
      text.Line(hash_key, update::HashLineValue(hash));
    }
    return text;
  }

  void VersionSection(ManifestText& text) {
    text.Section("V");
    const std::string engine_text = "::" + result_.engine_folder;
    const Item& launcher = release_.items.front();
    text.Line(key_, release_.file_version + engine_text, DigestRemark(launcher.digest));
    for (const std::string& old_key : old_keys_) {
      text.Line(old_key, release_.file_version + engine_text, "earlier launcher");
    }
    for (const char* name : {"Part", "Data"}) {
      for (const Item& item : release_.items) {
        if (item.section == "V" && item.key == name) {
          text.Line(name, versions_[item.archive], DigestRemark(item.digest));
        }
      }
    }
  }

  void SplashSection(ManifestText& text) {
    ItemSection(text, "SP");
    // Without a splash the line still stands, as "-1": a player's start then
    // finds its own "-1" (no Sp.Gif) equal and requests no splash archive.
    const bool has_splash = std::any_of(release_.items.begin(), release_.items.end(),
                                        [](const Item& item) { return item.section == "SP"; });
    if (!has_splash) {
      text.Section("SP");
      text.Line(key_ + "_Sp", "-1", "no splash in this release");
      for (const std::string& old_key : old_keys_) {
        text.Line(old_key + "_Sp", "-1", "earlier launcher");
      }
    }
    for (const Item& item : release_.items) {
      if (item.section == "SP") {
        for (const std::string& old_key : old_keys_) {
          text.Line(old_key + "_Sp", versions_[item.archive], "earlier launcher");
        }
      }
    }
  }

  void WriteManifest(const ManifestText& text) {
    const fs::path signature_path = server_ / update::kSignatureFile;
    if (signing_key_) {
      const update::ManifestSignature signature{result_.serial, signing_key_->Sign(text.text())};
      WriteWholeFile(manifest_path_, text.text());
      WriteWholeFile(signature_path, update::SignatureText(signature));
      result_.signed_manifest = true;
    } else {
      // A signature never stands beside a manifest it does not cover.
      std::error_code error;
      fs::remove(signature_path, error);
      if (error) {
        throw PublishError("cannot remove the old signature " + signature_path.string() + ": " +
                           error.message());
      }
      WriteWholeFile(manifest_path_, text.text());
    }
    for (const std::string& warning : result_.warnings) {
      progress_.Note("warning: " + warning);
    }
    progress_.Note("wrote " + manifest_path_.string() + " (version key " + key_ +
                   ", engine folder " + result_.engine_folder + ", serial " +
                   std::to_string(result_.serial) +
                   (result_.signed_manifest ? ", signed)" : ", not signed)"));
  }

  const PublishOptions& options_;
  Progress progress_;
  const Release release_;
  const fs::path server_;
  const fs::path manifest_path_;
  const PreviousManifest previous_;
  const std::string& key_;
  PublishResult result_;
  std::optional<SigningKey> signing_key_;
  std::map<std::string, std::string> versions_;        // by archive name
  std::map<std::string, update::ArchiveHash> hashes_;  // by the key of section H
  std::string previous_folder_;
  fs::path engine_dir_;
  std::vector<std::string> old_keys_;
};

}  // namespace

PublishResult Publish(const PublishOptions& options) {
  CheckOptions(options);
  return Publication(options).Run();
}

}  // namespace qm::publish
