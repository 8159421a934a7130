#include "update/partial_download.h"

#include <algorithm>
#include <climits>
#include <vector>

namespace qm::update {
namespace {

// How often a growing file looks at the free space.
constexpr int64_t kFreeSpaceCheckInterval = int64_t{1} << 20;
// Read block for hashing the bytes an earlier run kept.
constexpr size_t kHashBlock = size_t{1} << 16;
// A record is a few lines; anything larger is not ours.
constexpr int64_t kMaxRecordSize = 16 << 10;

std::string FolderOf(const std::string& path) {
  const size_t separator = path.find_last_of('\\');
  return separator == std::string::npos ? std::string(".") : path.substr(0, separator);
}

}  // namespace

std::optional<PartialRecord> ReadPartialRecordFile(const std::string& path) {
  platform::File file;
  if (!file.Open(path, platform::File::Mode::kRead) || file.Size() <= 0 ||
      file.Size() > kMaxRecordSize) {
    return std::nullopt;
  }
  std::string text(static_cast<size_t>(file.Size()), '\0');
  if (file.Read(text.data(), text.size()) != static_cast<int64_t>(text.size())) {
    return std::nullopt;
  }
  return ParsePartialRecord(text);
}

PartialDownload::PartialDownload(std::string path, int64_t free_space_reserve, bool hashed)
    : path_(std::move(path)),
      record_path_(path_ + kPartialRecordSuffix),
      folder_(FolderOf(path_)),
      free_space_reserve_(free_space_reserve),
      hashed_(hashed) {}

PartialDownload::~PartialDownload() {
  file_.Close();
}

void PartialDownload::Adopt(const std::string& key, const std::string& sha256) {
  std::optional<PartialRecord> record = ReadPartialRecordFile(record_path_);
  int64_t kept = -1;
  {
    platform::File file;
    if (record && file.Open(path_, platform::File::Mode::kRead)) {
      kept = file.Size();
    }
  }
  if (!record || record->key != key || record->sha256 != sha256 || kept <= 0 ||
      kept >= record->length || !Open(platform::File::Mode::kReadWrite)) {
    Discard();
    return;
  }
  if (hashed_) {
    digest_.emplace();
    std::vector<char> block(kHashBlock);
    int64_t done = 0;
    while (done < kept) {
      const int64_t n = file_.Read(block.data(), block.size());
      if (n <= 0) {
        Discard();
        return;
      }
      digest_->Update(block.data(), static_cast<size_t>(n));
      done += n;
    }
  }
  if (!file_.Seek(kept)) {
    Discard();
    return;
  }
  record_ = std::move(record);
  size_ = kept;
  checked_at_ = kept;
  spliced_ = true;
}

bool PartialDownload::Open(platform::File::Mode mode) {
  file_.Close();
  if (!file_.Open(path_, mode)) {
    return Fail("Cannot open " + path_ + ": " + platform::FileErrorText(file_.error()), true);
  }
  return true;
}

bool PartialDownload::Restart(const std::optional<PartialRecord>& record) {
  file_.Close();
  platform::DeleteFile(record_path_);
  record_.reset();
  size_ = 0;
  checked_at_ = 0;
  spliced_ = false;
  digest_.reset();
  if (hashed_) {
    digest_.emplace();
  }
  if (record) {
    const std::string text = FormatPartialRecord(*record);
    platform::File file;
    // A record that cannot be written only costs the continuation.
    if (!text.empty() && file.Open(record_path_, platform::File::Mode::kCreate) &&
        file.Write(text.data(), text.size())) {
      record_ = record;
    }
  }
  return Open(platform::File::Mode::kCreate);
}

bool PartialDownload::Fail(const std::string& text, bool storage) {
  error_ = text;
  storage_failed_ = storage;
  return false;
}

bool PartialDownload::RoomFor(int64_t pending) {
  checked_at_ = size_;
  uint64_t free = 0;
  if (free_space_reserve_ <= 0 || !platform::FreeDiskSpace(folder_, &free)) {
    return true;  // the write itself will say
  }
  const int64_t available = static_cast<int64_t>(std::min<uint64_t>(free, INT64_MAX));
  if (available - pending >= free_space_reserve_) {
    return true;
  }
  return Fail("Not enough free disk space in " + folder_ + ": " +
                  std::to_string(std::max<int64_t>(available, 0) >> 20) + " MB free, " +
                  std::to_string((pending + free_space_reserve_) >> 20) + " MB needed",
              true);
}

bool PartialDownload::Write(const char* data, size_t size) {
  const auto count = static_cast<int64_t>(size);
  if (!file_.is_open()) {
    return Fail("The archive's file is not open", true);
  }
  if (record_ && size_ + count > record_->length) {
    // Never past the announced length: a longer answer is another document.
    return Fail(
        "The server sent more than the " + std::to_string(record_->length) + " bytes it announced",
        false);
  }
  if ((size_ == 0 || size_ - checked_at_ >= kFreeSpaceCheckInterval) && !RoomFor(count)) {
    return false;
  }
  if (!file_.Write(data, size)) {
    return Fail("Cannot write " + path_ + ": " + platform::FileErrorText(file_.error()), true);
  }
  if (digest_) {
    digest_->Update(data, size);
  }
  size_ += count;
  return true;
}

platform::Sha256Digest PartialDownload::Final() {
  if (!digest_) {
    digest_.emplace();
  }
  return digest_->Final();
}

void PartialDownload::Finish() {
  file_.Close();
  platform::DeleteFile(record_path_);
}

void PartialDownload::Discard() {
  file_.Close();
  platform::DeleteFile(path_);
  platform::DeleteFile(record_path_);
  record_.reset();
  size_ = 0;
  spliced_ = false;
  digest_.reset();
}

void PartialDownload::Keep() {
  file_.Close();
  if (size_ == 0 || !record_) {
    Discard();
  }
}

}  // namespace qm::update
