#include "update/update_run.h"

#include <cassert>
#include <chrono>
#include <exception>
#include <random>
#include <utility>

#include "http/http_cli.h"
#include "http/receive_stream.h"
#include "platform/background_sha256.h"
#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/message_loop.h"
#include "update/debris.h"
#include "update/integrity_format.h"
#include "update/manifest_trust.h"
#include "update/server_settings.h"
#include "update/settings_rules.h"
#include "util/string_helpers.h"
#include "util/texts.h"
#include "util/version_string.h"
#include "zip/unzip.h"
#include "zip/unzip_error.h"

namespace qm::update {
namespace {

constexpr size_t kMaxArchiveName = 999;

uint32_t ClockSeededRandom() {
  std::minstd_rand generator(
      static_cast<uint32_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count()));
  return static_cast<uint32_t>(generator());
}

// Hashes the document on its way to the stream that stores it.
class DigestingStream : public http::ReceiveStream {
 public:
  DigestingStream(http::ReceiveStream& target, platform::BackgroundSha256& digest)
      : target_(target), digest_(digest) {}
  bool Write(const char* data, size_t size) override {
    digest_.Update(data, size);
    return target_.Write(data, size);
  }
  std::string ErrorText() const override { return target_.ErrorText(); }

 private:
  http::ReceiveStream& target_;
  platform::BackgroundSha256& digest_;
};

// A file of at most limit bytes, whole; false when it cannot be read.
bool ReadSmallFile(const std::string& path, int64_t limit, std::string* bytes) {
  platform::File file;
  if (!file.Open(path, platform::File::Mode::kRead) || file.Size() < 0 || file.Size() > limit) {
    return false;
  }
  bytes->assign(static_cast<size_t>(file.Size()), '\0');
  size_t got = 0;
  while (got < bytes->size()) {
    const int64_t n = file.Read(bytes->data() + got, bytes->size() - got);
    if (n <= 0) {
      return false;
    }
    got += static_cast<size_t>(n);
  }
  return true;
}

// The folder part of a path, without its trailing "\".
std::string FolderPart(const std::string& path) {
  const std::ptrdiff_t separator = LastPos("\\", path);
  return separator > 0 ? path.substr(0, static_cast<size_t>(separator - 1)) : std::string();
}

}  // namespace

UpdateRun::UpdateRun(LauncherState& state,
                     UpdateHost& host,
                     http::THttpCli& http,
                     zip::TUnZip& unzip,
                     std::string default_base_url)
    : random(ClockSeededRandom),
      state_(state),
      host_(host),
      http_(http),
      unzip_(unzip),
      default_base_url_(std::move(default_base_url)) {}

void UpdateRun::ShowStatus(const std::string& text) {
  status_ = text;
  host_.SetStatus(text);
}

void UpdateRun::ApplyTransferSettings() {
  transfer_ = ReadTransferSettings(platform::IniFile(state_.AppDir + "\\QuillMar.ini"));
  if (transfer_.idle_timeout_s) {
    http_.IdleTimeoutMs = *transfer_.idle_timeout_s * 1000;
  }
  if (transfer_.slow_link_rate) {
    http_.SlowLinkRate = *transfer_.slow_link_rate;
  }
  if (transfer_.slow_link_time_s) {
    http_.SlowLinkTimeMs = *transfer_.slow_link_time_s * 1000;
  }
}

int32_t UpdateRun::DownLoadFile() {
  RemoveDebris(state_.AppDir);
  ApplyTransferSettings();
  const std::string fetched = state_.AppDir + "\\temp\\QuillMar.ini";
  {
    const DownloadMarker marker(state_.AppDir, "QuillMar.ini");
    if (!Fetch(default_base_url_ + "/QuillMar/" + "QuillMar.ini", fetched, kServerCopyLimits)) {
      if (!Cancelled()) {
        ShowStatus(texts::kNotConnected);
      }
      return kUpdateNotConnected;
    }
    host_.ResetProgress();
    platform::ProcessMessages();
    // Read before it is checked, but acted on only once it passed.
    if (!Cancelled()) {
      ReadServerCopy(state_.AppDir + "\\Temp\\QuillMar.ini");
    }
    if (!Cancelled() && public_key && !AcceptSignedManifest(fetched)) {
      platform::DeleteFile(fetched);
      return kUpdateNotConnected;
    }
    platform::DeleteFile(fetched);
  }
  if (Cancelled()) {
    return kUpdateNotConnected;
  }
  live_sources_.insert(NormalizeBase(default_base_url_ + "/QuillMar/"));
  const int32_t result = UpdateItems();
  if (result == kUpdateDone) {
    // Everything needed is installed: what partials are left belong to
    // archives this release no longer needs.
    RemovePartialDownloads(state_.AppDir);
  }
  return result;
}

void UpdateRun::ReadServerCopy(const std::string& path) {
  server_ = ReadServerSettings(platform::IniFile(path), state_.VersionKey(), default_base_url_);
  const size_t k = server_.mirror_lines == 0
                       ? 0
                       : static_cast<size_t>(ChooseMirrorIndex(server_.mirror_lines, random()));
  chosen_mirror_ = k;
  const std::string& download_base = server_.mirror_bases[k];
  engine_base_ = EngineBase(download_base, server_.launcher.engine_base_text);
  download_base_ = NormalizeBase(download_base);
  state_.ServerBK = server_.bk;
  state_.ServerBKP = server_.bkp;
  archive_hashes_ = ArchiveHashes(server_.hash_lines, public_key.has_value());
}

bool UpdateRun::AcceptSignedManifest(const std::string& path) {
  const std::string signature_url = default_base_url_ + "/QuillMar/" + kSignatureFile;
  std::string manifest;
  std::string signature;
  std::string problem;
  if (!FetchText(signature_url, kSignatureLimits, &signature)) {
    if (Cancelled()) {
      return false;
    }
    problem = signature_url + ": the manifest's signature could not be fetched";
  } else if (!ReadSmallFile(path, kServerCopyLimits.max_size, &manifest)) {
    problem = path + ": the fetched manifest could not be read";
  } else {
    const std::string installed_copy = state_.AppDir + "\\QuillMar.ini";
    const uint64_t accepted = AcceptedSerial(
        platform::IniFile(installed_copy).ReadString(kAcceptedSection, kAcceptedSerialKey, ""));
    const ManifestVerdict verdict =
        CheckManifest(manifest, server_.serial, signature, *public_key, accepted);
    if (verdict.accepted) {
      if (verdict.serial > accepted) {
        try {
          platform::IniFile(installed_copy)
              .WriteString(kAcceptedSection, kAcceptedSerialKey, std::to_string(verdict.serial));
        } catch (const std::exception&) {
          // A read-only game folder that needs no update still starts the
          // game; only the protection against replays is not kept.
        }
      }
      return true;
    }
    problem = default_base_url_ + "/QuillMar/QuillMar.ini: " + verdict.problem;
  }
  ShowStatus(texts::kServerFilesFailedCheck);
  platform::ShowApplicationError(problem);
  return false;
}

int32_t UpdateRun::Fail(const std::string& message) {
  // A cancel ends the run in silence.
  if (!Cancelled()) {
    ShowStatus(message);
    // The row's text does not say which file stood in the way (say, one
    // that another program holds open): the player can act on its name.
    if (!unpack_error_.empty()) {
      platform::ShowApplicationError(unpack_error_);
    }
    if (!transfer_error_.empty()) {
      platform::ShowApplicationError(transfer_error_);
    }
  }
  return kUpdateDownloadFailed;
}

int32_t UpdateRun::UpdateItems() {
  const std::string& app_dir = state_.AppDir;
  const std::string key = state_.VersionKey();

  if (server_.launcher.version != state_.FileVersionText) {
    state_.UpdateMarker = key;
    if (!DownDll(download_base_ + key + ".zip", app_dir, texts::kDownloadingLauncher)) {
      return Fail(texts::kLauncherDownloadFailed);
    }
  }
  if (server_.splash_version != state_.SplashVersion) {
    ShowStatus(texts::kDownloadingSplash);
    // The picture is not needed to play: its failure is passed over.
    DownData(download_base_, "SP", key + "_Sp", server_.splash_version);
  }
  if (Cancelled()) {
    return kUpdateDownloadFailed;
  }
  if (server_.engine_version != state_.LocalPartVersion) {
    ShowStatus(texts::kDownloadingEngine);
    if (!DownData(engine_base_, "V", "Part", server_.engine_version)) {
      return Fail(texts::kEngineDownloadFailed);
    }
  }
  if (server_.data_version != state_.LocalDataVersion) {
    ShowStatus(texts::kDownloadingData);
    if (!DownData(engine_base_, "V", "Data", server_.data_version)) {
      return Fail(texts::kDataDownloadFailed);
    }
  }
  // The window reads the installed lists before it starts the run.
  assert(state_.LocalAData && state_.LocalBData);
  if (!UpdateDataSection("AData", download_base_, server_.adata, *state_.LocalAData) ||
      !UpdateDataSection("BData", engine_base_, server_.bdata, *state_.LocalBData)) {
    return kUpdateDownloadFailed;
  }
  for (const std::string& entry : server_.components) {
    const ComponentEntry component = ParseComponentEntry(entry);
    if (component.version == GetFileVersionString(component.file_name, "FileVersion")) {
      continue;
    }
    if (!DownDll(engine_base_ + component.stem + ".zip", app_dir,
                 texts::kDownloadingPrefix + component.stem)) {
      return Fail(texts::kComponentDownloadFailed);
    }
  }
  return Cancelled() ? kUpdateDownloadFailed : kUpdateDone;
}

bool UpdateRun::UpdateDataSection(const std::string& section,
                                  const std::string& base,
                                  const StringList& server,
                                  const StringList& local) {
  for (size_t k = 1; k <= server.size(); ++k) {
    const std::string key = section + std::to_string(k);
    const std::string version = R_Trim(ListValue(server, key));
    if (version == ListValue(local, key)) {
      continue;
    }
    ShowStatus(texts::kDownloadingPrefix + key + texts::kFilesSuffix);
    if (!DownData(base, section, key, version)) {
      Fail(key + texts::kDownloadFailedSuffix);
      return false;
    }
  }
  return true;
}

bool UpdateRun::GetSyncFile(const std::string& url, const std::string& file) {
  return Fetch(url, file, archive_limits);
}

bool UpdateRun::FetchText(const std::string& url, const TransferLimits& limits, std::string* text) {
  const std::string temp_folder = state_.AppDir + "\\Temp";
  platform::CreateDirectory(temp_folder);
  http::SpillingStream buffer(temp_folder);
  buffer.set_size_limit(limits.max_size);
  if (!Transfer(url, buffer)) {
    return false;
  }
  text->clear();
  return buffer.ReadAll([text](const char* data, size_t size) {
    text->append(data, size);
    return true;
  });
}

bool UpdateRun::Transfer(const std::string& url, http::ReceiveStream& stream) {
  // TransferStatus is set afresh below, so a cancel that came in between
  // two transfers is seen here.
  if (Cancelled()) {
    return false;
  }
  state_.TransferStatus = kTransferRunning;
  try {
    http_.URL = url;
    http_.Proxy = state_.ProxyServer;
    http_.ProxyPort = state_.ProxyPort;
    http_.ProxyUsername = state_.ProxyUserName;
    http_.ProxyPassword = state_.ProxyPassWord;
    http_.SetReceiveStream(&stream);
    http_.Get();
  } catch (const std::exception&) {
    state_.TransferStatus = kTransferFailed;
  }
  http_.SetReceiveStream(nullptr);
  return state_.TransferStatus == kTransferRunning && !Cancelled();
}

bool UpdateRun::Fetch(const std::string& url,
                      const std::string& file,
                      const TransferLimits& limits,
                      const std::string* archive_key) {
  const std::string temp_folder = state_.AppDir + "\\Temp";
  platform::CreateDirectory(temp_folder);
  http::SpillingStream buffer(temp_folder);
  buffer.set_size_limit(limits.max_size);
  buffer.set_free_space_reserve(limits.free_space_reserve);
  // Hashed beside this thread: an archive's check must not slow its install.
  std::optional<platform::BackgroundSha256> digest;
  std::optional<DigestingStream> digesting;
  if (archive_key != nullptr) {
    digesting.emplace(buffer, digest.emplace());
  }
  const bool received =
      Transfer(url, digesting ? static_cast<http::ReceiveStream&>(*digesting) : buffer);
  if (buffer.refused()) {
    transfer_error_ = url + ": " + buffer.error();
  }
  if (!received) {
    return false;
  }
  if (archive_key != nullptr) {
    const std::string problem = archive_hashes_.Problem(
        *archive_key, static_cast<uint64_t>(buffer.size()), digest->Final());
    if (!problem.empty()) {
      // Not saved: nothing of an archive that fails its check is unpacked.
      transfer_error_ = url + ": " + problem;
      state_.TransferStatus = kTransferFailed;
      return false;
    }
  }
  const std::string folder = FolderPart(file);
  if (!Trim(folder).empty()) {
    platform::CreateDirectory(folder);
  }
  // Downloads are read once and deleted: no flush to the disk for them.
  if (!buffer.CommitToPath(file, http::SpillingStream::Durability::kTransient)) {
    if (buffer.refused()) {
      transfer_error_ = url + ": " + buffer.error();
    }
    state_.TransferStatus = kTransferFailed;
    return false;
  }
  return true;
}

bool UpdateRun::DownDll(const std::string& url,
                        const std::string& folder,
                        const std::string& message) {
  const std::ptrdiff_t slash = LastPos("/", url);
  const std::string name =
      slash > 0 ? url.substr(static_cast<size_t>(slash), kMaxArchiveName) : url;
  ShowStatus(message);
  unpack_error_.clear();
  transfer_error_.clear();
  const std::string archive = TempFolder(state_.AppDir) + "\\" + name;
  const DownloadMarker marker(state_.AppDir, name);
  if (!FetchArchive(url, archive)) {
    return false;
  }
  const bool installed = Unpack(archive, folder + "\\");
  platform::DeleteFile(archive);
  return installed;
}

bool UpdateRun::DownData(const std::string& base,
                         const std::string& section,
                         const std::string& key,
                         const std::string& value) {
  unpack_error_.clear();
  transfer_error_.clear();
  // Saved in Temp, not in the game folder, where a file of the game's own
  // may bear the same name (and the archive may even hold it).
  const std::string name = key + ".zip";
  const std::string archive = TempFolder(state_.AppDir) + "\\" + name;
  bool installed = false;
  {
    const DownloadMarker marker(state_.AppDir, name);
    if (!FetchArchive(base + name, archive)) {
      return false;
    }
    installed = Unpack(archive, state_.AppDir + "\\");
    platform::DeleteFile(archive);
  }
  if (!installed) {
    return false;
  }
  // A refused write raises "Unable to write to ..." past the run.
  platform::IniFile ini(state_.AppDir + "\\QuillMar.ini");
  ini.WriteString(section, key, value);
  return true;
}

bool UpdateRun::Unpack(const std::string& archive, const std::string& folder) {
  if (Cancelled()) {
    return false;
  }
  const UnpackMarker marker(state_.AppDir);
  unzip_.SetArchiveFile(archive);
  unzip_.SetExtractDir(folder);
  unzip_.FileSpec.clear();
  unzip_.FileSpec.emplace_back("*.*");
  auto handler = std::exchange(
      unzip_.OnError, [this](zip::TUnZip*, const std::string& file_name, const std::string& reason,
                             const std::string&, int code) {
        if (code == zip::kErrOpenFile && unpack_error_.empty()) {
          unpack_error_ = file_name + ": " + (reason.empty() ? zip::ErrorText(code) : reason);
        }
      });
  unzip_.Extract();
  unzip_.OnError = std::move(handler);
  return unzip_.Succeeded() && !Cancelled();
}

}  // namespace qm::update
