// The member path of the update run: an archive whose content index the
// manifest vouches for is brought up to date by fetching only the members
// whose installed files differ from it, each checked before it is
// installed; and the local record of what is installed.
#include <algorithm>
#include <exception>

#include "http/http_cli.h"
#include "platform/file_system.h"
#include "platform/message_loop.h"
#include "platform/sha256.h"
#include "update/archive_sources.h"
#include "update/byte_ranges.h"
#include "update/debris.h"
#include "update/integrity_format.h"
#include "update/local_header.h"
#include "update/member_spans.h"
#include "update/members_zip.h"
#include "update/span_store.h"
#include "update/update_run.h"
#include "util/ascii.h"
#include "util/hex.h"
#include "util/string_helpers.h"
#include "util/texts.h"
#include "zip/member_names.h"

namespace qm::update {
namespace {

constexpr int64_t kMaxIndexSize = int64_t{16} << 20;
constexpr size_t kCopyBlock = size_t{1} << 20;
// More members than an archive without zip64 records holds.
constexpr size_t kMaxMembersZipCount = 65535;
constexpr uint64_t kMaxMembersZipSize = uint64_t{0xFFFFFFFF} - (uint64_t{64} << 20);

// A reply kept in memory, refused past its limit.
class MemoryStream : public http::ReceiveStream {
 public:
  explicit MemoryStream(size_t limit) : limit_(limit) {}
  bool Write(const char* data, size_t size) override {
    if (bytes.size() + size > limit_) {
      return false;
    }
    bytes.append(data, size);
    return true;
  }
  std::string bytes;

 private:
  size_t limit_;
};

// A header of the reply as it was sent (the boundary's case matters).
std::string HeaderValue(const std::vector<std::string>& lines, const std::string& name) {
  for (const std::string& line : lines) {
    const size_t colon = line.find(':');
    if (colon != std::string::npos && AsciiLowerCopy(Trim(line.substr(0, colon))) == name) {
      return Trim(line.substr(colon + 1));
    }
  }
  return {};
}

// Where the member would be installed below folder (given without its
// trailing "\"), as the extractor names it; empty for a folder member.
std::string MemberTarget(const std::string& folder, const IndexEntry& entry) {
  const std::string stored = zip::StripRootPrefix(zip::StoredName(entry.name));
  if (stored.empty() || stored.back() == '\\') {
    return {};
  }
  return zip::TargetPath(folder + "\\", true, stored);
}

bool IsSafeMember(const IndexEntry& entry) {
  return zip::IsSafeStoredName(zip::StripRootPrefix(zip::StoredName(entry.name)));
}

}  // namespace

LocalRecord& UpdateRun::Record() {
  if (!record_) {
    record_ = LocalRecord::Load(state_.AppDir);
  }
  return *record_;
}

std::string UpdateRun::RecordPath(const std::string& target) const {
  const std::string prefix = state_.AppDir + "\\";
  if (target.size() <= prefix.size() ||
      AsciiLowerCopy(target.substr(0, prefix.size())) != AsciiLowerCopy(prefix)) {
    return {};
  }
  return target.substr(prefix.size());
}

bool UpdateRun::InstalledMatches(const std::string& target,
                                 const IndexEntry& entry,
                                 bool trust_record) {
  const std::optional<FileStamp> stamp = StampOf(target);
  if (!stamp || static_cast<uint64_t>(stamp->size) != entry.size) {
    return false;
  }
  const std::string path = RecordPath(target);
  const RecordedFile* recorded = path.empty() ? nullptr : Record().Find(path);
  if (trust_record && recorded != nullptr && recorded->size == stamp->size &&
      recorded->modified == stamp->modified) {
    return recorded->sha256 == entry.sha256;
  }
  const std::optional<std::string> sha256 = HashFile(target, &verify_stats_.bytes_hashed);
  if (!sha256) {
    return false;
  }
  if (!path.empty()) {
    Record().Set(path, {stamp->size, stamp->modified, *sha256});
  }
  return *sha256 == entry.sha256;
}

void UpdateRun::RecordMembers(const std::vector<IndexEntry>& index, const std::string& folder) {
  for (const IndexEntry& entry : index) {
    const std::string target = IsSafeMember(entry) ? MemberTarget(folder, entry) : std::string();
    const std::string path = target.empty() ? std::string() : RecordPath(target);
    if (path.empty()) {
      continue;
    }
    const std::optional<FileStamp> stamp = StampOf(target);
    if (stamp && static_cast<uint64_t>(stamp->size) == entry.size) {
      Record().Set(path, {stamp->size, stamp->modified, entry.sha256});
    } else {
      Record().Erase(path);
    }
  }
  // A record that cannot be written costs the next run a re-hash, no more.
  Record().Save(state_.AppDir);
}

bool UpdateRun::FetchIndex(const std::vector<ArchiveSource>& sources,
                           const std::string& index_sha256,
                           std::vector<IndexEntry>* index) {
  for (const ArchiveSource& source : sources) {
    if (dead_sources_.count(source.base) != 0) {
      continue;
    }
    std::string text;
    if (!FetchText(source.url + kIndexSuffix, {kMaxIndexSize, 0}, &text)) {
      if (Cancelled()) {
        return false;
      }
      continue;
    }
    if (HexOf(platform::Sha256Of(text)) != index_sha256) {
      continue;  // another mirror may hold the right one
    }
    try {
      *index = ParseIndex(text);
      return true;
    } catch (const std::exception&) {
      return false;  // vouched for by the manifest, yet unreadable
    }
  }
  return false;
}

UpdateRun::RangeReply UpdateRun::RequestRanges(const std::string& url,
                                               const std::vector<ByteSpan>& request,
                                               uint64_t archive_size,
                                               SpanStore& store) {
  RangeReply reply;
  uint64_t wanted = 0;
  for (const ByteSpan& span : request) {
    wanted += span.size();
  }
  // The parts' own headers come on top of the bytes asked for.
  MemoryStream body(static_cast<size_t>(wanted) + 4096 + 256 * request.size());
  if (request.size() == 1) {
    http_.ContentRangeBegin = std::to_string(request[0].first);
    http_.ContentRangeEnd = std::to_string(request[0].end - 1);
  } else {
    http_.ContentRanges = RangeSetText(request);
  }
  const bool received = Transfer(url, body);
  http_.ContentRangeBegin.clear();
  http_.ContentRangeEnd.clear();
  http_.ContentRanges.clear();
  if (Cancelled()) {
    reply.kind = RangeReply::kCancelled;
    return reply;
  }
  const int status = http_.ReplyStatusCode();
  if (status == 200) {
    reply.kind = RangeReply::kWholeArchive;  // the server does not serve ranges
    return reply;
  }
  if (status != 206) {
    reply.reason = http_.ReasonPhrase();
    return reply;
  }
  const std::string boundary =
      ByteRangesBoundary(HeaderValue(http_.ReceivedHeader(), "content-type"));
  std::vector<RangePart> parts;
  if (!boundary.empty()) {
    parts = ParseByteRanges(body.bytes, boundary);
  } else if (http_.ContentRangeFirst() >= 0 && http_.ContentRangeTotal() >= 0) {
    reply.single = true;
    parts.push_back({static_cast<uint64_t>(http_.ContentRangeFirst()),
                     static_cast<uint64_t>(http_.ContentRangeTotal()), 0, body.bytes.size()});
  }
  for (const RangePart& part : parts) {
    if (part.total != archive_size) {
      reply.reason = "the archive changed on the server";
      return reply;
    }
    const int64_t stored = store.Accept(part.first, body.bytes.data() + part.at, part.size);
    if (stored < 0) {
      reply.kind = RangeReply::kStorageFailed;
      reply.reason = "the fetched members could not be stored in the Temp folder";
      return reply;
    }
    reply.stored += static_cast<uint64_t>(stored);
  }
  if (received && reply.stored > 0) {
    reply.kind = RangeReply::kDone;
  } else if (reply.reason.empty()) {
    reply.reason =
        received ? "the reply brought none of the ranges asked for" : "the transfer broke off";
  }
  return reply;
}

UpdateRun::MemberResult UpdateRun::FetchSpans(const std::vector<ArchiveSource>& sources,
                                              uint64_t archive_size,
                                              SpanStore& store) {
  bool multi_range = true;
  std::vector<int> failures(sources.size(), 0);
  std::string last_reason;
  std::string last_url;
  for (;;) {
    const std::vector<ByteSpan> missing = store.Missing();
    if (missing.empty()) {
      return MemberResult::kInstalled;
    }
    size_t k = 0;
    while (k < sources.size() &&
           (failures[k] >= kMaxAttemptsPerSource || dead_sources_.count(sources[k].base) != 0)) {
      ++k;
    }
    if (k == sources.size()) {
      transfer_error_ = last_url;
      transfer_error_ += ": ";
      transfer_error_ += last_reason;
      state_.TransferStatus = kTransferFailed;
      return MemberResult::kFailed;
    }
    bool progressed = false;
    bool failed = false;
    for (const std::vector<ByteSpan>& request : PlanRequests(missing, multi_range)) {
      const RangeReply reply = RequestRanges(sources[k].url, request, archive_size, store);
      progressed = progressed || reply.stored > 0;
      switch (reply.kind) {
        case RangeReply::kWholeArchive:
          return MemberResult::kWholeArchive;
        case RangeReply::kCancelled:
          return MemberResult::kFailed;
        case RangeReply::kStorageFailed:
          transfer_error_ = sources[k].url + ": " + reply.reason;
          state_.TransferStatus = kTransferFailed;
          return MemberResult::kFailed;
        case RangeReply::kDone:
          break;
        case RangeReply::kFailed:
          failed = true;
          last_url = sources[k].url;
          last_reason = reply.reason;
          break;
      }
      // A server that answers several ranges with one span gets one range a
      // request from now on.
      if (reply.single && request.size() > 1) {
        multi_range = false;
      }
      if (failed) {
        break;
      }
    }
    if (failed && !progressed) {
      ++failures[k];
      ShowStatus(texts::kRetryingFromAnotherServer);
      const bool waited = WaitBeforeRetry(transfer_.retry_delay_s);
      ShowStatus(row_status_);
      if (!waited) {
        return MemberResult::kFailed;
      }
    }
  }
}

bool UpdateRun::BuildMembersZip(const std::vector<IndexEntry>& index,
                                const std::vector<size_t>& changed,
                                const std::vector<ByteSpan>& spans,
                                SpanStore& store,
                                const std::string& path) {
  MembersZip zip;
  if (!zip.Create(path)) {
    return false;
  }
  for (size_t k : changed) {
    const IndexEntry& entry = index[k];
    const ByteSpan& span = spans[k];
    std::string fixed;
    if (span.size() < kLocalHeaderSize || !store.Read(span.first, kLocalHeaderSize, &fixed)) {
      return false;
    }
    const uint64_t name_and_extra =
        (static_cast<uint8_t>(fixed[26]) | (static_cast<uint8_t>(fixed[27]) << 8)) +
        (static_cast<uint8_t>(fixed[28]) | (static_cast<uint8_t>(fixed[29]) << 8));
    std::string head;
    if (kLocalHeaderSize + name_and_extra > span.size() ||
        !store.Read(span.first, static_cast<size_t>(kLocalHeaderSize + name_and_extra), &head)) {
      return false;
    }
    const std::optional<LocalHeader> header = ParseLocalHeader(head);
    if (!header || !HeaderProblem(*header, entry).empty()) {
      return false;
    }
    const uint64_t data_end = span.first + header->HeaderSize() + entry.compressed_size;
    std::string four;
    if (header->HasDescriptor() && !store.Read(data_end, 4, &four)) {
      return false;
    }
    const uint64_t record_size = data_end + DescriptorSize(*header, four) - span.first;
    if (record_size > span.size()) {
      return false;
    }
    for (uint64_t done = 0; done < record_size;) {
      const size_t block = static_cast<size_t>(std::min<uint64_t>(kCopyBlock, record_size - done));
      std::string bytes;
      if (!store.Read(span.first + done, block, &bytes) || !zip.AddRecord(bytes)) {
        return false;
      }
      done += block;
    }
    zip.EndMember(entry, *header);
  }
  return zip.Finish();
}

bool UpdateRun::MembersCheckOut(const std::vector<IndexEntry>& index,
                                const std::vector<size_t>& changed,
                                const std::string& members_zip,
                                const std::string& check_folder) {
  RemoveTree(check_folder);
  platform::CreateDirectory(check_folder);
  bool sound = Unpack(members_zip, check_folder + "\\");
  for (size_t k = 0; sound && k < changed.size(); ++k) {
    const IndexEntry& entry = index[changed[k]];
    uint64_t hashed = 0;
    const std::optional<std::string> sha256 = HashFile(MemberTarget(check_folder, entry), &hashed);
    sound = sha256 && *sha256 == entry.sha256;
  }
  RemoveTree(check_folder);
  unpack_error_.clear();
  return sound;
}

UpdateRun::MemberResult UpdateRun::InstallMembers(const std::string& url,
                                                  const std::string& name,
                                                  const std::string& folder,
                                                  MemberMode mode) {
  member_index_.reset();
  changed_members_ = 0;
  const bool update = mode == MemberMode::kUpdate;
  const std::string key = ArchiveKey(download_base_, url);
  const std::optional<ArchiveHash> line = archive_hashes_.Line(key);
  if (!line || line->index_sha256.empty()) {
    return update ? MemberResult::kWholeArchive : MemberResult::kNoIndex;
  }
  if (update && line->size < kMinMemberPathArchive) {
    return MemberResult::kWholeArchive;
  }
  const std::vector<ArchiveSource> sources =
      ArchiveSources(server_, chosen_mirror_, url, default_base_url_);
  std::vector<IndexEntry> index;
  if (!FetchIndex(sources, line->index_sha256, &index)) {
    if (Cancelled()) {
      return MemberResult::kFailed;
    }
    return update ? MemberResult::kWholeArchive : MemberResult::kIndexUnavailable;
  }
  member_index_ = index;
  const std::vector<ByteSpan> spans = MemberSpans(index, line->size);
  std::vector<size_t> changed;
  uint64_t changed_bytes = 0;
  for (size_t k = 0; k < index.size(); ++k) {
    if (!IsSafeMember(index[k])) {
      return MemberResult::kWholeArchive;  // the extractor refuses it as today
    }
    const std::string target = MemberTarget(folder, index[k]);
    if (target.empty()) {
      continue;
    }
    ++verify_stats_.files_checked;
    // Hashing a large install takes a while: the window stays responsive
    // and a Cancel is seen.
    if (k % 16 == 0) {
      platform::ProcessMessages();
      if (Cancelled()) {
        return MemberResult::kFailed;
      }
    }
    if (InstalledMatches(target, index[k], mode != MemberMode::kVerify)) {
      continue;
    }
    if (spans[k].size() == 0) {
      return MemberResult::kWholeArchive;
    }
    changed.push_back(k);
    changed_bytes += spans[k].size();
  }
  if (Cancelled()) {
    return MemberResult::kFailed;
  }
  changed_members_ = changed.size();
  if (changed.empty()) {
    RecordMembers(index, folder);
    return MemberResult::kInstalled;
  }
  if (changed_bytes * 100 > line->size * kMemberPathMaxPercent ||
      changed.size() > kMaxMembersZipCount || changed_bytes > kMaxMembersZipSize) {
    return MemberResult::kWholeArchive;
  }
  std::vector<ByteSpan> wanted;
  wanted.reserve(changed.size());
  for (size_t k : changed) {
    wanted.push_back(spans[k]);
  }
  const std::string temp = TempFolder(state_.AppDir);
  platform::CreateDirectory(temp);
  const std::string members_zip = temp + "\\" + name + kMembersZipSuffix;
  bool check_failed = false;
  // Fetches the spans from these sources into a zip of their own and
  // checks each member against the index.
  const auto fetch_and_check = [&](const std::vector<ArchiveSource>& from,
                                   const std::string& spans_file) {
    SpanStore store(spans_file, CoalesceSpans(wanted));
    if (!store.Open()) {
      return MemberResult::kWholeArchive;
    }
    const MemberResult fetched = FetchSpans(from, line->size, store);
    if (fetched != MemberResult::kInstalled) {
      return fetched;
    }
    if (BuildMembersZip(index, changed, spans, store, members_zip) &&
        MembersCheckOut(index, changed, members_zip, temp + "\\" + name + kMembersCheckSuffix)) {
      return MemberResult::kInstalled;
    }
    platform::DeleteFile(members_zip);
    check_failed = true;
    return Cancelled() ? MemberResult::kFailed : MemberResult::kWholeArchive;
  };
  MemberResult checked = fetch_and_check(sources, temp + "\\" + name + kMemberSpansSuffix);
  if (check_failed && checked == MemberResult::kWholeArchive && sources.size() > 1) {
    // A member that does not read or does not hash as the index says is
    // never installed: its spans once more from the next source (a mirror
    // may hold a damaged copy), then the whole archive, checked against
    // the manifest, takes over.
    const std::vector<ArchiveSource> others(sources.begin() + 1, sources.end());
    checked = fetch_and_check(others, temp + "\\" + name + ".again" + kMemberSpansSuffix);
  }
  if (checked != MemberResult::kInstalled) {
    return checked;
  }
  const bool installed = Unpack(members_zip, folder + "\\");
  platform::DeleteFile(members_zip);
  if (!installed) {
    return MemberResult::kFailed;
  }
  verify_stats_.files_repaired += changed.size();
  RecordMembers(index, folder);
  return MemberResult::kInstalled;
}

bool UpdateRun::InstallArchive(const std::string& url,
                               const std::string& name,
                               const std::string& folder) {
  row_status_ = status_;
  switch (InstallMembers(url, name, folder, MemberMode::kUpdate)) {
    case MemberResult::kInstalled:
      return true;
    case MemberResult::kFailed:
      return false;
    default:
      break;
  }
  return InstallWhole(url, name, folder);
}

bool UpdateRun::InstallWhole(const std::string& url,
                             const std::string& name,
                             const std::string& folder) {
  if (status_ != row_status_) {
    ShowStatus(row_status_);
  }
  const std::string archive = TempFolder(state_.AppDir) + "\\" + name;
  if (!FetchArchive(url, archive)) {
    return false;
  }
  const bool installed = Unpack(archive, folder + "\\");
  platform::DeleteFile(archive);
  if (installed && member_index_) {
    RecordMembers(*member_index_, folder);
  }
  return installed;
}

}  // namespace qm::update
