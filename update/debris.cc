#include "update/debris.h"

#include <cctype>
#include <string_view>
#include <vector>

#include "platform/file_system.h"
#include "util/string_helpers.h"
#include "zip/unzip.h"

namespace qm::update {
namespace {

constexpr char kMarkerName[] = "~qmunpack";
// Folder depth of the walk; deeper trees (or link loops) are not ours.
constexpr int kMaxDepth = 32;

bool StartsWithNoCase(std::string_view name, std::string_view prefix) {
  return name.size() >= prefix.size() &&
         EqualsIgnoringAsciiCase(name.substr(0, prefix.size()), prefix);
}

bool EndsWithNoCase(std::string_view name, std::string_view suffix) {
  return name.size() >= suffix.size() &&
         EqualsIgnoringAsciiCase(name.substr(name.size() - suffix.size()), suffix);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  std::string path = folder;
  path += '\\';
  path += name;
  return path;
}

bool AllDigits(std::string_view text) {
  if (text.empty()) {
    return false;
  }
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) {
      return false;
    }
  }
  return true;
}

// Temporary files of the HTTP client's receive stream: spilled documents and
// commits not yet renamed into place.
bool IsDownloadTemp(std::string_view name) {
  return StartsWithNoCase(name, "qmrecv") || StartsWithNoCase(name, "qmnew");
}

// An archive that the data rows save in the application folder: the engine,
// the data, the splash and the A/B data archives. Other zip files there are
// the game's own and stay.
bool IsDataArchive(std::string_view name, const std::string& version_key) {
  if (!EndsWithNoCase(name, ".zip")) {
    return false;
  }
  std::string_view key = name.substr(0, name.size() - 4);
  if (EqualsIgnoringAsciiCase(key, "Part") || EqualsIgnoringAsciiCase(key, "Data") ||
      (!version_key.empty() && EqualsIgnoringAsciiCase(key, version_key + "_Sp"))) {
    return true;
  }
  return (StartsWithNoCase(key, "AData") || StartsWithNoCase(key, "BData")) &&
         AllDigits(key.substr(5));
}

void RemoveExtractorTemps(const std::string& folder, int depth) {
  platform::RemoveLeftovers(folder);
  for (const std::string& name : platform::ListDirectory(folder)) {
    const std::string path = JoinPath(folder, name);
    if (StartsWithNoCase(name, zip::TUnZip::kTempFilePrefix)) {
      platform::DeleteFile(path);
    } else if (depth < kMaxDepth && platform::DirectoryExists(path)) {
      RemoveExtractorTemps(path, depth + 1);
    }
  }
}

}  // namespace

void RemoveDebris(const std::string& app_dir, const std::string& version_key) {
  const std::string temp = app_dir + "\\Temp";
  const std::string marker = JoinPath(temp, kMarkerName);
  if (platform::FileExists(marker)) {
    RemoveExtractorTemps(app_dir, 0);
    platform::DeleteFile(marker);
  } else {
    platform::RemoveLeftovers(app_dir);
  }
  for (const std::string& name : platform::ListDirectory(temp)) {
    if (EqualsIgnoringAsciiCase(name, "QuillMar.ini") || EndsWithNoCase(name, ".zip") ||
        IsDownloadTemp(name)) {
      platform::DeleteFile(JoinPath(temp, name));
    }
  }
  for (const std::string& name : platform::ListDirectory(app_dir)) {
    if (IsDownloadTemp(name) || IsDataArchive(name, version_key)) {
      platform::DeleteFile(JoinPath(app_dir, name));
    }
  }
}

UnpackMarker::UnpackMarker(const std::string& app_dir) : path_(app_dir + "\\Temp\\" + kMarkerName) {
  platform::CreateDirectory(app_dir + "\\Temp");
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

}  // namespace qm::update
