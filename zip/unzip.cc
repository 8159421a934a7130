#include "zip/unzip.h"

#include <algorithm>
#include <cassert>
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
    int64_t got = source_.ReadAt(offset_, buffer, want);
    if (got <= 0) {
      return got;
    }
    if (keys_) {
      keys_->Decrypt(buffer, static_cast<size_t>(got));
    }
    offset_ += static_cast<uint64_t>(got);
    remaining_ -= static_cast<uint64_t>(got);
    return got;
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
    int64_t got = input.Read(buffer.data(), want);
    if (got < 0) {
      result.status = DecodeStatus::kReadError;
      return result;
    }
    if (got == 0) {
      result.status = DecodeStatus::kInputEnded;
      return result;
    }
    result.consumed += static_cast<uint64_t>(got);
    if (!output.Write(buffer.data(), static_cast<size_t>(got))) {
      result.status = DecodeStatus::kOutputStopped;
      return result;
    }
    result.produced += static_cast<uint64_t>(got);
    remaining -= static_cast<uint64_t>(got);
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

// The time an installed file gets; false when it keeps the time of its
// writing (a DOS time that names no real moment).
bool InstalledTime(TDateAttribute choice,
                   uint32_t member_time,
                   uint32_t latest_time,
                   platform::LocalDateTime* when) {
  switch (choice) {
    case TDateAttribute::daFileDate:
      return DosToLocal(member_time, when);
    case TDateAttribute::daSysDate:
      *when = platform::LocalNow();
      return true;
    case TDateAttribute::daMaxFileDate:
      return DosToLocal(latest_time, when);
  }
  return true;
}

// SkipMember's code for a member whose failure was reported already.
constexpr int kReportedAlready = 0;

}  // namespace

// What one file member's extraction needs and produces, handed from the
// prepare step through decoding to the install.
struct TUnZip::MemberJob {
  explicit MemberJob(const MemberEntry& member) : entry(member) {}

  const MemberEntry& entry;
  // Where the file goes; every report on the member names it.
  std::string target;
  // The compressed data, behind the encryption header if there is one.
  uint64_t data_offset = 0;
  uint64_t data_size = 0;
  std::unique_ptr<ZipCrypto> keys;  // only for an encrypted member

  // Extraction only. The file being written: a temporary file beside the
  // target, or the target itself in a folder of this run (in_place).
  platform::File out;
  std::string out_path;  // what a failure removes
  bool in_place = false;
  // The attributes of the file being replaced, and the marks cleared for the
  // replace, which a failed member gives back.
  uint32_t existing_attributes = 0;
  uint32_t cleared_marks = 0;

  // The outcome: 0 when the member checked out (and was put in place), else
  // the code to report, with reason saying why a file could not be placed.
  int code = 0;
  std::string reason;
};

// Receives the decoded bytes of one member: CRC, size limit, output file,
// progress and cancel. The run's remainder is the owner's to settle once the
// member is done.
class TUnZip::Sink : public OutputSink {
 public:
  Sink(TUnZip& owner, platform::File* file, uint64_t expected_size)
      : owner_(owner), file_(file), expected_size_(expected_size) {}

  bool Write(const uint8_t* data, size_t size) override {
    assert(written_ <= expected_size_);
    if (owner_.run_.cancelled) {
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
    owner_.Progress(written_, expected_size_);
    return !owner_.run_.cancelled;
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
  return !run_.archive_failed && !run_.sync_failed && run_.failed_count == 0 && !run_.cancelled;
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
  if (run_.cancelled) {
    code = kErrUserCanceled;
  }
  ++run_.error_count;
  uint32_t start = platform::TickCount();
  TriggerError(file_name, extended_msg, "0", code);
  // The stopwatch does not count the time spent in the handler.
  run_.pause_ticks += platform::TickCount() - start;
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
  assert(member_done <= member_size);
  assert(run_.remainder <= run_.total_size);
  const uint8_t by_file = Percent(member_done, member_size);
  const uint64_t left = run_.remainder - std::min(run_.remainder, member_done);
  const uint8_t by_archive = Percent(run_.total_size - left, run_.total_size);
  // The host keeps painting and its links stay clickable while we work.
  platform::ProcessMessages();
  TriggerProgress(by_file, by_archive);
}

void TUnZip::PassOver(uint64_t size) {
  run_.remainder -= std::min(run_.remainder, size);
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
  run_ = RunState{};
  if (CpuType == TCpuType::cpt80486) {
    CpuType = TCpuType::cptAuto;
  }

  const std::string remembered = archive_file_;
  if (archive_file_.empty()) {
    Report(archive_file_, kErrFileNotFound);
    run_.archive_failed = true;
    return 0;
  }
  TriggerActivate();
  FileSource source;
  if (!source.Open(archive_file_)) {
    Report(archive_file_, kErrOpenFile);
    run_.archive_failed = true;
    TriggerDeactivate();
    return 0;
  }
  uint32_t start_ticks = platform::TickCount();
  // The file may have changed since it was assigned.
  recognition_ = RecognizeArchive(source, archive_file_);
  if (!IsZipType(recognition_.type)) {
    Report(archive_file_, kErrUnsupportedArchive);
    run_.archive_failed = true;
  } else {
    const std::vector<MemberEntry> members = SelectMembers(source, mode);
    for (const MemberEntry& member : members) {
      if (static_cast<int32_t>(member.dos_time) > static_cast<int32_t>(run_.latest_time)) {
        run_.latest_time = member.dos_time;
      }
      run_.total_size += member.uncompressed_size;
    }
    run_.remainder = run_.total_size;
    for (const MemberEntry& member : members) {
      if (run_.cancelled) {
        break;
      }
      if (mode == RunMode::kList) {
        listing->push_back(ListingInfo(member));
      } else {
        MemberStep(source, member, mode);
      }
    }
  }
  source.Close();
  // Until the flush, the installed files are the files the run counted.
  assert(run_.installed.size() ==
         (mode == RunMode::kExtract ? static_cast<size_t>(run_.extracted_count) : 0));
  FinishInstalledFiles();
  if (OnElapsedTime) {
    uint32_t ticks = platform::TickCount() - start_ticks - run_.pause_ticks;
    TriggerElapsedTime(static_cast<float>(ticks) / 1000.0f);
  }
  TriggerDeactivate();
  archive_file_ = remembered;
  return run_.extracted_count;
}

std::vector<MemberEntry> TUnZip::SelectMembers(ArchiveSource& source, RunMode mode) {
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
        ++run_.failed_count;
      },
      [this] { return run_.cancelled; });
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
    run_.archive_failed = true;
    if (mode != RunMode::kList) {
      catalog.members.clear();
    }
  } else if (damaged) {
    // Members may be missing: the caller must not take the archive as whole.
    Report(archive_file_, kErrHeaderNotFound);
    run_.archive_failed = true;
  }
  if (mode == RunMode::kExtract && !catalog.members.empty() && !RoomFor(catalog.members)) {
    Report(extract_dir_, kErrNotEnoughSpace);
    run_.archive_failed = true;
    catalog.members.clear();
  }
  return std::move(catalog.members);
}

TZipMemberInfo TUnZip::ListingInfo(const MemberEntry& entry) const {
  TZipMemberInfo info;
  info.name = ConvertName(entry.raw_name, entry.flags);
  info.method = entry.method;
  info.flags = entry.flags;
  info.compressed_size = entry.compressed_size;
  info.uncompressed_size = entry.uncompressed_size;
  info.crc = entry.crc;
  info.dos_time = entry.dos_time;
  info.attributes = entry.external_attributes;
  info.encrypted = entry.flags & kFlagEncrypted;
  info.directory = IsDirectoryMember(info.name, entry.external_attributes);
  return info;
}

std::string TUnZip::Refusal(const Catalog& catalog) const {
  if (catalog.too_many) {
    return "more than " + std::to_string(MaxMembers) + " members";
  }
  if (MembersOverlap(catalog)) {
    return "members share their data";
  }
  if (MaxExpansionRatio != 0) {
    for (const MemberEntry& member : catalog.members) {
      // uncompressed > ratio * compressed, without overflowing.
      const uint64_t whole = member.uncompressed_size / MaxExpansionRatio;
      if (whole > member.compressed_size ||
          (whole == member.compressed_size && member.uncompressed_size % MaxExpansionRatio != 0)) {
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
  for (const MemberEntry& member : members) {
    total = SaturatedAdd(total, member.uncompressed_size);
  }
  if (total <= free) {
    return true;
  }
  // A replaced file gives its room back when the new one takes its place:
  // what counts is what each file grows by, and room for the largest new
  // file beside its old version while it is written.
  uint64_t growth = 0;
  uint64_t beside = 0;
  for (const MemberEntry& member : members) {
    const std::string stored = StripRootPrefix(ConvertName(member.raw_name, member.flags));
    const std::string target = TargetPath(extract_dir_, UseStoredDirs, stored);
    uint64_t old_size = 0;
    platform::File old;
    if (platform::FileExists(target) && old.Open(target, platform::File::Mode::kRead)) {
      old_size = static_cast<uint64_t>(std::max<int64_t>(old.Size(), 0));
    }
    growth = SaturatedAdd(growth,
                          member.uncompressed_size - std::min(old_size, member.uncompressed_size));
    beside = std::max(beside, std::min(old_size, member.uncompressed_size));
  }
  return SaturatedAdd(growth, beside) <= free;
}

void TUnZip::FinishInstalledFiles() {
  std::vector<InstalledFile> installed;
  installed.swap(run_.installed);
  if (SyncFiles && !installed.empty()) {
    std::vector<std::string> paths;
    paths.reserve(installed.size());
    for (const InstalledFile& file : installed) {
      paths.push_back(file.path);
    }
    if (!platform::FlushToDisk(paths)) {
      run_.sync_failed = true;
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
  TriggerBegin(*target, run_.extracted_count, extract);
  if (!extract || run_.cancelled) {
    return false;
  }
  if (!ConfirmOverwrites) {
    // omSkip keeps files that are there already.
    return OverwriteMode == TOverwriteMode::omOverwrite || !platform::FileExists(*target);
  }
  TOverwriteMode mode = TOverwriteMode::omOverwrite;
  std::string current = *target;
  if (!OnFileExists && platform::FileExists(current)) {
    // Not installed: a failure, not a member passed over by choice.
    Report(current, kErrEventNotAssigned, "OnFileExists");
    ++run_.failed_count;
    return false;
  }
  while (!run_.cancelled && mode != TOverwriteMode::omSkip && platform::FileExists(current)) {
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
  if (run_.cancelled || mode != TOverwriteMode::omOverwrite) {
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
  if (fits(run_.current_password)) {
    return true;
  }
  for (const std::string& password : Passwords) {
    run_.current_password = password;
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
  for (int attempt = 0; attempt < PasswordAttempts && !run_.cancelled; ++attempt) {
    std::string password = run_.current_password;
    bool try_again = true;
    TriggerGetPassword(target, password, try_again);
    if (!try_again) {
      Report(target, kErrInvalidPassword);
      return false;
    }
    if (fits(password)) {
      run_.current_password = password;
      Passwords.insert(Passwords.begin(), password);
      return true;
    }
    run_.current_password.clear();
    Report(target, kErrInvalidPassword);
  }
  return false;
}

bool TUnZip::PrepareFolder(const std::string& folder) {
  auto known = run_.prepared_folders.find(folder);
  if (known != run_.prepared_folders.end()) {
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
  run_.prepared_folders[folder] = !existed;
  return !existed;
}

void TUnZip::MemberStep(ArchiveSource& source, const MemberEntry& entry, RunMode mode) {
  MemberJob job(entry);
  // A drive or a leading "\\" is dropped, as Info-ZIP does: the member lands
  // below the extraction folder.
  const std::string stored = StripRootPrefix(ConvertName(entry.raw_name, entry.flags));
  if (!IsSafeStoredName(stored)) {
    job.target = stored;  // no target to name: the report gives the member's name
    SkipMember(job, kErrInvalidFileName);
    return;
  }
  UseDefaultExtractDir();
  job.target = TargetPath(extract_dir_, UseStoredDirs, stored);
  if (IsDirectoryMember(stored, entry.external_attributes)) {
    if (mode == RunMode::kExtract) {
      MakeStoredFolder(job.target);
    }
    return;
  }
  if (mode == RunMode::kExtract && !BeginCheck(&job.target)) {
    PassOver(entry.uncompressed_size);  // the caller's choice, not a failure
    return;
  }
  if (!PrepareMember(source, mode, job)) {
    return;
  }
  DecodeMemberData(source, mode, job);
  InstallMember(mode, job);
}

void TUnZip::SkipMember(const MemberJob& job, int code, const std::string& extended_msg) {
  if (code != kReportedAlready) {
    Report(job.target, code, extended_msg);
  }
  ++run_.failed_count;
  // Its bytes still count as done, so the archive's progress reaches the end.
  PassOver(job.entry.uncompressed_size);
}

// A folder entry makes its folder only when stored folders are asked for;
// it is never counted as an installed file.
void TUnZip::MakeStoredFolder(const std::string& target) {
  if (!CreateStoredDirs || !UseStoredDirs) {
    return;
  }
  const std::string folder = FolderPart(target);
  const bool existed = run_.prepared_folders.count(folder) || platform::DirectoryExists(folder);
  if (existed) {
    return;
  }
  if (!platform::CreateDirectories(folder)) {
    Report(folder, kErrOpenFile);
    ++run_.failed_count;
    return;
  }
  run_.prepared_folders[folder] = true;  // holds nothing from before this run
}

// Everything a file member needs before its data is read: a method we can
// decode, the password, and (when extracting) the output file.
bool TUnZip::PrepareMember(ArchiveSource& source, RunMode mode, MemberJob& job) {
  const MemberEntry& entry = job.entry;
  // No password is asked for a member that cannot be decoded anyway.
  if (!IsSupportedMethod(entry.method) && entry.method != 0) {
    SkipMember(job, kErrUnsupportedMethod);
    return false;
  }
  job.data_offset = entry.data_offset;
  job.data_size = entry.compressed_size;
  if ((entry.flags & kFlagEncrypted) && !UnlockMember(source, job)) {
    return false;
  }
  return mode != RunMode::kExtract || OpenOutput(job);
}

// Finds the password that fits the member and steps over its encryption
// header.
bool TUnZip::UnlockMember(ArchiveSource& source, MemberJob& job) {
  const MemberEntry& entry = job.entry;
  uint8_t header[kEncryptionHeader];
  if (entry.compressed_size < kEncryptionHeader ||
      !source.ReadExact(entry.data_offset, header, kEncryptionHeader)) {
    // The member's data ends inside its encryption header: damage of this
    // member that says nothing about the password.
    SkipMember(job, kErrReadFile);
    return false;
  }
  if (run_.password_failed) {
    // No password fitted an earlier member: the user is not asked once per file.
    const bool none_given = !OnGetPassword && run_.current_password.empty() && Passwords.empty();
    SkipMember(job, none_given ? kErrEventNotAssigned : kErrInvalidPassword,
               none_given ? "OnGetPassword" : "");
    return false;
  }
  if (!CheckPassword(header, entry, job.target, &job.keys)) {
    run_.password_failed = true;
    SkipMember(job, kReportedAlready);
    return false;
  }
  assert(job.keys);
  job.data_offset += kEncryptionHeader;
  job.data_size -= kEncryptionHeader;
  return true;
}

// The output: a temporary file beside the target, moved into place only
// when the member checks out; in a folder of this run, the target itself.
bool TUnZip::OpenOutput(MemberJob& job) {
  const std::string folder = FolderPart(job.target);
  // A folder that this run made holds no file from before it.
  const bool new_folder = PrepareFolder(folder);
  if (!new_folder && platform::GetFileAttributes(job.target, &job.existing_attributes)) {
    // A read-only file stays as it is unless the caller confirmed
    // overwrites. A confirmed overwrite also clears the system and hidden
    // marks, with which Windows refuses the replace: a file that an archive
    // marked so would otherwise block every later update.
    const uint32_t existing = job.existing_attributes;
    const bool folder_in_the_way = existing & platform::kAttrDirectory;
    const bool kept = !ConfirmOverwrites && (existing & platform::kAttrReadOnly);
    job.cleared_marks =
        ConfirmOverwrites && !folder_in_the_way ? existing & kReplaceBlockingBits : 0;
    if (folder_in_the_way || kept ||
        (job.cleared_marks != 0 &&
         !platform::SetFileAttributes(job.target, existing & ~kReplaceBlockingBits))) {
      SkipMember(job, kErrOpenFile);
      return false;
    }
  }
  // A folder this run made holds nothing a failure could spoil: the member
  // is written in place, saving a rename per file on a fresh install. Not
  // over a file an earlier member of the run wrote there.
  job.in_place = new_folder && run_.in_place_targets.insert(AsciiLowerCopy(job.target)).second;
  const bool opened = job.in_place ? job.out.Open(job.target, platform::File::Mode::kCreate)
                                   : job.out.CreateTemp(folder, kTempFilePrefix, &job.out_path);
  if (!opened) {
    if (!job.out_path.empty()) {
      platform::DeleteFile(job.out_path);
    }
    // The old file stays, and so do its marks.
    if (job.cleared_marks != 0) {
      platform::SetFileAttributes(job.target, job.existing_attributes);
    }
    SkipMember(job, kErrOpenFile);
    return false;
  }
  if (job.in_place) {
    job.out_path = job.target;
  }
  // Marks are cleared only on a file that stays until the replace.
  assert(job.cleared_marks == 0 || !job.in_place);
  return true;
}

// Decodes the member into its output (into nothing in a test run) and sets
// job.code to what went wrong; 0 when its size and CRC check out.
void TUnZip::DecodeMemberData(ArchiveSource& source, RunMode mode, MemberJob& job) {
  const MemberEntry& entry = job.entry;
  assert(static_cast<bool>(job.keys) == static_cast<bool>(entry.flags & kFlagEncrypted));
  assert(job.out.is_open() == (mode == RunMode::kExtract));
  MemberInput input(source, job.data_offset, job.data_size, job.keys.get());
  Sink sink(*this, mode == RunMode::kExtract ? &job.out : nullptr, entry.uncompressed_size);
  const DecodeResult result =
      entry.method == 0
          ? CopyStored(entry.uncompressed_size, input, sink)
          : DecodeMember(entry.method, entry.flags, entry.uncompressed_size, input, sink);
  // Done with the member: what it did not deliver leaves the remainder too.
  run_.remainder -= std::min(run_.remainder, entry.uncompressed_size);

  switch (result.status) {
    case DecodeStatus::kOk:
      break;
    case DecodeStatus::kDataError:
      job.code = DataErrorCode(result.fault);
      if (result.reason != nullptr) {
        job.reason = result.reason;
      }
      break;
    case DecodeStatus::kInputEnded:
      // A deflate stream that has all its bytes and still no final block is
      // malformed, not cut short.
      if (IsInflateMethod(entry.method) && input.exhausted()) {
        job.code = kErrBadBlock;
        job.reason = "stream ends without its final block";
      } else {
        job.code = kErrCrcCheck;
      }
      break;
    case DecodeStatus::kReadError:
      job.code = kErrReadFile;
      break;
    case DecodeStatus::kUnsupported:
      job.code = kErrUnsupportedMethod;
      break;
    case DecodeStatus::kOutputStopped:
      if (run_.cancelled) {
        job.code = kErrUserCanceled;
      } else if (sink.oversize()) {
        job.code = kErrFileSizeDifferent;
      } else if (sink.write_error() == platform::FileError::kDiskFull) {
        job.code = kErrDiskFull;
      } else {
        job.code = kErrWriteFile;
      }
      break;
  }
  if (job.code == 0) {
    const uint32_t crc = sink.crc();
    if (crc != entry.crc && crc != ~entry.crc) {
      job.code = kErrCrcCheck;
    } else if (sink.written() != entry.uncompressed_size) {
      job.code = kErrFileSizeDifferent;
    }
  }
}

// Puts a member that checked out in place and counts it; a failed member's
// output goes, and the file it would have replaced stays as it was.
void TUnZip::InstallMember(RunMode mode, MemberJob& job) {
  if (mode == RunMode::kExtract) {
    assert(!job.out_path.empty() && job.in_place == (job.out_path == job.target));
    platform::LocalDateTime when;
    if (job.code == 0 &&
        InstalledTime(DateAttribute, job.entry.dos_time, run_.latest_time, &when)) {
      job.out.SetLastWriteTime(when);
    }
    job.out.Close();
    if (job.code == 0 && !job.in_place && !platform::ReplaceFile(job.out_path, job.target)) {
      job.code = kErrOpenFile;
      job.reason = platform::FileErrorText(platform::LastFileError());
    }
    if (job.code != 0) {
      platform::DeleteFile(job.out_path);
      if (job.cleared_marks != 0) {
        platform::SetFileAttributes(job.target, job.existing_attributes);
      }
    }
  }
  if (job.code != 0) {
    Report(job.target, job.code, job.reason);
    ++run_.failed_count;
    TriggerEnd(job.target, false);
    return;
  }
  if (mode == RunMode::kExtract) {
    // A member found by its local header alone has no attributes to give.
    const uint32_t attributes = job.entry.from_central ? job.entry.external_attributes : 0;
    run_.installed.push_back({job.target, InstalledAttributes(attributes)});
  }
  ++run_.extracted_count;
  TriggerEnd(job.target, true);
}

}  // namespace qm::zip
