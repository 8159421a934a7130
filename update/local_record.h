// QuillMar.files: what the launcher installed in the game folder, per file
// its size, last-write time and SHA-256, so that a file that has not
// changed since need not be hashed again. Losing it only costs a re-hash:
// a missing or malformed record reads as empty.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace qm::update {

inline constexpr char kLocalRecordFile[] = "QuillMar.files";

struct RecordedFile {
  int64_t size = 0;
  int64_t modified = 0;  // the platform's file time, as GetFileStamp gives it
  std::string sha256;    // 64 lower-case hex digits

  bool operator==(const RecordedFile&) const = default;
};

class LocalRecord {
 public:
  // path: relative to the game folder, "\" separators; letter case is
  // ignored as the file systems ignore it.
  const RecordedFile* Find(const std::string& path) const;
  void Set(const std::string& path, const RecordedFile& file);
  void Erase(const std::string& path);
  size_t size() const { return files_.size(); }
  // Every path recorded, as first written.
  template <typename F>
  void ForEach(F&& f) const {
    for (const auto& [key, entry] : files_) {
      f(entry.first, entry.second);
    }
  }

  // Lines that do not read are skipped; a text without the header line
  // gives an empty record.
  static LocalRecord Parse(const std::string& text);
  std::string Text() const;

  // The record of the game folder app_dir; empty when it cannot be read.
  static LocalRecord Load(const std::string& app_dir);
  // Replaces the game folder's record once the new one is written whole;
  // false when it could not be written (the old one stays).
  bool Save(const std::string& app_dir) const;

 private:
  // Lower-cased path -> (path as given, file).
  std::map<std::string, std::pair<std::string, RecordedFile>> files_;
};

// The stamp of the file at path (size, last-write time); nullopt when it
// is missing or no file.
struct FileStamp {
  int64_t size = 0;
  int64_t modified = 0;
};
std::optional<FileStamp> StampOf(const std::string& path);

// The SHA-256 (lower-case hex) of the file at path, adding its size to
// *hashed_bytes; nullopt when it cannot be read.
std::optional<std::string> HashFile(const std::string& path, uint64_t* hashed_bytes);

}  // namespace qm::update
