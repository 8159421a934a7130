// Member-level updates against nginx on loopback: an archive whose content
// index the manifest vouches for is brought up to date by fetching only the
// members whose installed files differ, each checked before it is
// installed; the whole archive takes over where that does not pay or
// cannot be done. The scripted server plays a mirror that cuts its replies.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/sha256.h"
#include "tests/update/update_fixture.h"
#include "update/integrity_format.h"
#include "update/local_record.h"
#include "util/hex.h"

namespace qm::update {
namespace {

namespace fs = std::filesystem;
using http::test::Close;
using http::test::Read;
using http::test::Send;
using http::test::SetScript;
using test::ReadFileBytes;
using test::UpdateFixture;
using test::WriteFileBytes;
using zip::testing::BuildMember;

constexpr size_t kMembers = 200;
constexpr size_t kMemberSize = 8 << 10;

// Bytes no run of which repeats elsewhere: each (seed, size) its own.
std::string Content(uint32_t seed, size_t size) {
  std::string bytes(size, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (char& c : bytes) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

std::string MemberName(size_t k) {
  const std::string digits = std::to_string(k);
  return "d/f" + std::string(3 - std::min<size_t>(3, digits.size()), '0') + digits + ".bin";
}

std::vector<BuildMember> FirstRelease() {
  std::vector<BuildMember> members;
  for (size_t k = 0; k < kMembers; ++k) {
    members.push_back({MemberName(k), Content(static_cast<uint32_t>(k), kMemberSize)});
  }
  return members;
}

// An archive as the publisher leaves it: the zip and its content index.
struct Published {
  std::vector<BuildMember> members;
  std::string zip;
  std::vector<IndexEntry> entries;
  std::string Index() const { return IndexText(entries); }
  // The bytes of member k's span: from its local header to the next one's.
  std::string Range(size_t k) const {
    const uint64_t first = entries[k].local_offset;
    const uint64_t end =
        k + 1 < entries.size()
            ? entries[k + 1].local_offset
            : std::min<uint64_t>(zip.size(), first + 30 + entries[k].name.size() +
                                                 entries[k].compressed_size + (64 << 10));
    return std::to_string(first) + "-" + std::to_string(end - 1);
  }
  uint64_t SpanSize(size_t k) const {
    const std::string range = Range(k);
    const size_t dash = range.find('-');
    return std::stoull(range.substr(dash + 1)) + 1 - std::stoull(range.substr(0, dash));
  }
  size_t Find(const std::string& name) const {
    for (size_t k = 0; k < entries.size(); ++k) {
      if (entries[k].name == name) {
        return k;
      }
    }
    ADD_FAILURE() << name << " is not in the archive";
    return 0;
  }
};

Published Publish(std::vector<BuildMember> members) {
  Published p;
  p.members = std::move(members);
  p.zip = zip::testing::BuildZip(p.members);
  const zip::testing::BuildLayout& layout = zip::testing::LastLayout();
  for (size_t k = 0; k < p.members.size(); ++k) {
    const BuildMember& m = p.members[k];
    p.entries.push_back({m.name, m.data.size(), zip::testing::TestCrc32(m.data),
                         HexOf(platform::Sha256Of(m.data)), 0, m.data.size(),
                         layout.local_offsets[k]});
  }
  return p;
}

std::string Sha(const std::string& bytes) {
  return HexOf(platform::Sha256Of(bytes));
}

std::string Head(const std::string& status, const std::string& lines) {
  return "HTTP/1.0 " + status + "\r\n" + lines + "\r\n";
}

// The engine archive Part.zip below the download base (or a mirror's) with
// its index, vouched for by section H.
struct MemberFixture : UpdateFixture {
  // The mirror that section P names before the default base.
  enum class Mirror { kNone, kNoRange, kScript };
  explicit MemberFixture(Mirror mirror = Mirror::kNone) {
    if (mirror == Mirror::kNoRange) {
      // The same release below nginx's /norange/.
      mirror_ = servers().NginxUrl("/norange") + BaseUrl().substr(servers().NginxUrl("").size()) +
                "/QuillMar/";
    } else if (mirror == Mirror::kScript) {
      mirror_ = servers().ScriptUrl("/a/");
    }
    WriteFileBytes(App("QuillMar.ini"), "[Transfer]\r\nRetryDelay=0\r\n");
    http.OnBeforeHeaderSend = [this](http::THttpCli* sender, const std::string&,
                                     std::vector<std::string>& lines) {
      std::string range;
      for (const std::string& line : lines) {
        if (line.rfind("Range: ", 0) == 0) {
          range = line;
        }
      }
      const std::string& url = sender->URL;
      if (url.size() >= 8 && url.compare(url.size() - 8, 8, "Part.zip") == 0) {
        archive_ranges.push_back(range);
        archive_bytes.push_back(0);
      } else {
        archive_bytes.push_back(-1);
      }
    };
    http.OnDocData = [this](http::THttpCli*, const char*, int32_t len) {
      if (!archive_bytes.empty() && archive_bytes.back() >= 0) {
        archive_bytes.back() += len;
      }
    };
  }

  // Serves p as version `version`; archive_sha: what section H says of the
  // archive (its own digest unless given); index: the index served.
  void ServeRelease(const std::string& version,
                    const Published& p,
                    const std::string& index = "",
                    const std::string& archive_sha = "") {
    const std::string served_index = index.empty() ? p.Index() : index;
    Serve("QuillMar/82001500/Part.zip", p.zip);
    Serve("QuillMar/82001500/Part.zip.idx", served_index);
    std::vector<std::string> lines;
    if (!mirror_.empty()) {
      lines = {"[P]", "Path0=" + mirror_};
    }
    for (const std::string& line :
         {std::string("[V]"), std::string("82001500=3.0.0.0"), "Part=" + version,
          std::string("Data=7"), std::string("[SP]"), std::string("82001500_Sp=3"),
          std::string("[H]"), std::string("Serial=1"),
          "82001500/Part.zip=" +
              HashLineValue({p.zip.size(), archive_sha.empty() ? Sha(p.zip) : archive_sha,
                             Sha(served_index)})}) {
      lines.push_back(line);
    }
    ServeManifest(lines);
  }

  // Release 13 installed by a run of its own, from the default base.
  void InstallFirst(const Published& p) {
    const std::string mirror = std::exchange(mirror_, "");
    ServeRelease("13", p);
    mirror_ = mirror;
    ASSERT_EQ(Run(), 0);
    ASSERT_EQ(Installed("V", "Part"), "13");
    state.LocalPartVersion = "13";
    requested.clear();
    archive_ranges.clear();
    archive_bytes.clear();
  }

  void ExpectInstalled(const Published& p) {
    for (const BuildMember& m : p.members) {
      EXPECT_TRUE(ReadFileBytes(App(m.name)) == m.data) << m.name << " is not as released";
    }
  }
  void ExpectNoMemberDebris() {
    for (const auto& entry : fs::directory_iterator(App("Temp"))) {
      EXPECT_EQ(entry.path().filename().string().find(".members"), std::string::npos)
          << entry.path();
    }
  }
  int64_t ArchiveBytes() const {
    int64_t total = 0;
    for (int64_t n : archive_bytes) {
      total += n > 0 ? n : 0;
    }
    return total;
  }

  std::vector<std::string> archive_ranges;  // per request of Part.zip: its Range line
  std::vector<int64_t> archive_bytes;       // per request: body bytes (-1: not Part.zip)

 private:
  std::string mirror_;
};

TEST(UpdateMembersTest, OnlyTheChangedMembersAreFetched) {
  const Published first = Publish(FirstRelease());
  using Change = std::function<void(std::vector<BuildMember>&)>;
  struct Case {
    const char* name;
    Change change;
    std::vector<std::string> fetched;  // members whose spans are asked for, in offset order
    bool whole = false;                // the whole archive instead
    std::function<void(MemberFixture&)> before = nullptr;
  };
  const Change change_f100 = [](std::vector<BuildMember>& m) {
    m[100].data = Content(1000, kMemberSize);
  };
  const std::vector<Case> cases = {
      {"one member of 200 changed", change_f100, {"d/f100.bin"}},
      {"two members far apart: one multipart request",
       [](std::vector<BuildMember>& m) {
         m[10].data = Content(1010, kMemberSize);
         m[150].data = Content(1150, kMemberSize);
       },
       {"d/f010.bin", "d/f150.bin"}},
      {"a renamed member is fetched under its new name",
       [](std::vector<BuildMember>& m) { m[20].name = "d/g020.bin"; },
       {"d/g020.bin"}},
      {"an added member at the end",
       [](std::vector<BuildMember>& m) {
         m.push_back({"d/new.bin", Content(5000, 3000)});
       },
       {"d/new.bin"}},
      {"a member whose compressed size changed; the others moved",
       [](std::vector<BuildMember>& m) { m[50].data = Content(1050, kMemberSize + 4000); },
       {"d/f050.bin"}},
      {"only the version changed: nothing but the index", [](std::vector<BuildMember>&) {}, {}},
      {"two thirds changed: the whole archive",
       [](std::vector<BuildMember>& m) {
         for (size_t k = 0; k < 140; ++k) {
           m[k].data = Content(static_cast<uint32_t>(2000 + k), kMemberSize);
         }
       },
       {},
       true},
      {"the local record missing: re-hashed",
       change_f100,
       {"d/f100.bin"},
       false,
       [](MemberFixture& f) { fs::remove(f.App("QuillMar.files")); }},
      {"the local record malformed",
       change_f100,
       {"d/f100.bin"},
       false,
       [](MemberFixture& f) {
         WriteFileBytes(f.App("QuillMar.files"), "QMFILES 1\r\nd\\f\t\t\r\n\x01");
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemberFixture f;
    f.InstallFirst(first);
    EXPECT_TRUE(fs::exists(f.App("QuillMar.files")));
    std::vector<BuildMember> members = first.members;
    c.change(members);
    const Published second = Publish(members);
    f.ServeRelease("14", second);
    if (c.before) {
      c.before(f);
    }
    EXPECT_EQ(f.Run(), 0);
    EXPECT_EQ(f.Installed("V", "Part"), "14");
    f.ExpectInstalled(second);
    EXPECT_EQ(f.requested[1], "QuillMar/82001500/Part.zip.idx");
    if (c.whole) {
      EXPECT_EQ(f.archive_ranges, std::vector<std::string>{""});
      EXPECT_EQ(f.ArchiveBytes(), static_cast<int64_t>(second.zip.size()));
    } else if (c.fetched.empty()) {
      EXPECT_TRUE(f.archive_ranges.empty());
    } else {
      std::string expected = "Range: bytes=";
      uint64_t span_bytes = 0;
      for (const std::string& name : c.fetched) {
        const size_t k = second.Find(name);
        expected += (expected.back() == '=' ? "" : ",") + second.Range(k);
        span_bytes += second.SpanSize(k);
      }
      EXPECT_EQ(f.archive_ranges, std::vector<std::string>{expected});
      ASSERT_EQ(f.archive_bytes.size(), 3u);  // the manifest, the index, the ranges
      if (c.fetched.size() == 1) {
        EXPECT_EQ(f.ArchiveBytes(), static_cast<int64_t>(span_bytes));
      } else {
        // multipart/byteranges: the parts' headers on top.
        EXPECT_GT(f.ArchiveBytes(), static_cast<int64_t>(span_bytes));
        EXPECT_LT(f.ArchiveBytes(), static_cast<int64_t>(span_bytes) + 1024);
      }
    }
    // Members the index no longer lists are left alone.
    if (std::string(c.name).find("renamed") != std::string::npos) {
      EXPECT_TRUE(ReadFileBytes(f.App("d/f020.bin")) == first.members[20].data);
    }
    // The record vouches for what is installed now.
    const LocalRecord record = LocalRecord::Parse(ReadFileBytes(f.App("QuillMar.files")));
    for (const BuildMember& m : second.members) {
      std::string path = m.name;
      std::replace(path.begin(), path.end(), '/', '\\');
      const RecordedFile* recorded = record.Find(path);
      ASSERT_NE(recorded, nullptr) << path;
      EXPECT_EQ(recorded->sha256, Sha(m.data)) << path;
    }
    f.ExpectNoMemberDebris();
  }
}

// nginx's /norange/ answers a Range with 200: the run drops it and takes
// the whole archive.
TEST(UpdateMembersTest, AServerThatIgnoresRangeGetsTheWholeArchivePath) {
  MemberFixture f(MemberFixture::Mirror::kNoRange);
  const Published first = Publish(FirstRelease());
  f.InstallFirst(first);
  std::vector<BuildMember> members = first.members;
  members[100].data = Content(1000, kMemberSize);
  const Published second = Publish(members);
  f.ServeRelease("14", second);
  EXPECT_EQ(f.Run(), 0);
  EXPECT_EQ(f.Installed("V", "Part"), "14");
  f.ExpectInstalled(second);
  EXPECT_EQ(f.archive_ranges, (std::vector<std::string>{"Range: bytes=" + second.Range(100), ""}));
  f.ExpectNoMemberDebris();
}

// A member whose content does not hash as the index says is never
// installed from its span: the whole archive, checked against section H,
// takes over, and when that fails too the old file stays.
TEST(UpdateMembersTest, AMemberThatFailsItsHashIsNeverInstalled) {
  struct Case {
    const char* name;
    bool archive_line_honest;
    int32_t result;
    bool new_content;
  };
  const std::vector<Case> cases = {
      {"the whole archive takes over", true, 0, true},
      {"the whole archive fails its check too", false, -3, false},
  };
  const Published first = Publish(FirstRelease());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemberFixture f;
    f.InstallFirst(first);
    std::vector<BuildMember> members = first.members;
    members[100].data = Content(1000, kMemberSize);
    const Published second = Publish(members);
    std::vector<IndexEntry> lying = second.entries;
    lying[100].sha256 = Sha("other content");
    f.ServeRelease("14", second, IndexText(lying),
                   c.archive_line_honest ? "" : Sha("another archive"));
    EXPECT_EQ(f.Run(), c.result);
    EXPECT_EQ(f.archive_ranges,
              (std::vector<std::string>{"Range: bytes=" + second.Range(100), ""}));
    EXPECT_TRUE(ReadFileBytes(f.App("d/f100.bin")) ==
                (c.new_content ? second.members[100].data : first.members[100].data));
    EXPECT_EQ(f.Installed("V", "Part"), c.new_content ? "14" : "13");
    f.ExpectNoMemberDebris();
  }
}

// A mirror that cuts its reply short: what it sent is kept, and only the
// rest is asked for again (from the default base once the mirror has
// failed its attempts).
TEST(UpdateMembersTest, ACutMemberRangeIsContinued) {
  const Published first = Publish(FirstRelease());
  std::vector<BuildMember> members = first.members;
  members[10].data = Content(1010, kMemberSize);
  members[150].data = Content(1150, kMemberSize);
  const Published second = Publish(members);
  const std::string total = "/" + std::to_string(second.zip.size());
  const uint64_t a = second.entries[10].local_offset;
  const uint64_t a_size = second.SpanSize(10);
  const uint64_t b = second.entries[150].local_offset;
  const uint64_t b_size = second.SpanSize(150);
  const uint64_t half = b_size / 2;
  auto content_range = [&](uint64_t at, uint64_t size) {
    return "bytes " + std::to_string(at) + "-" + std::to_string(at + size - 1) + total;
  };
  struct Case {
    const char* name;
    std::string reply;
    bool both;  // f010 changed as well as f150
  };
  const std::string boundary = "QmBoundaryXyZ";
  const std::string multipart_body =
      "\r\n--" + boundary +
      "\r\nContent-Type: application/zip\r\nContent-Range: " + content_range(a, a_size) +
      "\r\n\r\n" + second.zip.substr(a, a_size) + "\r\n--" + boundary +
      "\r\nContent-Type: application/zip\r\nContent-Range: " + content_range(b, b_size) +
      "\r\n\r\n" + second.zip.substr(b, half);
  const std::vector<Case> cases = {
      {"one range cut",
       Head("206 Partial Content", "Content-Range: " + content_range(b, b_size) +
                                       "\r\nContent-Length: " + std::to_string(b_size) + "\r\n") +
           second.zip.substr(b, half),
       false},
      {"multipart/byteranges cut in its second part",
       Head("206 Partial Content",
            "Content-Type: multipart/byteranges; boundary=" + boundary +
                "\r\nContent-Length: " + std::to_string(multipart_body.size() + 1000) + "\r\n") +
           multipart_body,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetScript({{Read(), Send(c.reply), Close()}});
    MemberFixture f(MemberFixture::Mirror::kScript);
    f.InstallFirst(first);
    std::vector<BuildMember> changed = first.members;
    changed[150].data = members[150].data;
    if (c.both) {
      changed[10].data = members[10].data;
    }
    // Members of equal sizes: f150's span is the same in both releases.
    const Published release = Publish(changed);
    ASSERT_EQ(release.zip.substr(b, b_size), second.zip.substr(b, b_size));
    f.ServeRelease("14", release);
    EXPECT_EQ(f.Run(), 0);
    EXPECT_EQ(f.Installed("V", "Part"), "14");
    f.ExpectInstalled(release);
    ASSERT_FALSE(f.archive_ranges.empty());
    EXPECT_EQ(f.archive_ranges.back(),
              "Range: bytes=" + std::to_string(b + half) + "-" + std::to_string(b + b_size - 1));
    f.ExpectNoMemberDebris();
  }
}

// A mirror that serves a damaged copy of a member: the member fails its
// hash and is never installed from it; its span comes once more from the
// next source (nginx), and the whole archive is not needed.
TEST(UpdateMembersTest, ADamagedMemberIsFetchedAgainFromTheNextSource) {
  const Published first = Publish(FirstRelease());
  std::vector<BuildMember> members = first.members;
  members[100].data = Content(1000, kMemberSize);
  const Published second = Publish(members);
  const uint64_t at = second.entries[100].local_offset;
  const uint64_t size = second.SpanSize(100);
  std::string damaged = second.zip.substr(at, size);
  damaged[30 + 10 + 100] = static_cast<char>(damaged[30 + 10 + 100] ^ 0x20);
  SetScript(
      {{Read(),
        Send(Head("206 Partial Content",
                  "Content-Range: bytes " + std::to_string(at) + "-" +
                      std::to_string(at + size - 1) + "/" + std::to_string(second.zip.size()) +
                      "\r\nContent-Length: " + std::to_string(size) + "\r\n") +
             damaged),
        Close()}});
  MemberFixture f(MemberFixture::Mirror::kScript);
  f.InstallFirst(first);
  f.ServeRelease("14", second);
  EXPECT_EQ(f.Run(), 0);
  EXPECT_EQ(f.Installed("V", "Part"), "14");
  f.ExpectInstalled(second);
  const std::string range = "Range: bytes=" + second.Range(100);
  EXPECT_EQ(f.archive_ranges, (std::vector<std::string>{range, range}));
  f.ExpectNoMemberDebris();
}

// A normal start stats the recorded files of current items (no hashing)
// and brings back only those that are gone.
TEST(UpdateMembersTest, AStartBringsBackARecordedFileThatIsGone) {
  const Published release = Publish(FirstRelease());
  struct Case {
    const char* name;
    std::vector<size_t> deleted;
    std::vector<std::string> requested;
    std::vector<std::string> ranges;
  };
  const std::vector<Case> cases = {
      {"nothing gone: nothing fetched but the manifest", {}, {"QuillMar/QuillMar.ini"}, {}},
      {"one file gone: its member",
       {100},
       {"QuillMar/QuillMar.ini", "QuillMar/82001500/Part.zip.idx", "QuillMar/82001500/Part.zip"},
       {"Range: bytes=" + release.Range(100)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemberFixture f;
    f.InstallFirst(release);
    for (size_t k : c.deleted) {
      fs::remove(f.App(release.members[k].name));
    }
    EXPECT_EQ(f.Run(), 0);
    f.ExpectInstalled(release);
    EXPECT_EQ(f.requested, c.requested);
    EXPECT_EQ(f.archive_ranges, c.ranges);
    EXPECT_EQ(f.Installed("V", "Part"), "13");
    f.ExpectNoMemberDebris();
  }
}

// /verify hashes every installed file, whatever the record says, and
// fetches only the members that differ.
TEST(UpdateMembersTest, VerifyFetchesOnlyTheDamagedMembers) {
  const Published release = Publish(FirstRelease());
  struct Case {
    const char* name;
    std::function<void(MemberFixture&)> damage;
    std::vector<size_t> fetched;
  };
  const auto flip = [&release](MemberFixture& f) {
    // The same size and time: only a hash finds it.
    const fs::path path = f.App(release.members[10].name);
    const auto time = fs::last_write_time(path);
    std::string bytes = ReadFileBytes(path);
    bytes[4000] = static_cast<char>(bytes[4000] ^ 1);
    WriteFileBytes(path, bytes);
    fs::last_write_time(path, time);
  };
  const std::vector<Case> cases = {
      {"intact: nothing fetched but the manifest and the index", [](MemberFixture&) {}, {}},
      {"a flipped byte, a truncated file and a deleted file",
       [&](MemberFixture& f) {
         flip(f);
         fs::resize_file(f.App(release.members[100].name), 100);
         fs::remove(f.App(release.members[150].name));
       },
       {10, 100, 150}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemberFixture f;
    f.InstallFirst(release);
    c.damage(f);
    f.verify = true;
    EXPECT_EQ(f.Run(), 0);
    f.ExpectInstalled(release);
    std::vector<std::string> requested = {"QuillMar/QuillMar.ini",
                                          "QuillMar/82001500/Part.zip.idx"};
    if (!c.fetched.empty()) {
      requested.emplace_back("QuillMar/82001500/Part.zip");
    }
    EXPECT_EQ(f.requested, requested);
    std::vector<std::string> ranges;
    if (!c.fetched.empty()) {
      std::string range = "Range: bytes=";
      for (size_t k : c.fetched) {
        range += (range.back() == '=' ? "" : ",") + release.Range(k);
      }
      ranges.push_back(range);
    }
    EXPECT_EQ(f.archive_ranges, ranges);
    EXPECT_EQ(f.verify_stats.files_checked, kMembers);
    EXPECT_EQ(f.verify_stats.files_repaired, c.fetched.size());
    // Every file hashed (the damaged ones as they were found).
    EXPECT_GE(f.verify_stats.bytes_hashed, (kMembers - c.fetched.size()) * kMemberSize);
    f.ExpectNoMemberDebris();
  }
}

}  // namespace
}  // namespace qm::update
