// What a run that was killed can leave behind, and its removal by the next
// run before it fetches anything. Only files that the launcher made itself
// and names exactly are removed: a game may install any name at all.
#pragma once

#include <string>
#include <string_view>

namespace qm::update {

// The Temp folder of the application folder, where the run saves every
// document it fetches.
std::string TempFolder(const std::string& app_dir);

// Whether name is one of the HTTP client's temporary files: prefix
// ("qmrecv" or "qmnew") and the six letters or digits the platform adds,
// with ".tmp" after them on Windows.
bool IsDownloadTempName(std::string_view name);

// Clears Temp of our temporary files and of the one download that a marker
// names, and files renamed aside by an earlier replace. A partial download
// whose record is sound (and that is shorter than the length it gives)
// stays for the next transfer of its archive; a record without its file,
// or a bad one, goes with its file. When a run died
// while unpacking, also walks the folder tree for the extractor's temporary
// files.
void RemoveDebris(const std::string& app_dir);

// Removes every partial download and its record from Temp (after a run
// that installed everything it needed: none of them is needed any more).
void RemovePartialDownloads(const std::string& app_dir);

// Present in Temp while an archive unpacks, so that only a run that died
// meanwhile makes the next one walk the whole game folder.
class UnpackMarker {
 public:
  explicit UnpackMarker(const std::string& app_dir);
  ~UnpackMarker();
  UnpackMarker(const UnpackMarker&) = delete;
  UnpackMarker& operator=(const UnpackMarker&) = delete;

 private:
  std::string path_;
};

// Names the file in Temp that the run is fetching, from before its transfer
// until after it is deleted: a run killed meanwhile leaves the marker, and
// the next one removes that file and nothing else.
class DownloadMarker {
 public:
  DownloadMarker(const std::string& app_dir, const std::string& name);
  ~DownloadMarker();
  DownloadMarker(const DownloadMarker&) = delete;
  DownloadMarker& operator=(const DownloadMarker&) = delete;

 private:
  std::string path_;
};

}  // namespace qm::update
