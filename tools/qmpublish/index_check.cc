#include "tools/qmpublish/index_check.h"

#include <algorithm>
#include <map>

#include "platform/sha256.h"
#include "tools/qmpublish/file_bytes.h"
#include "util/hex.h"
#include "zip/catalog.h"
#include "zip/decode/crc32.h"
#include "zip/decode/decoder.h"
#include "zip/file_source.h"
#include "zip/recognition.h"

namespace qm::publish {
namespace {

// The names the catalogue keeps: it reads no more of a stored name.
constexpr size_t kCatalogNameLength = 255;

class MemberInput : public zip::InputSource {
 public:
  MemberInput(zip::ArchiveSource& source, uint64_t offset, uint64_t size)
      : source_(source), offset_(offset), left_(size) {}
  int64_t Read(uint8_t* buffer, size_t size) override {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(size, left_));
    if (want == 0) {
      return 0;
    }
    const int64_t got = source_.ReadAt(offset_, buffer, want);
    if (got > 0) {
      offset_ += static_cast<uint64_t>(got);
      left_ -= static_cast<uint64_t>(got);
    }
    return got == 0 ? -1 : got;  // the archive ended inside the member
  }

 private:
  zip::ArchiveSource& source_;
  uint64_t offset_;
  uint64_t left_;
};

class HashingSink : public zip::OutputSink {
 public:
  bool Write(const uint8_t* data, size_t size) override {
    hash_.Update(data, size);
    crc_ = zip::Crc32Update(crc_, data, size);
    size_ += size;
    return true;
  }
  platform::Sha256 hash_;
  uint32_t crc_ = 0;
  uint64_t size_ = 0;
};

// The member as its index line would describe it, from its content.
struct Actual {
  update::IndexEntry entry;
  std::string problem;  // when the content cannot be read
};

Actual Describe(zip::ArchiveSource& source, const zip::MemberEntry& member) {
  Actual actual;
  update::IndexEntry& e = actual.entry;
  e.name = member.raw_name;
  e.crc = member.crc;
  e.method = member.method;
  e.compressed_size = member.compressed_size;
  e.size = member.uncompressed_size;
  e.local_offset = member.local_offset;
  if (member.flags & 1) {
    actual.problem = "is encrypted, so its content cannot be hashed";
    return actual;
  }
  MemberInput input(source, member.data_offset, member.compressed_size);
  HashingSink sink;
  zip::DecodeResult result;
  if (member.method == 0) {
    uint8_t buffer[1 << 15];
    int64_t got = 0;
    while ((got = input.Read(buffer, sizeof(buffer))) > 0) {
      sink.Write(buffer, static_cast<size_t>(got));
    }
    result.status = got < 0 ? zip::DecodeStatus::kReadError : zip::DecodeStatus::kOk;
  } else {
    result = zip::DecodeMember(member.method, member.flags, member.uncompressed_size, input, sink);
  }
  if (result.status != zip::DecodeStatus::kOk || sink.size_ != member.uncompressed_size ||
      sink.crc_ != member.crc) {
    actual.problem = "does not unpack to its stated size and CRC-32";
  }
  e.sha256 = HexOf(sink.hash_.Final());
  return actual;
}

std::string Differences(const update::IndexEntry& said, const update::IndexEntry& is) {
  std::string fields;
  const auto add = [&](bool differs, const char* name) {
    if (differs) {
      fields += (fields.empty() ? "" : ", ") + std::string(name);
    }
  };
  add(said.size != is.size, "size");
  add(said.crc != is.crc, "CRC-32");
  add(said.sha256 != is.sha256, "SHA-256");
  add(said.method != is.method, "method");
  add(said.compressed_size != is.compressed_size, "compressed size");
  add(said.local_offset != is.local_offset, "offset");
  return fields;
}

}  // namespace

std::vector<std::string> IndexMismatches(const std::filesystem::path& archive,
                                         const std::vector<update::IndexEntry>& index) {
  zip::FileSource source;
  if (!source.Open(PlatformPath(archive))) {
    return {"the archive cannot be read"};
  }
  const zip::Recognition recognition = zip::RecognizeArchive(source, ".zip");
  zip::CatalogObserver all;
  const zip::Catalog catalog = zip::ReadCatalog(source, recognition, all);
  if (!zip::IsZipType(recognition.type) || catalog.damaged) {
    return {"the archive's records cannot be read, so its index cannot be checked"};
  }
  std::map<std::string, Actual> actual;
  for (const zip::MemberEntry& member : catalog.members) {
    actual.emplace(member.raw_name, Describe(source, member));
  }
  std::vector<std::string> problems;
  for (const update::IndexEntry& said : index) {
    const std::string name = said.name.substr(0, kCatalogNameLength);
    auto it = actual.find(name);
    if (it == actual.end()) {
      problems.push_back("the index lists " + said.name + ", which the archive does not hold");
      continue;
    }
    if (!it->second.problem.empty()) {
      problems.push_back(said.name + " " + it->second.problem);
    } else if (said.name.size() > kCatalogNameLength) {
      problems.push_back(said.name + ": a name longer than the updater reads");
    } else {
      const std::string fields = Differences(said, it->second.entry);
      if (!fields.empty()) {
        problems.push_back("the index lies about " + said.name + ": wrong " + fields);
      }
    }
    actual.erase(it);
  }
  for (const auto& [name, member] : actual) {
    problems.push_back("the index omits " + name + ", which the archive holds");
  }
  return problems;
}

}  // namespace qm::publish
