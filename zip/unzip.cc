#include "zip/unzip.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/file_system.h"
#include "platform/message_loop.h"
#include "platform/process.h"
#include "platform/text.h"
#include "util/ascii.h"
#include "util/string_helpers.h"
#include "zip/catalog.h"
#include "zip/decode/crc32.h"
#include "zip/decode/decoder.h"
#include "zip/decode/zip_crypto.h"
#include "zip/file_source.h"
#include "zip/member_names.h"
#include "zip/unzip_error.h"
#include "zip/zip_records.h"

namespace qm::zip {
namespace {

constexpr size_t kEncryptionHeader = 12;
// The marks that stop a file from being replaced on Windows.
constexpr uint32_t kReplaceBlockingBits =
    platform::kAttrReadOnly | platform::kAttrHidden | platform::kAttrSystem;
constexpr uint32_t kDosAttributeBits = platform::kAttrReadOnly | platform::kAttrHidden |
                                       platform::kAttrSystem | platform::kAttrArchive;

// The DOS bits, plus the Unix mode of a program from an archive made on Unix,
// whose execute bits a POSIX install keeps; Windows reads the DOS bits alone.
uint32_t InstalledAttributes(uint32_t attributes) {
  const uint32_t unix_mode = attributes >> 16;
  const bool program = (unix_mode & 0170000) == 0100000 && (unix_mode & 0111) != 0;
  return (attributes & kDosAttributeBits) | (program ? attributes & 0xFFFF0000u : 0);
}

// The member's compressed bytes, decrypted when a key state is given.
class MemberInput : public InputSource {
 public:
  MemberInput(ArchiveSource& source, uint64_t offset, uint64_t size, ZipCrypto* keys)
      : source_(source), offset_(offset), remaining_(size), keys_(keys) {}

  int64_t Read(uint8_t* buffer, size_t size) override {
    size_t want = static_cast<size_t>(std::min<uint64_t>(size, remaining_));
    if (want == 0) {
      return 0;
    }
    int64_t n = source_.ReadAt(offset_, buffer, want);
    if (n <= 0) {
      return n;
    }
    if (keys_) {
      keys_->Decrypt(buffer, static_cast<size_t>(n));
    }
    offset_ += static_cast<uint64_t>(n);
    remaining_ -= static_cast<uint64_t>(n);
    return n;
  }

  // Every byte the directory gives the member has been read.
  bool exhausted() const { return remaining_ == 0; }

 private:
  ArchiveSource& source_;
  uint64_t offset_;
  uint64_t remaining_;
  ZipCrypto* keys_;
};

// Method 0: copy the stored bytes.
DecodeResult CopyStored(uint64_t size, InputSource& input, OutputSink& output) {
  DecodeResult result;
  std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(size, kOutputBlockSize)));
  uint64_t remaining = size;
  while (remaining > 0) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, buffer.size()));
    int64_t n = input.Read(buffer.data(), want);
    if (n < 0) {
      result.status = DecodeStatus::kReadError;
      return result;
    }
    if (n == 0) {
      result.status = DecodeStatus::kInputEnded;
      return result;
    }
    result.consumed += static_cast<uint64_t>(n);
    if (!output.Write(buffer.data(), static_cast<size_t>(n))) {
      result.status = DecodeStatus::kOutputStopped;
      return result;
    }
    result.produced += static_cast<uint64_t>(n);
    remaining -= static_cast<uint64_t>(n);
  }
  return result;
}

bool IsInflateMethod(uint16_t method) {
  return method == 8 || method == 9;
}

int DataErrorCode(DataFault fault) {
  switch (fault) {
    case DataFault::kAmbiguousTree:
      return kErrAmbiguousTree;
    case DataFault::kStackOverflow:
      return kErrStackOverflow;
    case DataFault::kNone:
    case DataFault::kBadBlock:
      break;
  }
  return kErrBadBlock;
}

// A new name from OnFileExists: a full path as given, a relative one beside
// the file it replaces.
std::string ResolveNewName(const std::string& current, const std::string& answer) {
  std::string name = StoredName(answer);
  bool absolute = name[0] == '\\' || (name.size() >= 2 && name[1] == ':');
  return absolute ? name : JoinPath(FolderPart(current), name);
}

bool DosToLocal(uint32_t dos, platform::LocalDateTime* out) {
  uint32_t date = dos >> 16;
  uint32_t time = dos & 0xFFFF;
  out->year = 1980 + static_cast<int>(date >> 9);
  out->month = static_cast<int>((date >> 5) & 15);
  out->day = static_cast<int>(date & 31);
  out->hour = static_cast<int>(time >> 11);
  out->minute = static_cast<int>((time >> 5) & 63);
  out->second = static_cast<int>((time & 31) * 2);
  return out->month >= 1 && out->month <= 12 && out->day >= 1 && out->hour < 24 &&
         out->minute < 60 && out->second < 60;
}

uint64_t SaturatedAdd(uint64_t a, uint64_t b) {
  return a > UINT64_MAX - b ? UINT64_MAX : a + b;
}

uint8_t Percent(uint64_t part, uint64_t whole) {
  if (whole == 0) {
    return 0;
  }
  double value = std::nearbyint(100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return static_cast<uint8_t>(std::clamp(value, 0.0, 100.0));
}

}  // namespace

// Receives the decoded bytes of one member: CRC, size limit, output file,
// progress and cancel.
class TUnZip::Sink : public OutputSink {
 public:
  Sink(TUnZip& owner, platform::File* file, uint64_t expected_size)
      : owner_(owner), file_(file), expected_size_(expected_size) {}

  bool Write(const uint8_t* data, size_t size) override {
    if (owner_.cancelled_) {
      return false;
    }
    if (size > expected_size_ - std::min(written_, expected_size_)) {
      // More output than the directory declares: a damaged or hostile member.
      oversize_ = true;
      return false;
    }
    if (file_ && !file_->Write(data, size)) {
      write_error_ = file_->error();
      return false;
    }
    crc_ = Crc32Update(crc_, data, size);
    written_ += size;
    owner_.remainder_ -= std::min<uint64_t>(owner_.remainder_, size);
    owner_.Progress(written_, expected_size_);
    return !owner_.cancelled_;
  }

  uint32_t crc() const { return crc_; }
  uint64_t written() const { return written_; }
  bool oversize() const { return oversize_; }
  platform::FileError write_error() const { return write_error_; }

 private:
  TUnZip& owner_;
  platform::File* file_;
  uint64_t expected_size_;
  uint64_t written_ = 0;
  uint32_t crc_ = 0;
  bool oversize_ = false;
  platform::FileError write_error_ = platform::FileError::kNone;
};

TUnZip::TUnZip() = default;
TUnZip::~TUnZip() = default;

void TUnZip::SetArchiveFile(const std::string& path) {
  recognition_ = Recognition();
  if (path.empty() || !platform::FileExists(path)) {
    archive_file_.clear();
    return;
  }
  archive_file_ = StoredName(path);
  Recognize();
}

void TUnZip::SetArcType(TArcType) {
  Recognize();
}

void TUnZip::Recognize() {
  recognition_ = Recognition();
  FileSource source;
  if (archive_file_.empty() || !source.Open(archive_file_)) {
    return;
  }
  recognition_ = RecognizeArchive(source, archive_file_);
}

void TUnZip::SetExtractDir(const std::string& folder) {
  extract_dir_ = NormalizeFolder(folder);
  if (extract_dir_.empty()) {
    extract_dir_ = FolderPart(archive_file_);
  }
}

void TUnZip::SetZipCmntBufSize(int size) {
  zip_cmnt_buf_size_ = std::clamp(size, 2000, 32767);
}

bool TUnZip::Succeeded() const {
  return !archive_failed_ && !sync_failed_ && failed_count_ == 0 && !cancelled_;
}

void TUnZip::TriggerActivate() {
  if (OnActivate) {
    OnActivate(this);
  }
}
void TUnZip::TriggerDeactivate() {
  if (OnDeactivate) {
    OnDeactivate(this);
  }
}
void TUnZip::TriggerBegin(const std::string& file_name, int count, bool& extract) {
  if (OnBegin) {
    OnBegin(this, file_name, count, extract);
  }
}
void TUnZip::TriggerEnd(const std::string& file_name, bool crc_pass) {
  if (OnEnd) {
    OnEnd(this, file_name, crc_pass);
  }
}
void TUnZip::TriggerError(const std::string& file_name,
                          const std::string& extended_msg,
                          const std::string& volume_id,
                          int ecode) {
  if (OnError) {
    OnError(this, file_name, extended_msg, volume_id, ecode);
  }
}
void TUnZip::TriggerFileExists(const std::string& file_name,
                               std::string& new_filename,
                               TOverwriteMode& overwrite_mode) {
  if (OnFileExists) {
    OnFileExists(this, file_name, new_filename, overwrite_mode);
  }
}
void TUnZip::TriggerGetPassword(const std::string& file_name,
                                std::string& password,
                                bool& try_again) {
  if (OnGetPassword) {
    OnGetPassword(this, file_name, password, try_again);
  }
}
void TUnZip::TriggerProgress(uint8_t progress_by_file, uint8_t progress_by_archive) {
  if (OnProgress) {
    OnProgress(this, progress_by_file, progress_by_archive);
  }
}
void TUnZip::TriggerElapsedTime(float elapsed_time) {
  if (OnElapsedTime) {
    OnElapsedTime(this, elapsed_time);
  }
}
void TUnZip::TriggerCorruptZipHeader(THeaderTypeState head_flag, bool& cancel) {
  if (OnCorruptZipHeader) {
    OnCorruptZipHeader(this, head_flag, cancel);
  }
}

void TUnZip::Report(const std::string& file_name, int code, const std::string& extended_msg) {
  if (cancelled_) {
    code = kErrUserCanceled;
  }
  ++error_count_;
  uint32_t start = platform::TickCount();
  TriggerError(file_name, extended_msg, "0", code);
  // The stopwatch does not count the time spent in the handler.
  pause_ticks_ += platform::TickCount() - start;
}

std::string TUnZip::ConvertName(const std::string& raw, uint16_t flags) const {
  // The OEM and ANSI code pages of the updater's system are both 949, so only
  // names flagged as UTF-8 need converting.
  if (TranslateOemChar && (flags & kFlagUtf8)) {
    return StoredName(platform::Utf8ToCp949(raw));
  }
  return StoredName(raw);
}

bool TUnZip::IsDirectoryMember(const std::string& stored, uint32_t attributes) const {
  bool jar = recognition_.type == TArcType::atJar || recognition_.type == TArcType::atJarExe;
  if (jar) {
    return NamePart(stored).empty();
  }
  return (attributes & platform::kAttrDirectory) || (!stored.empty() && stored.back() == '\\');
}

void TUnZip::Progress(uint64_t member_done, uint64_t member_size) {
  uint8_t by_file = Percent(member_done, member_size);
  uint8_t by_archive = Percent(total_size_ - std::min(remainder_, total_size_), total_size_);
  // The host keeps painting and its links stay clickable while we work.
  platform::ProcessMessages();
  TriggerProgress(by_file, by_archive);
}

void TUnZip::PassOver(uint64_t size) {
  remainder_ -= std::min(remainder_, size);
  Progress(0, 0);
}

int TUnZip::Extract() {
  return Run(RunMode::kExtract, nullptr);
}

int TUnZip::Test() {
  return Run(RunMode::kTest, nullptr);
}

std::vector<TZipMemberInfo> TUnZip::List() {
  std::vector<TZipMemberInfo> listing;
  Run(RunMode::kList, &listing);
  return listing;
}

namespace {

// Selection by FileSpec; entries whose local header is missing are reported.
class Selector : public CatalogObserver {
 public:
  using SelectFn = std::function<bool(const std::string&, uint16_t)>;
  using BadFn = std::function<void(const std::string&, uint16_t)>;
  using CancelFn = std::function<bool()>;
  Selector(SelectFn select, BadFn bad, CancelFn cancel)
      : select_(std::move(select)), bad_(std::move(bad)), cancel_(std::move(cancel)) {}
  bool Select(const std::string& raw, uint16_t flags) override { return select_(raw, flags); }
  void BadHeader(const std::string& raw, uint16_t flags) override { bad_(raw, flags); }
  bool Cancelled() override { return cancel_(); }

 private:
  SelectFn select_;
  BadFn bad_;
  CancelFn cancel_;
};

}  // namespace

int TUnZip::Run(RunMode mode, std::vector<TZipMemberInfo>* listing) {
  cancelled_ = false;
  extracted_count_ = 0;
  failed_count_ = 0;
  error_count_ = 0;
  archive_failed_ = false;
  sync_failed_ = false;
  installed_.clear();
  password_failed_ = false;
  current_password_.clear();
  latest_time_ = 0;
  total_size_ = 0;
  remainder_ = 0;
  prepared_folders_.clear();
  in_place_targets_.clear();
  pause_ticks_ = 0;
  if (CpuType == TCpuType::cpt80486) {
    CpuType = TCpuType::cptAuto;
  }

  const std::string remembered = archive_file_;
  if (archive_file_.empty()) {
    Report(archive_file_, kErrFileNotFound);
    archive_failed_ = true;
    return 0;
  }
  TriggerActivate();
  FileSource source;
  if (!source.Open(archive_file_)) {
    Report(archive_file_, kErrOpenFile);
    archive_failed_ = true;
    TriggerDeactivate();
    return 0;
  }
  uint32_t start_ticks = platform::TickCount();
  // The file may have changed since it was assigned.
  recognition_ = RecognizeArchive(source, archive_file_);
  if (!IsZipType(recognition_.type)) {
    Report(archive_file_, kErrUnsupportedArchive);
    archive_failed_ = true;
  } else {
    bool walk = true;
    if (recognition_.state == THeaderTypeState::Of(THeaderType::htLocal)) {
      bool cancel = true;
      if (OnCorruptZipHeader) {
        TriggerCorruptZipHeader(recognition_.state, cancel);
        walk = !cancel;
      }
    }
    Selector selector(
        [this](const std::string& raw, uint16_t flags) {
          std::string stored = ConvertName(raw, flags);
          return !stored.empty() && SelectMember(&FileSpec, RecurseDirs, stored);
        },
        [this](const std::string& raw, uint16_t flags) {
          Report(ConvertName(raw, flags), kErrBadFileHeader);
          ++failed_count_;
        },
        [this] { return cancelled_; });
    Catalog catalog;
    if (walk) {
      catalog = ReadCatalog(source, recognition_, selector, MaxMembers);
    }
    bool damaged = catalog.damaged || !walk;
    if (recognition_.state.Empty() ||
        (recognition_.state == THeaderTypeState::Of(THeaderType::htEnding) &&
         recognition_.end.total_entries > 0)) {
      damaged = true;
    }
    const std::string refusal = Refusal(catalog);
    if (!refusal.empty()) {
      // Made to fill the disk, or damaged beyond trust: nothing of it is
      // written. A listing still shows what the directory holds.
      Report(archive_file_, kErrCorruptInput, refusal);
      archive_failed_ = true;
      if (mode != RunMode::kList) {
        catalog.members.clear();
      }
    } else if (damaged) {
      // Members may be missing: the caller must not take the archive as whole.
      Report(archive_file_, kErrHeaderNotFound);
      archive_failed_ = true;
    }
    if (mode == RunMode::kExtract && !catalog.members.empty() && !RoomFor(catalog.members)) {
      Report(extract_dir_, kErrNotEnoughSpace);
      archive_failed_ = true;
      catalog.members.clear();
    }
    for (const MemberEntry& e : catalog.members) {
      if (static_cast<int32_t>(e.dos_time) > static_cast<int32_t>(latest_time_)) {
        latest_time_ = e.dos_time;
      }
      total_size_ += e.uncompressed_size;
    }
    remainder_ = total_size_;
    for (const MemberEntry& e : catalog.members) {
      if (cancelled_) {
        break;
      }
      if (mode == RunMode::kList) {
        TZipMemberInfo info;
        info.name = ConvertName(e.raw_name, e.flags);
        info.method = e.method;
        info.flags = e.flags;
        info.compressed_size = e.compressed_size;
        info.uncompressed_size = e.uncompressed_size;
        info.crc = e.crc;
        info.dos_time = e.dos_time;
        info.attributes = e.external_attributes;
        info.encrypted = e.flags & kFlagEncrypted;
        info.directory = IsDirectoryMember(info.name, e.external_attributes);
        listing->push_back(info);
        continue;
      }
      MemberStep(source, e, mode);
    }
  }
  source.Close();
  FinishInstalledFiles();
  if (OnElapsedTime) {
    uint32_t ticks = platform::TickCount() - start_ticks - pause_ticks_;
    TriggerElapsedTime(static_cast<float>(ticks) / 1000.0f);
  }
  TriggerDeactivate();
  archive_file_ = remembered;
  return extracted_count_;
}

std::string TUnZip::Refusal(const Catalog& catalog) const {
  if (catalog.too_many) {
    return "more than " + std::to_string(MaxMembers) + " members";
  }
  if (MembersOverlap(catalog)) {
    return "members share their data";
  }
  if (MaxExpansionRatio != 0) {
    for (const MemberEntry& e : catalog.members) {
      // uncompressed > ratio * compressed, without overflowing.
      const uint64_t whole = e.uncompressed_size / MaxExpansionRatio;
      if (whole > e.compressed_size ||
          (whole == e.compressed_size && e.uncompressed_size % MaxExpansionRatio != 0)) {
        return "a member expands more than " + std::to_string(MaxExpansionRatio) + " times";
      }
    }
  }
  return "";
}

void TUnZip::UseDefaultExtractDir() {
  if (extract_dir_.empty()) {
    SetExtractDir("");
    if (extract_dir_.empty()) {
      extract_dir_ = ".\\";
    }
  }
}

bool TUnZip::RoomFor(const std::vector<MemberEntry>& members) {
  UseDefaultExtractDir();
  // The extraction folder may be made by this run: ask the disk of the
  // nearest folder that exists.
  std::string folder = extract_dir_;
  while (!platform::DirectoryExists(folder)) {
    std::string parent = FolderPart(folder.substr(0, folder.size() - 1));
    if (parent.empty() || parent.size() >= folder.size()) {
      return true;
    }
    folder = parent;
  }
  uint64_t free = 0;
  if (!platform::FreeDiskSpace(folder, &free)) {
    return true;  // cannot tell: a full disk still fails its write
  }
  uint64_t total = 0;
  for (const MemberEntry& e : members) {
    total = SaturatedAdd(total, e.uncompressed_size);
  }
  if (total <= free) {
    return true;
  }
  // A replaced file gives its room back when the new one takes its place:
  // what counts is what each file grows by, and room for the largest new
  // file beside its old version while it is written.
  uint64_t growth = 0;
  uint64_t beside = 0;
  for (const MemberEntry& e : members) {
    const std::string stored = StripRootPrefix(ConvertName(e.raw_name, e.flags));
    const std::string target = TargetPath(extract_dir_, UseStoredDirs, stored);
    uint64_t old_size = 0;
    platform::File old;
    if (platform::FileExists(target) && old.Open(target, platform::File::Mode::kRead)) {
      old_size = static_cast<uint64_t>(std::max<int64_t>(old.Size(), 0));
    }
    growth = SaturatedAdd(growth, e.uncompressed_size - std::min(old_size, e.uncompressed_size));
    beside = std::max(beside, std::min(old_size, e.uncompressed_size));
  }
  return SaturatedAdd(growth, beside) <= free;
}

void TUnZip::FinishInstalledFiles() {
  std::vector<InstalledFile> installed;
  installed.swap(installed_);
  if (SyncFiles && !installed.empty()) {
    std::vector<std::string> paths;
    paths.reserve(installed.size());
    for (const InstalledFile& file : installed) {
      paths.push_back(file.path);
    }
    if (!platform::FlushToDisk(paths)) {
      sync_failed_ = true;
      Report(extract_dir_, platform::LastFileError() == platform::FileError::kDiskFull
                               ? kErrDiskFull
                               : kErrWriteFile);
    }
  }
  // After the flush: a read-only file could not be opened for it.
  for (const InstalledFile& file : installed) {
    if (RestoreFileAttr && file.attributes != 0 && file.attributes != platform::kAttrArchive) {
      platform::SetFileAttributes(file.path, file.attributes);
    }
  }
}

bool TUnZip::BeginCheck(std::string* target) {
  bool extract = true;
  TriggerBegin(*target, extracted_count_, extract);
  if (!extract || cancelled_) {
    return false;
  }
  if (!ConfirmOverwrites) {
    // omSkip keeps files that are there already.
    return OverwriteMode == TOverwriteMode::omOverwrite || !platform::FileExists(*target);
  }
  TOverwriteMode mode = TOverwriteMode::omOverwrite;
  std::string current = *target;
  if (!OnFileExists && platform::FileExists(current)) {
    Report(current, kErrEventNotAssigned, "OnFileExists");
    return false;
  }
  while (!cancelled_ && mode != TOverwriteMode::omSkip && platform::FileExists(current)) {
    std::string new_name;
    TriggerFileExists(current, new_name, mode);
    if (mode != TOverwriteMode::omOverwrite || new_name.empty()) {
      break;
    }
    new_name = ResolveNewName(current, new_name);
    if (EqualsIgnoringAsciiCase(new_name, current)) {
      break;
    }
    current = new_name;
  }
  if (cancelled_ || mode != TOverwriteMode::omOverwrite) {
    return false;
  }
  *target = current;
  return true;
}

bool TUnZip::CheckPassword(const uint8_t* header,
                           const MemberEntry& entry,
                           const std::string& target,
                           std::unique_ptr<ZipCrypto>* keys) {
  // With a data descriptor the CRC is not known when the header is written:
  // the check byte is then the top byte of the time.
  uint8_t check =
      (entry.flags & kFlagDataDescriptor) ? (entry.dos_time >> 8) & 0xFF : entry.crc >> 24;
  auto fits = [&](const std::string& password) {
    if (password.empty()) {
      return false;
    }
    auto crypto = std::make_unique<ZipCrypto>(password);
    uint8_t copy[kEncryptionHeader];
    std::memcpy(copy, header, kEncryptionHeader);
    crypto->Decrypt(copy, sizeof(copy));
    if (copy[kEncryptionHeader - 1] != check) {
      return false;
    }
    *keys = std::move(crypto);
    return true;
  };
  if (fits(current_password_)) {
    return true;
  }
  for (const std::string& password : Passwords) {
    current_password_ = password;
    if (fits(password)) {
      return true;
    }
  }
  if (!OnGetPassword) {
    if (Passwords.empty()) {
      Report(target, kErrEventNotAssigned, "OnGetPassword");
    } else {
      Report(target, kErrInvalidPassword);
    }
    return false;
  }
  for (int attempt = 0; attempt < PasswordAttempts && !cancelled_; ++attempt) {
    std::string password = current_password_;
    bool try_again = true;
    TriggerGetPassword(target, password, try_again);
    if (!try_again) {
      Report(target, kErrInvalidPassword);
      return false;
    }
    if (fits(password)) {
      current_password_ = password;
      Passwords.insert(Passwords.begin(), password);
      return true;
    }
    current_password_.clear();
    Report(target, kErrInvalidPassword);
  }
  return false;
}

bool TUnZip::PrepareFolder(const std::string& folder) {
  auto known = prepared_folders_.find(folder);
  if (known != prepared_folders_.end()) {
    return known->second;
  }
  bool existed = platform::DirectoryExists(folder);
  if (existed) {
    platform::RemoveLeftovers(folder);
    // Output files of a run that died. This run has none here yet: a folder
    // is prepared before its first member is written.
    for (const std::string& name : platform::ListDirectory(folder)) {
      if (name.rfind(kTempFilePrefix, 0) == 0) {
        platform::DeleteFile(JoinPath(folder, name));
      }
    }
  } else {
    platform::CreateDirectories(folder);
  }
  prepared_folders_[folder] = !existed;
  return !existed;
}

void TUnZip::MemberStep(ArchiveSource& source, const MemberEntry& e, RunMode mode) {
  // A drive or a leading "\\" is dropped, as Info-ZIP does: the member lands
  // below the extraction folder.
  const std::string stored = StripRootPrefix(ConvertName(e.raw_name, e.flags));
  if (!IsSafeStoredName(stored)) {
    Report(stored, kErrInvalidFileName);
    ++failed_count_;
    PassOver(e.uncompressed_size);
    return;
  }
  UseDefaultExtractDir();
  std::string target = TargetPath(extract_dir_, UseStoredDirs, stored);
  const uint32_t attributes = e.from_central ? e.external_attributes : 0;

  if (IsDirectoryMember(stored, e.external_attributes)) {
    if (mode == RunMode::kExtract && CreateStoredDirs && UseStoredDirs) {
      std::string folder = FolderPart(target);
      const bool existed = prepared_folders_.count(folder) || platform::DirectoryExists(folder);
      if (!existed && !platform::CreateDirectories(folder)) {
        Report(folder, kErrOpenFile);
        ++failed_count_;
      } else if (!existed) {
        prepared_folders_[folder] = true;  // holds nothing from before this run
      }
    }
    return;
  }

  if (mode == RunMode::kExtract && !BeginCheck(&target)) {
    PassOver(e.uncompressed_size);
    return;
  }

  // No password is asked for a member that cannot be decoded anyway.
  if (!IsSupportedMethod(e.method) && e.method != 0) {
    Report(target, kErrUnsupportedMethod);
    ++failed_count_;
    PassOver(e.uncompressed_size);
    return;
  }

  const bool encrypted = e.flags & kFlagEncrypted;
  std::unique_ptr<ZipCrypto> keys;
  uint64_t data_offset = e.data_offset;
  uint64_t data_size = e.compressed_size;
  uint8_t encryption_header[kEncryptionHeader];
  if (encrypted) {
    if (e.compressed_size < kEncryptionHeader ||
        !source.ReadExact(e.data_offset, encryption_header, kEncryptionHeader)) {
      // The member's data ends inside its encryption header: damage of this
      // member that says nothing about the password.
      Report(target, kErrReadFile);
      ++failed_count_;
      PassOver(e.uncompressed_size);
      return;
    }
    if (password_failed_) {
      Report(target,
             current_password_.empty() && Passwords.empty() ? kErrEventNotAssigned
                                                            : kErrInvalidPassword,
             current_password_.empty() && Passwords.empty() ? "OnGetPassword" : "");
      ++failed_count_;
      PassOver(e.uncompressed_size);
      return;
    }
    if (!CheckPassword(encryption_header, e, target, &keys)) {
      password_failed_ = true;
      ++failed_count_;
      PassOver(e.uncompressed_size);
      return;
    }
    data_offset += kEncryptionHeader;
    data_size -= kEncryptionHeader;
  }

  // The output: a temporary file beside the target, moved into place only
  // when the member checks out; in a folder of this run, the target itself.
  platform::File out;
  std::string temp;
  bool in_place = false;
  // The marks of the file being replaced, cleared for the replace and given
  // back when the member fails.
  uint32_t cleared_marks = 0;
  uint32_t existing = 0;
  if (mode == RunMode::kExtract) {
    std::string folder = FolderPart(target);
    // A folder that this run made holds no file from before it.
    bool new_folder = PrepareFolder(folder);
    if (!new_folder && platform::GetFileAttributes(target, &existing)) {
      // A read-only file stays as it is unless the caller confirmed
      // overwrites. A confirmed overwrite also clears the system and hidden
      // marks, with which Windows refuses the replace: a file that an archive
      // marked so would otherwise block every later update.
      const bool folder_in_the_way = existing & platform::kAttrDirectory;
      const bool kept = !ConfirmOverwrites && (existing & platform::kAttrReadOnly);
      cleared_marks = ConfirmOverwrites && !folder_in_the_way ? existing & kReplaceBlockingBits : 0;
      if (folder_in_the_way || kept ||
          (cleared_marks != 0 &&
           !platform::SetFileAttributes(target, existing & ~kReplaceBlockingBits))) {
        Report(target, kErrOpenFile);
        ++failed_count_;
        PassOver(e.uncompressed_size);
        return;
      }
    }
    // A folder this run made holds nothing a failure could spoil: the member
    // is written in place, saving a rename per file on a fresh install. Not
    // over a file an earlier member of the run wrote there.
    in_place = new_folder && in_place_targets_.insert(AsciiLowerCopy(target)).second;
    if (in_place ? !out.Open(target, platform::File::Mode::kCreate)
                 : !out.CreateTemp(folder, kTempFilePrefix, &temp)) {
      if (!temp.empty()) {
        platform::DeleteFile(temp);
      }
      Report(target, kErrOpenFile);
      ++failed_count_;
      PassOver(e.uncompressed_size);
      return;
    }
    if (in_place) {
      temp = target;  // what a failure removes
    }
  }

  const uint64_t remainder_before = remainder_;
  MemberInput input(source, data_offset, data_size, keys.get());
  Sink sink(*this, mode == RunMode::kExtract ? &out : nullptr, e.uncompressed_size);
  DecodeResult result = e.method == 0
                            ? CopyStored(e.uncompressed_size, input, sink)
                            : DecodeMember(e.method, e.flags, e.uncompressed_size, input, sink);
  // Whatever the member did not deliver leaves the progress remainder.
  remainder_ = remainder_before - std::min(remainder_before, e.uncompressed_size);

  int code = 0;
  std::string reason;  // why the file could not be put in place
  switch (result.status) {
    case DecodeStatus::kOk:
      break;
    case DecodeStatus::kDataError:
      code = DataErrorCode(result.fault);
      break;
    case DecodeStatus::kInputEnded:
      // A deflate stream that has all its bytes and still no final block is
      // malformed, not cut short.
      code = IsInflateMethod(e.method) && input.exhausted() ? kErrBadBlock : kErrCrcCheck;
      break;
    case DecodeStatus::kReadError:
      code = kErrReadFile;
      break;
    case DecodeStatus::kUnsupported:
      code = kErrUnsupportedMethod;
      break;
    case DecodeStatus::kOutputStopped:
      if (cancelled_) {
        code = kErrUserCanceled;
      } else if (sink.oversize()) {
        code = kErrFileSizeDifferent;
      } else if (sink.write_error() == platform::FileError::kDiskFull) {
        code = kErrDiskFull;
      } else {
        code = kErrWriteFile;
      }
      break;
  }
  bool crc_pass = false;
  if (code == 0) {
    uint32_t crc = sink.crc();
    crc_pass = crc == e.crc || crc == ~e.crc;
    if (!crc_pass) {
      code = kErrCrcCheck;
    } else if (sink.written() != e.uncompressed_size) {
      code = kErrFileSizeDifferent;
    }
  }

  if (mode == RunMode::kExtract && code == 0) {
    platform::LocalDateTime when;
    bool have_time = true;
    switch (DateAttribute) {
      case TDateAttribute::daFileDate:
        have_time = DosToLocal(e.dos_time, &when);
        break;
      case TDateAttribute::daSysDate:
        when = platform::LocalNow();
        break;
      case TDateAttribute::daMaxFileDate:
        have_time = DosToLocal(latest_time_, &when);
        break;
    }
    if (have_time) {
      out.SetLastWriteTime(when);
    }
    out.Close();
    if (code == 0 && !in_place && !platform::ReplaceFile(temp, target)) {
      code = kErrOpenFile;
      reason = platform::FileErrorText(platform::LastFileError());
    }
  }
  if (mode == RunMode::kExtract) {
    out.Close();
    if (code != 0) {
      platform::DeleteFile(temp);
      if (cleared_marks != 0) {
        platform::SetFileAttributes(target, existing);  // the old file stays as it was
      }
    }
  }
  if (code != 0) {
    Report(target, code, reason);
    ++failed_count_;
    TriggerEnd(target, false);
    return;
  }
  if (mode == RunMode::kExtract) {
    installed_.push_back({target, InstalledAttributes(attributes)});
  }
  ++extracted_count_;
  TriggerEnd(target, true);
}

}  // namespace qm::zip
