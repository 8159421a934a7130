// Mending current items: a normal start brings back recorded files that
// are gone (a stat each, no hashing); /verify hashes every installed file
// of every item against its content index. Both fetch only the members
// that differ, as an update does.
#include <chrono>

#include "platform/file_system.h"
#include "update/component_setup.h"
#include "update/debris.h"
#include "update/integrity_format.h"
#include "update/settings_rules.h"
#include "update/update_run.h"
#include "util/string_helpers.h"
#include "util/texts.h"
#include "util/version_string.h"

namespace qm::update {

std::vector<UpdateRun::CurrentItem> UpdateRun::CurrentItems() const {
  std::vector<CurrentItem> items;
  const std::string key = state_.VersionKey();
  if (server_.launcher.version == state_.FileVersionText) {
    items.push_back({download_base_ + key + ".zip", key + ".zip", texts::kDownloadingLauncher,
                     texts::kLauncherDownloadFailed});
  }
  if (server_.engine_version == state_.LocalPartVersion) {
    items.push_back({engine_base_ + "Part.zip", "Part.zip", texts::kDownloadingEngine,
                     texts::kEngineDownloadFailed});
  }
  if (server_.data_version == state_.LocalDataVersion) {
    items.push_back({engine_base_ + "Data.zip", "Data.zip", texts::kDownloadingData,
                     texts::kDataDownloadFailed});
  }
  const auto data_items = [&](const std::string& section, const std::string& base,
                              const StringList& server, const StringList* local) {
    for (size_t k = 1; local != nullptr && k <= server.size(); ++k) {
      const std::string item = section + std::to_string(k);
      if (R_Trim(ListValue(server, item)) == ListValue(*local, item)) {
        items.push_back({base + item + ".zip", item + ".zip",
                         texts::kDownloadingPrefix + item + texts::kFilesSuffix,
                         item + texts::kDownloadFailedSuffix});
      }
    }
  };
  data_items("AData", download_base_, server_.adata, state_.LocalAData.get());
  data_items("BData", engine_base_, server_.bdata, state_.LocalBData.get());
  for (const std::string& entry : server_.components) {
    const ComponentEntry component = ParseComponentEntry(entry);
    if (component.version == GetFileVersionString(component.file_name, "FileVersion")) {
      items.push_back({engine_base_ + component.stem + ".zip", component.stem + ".zip",
                       texts::kDownloadingPrefix + component.stem,
                       texts::kComponentDownloadFailed});
    }
  }
  return items;
}

bool UpdateRun::MendItem(const CurrentItem& item, MemberMode mode, bool* checked) {
  *checked = false;
  if (!archive_hashes_.Line(ArchiveKey(download_base_, item.url))) {
    return true;  // no index to check it against: a release without them
  }
  ShowStatus(item.status);
  row_status_ = item.status;
  unpack_error_.clear();
  transfer_error_.clear();
  *checked = true;
  switch (InstallMembers(item.url, item.name, state_.AppDir, mode)) {
    case MemberResult::kInstalled:
      return true;
    case MemberResult::kFailed:
      return false;
    case MemberResult::kNoIndex:
      // Nothing to check it against: a release without indexes.
      *checked = false;
      return true;
    case MemberResult::kIndexUnavailable:
      *checked = false;
      return mode != MemberMode::kVerify;
    case MemberResult::kWholeArchive:
      break;
  }
  const size_t repairs = changed_members_;
  const DownloadMarker marker(state_.AppDir, item.name);
  if (!InstallWhole(item.url, item.name, state_.AppDir)) {
    return false;
  }
  verify_stats_.files_repaired += repairs;
  return true;
}

int32_t UpdateRun::RepairMissingFiles() {
  bool missing = false;
  Record().ForEach([&](const std::string& path, const RecordedFile&) {
    missing = missing || !StampOf(state_.AppDir + "\\" + path);
  });
  if (!missing) {
    return kUpdateDone;
  }
  for (const CurrentItem& item : CurrentItems()) {
    bool checked = false;
    if (!MendItem(item, MemberMode::kRepair, &checked)) {
      return Fail(item.failed_text);
    }
  }
  // What no current item brought back belongs to none: it is not looked
  // for again.
  std::vector<std::string> gone;
  Record().ForEach([&](const std::string& path, const RecordedFile&) {
    if (!StampOf(state_.AppDir + "\\" + path)) {
      gone.push_back(path);
    }
  });
  for (const std::string& path : gone) {
    Record().Erase(path);
  }
  Record().Save(state_.AppDir);
  return Cancelled() ? kUpdateDownloadFailed : kUpdateDone;
}

int32_t UpdateRun::VerifyItems() {
  const auto start = std::chrono::steady_clock::now();
  int32_t result = kUpdateDone;
  for (const CurrentItem& item : CurrentItems()) {
    bool checked = false;
    if (!MendItem(item, MemberMode::kVerify, &checked)) {
      result = Fail(item.failed_text);
      break;
    }
    if (!checked) {
      ++verify_stats_.items_unchecked;
    }
  }
  verify_stats_.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return Cancelled() ? kUpdateDownloadFailed : result;
}

}  // namespace qm::update
