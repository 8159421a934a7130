// The update run: fetches the server's settings file, compares each item it
// lists with what is installed and brings the differing ones up to date, one
// transfer and one archive at a time, on the window's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include "platform/ecdsa.h"
#include "update/archive_hashes.h"
#include "update/launcher_state.h"
#include "update/server_settings.h"
#include "update/transfer_settings.h"
#include "update/update_host.h"

namespace qm::http {
class ReceiveStream;
class THttpCli;
}  // namespace qm::http
namespace qm::zip {
class TUnZip;
}

namespace qm::update {

class PartialDownload;
struct ArchiveSource;

// Attempts on one source for one archive, before the row fails.
inline constexpr int kMaxAttemptsPerSource = 3;
// An attempt that adds at least this much to an archive does not count
// against its source's attempts: the server cuts, it does not fail.
inline constexpr int64_t kMinProgressBytes = int64_t{64} << 10;

// Results of DownLoadFile.
inline constexpr int32_t kUpdateDone = 0;
inline constexpr int32_t kUpdateNotConnected = -1;
inline constexpr int32_t kUpdateDownloadFailed = -3;

// What one transfer may take.
struct TransferLimits {
  int64_t max_size = -1;           // bytes of the document; negative: no limit
  int64_t free_space_reserve = 0;  // bytes the download leaves free on the disk
};
// The server's settings file is a few kilobytes: a larger answer is no
// settings file, whatever the server means by it.
inline constexpr TransferLimits kServerCopyLimits{int64_t{1} << 20, 0};
// An archive stops before the disk is full, leaving room to unpack it and
// for the rest of the system.
inline constexpr TransferLimits kArchiveLimits{-1, int64_t{64} << 20};
// A signature file is two short lines.
inline constexpr TransferLimits kSignatureLimits{int64_t{4} << 10, 0};

class UpdateRun {
 public:
  // default_base_url: the update server, without a trailing "/".
  UpdateRun(LauncherState& state,
            UpdateHost& host,
            http::THttpCli& http,
            zip::TUnZip& unzip,
            std::string default_base_url);

  // 0 everything current or installed; -1 the server's settings file was not
  // fetched; -3 a download failed. The status line holds the failure. A
  // cancel stops the run at its next check with a negative result.
  int32_t DownLoadFile();

  // Fetches url into file; true only when the whole document arrived within
  // archive_limits, no cancel came in and the file was written. An older
  // file stays untouched otherwise.
  bool GetSyncFile(const std::string& url, const std::string& file);
  // Fetches an archive into the Temp folder and unpacks it into folder; true
  // only when every member was installed.
  bool DownDll(const std::string& url, const std::string& folder, const std::string& message);
  // Fetches base + key + ".zip" into the application folder, unpacks it there
  // and records value under section/key in the installed settings file.
  bool DownData(const std::string& base,
                const std::string& section,
                const std::string& key,
                const std::string& value);

  // Draws the mirror line; clock-seeded unless a test sets it.
  std::function<uint32_t()> random;
  // Limits of every download but the server's settings file.
  TransferLimits archive_limits = kArchiveLimits;
  // The key that the server's settings file must be signed with; absent:
  // unsigned files are taken (sizes and hashes they list are still checked).
  std::optional<platform::EcdsaP256PublicKey> public_key;

 private:
  bool Cancelled() const { return state_.CancelRequested != 0; }
  // archive_key: when set, the document is an archive whose size and
  // SHA-256 the server's settings file may list under this key; it is not
  // saved unless it matches.
  bool Fetch(const std::string& url,
             const std::string& file,
             const TransferLimits& limits,
             const std::string* archive_key = nullptr);
  // Fetches url into memory (a document small enough to stay there).
  bool FetchText(const std::string& url, const TransferLimits& limits, std::string* text);
  // Receives the archive straight into file (its Temp name), continuing
  // what an earlier attempt or run kept, over the archive's sources in
  // turn; true when it arrived whole and passed its check.
  bool FetchArchive(const std::string& url, const std::string& file);
  struct AttemptResult {
    // kRowFailed: no other source would do better (the disk, or a whole
    // archive that fails its check).
    enum Kind { kDone, kSourceFailed, kRowFailed, kCancelled } kind = kSourceFailed;
    std::string reason;
    bool body = false;          // the source sent a byte of the archive
    bool client_error = false;  // it answered with a 4xx status
    bool discarded = false;     // the bytes kept were found stale and deleted
  };
  AttemptResult Attempt(const ArchiveSource& source,
                        const std::string& key,
                        const std::string& sha256,
                        PartialDownload& part);
  // Waits in the message loop; false when a cancel came in.
  bool WaitBeforeRetry(uint32_t seconds);
  void ShowStatus(const std::string& text);
  void ApplyTransferSettings();
  // One GET into stream; true when the whole document arrived and no
  // cancel came in.
  bool Transfer(const std::string& url, http::ReceiveStream& stream);
  // With a key pinned: whether the fetched settings file at path carries a
  // valid signature; records the serial it accepts.
  bool AcceptSignedManifest(const std::string& path);
  int32_t Fail(const std::string& message);
  // Unpacks archive into folder (given with its trailing "\"); true when
  // every member was installed and no cancel came in.
  bool Unpack(const std::string& archive, const std::string& folder);
  void ReadServerCopy(const std::string& path);
  int32_t UpdateItems();
  bool UpdateDataSection(const std::string& section,
                         const std::string& base,
                         const StringList& server,
                         const StringList& local);

  LauncherState& state_;
  UpdateHost& host_;
  http::THttpCli& http_;
  zip::TUnZip& unzip_;
  const std::string default_base_url_;
  // The file that the current row's unpacking could not install, and why.
  std::string unpack_error_;
  // Why the current row's download stopped, when a limit stopped it.
  std::string transfer_error_;

  // From the server's settings file.
  ServerSettings server_;
  std::string download_base_;  // of the mirror chosen
  size_t chosen_mirror_ = 0;
  TransferSettings transfer_;
  // Bases that failed before sending any byte of a document in this run,
  // and those that sent one (never written off).
  std::set<std::string> dead_sources_;
  std::set<std::string> live_sources_;
  // The row's status text, shown again when a retry starts.
  std::string status_;
  std::string engine_base_;
  ArchiveHashes archive_hashes_;
};

}  // namespace qm::update
