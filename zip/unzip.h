// TUnZip: unpacks the members of a zip archive that FileSpec selects below
// ExtractDir. Never raises to its caller: every failure goes to OnError, and
// the counts tell the caller whether everything selected was installed.
//
// A member is decoded into a temporary file beside its target and moved into
// place only after its size and CRC-32 check out, so a failed member leaves
// the previous file as it was and no partial file behind.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "zip/recognition.h"
#include "zip/zip_types.h"

namespace qm::zip {

class ArchiveSource;
struct Catalog;
class FileSource;
class ZipCrypto;
struct MemberEntry;

// One selected member, as List gives it.
struct TZipMemberInfo {
  std::string name;  // stored name ("\" separators, code page 949)
  uint16_t method = 0;
  uint16_t flags = 0;
  uint64_t compressed_size = 0;
  uint64_t uncompressed_size = 0;
  uint32_t crc = 0;
  uint32_t dos_time = 0;
  uint32_t attributes = 0;
  bool encrypted = false;
  bool directory = false;
};

class TUnZip {
 public:
  // Members are decoded into files named with this prefix beside their
  // targets; those a process left when it died go when a later run
  // prepares their folder.
  static constexpr char kTempFilePrefix[] = "~qmz";

  TUnZip();
  virtual ~TUnZip();
  TUnZip(const TUnZip&) = delete;
  TUnZip& operator=(const TUnZip&) = delete;

  // Assigning recognises the archive at once; a path without a file leaves
  // ArchiveFile empty and ArcType atNA.
  const std::string& ArchiveFile() const { return archive_file_; }
  void SetArchiveFile(const std::string& path);
  TArcType ArcType() const { return recognition_.type; }
  // Any value re-runs the recognition of ArchiveFile.
  void SetArcType(TArcType type);
  // Kept with a trailing "\"; empty means the archive's folder.
  const std::string& ExtractDir() const { return extract_dir_; }
  void SetExtractDir(const std::string& folder);
  int ZipCmntBufSize() const { return zip_cmnt_buf_size_; }
  void SetZipCmntBufSize(int size);

  bool ConfirmOverwrites = false;
  TCpuType CpuType = TCpuType::cptAuto;
  bool CreateStoredDirs = false;
  TDateAttribute DateAttribute = TDateAttribute::daFileDate;
  std::vector<std::string> FileSpec;
  TOverwriteMode OverwriteMode = TOverwriteMode::omOverwrite;
  int PasswordAttempts = 3;
  std::vector<std::string> Passwords;
  bool RecurseDirs = true;
  bool RestoreFileAttr = true;
  bool UseStoredDirs = true;
  bool TranslateOemChar = true;
  // The installed files have reached the disk when Extract returns, so a
  // caller that records the new version only afterwards never records files
  // a power loss could still take. One flush at the end of the run: a flush
  // per file would make extraction several times slower.
  bool SyncFiles = true;

  // Limits against archives made to fill the disk or the memory: an archive
  // beyond one is refused whole, before anything is written (0: no limit).
  //
  // Members: twice the 65535 entries that an archive without zip64 records
  // holds, which is the most the publisher writes. The directory is read
  // into memory whole; this keeps it to a few tens of megabytes.
  static constexpr uint64_t kDefaultMaxMembers = 131072;
  uint64_t MaxMembers = kDefaultMaxMembers;
  // Declared size of a member over its compressed size. Deflate cannot go
  // past about 1032:1 (what a file of zeros reaches), Deflate64 with its
  // 64 KiB matches not past about 29000:1, the older methods stay far below:
  // a member that declares more is damaged or made up, never a highly
  // compressible game file. What real data expands to is bounded by the
  // free-space check.
  static constexpr uint32_t kDefaultMaxExpansionRatio = 32768;
  uint32_t MaxExpansionRatio = kDefaultMaxExpansionRatio;

  // Unpacks the selected members; returns how many files were installed.
  int Extract();
  // Decodes and verifies the selected members without writing anything;
  // returns how many passed.
  int Test();
  // The selected members, without decoding them. Errors of the directory
  // walk are reported as by Extract.
  std::vector<TZipMemberInfo> List();

  // Stops the running Extract at its next step; later reports carry 25443.
  void CancelOperation() { run_.cancelled = true; }
  bool Cancelled() const { return run_.cancelled; }

  // Results of the last run. FailedCount: selected members that were not
  // installed (or not verified) because of an error. ErrorCount: reports.
  // Succeeded: the archive was read whole, no selected member failed and the
  // installed files reached the disk.
  int ExtractedCount() const { return run_.extracted_count; }
  int FailedCount() const { return run_.failed_count; }
  int ErrorCount() const { return run_.error_count; }
  bool Succeeded() const;

  // Events; an unassigned event is skipped.
  std::function<void(TUnZip* sender)> OnActivate;
  std::function<void(TUnZip* sender)> OnDeactivate;
  std::function<void(TUnZip* sender, const std::string& file_name, int count, bool& extract)>
      OnBegin;
  std::function<void(TUnZip* sender, const std::string& file_name, bool crc_pass)> OnEnd;
  std::function<void(TUnZip* sender,
                     const std::string& file_name,
                     const std::string& extended_msg,
                     const std::string& volume_id,
                     int ecode)>
      OnError;
  std::function<void(TUnZip* sender,
                     const std::string& file_name,
                     std::string& new_filename,
                     TOverwriteMode& overwrite_mode)>
      OnFileExists;
  std::function<
      void(TUnZip* sender, const std::string& file_name, std::string& password, bool& try_again)>
      OnGetPassword;
  std::function<void(TUnZip* sender, uint8_t progress_by_file, uint8_t progress_by_archive)>
      OnProgress;
  std::function<void(TUnZip* sender, float elapsed_time)> OnElapsedTime;
  std::function<void(TUnZip* sender, THeaderTypeState head_flag, bool& cancel)> OnCorruptZipHeader;

 protected:
  virtual void TriggerActivate();
  virtual void TriggerDeactivate();
  virtual void TriggerBegin(const std::string& file_name, int count, bool& extract);
  virtual void TriggerEnd(const std::string& file_name, bool crc_pass);
  virtual void TriggerError(const std::string& file_name,
                            const std::string& extended_msg,
                            const std::string& volume_id,
                            int ecode);
  virtual void TriggerFileExists(const std::string& file_name,
                                 std::string& new_filename,
                                 TOverwriteMode& overwrite_mode);
  virtual void TriggerGetPassword(const std::string& file_name,
                                  std::string& password,
                                  bool& try_again);
  virtual void TriggerProgress(uint8_t progress_by_file, uint8_t progress_by_archive);
  virtual void TriggerElapsedTime(float elapsed_time);
  virtual void TriggerCorruptZipHeader(THeaderTypeState head_flag, bool& cancel);

 private:
  enum class RunMode { kExtract, kTest, kList };
  class Sink;
  friend class Sink;
  struct MemberJob;

  int Run(RunMode mode, std::vector<TZipMemberInfo>* listing);
  void Recognize();
  void Report(const std::string& file_name, int code, const std::string& extended_msg = "");
  std::string ConvertName(const std::string& raw, uint16_t flags) const;
  bool IsDirectoryMember(const std::string& stored, uint32_t attributes) const;
  // The members of the archive that FileSpec selects, after the checks that
  // refuse an archive whole; reports why the archive is not whole.
  std::vector<MemberEntry> SelectMembers(ArchiveSource& source, RunMode mode);
  TZipMemberInfo ListingInfo(const MemberEntry& entry) const;
  void MemberStep(ArchiveSource& source, const MemberEntry& entry, RunMode mode);
  void MakeStoredFolder(const std::string& target);
  // The steps of a file member; the first two return false when the member
  // was passed over.
  bool PrepareMember(ArchiveSource& source, RunMode mode, MemberJob& job);
  bool UnlockMember(ArchiveSource& source, MemberJob& job);
  bool OpenOutput(MemberJob& job);
  void DecodeMemberData(ArchiveSource& source, RunMode mode, MemberJob& job);
  void InstallMember(RunMode mode, MemberJob& job);
  // A member that fails before its data is decoded: reported (unless code
  // is 0: reported already), counted and passed over.
  void SkipMember(const MemberJob& job, int code, const std::string& extended_msg = "");
  // May move *target to the name that OnFileExists gives.
  bool BeginCheck(std::string* target);
  // header: the member's 12-byte encryption header.
  bool CheckPassword(const uint8_t* header,
                     const MemberEntry& entry,
                     const std::string& target,
                     std::unique_ptr<ZipCrypto>* keys);
  void PassOver(uint64_t size);
  // Why the archive is refused whole (its members overlap, or it goes past
  // a limit); empty when it is not.
  std::string Refusal(const Catalog& catalog) const;
  void UseDefaultExtractDir();
  // Whether the extraction folder's disk has room for the members.
  bool RoomFor(const std::vector<MemberEntry>& members);
  // Creates the folder or clears what an earlier replace left in it; true
  // when this run created it.
  bool PrepareFolder(const std::string& folder);
  // member_done of member_size bytes of the member being decoded.
  void Progress(uint64_t member_done, uint64_t member_size);
  // Flushes the files this run installed, then gives them their attributes.
  void FinishInstalledFiles();

  std::string archive_file_;
  std::string extract_dir_;
  int zip_cmnt_buf_size_ = 0;
  Recognition recognition_;

  struct InstalledFile {
    std::string path;
    uint32_t attributes;
  };
  // What one run finds and counts; each run starts from a fresh one, and the
  // results stay readable until the next.
  struct RunState {
    bool cancelled = false;
    int extracted_count = 0;
    int failed_count = 0;
    int error_count = 0;
    bool archive_failed = false;
    bool sync_failed = false;
    std::vector<InstalledFile> installed;
    // No password fitted an earlier member: later ones are not asked for.
    bool password_failed = false;
    std::string current_password;
    uint32_t latest_time = 0;
    uint64_t total_size = 0;
    // Bytes of the members not yet decoded or passed over; the member being
    // decoded counts in full until it is done.
    uint64_t remainder = 0;
    // Output folders of this run: true when the run created them.
    std::map<std::string, bool> prepared_folders;
    // Targets written in place in those new folders (letter case folded).
    std::set<std::string> in_place_targets;
    // Time spent in the error handler, which the stopwatch leaves out.
    uint32_t pause_ticks = 0;
  };
  RunState run_;
};

}  // namespace qm::zip
