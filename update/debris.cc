#include "update/debris.h"

#include <vector>

#include "platform/file_system.h"
#include "update/partial_download.h"
#include "update/partial_record.h"
#include "util/ascii.h"
#include "util/string_helpers.h"
#include "zip/unzip.h"

namespace qm::update {
namespace {

constexpr char kUnpackMarkerName[] = "~qmunpack";
constexpr char kDownloadMarkerName[] = "~qmfetch";
// A marker names one file; anything longer is not ours.
constexpr size_t kMaxMarkerSize = 1024;
// Letters or digits that the platform adds to a temporary file's prefix.
constexpr size_t kTempSuffixLength = 6;
// Folder depth of the walk; deeper trees (or link loops) are not ours.
constexpr int kMaxDepth = 32;

std::string JoinPath(const std::string& folder, const std::string& name) {
  std::string path = folder;
  path += '\\';
  path += name;
  return path;
}

bool HasTempSuffix(std::string_view rest) {
  if (rest.size() == kTempSuffixLength + 4 && rest.substr(kTempSuffixLength) == ".tmp") {
    rest = rest.substr(0, kTempSuffixLength);
  }
  if (rest.size() != kTempSuffixLength) {
    return false;
  }
  for (char c : rest) {
    if (!IsAsciiAlphanumeric(c)) {
      return false;
    }
  }
  return true;
}

// A name the marker may hold: one file directly in Temp.
bool IsBareName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of("\\/:") == std::string::npos;
}

void RemoveExtractorTemps(const std::string& folder, int depth) {
  platform::RemoveLeftovers(folder);
  for (const std::string& name : platform::ListDirectory(folder)) {
    const std::string path = JoinPath(folder, name);
    if (StartsWithIgnoringAsciiCase(name, zip::TUnZip::kTempFilePrefix)) {
      platform::DeleteFile(path);
    } else if (depth < kMaxDepth && platform::DirectoryExists(path)) {
      RemoveExtractorTemps(path, depth + 1);
    }
  }
}

bool EndsWithRecordSuffix(const std::string& name) {
  const size_t n = sizeof kPartialRecordSuffix - 1;
  return name.size() > n && AsciiLowerCopy(name.substr(name.size() - n)) == kPartialRecordSuffix;
}

// Whether the file at path and its record can be continued.
bool IsResumable(const std::string& path) {
  const std::optional<PartialRecord> record = ReadPartialRecordFile(path + kPartialRecordSuffix);
  platform::File file;
  if (!record || !file.Open(path, platform::File::Mode::kRead)) {
    return false;
  }
  const int64_t size = file.Size();
  return size > 0 && size < record->length;
}

// Records whose partial cannot be continued go, with the partial.
void RemoveBadPartials(const std::string& temp) {
  for (const std::string& name : platform::ListDirectory(temp)) {
    if (!EndsWithRecordSuffix(name)) {
      continue;
    }
    const std::string partial =
        JoinPath(temp, name.substr(0, name.size() - (sizeof kPartialRecordSuffix - 1)));
    if (!IsResumable(partial)) {
      platform::DeleteFile(partial);
      platform::DeleteFile(JoinPath(temp, name));
    }
  }
}

// The file that an interrupted run was fetching, as its marker names it.
void RemoveMarkedDownload(const std::string& temp) {
  const std::string marker = JoinPath(temp, kDownloadMarkerName);
  if (!platform::FileExists(marker)) {
    return;
  }
  std::string name;
  {
    platform::File file;
    if (file.Open(marker, platform::File::Mode::kRead) && file.Size() > 0 &&
        file.Size() <= static_cast<int64_t>(kMaxMarkerSize)) {
      name.resize(static_cast<size_t>(file.Size()));
      const int64_t got = file.Read(name.data(), name.size());
      name.resize(got > 0 ? static_cast<size_t>(got) : 0);
    }
  }
  if (IsBareName(name) && !IsResumable(JoinPath(temp, name))) {
    platform::DeleteFile(JoinPath(temp, name));
  }
  platform::DeleteFile(marker);
}

}  // namespace

std::string TempFolder(const std::string& app_dir) {
  return app_dir + "\\Temp";
}

bool IsDownloadTempName(std::string_view name) {
  for (std::string_view prefix : {std::string_view("qmrecv"), std::string_view("qmnew")}) {
    if (name.substr(0, prefix.size()) == prefix && HasTempSuffix(name.substr(prefix.size()))) {
      return true;
    }
  }
  return false;
}

void RemoveDebris(const std::string& app_dir) {
  const std::string temp = TempFolder(app_dir);
  const std::string unpack_marker = JoinPath(temp, kUnpackMarkerName);
  if (platform::FileExists(unpack_marker)) {
    RemoveExtractorTemps(app_dir, 0);
    platform::DeleteFile(unpack_marker);
  } else {
    platform::RemoveLeftovers(app_dir);
  }
  RemoveMarkedDownload(temp);
  RemoveBadPartials(temp);
  platform::RemoveLeftovers(temp);
  for (const std::string& name : platform::ListDirectory(temp)) {
    if (IsDownloadTempName(name)) {
      platform::DeleteFile(JoinPath(temp, name));
    }
  }
}

void RemovePartialDownloads(const std::string& app_dir) {
  const std::string temp = TempFolder(app_dir);
  for (const std::string& name : platform::ListDirectory(temp)) {
    if (EndsWithRecordSuffix(name)) {
      platform::DeleteFile(
          JoinPath(temp, name.substr(0, name.size() - (sizeof kPartialRecordSuffix - 1))));
      platform::DeleteFile(JoinPath(temp, name));
    }
  }
}

UnpackMarker::UnpackMarker(const std::string& app_dir)
    : path_(JoinPath(TempFolder(app_dir), kUnpackMarkerName)) {
  platform::CreateDirectory(TempFolder(app_dir));
  platform::File file;
  if (!file.Open(path_, platform::File::Mode::kCreate)) {
    path_.clear();
  }
}

UnpackMarker::~UnpackMarker() {
  if (!path_.empty()) {
    platform::DeleteFile(path_);
  }
}

DownloadMarker::DownloadMarker(const std::string& app_dir, const std::string& name)
    : path_(JoinPath(TempFolder(app_dir), kDownloadMarkerName)) {
  platform::CreateDirectory(TempFolder(app_dir));
  platform::File file;
  // The marker must be on the disk before the download can be.
  if (!IsBareName(name) || !file.Open(path_, platform::File::Mode::kCreate) ||
      !file.Write(name.data(), name.size()) || !file.Flush()) {
    file.Close();
    platform::DeleteFile(path_);
    path_.clear();
  }
}

DownloadMarker::~DownloadMarker() {
  if (!path_.empty()) {
    platform::DeleteFile(path_);
  }
}

}  // namespace qm::update
