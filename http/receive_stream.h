// Where the HTTP client puts a document's body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/file_system.h"

namespace qm::http {

class ReceiveStream {
 public:
  virtual ~ReceiveStream() = default;
  // Appends at the end; false when the bytes could not be stored.
  virtual bool Write(const char* data, size_t size) = 0;
  // Why the last Write failed; empty when the stream cannot tell.
  virtual std::string ErrorText() const { return {}; }
};

// Keeps a document in memory up to a limit and moves it to a temporary file
// beyond it, so that memory stays bounded whatever the document's size. The
// caller's target file is written only by CommitToPath, after a transfer
// that succeeded.
class SpillingStream : public ReceiveStream {
 public:
  static constexpr size_t kDefaultMemoryLimit = size_t{16} << 20;

  // temp_folder holds the spill file; it is deleted with the stream unless
  // committed.
  explicit SpillingStream(std::string temp_folder, size_t memory_limit = kDefaultMemoryLimit);
  ~SpillingStream() override;
  SpillingStream(const SpillingStream&) = delete;
  SpillingStream& operator=(const SpillingStream&) = delete;

  bool Write(const char* data, size_t size) override;
  std::string ErrorText() const override { return error_; }

  // A document larger than limit bytes fails at the write that passes it;
  // negative: no limit.
  void set_size_limit(int64_t limit) { size_limit_ = limit; }
  // Writing to the disk fails once fewer than reserve bytes would stay
  // free on it, before the disk is full; 0: only the disk's own limit.
  void set_free_space_reserve(int64_t reserve) { free_space_reserve_ = reserve; }
  // Why the last write failed, when the stream itself refused it (limit or
  // free space) rather than the system.
  bool refused() const { return refused_; }

  int64_t size() const { return size_; }
  bool spilled() const { return !spill_path_.empty(); }
  const std::string& spill_path() const { return spill_path_; }
  // Why the last operation failed.
  const std::string& error() const { return error_; }

  // Hands the content to sink in order, in blocks; false when reading failed
  // or the sink returned false.
  bool ReadAll(const std::function<bool(const char*, size_t)>& sink);

  // kDurable flushes the file to the disk before it replaces the old one;
  // kTransient skips that for a file that is read once and deleted.
  enum class Durability { kDurable, kTransient };

  // Puts the content at path, replacing any file there only once the new
  // one is complete. The stream is empty afterwards.
  bool CommitToPath(const std::string& path, Durability durability = Durability::kDurable);

  // Drops the content (and the spill file).
  void Clear();

 private:
  bool Spill();
  // Whether pending more bytes still leave the reserve free on the disk.
  bool RoomFor(int64_t pending);
  bool WriteMemoryTo(platform::File& file);
  bool CopyFileTo(platform::File& file);

  std::string temp_folder_;
  size_t memory_limit_;
  std::string memory_;
  std::string spill_path_;
  platform::File spill_file_;
  int64_t size_ = 0;
  bool failed_ = false;
  std::string error_;
  int64_t size_limit_ = -1;
  int64_t free_space_reserve_ = 0;
  int64_t checked_at_ = 0;  // size_ when the free space was last looked at
  bool refused_ = false;
};

}  // namespace qm::http
