#include "tools/qmpublish/check.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <optional>
#include <random>

#include "http/http_cli.h"
#include "http/receive_stream.h"
#include "platform/ecdsa.h"
#include "platform/ini_file.h"
#include "tools/qmpublish/file_bytes.h"
#include "tools/qmpublish/index_check.h"
#include "tools/qmpublish/progress.h"
#include "update/integrity_format.h"
#include "update/server_settings.h"
#include "update/settings_rules.h"
#include "util/ascii.h"
#include "util/hex.h"
#include "util/string_helpers.h"
#include "zip/unzip.h"
#include "zip/unzip_error.h"

namespace qm::publish {
namespace {

namespace fs = std::filesystem;

// A folder of our own for the documents, removed with everything in it.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::random_device random;
    path_ = fs::temp_directory_path() / ("qmpublish-check-" + std::to_string(random()));
    fs::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

struct Fetched {
  bool ok = false;
  std::string status;
  std::string error;
  std::vector<std::string> header;
};

class Fetcher {
 public:
  Fetcher(const CheckOptions& options, const fs::path& folder, std::FILE* log)
      : options_(options), folder_(folder), progress_(log) {}

  Fetched Get(const std::string& url, const fs::path& file) {
    Fetched fetched;
    http::SpillingStream stream(PlatformPath(folder_));
    http::THttpCli client;
    client.URL = url;
    client.Proxy = options_.proxy;
    client.ProxyPort = options_.proxy_port;
    client.ProxyUsername = options_.proxy_user;
    client.ProxyPassword = options_.proxy_password;
    client.SetReceiveStream(&stream);
    client.OnDocBegin = [&](http::THttpCli* sender) {
      progress_.Begin(url, static_cast<uint64_t>(std::max<int64_t>(sender->ContentLength(), 0)));
    };
    client.OnDocData = [&](http::THttpCli* sender, const char*, int32_t) {
      progress_.Update(static_cast<uint64_t>(sender->ReceivedCount()));
    };
    try {
      client.Get();
    } catch (const http::EHttpException& e) {
      fetched.error = e.what();
    }
    progress_.End("");
    fetched.header = client.ReceivedHeader();
    // Without a response the client reports its own failure as a status.
    const bool answered = !fetched.header.empty();
    fetched.status = answered ? std::to_string(client.StatusCode()) : "-";
    if (answered && (client.StatusCode() < 200 || client.StatusCode() > 299)) {
      fetched.error = "status " + fetched.status + " " + client.ReasonPhrase() + ", not 2xx";
    } else if (!fetched.error.empty() && !answered) {
      fetched.error = "no answer: " + fetched.error;
    }
    if (fetched.error.empty() &&
        !stream.CommitToPath(PlatformPath(file), http::SpillingStream::Durability::kTransient)) {
      fetched.error = "cannot keep the document: " + stream.error();
    }
    fetched.ok = fetched.error.empty();
    return fetched;
  }

 private:
  const CheckOptions& options_;
  fs::path folder_;
  Progress progress_;
};

// What is wrong with the archive at path; empty when nothing. must_hold: a
// member the updater looks for after unpacking (empty for none).
std::string TestArchive(const fs::path& path, const std::string& must_hold) {
  zip::TUnZip unzip;
  std::string first_error;
  unzip.OnError = [&](zip::TUnZip*, const std::string& name, const std::string& message,
                      const std::string&, int code) {
    if (first_error.empty()) {
      const std::string member = name.substr(name.find_last_of('\\') + 1);
      first_error = (member.empty() ? "" : member + ": ") +
                    (message.empty() ? zip::ErrorText(code) : message) + " (" +
                    std::to_string(code) + ")";
    }
  };
  unzip.SetArchiveFile(PlatformPath(path));
  if (unzip.ArcType() != zip::TArcType::atZip) {
    return "not a zip archive";
  }
  unzip.FileSpec = {"*.*"};
  unzip.Test();
  if (!unzip.Succeeded() || unzip.FailedCount() > 0) {
    return "does not unpack: " + (first_error.empty() ? std::string("damaged") : first_error);
  }
  if (!must_hold.empty()) {
    unzip.FileSpec = {"*.*"};
    bool found = false;
    for (const zip::TZipMemberInfo& member : unzip.List()) {
      found = found || EqualsIgnoringAsciiCase(member.name, must_hold);
    }
    if (!found) {
      return "holds no " + must_hold + " at its top: players would fetch it at every start";
    }
  }
  return {};
}

struct Wanted {
  std::string item;
  std::string url;
  std::string must_hold;
};

// Section H as fetched: the serial and each archive's line.
struct HashSection {
  std::string serial;
  std::map<std::string, std::string> lines;  // by archive key, upper-cased
  bool present = false;
};

HashSection ReadHashSection(const platform::IniFile& ini) {
  HashSection section;
  StringList keys;
  ini.ReadSection(update::kHashSection, keys);
  section.present = !keys.empty();
  for (const std::string& key : keys) {
    const std::string value = ini.ReadString(update::kHashSection, key, "");
    if (EqualsIgnoringAsciiCase(key, update::kSerialKey)) {
      section.serial = value;
    } else {
      section.lines[AsciiUpperCopy(key)] = value;
    }
  }
  return section;
}

// The signature beside the manifest: problems when the launchers' key is
// given, warnings when it is not.
void CheckSignature(const CheckOptions& options,
                    Fetcher& fetcher,
                    const fs::path& folder,
                    const std::string& manifest_bytes,
                    const std::optional<uint64_t>& serial,
                    std::FILE* out,
                    CheckReport* report) {
  const std::string url = options.base_url + "/QuillMar/" + update::kSignatureFile;
  const fs::path file = folder / update::kSignatureFile;
  const Fetched fetched = fetcher.Get(url, file);
  if (!options.public_key) {
    report->warnings.push_back(
        fetched.ok ? std::string(update::kSignatureFile) +
                         " is there but not verified: give --public-key with the key that "
                         "the launchers are built with"
                   : std::string("the manifest is not signed (") + update::kSignatureFile + ": " +
                         fetched.error + "): launchers built with a key refuse it");
    return;
  }
  const std::string refused = "; launchers built with this key refuse the manifest";
  if (!fetched.ok) {
    report->problems.push_back("cannot fetch the signature " + url + ": " + fetched.error +
                               refused);
    return;
  }
  const std::optional<update::ManifestSignature> signature =
      update::ParseSignature(ReadWholeFile(file));
  if (!signature) {
    report->problems.push_back(std::string(update::kSignatureFile) +
                               " is not a signature file (Serial= and ECDSA-P256-SHA256= lines)" +
                               refused);
  } else if (!platform::VerifyEcdsaP256(*options.public_key, platform::Sha256Of(manifest_bytes),
                                        signature->signature)) {
    report->problems.push_back(
        "the manifest's signature does not verify with the given public key: the manifest was "
        "changed after signing, or signed with another key" +
        refused);
  } else if (!serial || signature->serial != *serial) {
    report->problems.push_back(std::string(update::kSignatureFile) + " names serial " +
                               std::to_string(signature->serial) + ", not the manifest's" +
                               refused);
  } else {
    std::fprintf(out, "signature verified: serial %llu, signed by the given key\n",
                 static_cast<unsigned long long>(signature->serial));
  }
}

// What is wrong with a fetched archive against its line of section H and
// its content index (fetched from beside it); empty when nothing is.
std::vector<std::string> CheckHashes(Fetcher& fetcher,
                                     const fs::path& folder,
                                     const fs::path& archive,
                                     const std::string& url,
                                     const std::string& key,
                                     const HashSection& section) {
  auto line = section.lines.find(AsciiUpperCopy(key));
  if (line == section.lines.end()) {
    return {"section H has no line " + key + ", so launchers cannot check it"};
  }
  const std::optional<update::ArchiveHash> hash = update::ParseHashLine(line->second);
  if (!hash) {
    return {"its line in section H is not size,sha256,sha256"};
  }
  std::vector<std::string> problems;
  const std::string bytes = ReadWholeFile(archive);
  if (bytes.size() != hash->size) {
    problems.push_back("its size is " + std::to_string(bytes.size()) + " bytes, section H says " +
                       std::to_string(hash->size));
  } else if (HexOf(platform::Sha256Of(bytes)) != hash->sha256) {
    problems.push_back(
        "its SHA-256 differs from section H's: another archive than the one "
        "published");
  }
  const fs::path index_file = folder / "archive.idx";
  const Fetched index = fetcher.Get(url + update::kIndexSuffix, index_file);
  if (!index.ok) {
    problems.push_back("its index " + url + update::kIndexSuffix + ": " + index.error);
    return problems;
  }
  const std::string index_bytes = ReadWholeFile(index_file);
  std::error_code ignored;
  fs::remove(index_file, ignored);
  if (HexOf(platform::Sha256Of(index_bytes)) != hash->index_sha256) {
    problems.push_back("its index " + key + update::kIndexSuffix +
                       " differs from section H's hash");
    return problems;
  }
  try {
    for (const std::string& lie : IndexMismatches(archive, update::ParseIndex(index_bytes))) {
      problems.push_back(lie);
    }
  } catch (const std::exception& e) {
    problems.push_back("its index " + key + update::kIndexSuffix + ": " + e.what());
  }
  return problems;
}

// Warns when the manifest may be served from a cache.
void CheckCacheHeaders(const Fetched& manifest, CheckReport* report) {
  bool no_cache = false;
  for (const std::string& line : manifest.header) {
    const std::string upper = AsciiUpperCopy(line);
    no_cache = no_cache || (upper.rfind("CACHE-CONTROL:", 0) == 0 &&
                            (upper.find("NO-CACHE") != std::string::npos ||
                             upper.find("MAX-AGE=0") != std::string::npos));
  }
  if (!no_cache) {
    report->warnings.push_back(
        "the manifest comes without \"Cache-Control: no-cache\": caches may "
        "hand players an old one (see docs/serving.md)");
  }
}

// The launcher's version key: the one asked for, else the one launcher line
// of section V; nullopt (with the problem reported) when there is none.
std::optional<std::string> VersionKey(const platform::IniFile& ini,
                                      const CheckOptions& options,
                                      CheckReport* report) {
  std::string key = options.version_key;
  if (key.empty()) {
    StringList keys;
    ini.ReadSection("V", keys);
    StringList launchers;
    for (const std::string& name : keys) {
      if (!EqualsIgnoringAsciiCase(name, "Part") && !EqualsIgnoringAsciiCase(name, "Data")) {
        launchers.push_back(name);
      }
    }
    if (launchers.size() != 1) {
      report->problems.push_back(
          launchers.empty() ? "section V of the manifest has no launcher line: every launcher "
                              "would fetch its archive at every start"
                            : "section V names several launchers; say which with --key");
      return std::nullopt;
    }
    key = launchers.front();
  }
  if (ini.ReadString("V", key, "").empty()) {
    report->problems.push_back("section V has no line for the version key " + key);
    return std::nullopt;
  }
  return key;
}

// The archives that the updater would fetch from one download base.
std::vector<Wanted> WantedArchives(const update::ServerSettings& settings,
                                   const std::string& key,
                                   const std::string& read_base,
                                   CheckReport* report) {
  const std::string download = update::NormalizeBase(read_base);
  const std::string engine = update::EngineBase(read_base, settings.launcher.engine_base_text);
  std::vector<Wanted> wanted = {{"launcher", download + key + ".zip", "QuillMar.exe"}};
  if (!settings.splash_version.empty() && settings.splash_version != "-1") {
    wanted.push_back({"splash", download + key + "_Sp.zip", ""});
  }
  if (!settings.engine_version.empty()) {
    wanted.push_back({"engine", engine + "Part.zip", ""});
  }
  if (!settings.data_version.empty()) {
    wanted.push_back({"data", engine + "Data.zip", ""});
  }
  for (size_t k = 1; k <= settings.adata.size(); ++k) {
    wanted.push_back(
        {"AData" + std::to_string(k), download + "AData" + std::to_string(k) + ".zip", ""});
  }
  for (size_t k = 1; k <= settings.bdata.size(); ++k) {
    wanted.push_back(
        {"BData" + std::to_string(k), engine + "BData" + std::to_string(k) + ".zip", ""});
  }
  for (size_t k = 1; k <= settings.components.size(); ++k) {
    try {
      const update::ComponentEntry entry = update::ParseComponentEntry(settings.components[k - 1]);
      wanted.push_back({entry.file_name, engine + entry.stem + ".zip", entry.file_name});
    } catch (const std::exception&) {
      report->problems.push_back("component line " + std::to_string(k) +
                                 " is not \"file\\version\": the updater stops there");
    }
  }
  return wanted;
}

// Fetches one archive and tests it: it unpacks, holds what it must, and
// matches its line of section H and its index. Empty when all is well.
std::string ArchiveProblems(Fetcher& fetcher,
                            const fs::path& scratch,
                            const Wanted& wanted,
                            const std::string& key,
                            const HashSection& hashes,
                            std::string* status) {
  const fs::path file = scratch / "archive.zip";
  const Fetched fetched = fetcher.Get(wanted.url, file);
  *status = fetched.status;
  if (!fetched.ok) {
    return fetched.error;
  }
  std::vector<std::string> wrong;
  const std::string unpacks = TestArchive(file, wanted.must_hold);
  if (!unpacks.empty()) {
    wrong.push_back(unpacks);
  }
  if (hashes.present) {
    for (std::string& text : CheckHashes(fetcher, scratch, file, wanted.url, key, hashes)) {
      wrong.push_back(std::move(text));
    }
  }
  std::error_code ignored;
  fs::remove(file, ignored);
  std::string result;
  for (const std::string& text : wrong) {
    result += (result.empty() ? "" : "; ") + text;
  }
  return result;
}

}  // namespace

CheckReport Check(const CheckOptions& options, std::FILE* out, std::FILE* log) {
  CheckReport report;
  ScratchFolder scratch;
  Fetcher fetcher(options, scratch.path(), log);
  const std::string manifest_url = options.base_url + "/QuillMar/" + "QuillMar.ini";
  const fs::path manifest_file = scratch.path() / "QuillMar.ini";
  const Fetched manifest = fetcher.Get(manifest_url, manifest_file);
  if (!manifest.ok) {
    report.problems.push_back("cannot fetch the manifest " + manifest_url + ": " + manifest.error +
                              "; check the URL (the updater's base URL, without /QuillMar/), "
                              "the server and any proxy");
    return report;
  }
  CheckCacheHeaders(manifest, &report);

  const std::string manifest_bytes = ReadWholeFile(manifest_file);
  const platform::IniFile ini(PlatformPath(manifest_file));
  const HashSection hashes = ReadHashSection(ini);
  const std::optional<uint64_t> serial = update::ParseSerial(hashes.serial);
  if (!hashes.present) {
    report.warnings.push_back(
        "the manifest has no section H: nothing is hashed, and launchers built with a key "
        "refuse it (publish it again with this qmpublish)");
  }
  if (!serial && (hashes.present || options.public_key)) {
    report.problems.push_back(
        "section H has no valid serial (Serial=N, N from 1): launchers "
        "built with a key refuse the manifest");
  }
  CheckSignature(options, fetcher, scratch.path(), manifest_bytes, serial, out, &report);

  const std::optional<std::string> key = VersionKey(ini, options, &report);
  if (!key) {
    return report;
  }
  // Each mirror line the updater can choose, with the bases it derives.
  const update::ServerSettings settings = update::ReadServerSettings(ini, *key, options.base_url);
  std::fprintf(out, "%-8s %-22s %-6s %-5s %s\n", "MIRROR", "ITEM", "STATUS", "", "URL / RESULT");
  std::map<std::string, std::string> seen;  // url -> result, for bases shared by mirrors
  for (size_t m = 0; m < settings.mirror_bases.size(); ++m) {
    const std::string download = update::NormalizeBase(settings.mirror_bases[m]);
    for (const Wanted& w : WantedArchives(settings, *key, settings.mirror_bases[m], &report)) {
      CheckRow row;
      row.mirror = settings.mirror_names[m];
      row.item = w.item;
      row.url = w.url;
      auto known = seen.find(w.url);
      if (known != seen.end()) {
        row.status = "same";
        row.result = known->second;
      } else {
        row.result = ArchiveProblems(fetcher, scratch.path(), w,
                                     update::ArchiveKey(download, w.url), hashes, &row.status);
        seen[w.url] = row.result;
      }
      row.ok = row.result.empty();
      std::fprintf(out, "%-8s %-22s %-6s %-5s %s\n", row.mirror.c_str(), row.item.c_str(),
                   row.status.c_str(), row.ok ? "ok" : "FAIL", row.url.c_str());
      if (!row.ok) {
        std::fprintf(out, "%-43s %s\n", "", row.result.c_str());
        report.problems.push_back(row.item + " from " + row.url + ": " + row.result);
      }
      std::fflush(out);
      report.rows.push_back(row);
    }
  }
  return report;
}

}  // namespace qm::publish
