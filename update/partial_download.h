// An archive received straight into its file in Temp, with the record that
// identifies it beside it, and the SHA-256 of its bytes taken on the way
// (the bytes kept from before included), so that a transfer that breaks
// keeps what it got for the next attempt or the next run.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "http/receive_stream.h"
#include "platform/background_sha256.h"
#include "platform/file_system.h"
#include "update/partial_record.h"

namespace qm::update {

// The record at path, when it is one of ours.
std::optional<PartialRecord> ReadPartialRecordFile(const std::string& path);

class PartialDownload : public http::ReceiveStream {
 public:
  // path: the archive's file in Temp; the record is path + ".qmpart".
  // hashed: whether the bytes are hashed (the manifest checks the archive).
  PartialDownload(std::string path, int64_t free_space_reserve, bool hashed);
  ~PartialDownload() override;
  PartialDownload(const PartialDownload&) = delete;
  PartialDownload& operator=(const PartialDownload&) = delete;

  // Keeps what an earlier run left for this archive when its record names
  // key (and sha256, which may be empty) and it is shorter than its length,
  // hashing the kept bytes once; deletes it otherwise.
  void Adopt(const std::string& key, const std::string& sha256);
  // Starts over at byte 0. With a record, it is written before any byte is
  // stored (a document of unknown length gets none and cannot continue).
  bool Restart(const std::optional<PartialRecord>& record);
  // Appends bytes of a continuation from here on.
  void MarkSpliced() { spliced_ = true; }

  bool Write(const char* data, size_t size) override;
  std::string ErrorText() const override { return error_; }

  int64_t size() const { return size_; }
  const std::optional<PartialRecord>& record() const { return record_; }
  // Bytes were appended to bytes of an earlier transfer.
  bool spliced() const { return spliced_; }
  // The last write failed on the disk or the stream's own limits, not on
  // the network: a retry elsewhere would fail the same way.
  bool storage_failed() const { return storage_failed_; }
  bool hashed() const { return hashed_; }

  // The digest of the bytes stored; spends the hash.
  platform::Sha256Digest Final();
  // The archive is whole: the record goes, the file stays for the unpacking.
  void Finish();
  // Deletes the file and its record.
  void Discard();
  // Closes the file, keeping the pair for a later attempt or run (or
  // deleting it when nothing was stored).
  void Keep();

 private:
  bool Open(platform::File::Mode mode);
  bool RoomFor(int64_t pending);
  bool Fail(const std::string& text, bool storage);

  std::string path_;
  std::string record_path_;
  std::string folder_;
  int64_t free_space_reserve_;
  bool hashed_;
  platform::File file_;
  std::optional<platform::BackgroundSha256> digest_;
  std::optional<PartialRecord> record_;
  int64_t size_ = 0;
  int64_t checked_at_ = 0;
  bool spliced_ = false;
  bool storage_failed_ = false;
  std::string error_;
};

}  // namespace qm::update
