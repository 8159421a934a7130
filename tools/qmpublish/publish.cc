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

}  // namespace

PublishResult Publish(const PublishOptions& options) {
  CheckOptions(options);
  Progress progress(options.log);
  progress.Note("reading " + options.release.string());
  const Release release = ReadRelease(options.release);
  const fs::path server = options.out / "QuillMar";
  const fs::path manifest_path = server / "QuillMar.ini";
  const PreviousManifest previous = PreviousManifest::Load(manifest_path);
  const std::string& key = release.version_key;

  PublishResult result;
  result.version_key = key;
  result.serial = NextSerial(previous, options.serial);
  std::optional<SigningKey> signing_key;
  if (!options.key_file.empty()) {
    signing_key = SigningKey::Load(options.key_file);
    if (SigningKey::ReadableByOthers(options.key_file)) {
      result.warnings.push_back(options.key_file.string() +
                                " can be read by others than you: chmod 600 it, and make a new "
                                "key if anyone could have copied it (docs/integrity.md)");
    }
  }
  std::map<std::string, update::ArchiveHash> hashes;  // by the key of section H

  // Versions: from the version resources, else numbered by content.
  std::map<std::string, std::string> versions;  // by archive name
  for (const Item& item : release.items) {
    const std::optional<Record> before = previous.Find(item.section, item.key);
    if (!item.resource_version.empty()) {
      versions[item.archive] = item.resource_version;
      if (before && !before->digest.empty() && before->digest != item.digest &&
          before->value.rfind(item.resource_version, 0) == 0) {
        result.warnings.push_back(item.label + " changed but its FileVersion " +
                                  item.resource_version +
                                  " did not: players keep the old file; raise the FileVersion");
      }
    } else {
      versions[item.archive] = NextVersion(before, item.digest);
    }
  }

  // The engine folder of the previous publication, whose archives serve
  // again when their content is the same.
  std::string previous_folder;
  if (const std::optional<Record> line = previous.Find("V", key)) {
    previous_folder = update::SplitLauncherLine(line->value, key).engine_base_text;
    if (update::IsAbsoluteBase(previous_folder)) {
      previous_folder.clear();
    }
  }
  result.engine_folder =
      options.engine_folder.empty() ? EngineFolderFor(release, versions) : options.engine_folder;
  const fs::path engine_dir = server / result.engine_folder;
  std::error_code error;
  fs::create_directories(engine_dir, error);
  if (error) {
    throw PublishError("cannot create " + engine_dir.string() + ": " + error.message());
  }

  ZipOptions zip_options;
  zip_options.level = options.level;
  zip_options.jobs = options.jobs;
  zip_options.progress = [&](uint64_t done) { progress.Update(done); };
  for (const Item& item : release.items) {
    const fs::path target = (item.below_engine ? engine_dir : server) / item.archive;
    const fs::path earlier =
        item.below_engine ? server / previous_folder / item.archive : server / item.archive;
    const std::optional<Record> before = previous.Find(item.section, item.key);
    PublishedItem published;
    published.label = item.label;
    published.path = target.lexically_relative(options.out).generic_string();
    published.version = versions[item.archive];
    const bool same = before && before->digest == item.digest && fs::is_regular_file(earlier) &&
                      (item.below_engine ? !previous_folder.empty() : true);
    // An archive is reused only with its hash line and index intact.
    const std::optional<update::ArchiveHash> reused =
        same ? StillValid(previous, HashKey(item.below_engine ? previous_folder : "", item.archive),
                          earlier)
             : std::nullopt;
    const std::string hash_key =
        HashKey(item.below_engine ? result.engine_folder : "", item.archive);
    if (reused && fs::equivalent(earlier, target, error)) {
      published.action = "unchanged";
      hashes[hash_key] = *reused;
    } else if (reused) {
      CopyArchive(earlier, target);
      CopyArchive(IndexPath(earlier), IndexPath(target));
      published.action = "copied";
      hashes[hash_key] = *reused;
    } else {
      progress.Begin(item.archive, item.bytes);
      const WrittenZip written = WriteZip(target, item.members, zip_options);
      const std::string index = update::IndexText(written.index);
      WriteWholeFile(IndexPath(target), index);
      hashes[hash_key] = {written.size, written.sha256, HexOf(platform::Sha256Of(index))};
      published.action = "compressed";
    }
    published.bytes = fs::file_size(target);
    progress.End(published.action + " " + published.path + " (" + item.label + ", version " +
                 published.version + ", " + MegaBytes(published.bytes) + ")");
    result.items.push_back(published);
  }

  // Launchers of an earlier release ask under their own version key: they
  // get the new launcher, which asks under the new key from then on.
  std::vector<std::string> old_keys;
  for (const std::string& old_key : previous.LauncherKeys()) {
    if (old_key != key && ValueProblem(old_key).empty()) {
      old_keys.push_back(old_key);
      CopyArchive(server / (key + ".zip"), server / (old_key + ".zip"));
      CopyArchive(IndexPath(server / (key + ".zip")), IndexPath(server / (old_key + ".zip")));
      hashes[HashKey("", old_key + ".zip")] = hashes.at(HashKey("", key + ".zip"));
    }
  }

  ManifestText text;
  if (!options.mirrors.empty()) {
    text.Section("P");
    size_t k = 0;
    for (const std::string& mirror : options.mirrors) {
      text.Line("Path" + std::to_string(k++), mirror);
    }
    // The updater never takes the last line: it repeats the last mirror.
    text.Line("Path" + std::to_string(k), options.mirrors.back(), "never chosen");
  }
  text.Section("V");
  const std::string engine_text = "::" + result.engine_folder;
  const Item& launcher = release.items.front();
  text.Line(key, release.file_version + engine_text, DigestRemark(launcher.digest));
  for (const std::string& old_key : old_keys) {
    text.Line(old_key, release.file_version + engine_text, "earlier launcher");
  }
  for (const char* name : {"Part", "Data"}) {
    for (const Item& item : release.items) {
      if (item.section == "V" && item.key == name) {
        text.Line(name, versions[item.archive], DigestRemark(item.digest));
      }
    }
  }
  auto section = [&](const std::string& name) {
    bool begun = false;
    for (const Item& item : release.items) {
      if (item.section != name) {
        continue;
      }
      if (!begun) {
        text.Section(name);
        begun = true;
      }
      const std::string value =
          name == "C" ? item.file_name + "\\" + versions[item.archive] : versions[item.archive];
      text.Line(item.key, value, DigestRemark(item.digest));
    }
  };
  section("C");
  if (options.bk || options.bkp) {
    text.Section("S");
    if (options.bk) {
      text.Line("BK", *options.bk);
    }
    if (options.bkp) {
      text.Line("BKP", *options.bkp);
    }
  }
  section("SP");
  // Without a splash the line still stands, as "-1": a player's start then
  // finds its own "-1" (no Sp.Gif) equal and requests no splash archive.
  const bool has_splash = std::any_of(release.items.begin(), release.items.end(),
                                      [](const Item& item) { return item.section == "SP"; });
  if (!has_splash) {
    text.Section("SP");
    text.Line(key + "_Sp", "-1", "no splash in this release");
    for (const std::string& old_key : old_keys) {
      text.Line(old_key + "_Sp", "-1", "earlier launcher");
    }
  }
  for (const Item& item : release.items) {
    if (item.section == "SP") {
      for (const std::string& old_key : old_keys) {
        text.Line(old_key + "_Sp", versions[item.archive], "earlier launcher");
        CopyArchive(server / item.archive, server / (old_key + "_Sp.zip"));
        CopyArchive(IndexPath(server / item.archive), IndexPath(server / (old_key + "_Sp.zip")));
        hashes[HashKey("", old_key + "_Sp.zip")] = hashes.at(HashKey("", item.archive));
      }
    }
  }
  section("AData");
  section("BData");
  // Last, where launchers that know nothing of it never look.
  text.Section(update::kHashSection);
  text.Line(update::kSerialKey, std::to_string(result.serial));
  for (const auto& [hash_key, hash] : hashes) {
    text.Line(hash_key, update::HashLineValue(hash));
  }
  const fs::path signature_path = server / update::kSignatureFile;
  if (signing_key) {
    const update::ManifestSignature signature{result.serial, signing_key->Sign(text.text())};
    WriteWholeFile(manifest_path, text.text());
    WriteWholeFile(signature_path, update::SignatureText(signature));
    result.signed_manifest = true;
  } else {
    // A signature never stands beside a manifest it does not cover.
    fs::remove(signature_path, error);
    if (error) {
      throw PublishError("cannot remove the old signature " + signature_path.string() + ": " +
                         error.message());
    }
    WriteWholeFile(manifest_path, text.text());
  }
  for (const std::string& warning : result.warnings) {
    progress.Note("warning: " + warning);
  }
  progress.Note("wrote " + manifest_path.string() + " (version key " + key + ", engine folder " +
                result.engine_folder + ", serial " + std::to_string(result.serial) +
                (result.signed_manifest ? ", signed)" : ", not signed)"));
  return result;
}

}  // namespace qm::publish
