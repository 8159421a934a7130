// What a run that was killed can leave behind, and its removal by the next
// run before it fetches anything.
#pragma once

#include <string>

namespace qm::update {

// Clears the Temp folder of our downloads and spill files, the application
// folder of data archives and half-committed downloads, and files renamed
// aside by an earlier replace. When a run died while unpacking, also walks
// the folder tree for the extractor's temporary files.
void RemoveDebris(const std::string& app_dir, const std::string& version_key);

// Present on disk while an archive unpacks, so that only a run that died
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

}  // namespace qm::update
