#include "update/local_record.h"

#include <limits>
#include <vector>

#include "platform/file_system.h"
#include "platform/sha256.h"
#include "update/debris.h"
#include "util/ascii.h"
#include "util/hex.h"

namespace qm::update {
namespace {

constexpr char kHeader[] = "QMFILES 1";
constexpr int64_t kMaxRecordSize = int64_t{256} << 20;

std::optional<int64_t> ParseNumber(const std::string& text, bool allow_negative) {
  size_t at = 0;
  bool negative = false;
  if (allow_negative && !text.empty() && text[0] == '-') {
    negative = true;
    at = 1;
  }
  if (at >= text.size() || text.size() - at > 19) {
    return std::nullopt;
  }
  // POSIX times in nanoseconds take 19 digits: the whole int64_t range.
  int64_t value = 0;
  for (; at < text.size(); ++at) {
    if (text[at] < '0' || text[at] > '9') {
      return std::nullopt;
    }
    const int digit = text[at] - '0';
    if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) {
      return std::nullopt;
    }
    value = value * 10 + digit;
  }
  return negative ? -value : value;
}

bool IsDigest(const std::string& text) {
  if (text.size() != 64) {
    return false;
  }
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
      return false;
    }
  }
  return true;
}

std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t end = line.find(separator, start);
    fields.push_back(line.substr(start, end == std::string::npos ? end : end - start));
    if (end == std::string::npos) {
      return fields;
    }
    start = end + 1;
  }
}

}  // namespace

const RecordedFile* LocalRecord::Find(const std::string& path) const {
  const auto found = files_.find(AsciiLowerCopy(path));
  return found == files_.end() ? nullptr : &found->second.second;
}

void LocalRecord::Set(const std::string& path, const RecordedFile& file) {
  files_[AsciiLowerCopy(path)] = {path, file};
}

void LocalRecord::Erase(const std::string& path) {
  files_.erase(AsciiLowerCopy(path));
}

LocalRecord LocalRecord::Parse(const std::string& text) {
  LocalRecord record;
  std::vector<std::string> lines = Split(text, '\n');
  if (lines.empty()) {
    return record;
  }
  for (std::string& line : lines) {
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
  }
  if (lines[0] != kHeader) {
    return record;
  }
  for (size_t k = 1; k < lines.size(); ++k) {
    const std::vector<std::string> fields = Split(lines[k], '\t');
    if (fields.size() != 4 || fields[0].empty()) {
      continue;
    }
    const std::optional<int64_t> size = ParseNumber(fields[1], false);
    const std::optional<int64_t> modified = ParseNumber(fields[2], true);
    if (!size || !modified || !IsDigest(fields[3])) {
      continue;
    }
    record.Set(fields[0], {*size, *modified, fields[3]});
  }
  return record;
}

std::string LocalRecord::Text() const {
  std::string text = std::string(kHeader) + "\r\n";
  for (const auto& [key, entry] : files_) {
    const auto& [path, file] = entry;
    text += path + "\t" + std::to_string(file.size) + "\t" + std::to_string(file.modified) + "\t" +
            file.sha256 + "\r\n";
  }
  return text;
}

LocalRecord LocalRecord::Load(const std::string& app_dir) {
  platform::File file;
  if (!file.Open(app_dir + "\\" + kLocalRecordFile, platform::File::Mode::kRead) ||
      file.Size() <= 0 || file.Size() > kMaxRecordSize) {
    return {};
  }
  std::string text(static_cast<size_t>(file.Size()), '\0');
  size_t got = 0;
  while (got < text.size()) {
    const int64_t n = file.Read(text.data() + got, text.size() - got);
    if (n <= 0) {
      return {};
    }
    got += static_cast<size_t>(n);
  }
  return Parse(text);
}

bool LocalRecord::Save(const std::string& app_dir) const {
  const std::string text = Text();
  // In Temp, where a run that dies meanwhile has its debris cleared.
  const std::string temp_folder = TempFolder(app_dir);
  platform::CreateDirectory(temp_folder);
  std::string temp_path;
  platform::File file;
  if (!file.CreateTemp(temp_folder, "qmnew", &temp_path)) {
    return false;
  }
  const bool written = file.Write(text.data(), text.size()) && file.Flush();
  file.Close();
  if (!written || !platform::ReplaceFile(temp_path, app_dir + "\\" + kLocalRecordFile)) {
    platform::DeleteFile(temp_path);
    return false;
  }
  return true;
}

std::optional<FileStamp> StampOf(const std::string& path) {
  FileStamp stamp;
  if (!platform::GetFileStamp(path, &stamp.size, &stamp.modified)) {
    return std::nullopt;
  }
  return stamp;
}

std::optional<std::string> HashFile(const std::string& path, uint64_t* hashed_bytes) {
  platform::File file;
  if (!file.Open(path, platform::File::Mode::kRead)) {
    return std::nullopt;
  }
  platform::Sha256 hash;
  std::string block(size_t{1} << 20, '\0');
  for (;;) {
    const int64_t n = file.Read(block.data(), block.size());
    if (n < 0) {
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    hash.Update(block.data(), static_cast<size_t>(n));
    *hashed_bytes += static_cast<uint64_t>(n);
  }
  return HexOf(hash.Final());
}

}  // namespace qm::update
