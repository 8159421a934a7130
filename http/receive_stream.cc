#include "http/receive_stream.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace qm::http {
namespace {

constexpr size_t kCopyBlock = 1 << 16;
// How often a growing spill file looks at the free space.
constexpr int64_t kFreeSpaceCheckInterval = int64_t{1} << 20;

std::string FolderOf(const std::string& path) {
  size_t separator = path.find_last_of("\\/");
  if (separator == std::string::npos) {
    return ".";
  }
  if (separator == 0) {
    return path.substr(0, 1);
  }
  return path.substr(0, separator);
}

std::string FileErrorMessage(const std::string& what, const std::string& path) {
  return what + " " + path + ": " + platform::FileErrorText(platform::LastFileError());
}

}  // namespace

SpillingStream::SpillingStream(std::string temp_folder, size_t memory_limit)
    : temp_folder_(std::move(temp_folder)), memory_limit_(memory_limit) {}

SpillingStream::~SpillingStream() {
  Clear();
}

void SpillingStream::Clear() {
  spill_file_.Close();
  if (!spill_path_.empty()) {
    platform::DeleteFile(spill_path_);
  }
  spill_path_.clear();
  std::string().swap(memory_);
  size_ = 0;
  checked_at_ = 0;
  failed_ = false;
  refused_ = false;
}

bool SpillingStream::RoomFor(int64_t pending) {
  if (free_space_reserve_ <= 0) {
    return true;
  }
  checked_at_ = size_;
  uint64_t free = 0;
  if (!platform::FreeDiskSpace(temp_folder_, &free)) {
    return true;  // the system cannot tell: the write itself will say
  }
  const int64_t available = static_cast<int64_t>(std::min<uint64_t>(free, INT64_MAX));
  if (available - pending >= free_space_reserve_) {
    return true;
  }
  refused_ = true;
  error_ = "Not enough free disk space in " + temp_folder_ + ": " +
           std::to_string(std::max<int64_t>(available, 0) >> 20) + " MB free, " +
           std::to_string((pending + free_space_reserve_) >> 20) + " MB needed";
  return false;
}

bool SpillingStream::Spill() {
  if (!RoomFor(static_cast<int64_t>(memory_.size()))) {
    return false;
  }
  spill_path_ = platform::CreateTempFile(temp_folder_, "qmrecv");
  if (spill_path_.empty()) {
    error_ = FileErrorMessage("Cannot create a temporary file in", temp_folder_);
    return false;
  }
  if (!spill_file_.Open(spill_path_, platform::File::Mode::kCreate)) {
    error_ = FileErrorMessage("Cannot open", spill_path_);
    return false;
  }
  if (!spill_file_.Write(memory_.data(), memory_.size())) {
    error_ = FileErrorMessage("Cannot write", spill_path_);
    return false;
  }
  std::string().swap(memory_);
  return true;
}

bool SpillingStream::Write(const char* data, size_t size) {
  if (failed_) {
    return false;
  }
  if (size_limit_ >= 0 && size_ + static_cast<int64_t>(size) > size_limit_) {
    refused_ = true;
    error_ = "The document is larger than the " + std::to_string(size_limit_) + " bytes allowed";
    failed_ = true;
    return false;
  }
  if (!spilled() && memory_.size() + size > memory_limit_ && !Spill()) {
    failed_ = true;
    return false;
  }
  if (spilled() && size_ - checked_at_ >= kFreeSpaceCheckInterval &&
      !RoomFor(static_cast<int64_t>(size))) {
    failed_ = true;
    return false;
  }
  if (spilled()) {
    if (!spill_file_.Write(data, size)) {
      error_ = FileErrorMessage("Cannot write", spill_path_);
      failed_ = true;
      return false;
    }
  } else {
    memory_.append(data, size);
  }
  size_ += static_cast<int64_t>(size);
  return true;
}

bool SpillingStream::ReadAll(const std::function<bool(const char*, size_t)>& sink) {
  if (!spilled()) {
    return memory_.empty() || sink(memory_.data(), memory_.size());
  }
  // Writes go straight to the system, so a second handle reads them back; no
  // flush to the disk is needed for that.
  platform::File reader;
  if (!reader.Open(spill_path_, platform::File::Mode::kRead)) {
    error_ = FileErrorMessage("Cannot open", spill_path_);
    return false;
  }
  std::vector<char> block(kCopyBlock);
  for (;;) {
    int64_t n = reader.Read(block.data(), block.size());
    if (n < 0) {
      error_ = FileErrorMessage("Cannot read", spill_path_);
      return false;
    }
    if (n == 0) {
      return true;
    }
    if (!sink(block.data(), static_cast<size_t>(n))) {
      return false;
    }
  }
}

bool SpillingStream::WriteMemoryTo(platform::File& file) {
  return file.Write(memory_.data(), memory_.size());
}

bool SpillingStream::CopyFileTo(platform::File& file) {
  return ReadAll([&file](const char* data, size_t size) { return file.Write(data, size); });
}

bool SpillingStream::CommitToPath(const std::string& path, Durability durability) {
  const bool flush = durability == Durability::kDurable;
  if (failed_) {
    if (error_.empty()) {
      error_ = "The received document is incomplete";
    }
    return false;
  }
  if (spilled()) {
    if (flush && !spill_file_.Flush()) {
      error_ = FileErrorMessage("Cannot write", spill_path_);
      return false;
    }
    spill_file_.Close();
    if (platform::ReplaceFile(spill_path_, path)) {
      spill_path_.clear();
      size_ = 0;
      return true;
    }
    // Another volume: copy beside the target first, then rename.
    if (!spill_file_.Open(spill_path_, platform::File::Mode::kReadWrite)) {
      error_ = FileErrorMessage("Cannot open", spill_path_);
      return false;
    }
  }
  if (!spilled() && !RoomFor(static_cast<int64_t>(memory_.size()))) {
    return false;
  }
  std::string staging = platform::CreateTempFile(FolderOf(path), "qmnew");
  if (staging.empty()) {
    error_ = FileErrorMessage("Cannot create a file beside", path);
    return false;
  }
  bool written = false;
  {
    platform::File out;
    if (out.Open(staging, platform::File::Mode::kCreate)) {
      written = (spilled() ? CopyFileTo(out) : WriteMemoryTo(out)) && (!flush || out.Flush());
      if (!written && error_.empty()) {
        error_ = FileErrorMessage("Cannot write", staging);
      }
    } else {
      error_ = FileErrorMessage("Cannot open", staging);
    }
  }
  if (written && !platform::ReplaceFile(staging, path)) {
    error_ = FileErrorMessage("Cannot replace", path);
    written = false;
  }
  if (!written) {
    platform::DeleteFile(staging);
    return false;
  }
  Clear();
  return true;
}

}  // namespace qm::http
