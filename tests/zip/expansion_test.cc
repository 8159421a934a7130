// Archives made to write far more than they hold: members that share their
// bytes, more members or more expansion than any real archive has, more data
// than the disk has room for. Each is refused whole before anything is
// written.
#include <gtest/gtest.h>

#include "tests/zip/extract_test_util.h"
#include "tests/zip/zip_builder.h"
#include "zip/unzip_error.h"

namespace qm::zip::testing {
namespace {

// Unpacks bytes into a fresh folder.
struct Unpack {
  TempDir work;
  fs::path out = work.path() / "out";
  TUnZip unzip;
  ErrorLog log{unzip};
  int Extract(const std::string& bytes) {
    fs::path archive = work.path() / "in.zip";
    WriteFileBytes(archive, bytes);
    unzip.SetArchiveFile(archive.string());
    unzip.SetExtractDir(out.string());
    unzip.FileSpec = {"*.*"};
    return unzip.Extract();
  }
};

std::vector<BuildMember> Members(int count, const std::string& name_prefix) {
  std::vector<BuildMember> members;
  members.reserve(static_cast<size_t>(count) + 1);
  for (int i = 0; i < count; ++i) {
    members.push_back(
        {.name = name_prefix + std::to_string(i), .data = "member " + std::to_string(i)});
  }
  return members;
}

// Sets a member's declared sizes in both of its headers.
void DeclareSizes(std::string* bytes, size_t index, uint32_t compressed, uint32_t uncompressed) {
  const BuildLayout& layout = LastLayout();
  Put32(bytes, layout.local_offsets[index] + 18, compressed);
  Put32(bytes, layout.local_offsets[index] + 22, uncompressed);
  Put32(bytes, layout.central_offsets[index] + 20, compressed);
  Put32(bytes, layout.central_offsets[index] + 24, uncompressed);
}

TEST(ExpansionTest, OverlappingMembersRefuseTheArchive) {
  const struct {
    const char* what;
    std::function<std::string()> make;
  } cases[] = {
      {"every entry names the one member's bytes",
       [] {
         // The shape that wrote 3.2 GB from 8 MiB: each entry rewrites the
         // same file from the same data.
         std::vector<BuildMember> members(
             50, {.name = "big.dat", .data = std::string(4096, 'x'), .attributes = 0x20});
         std::string bytes = BuildZip(members);
         for (size_t i = 1; i < members.size(); ++i) {
           Put32(&bytes, LastLayout().central_offsets[i] + 42,
                 static_cast<uint32_t>(LastLayout().local_offsets[0]));
         }
         return bytes;
       }},
      {"a member's data runs over the next member's header",
       [] {
         std::string bytes = BuildZip({{.name = "first.dat", .data = std::string(100, 'a')},
                                       {.name = "second.dat", .data = "b"}});
         const uint32_t to_end_of_second =
             static_cast<uint32_t>(LastLayout().central_offsets[0] - LastLayout().local_offsets[0] -
                                   30 - std::string("first.dat").size());
         DeclareSizes(&bytes, 0, to_end_of_second, to_end_of_second);
         return bytes;
       }},
      {"a member's data runs into the directory",
       [] {
         std::string bytes =
             BuildZip({{.name = "first.dat", .data = "a"}, {.name = "last.dat", .data = "bb"}});
         const uint32_t into_directory = static_cast<uint32_t>(LastLayout().central_offsets[0] +
                                                               10 - LastLayout().local_offsets[1] -
                                                               30 - std::string("last.dat").size());
         DeclareSizes(&bytes, 1, into_directory, into_directory);
         return bytes;
       }},
      {"a member's header reaches past the archive's end",
       [] {
         // Its encryption header would lie beyond the end: the extra field
         // runs over the other members and the directory.
         std::string bytes = BuildZip({{.name = "damaged.dat", .data = "secret", .password = "pw"},
                                       {.name = "plain.dat", .data = "open"}});
         const size_t local = LastLayout().local_offsets[0];
         const size_t data = local + 30 + std::string("damaged.dat").size();
         Put16(&bytes, local + 28, static_cast<uint16_t>(bytes.size() - 4 - data));
         return bytes;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bytes = c.make();
    Unpack run;
    EXPECT_EQ(run.Extract(bytes), 0);
    EXPECT_TRUE(run.log.Has(kErrCorruptInput)) << run.log.Describe();
    EXPECT_FALSE(run.unzip.Succeeded());
    EXPECT_FALSE(fs::exists(run.out)) << "written before the archive was refused";
    // Testing decodes nothing of it either.
    EXPECT_EQ(run.unzip.Test(), 0);
    EXPECT_TRUE(run.log.Has(kErrCorruptInput));
  }
}

TEST(ExpansionTest, LimitsOnMembersAndExpansion) {
  // A member that declares 40000 times its 1000 bytes: more than any method
  // can expand (Deflate tops out near 1032:1, Deflate64 near 29000:1).
  std::string claims = BuildZip(
      {{.name = "claims.dat", .data = std::string(1000, 'z')}, {.name = "ok.txt", .data = "ok"}});
  DeclareSizes(&claims, 0, 1000, 40000u * 1000u);
  const std::string real_compressible =
      ReadFileBytes(GeneratedArchives() / "archives" / "compressible-deflate.zip");

  const struct {
    const char* what;
    std::string bytes;
    uint64_t max_members;    // 0: the default
    uint32_t max_expansion;  // 0: the default
    bool refused;
  } cases[] = {
      {"more members than allowed", BuildZip(Members(5, "m")), 4, 0, true},
      {"as many members as allowed", BuildZip(Members(4, "m")), 4, 0, false},
      {"more expansion than any method makes", claims, 0, 0, true},
      {"expansion above a lowered limit", real_compressible, 0, 1000, true},
      {"Info-ZIP's most compressed data at the default", real_compressible, 0, 0, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Unpack run;
    if (c.max_members) {
      run.unzip.MaxMembers = c.max_members;
    }
    if (c.max_expansion) {
      run.unzip.MaxExpansionRatio = c.max_expansion;
    }
    int count = run.Extract(c.bytes);
    EXPECT_EQ(run.log.Has(kErrCorruptInput), c.refused) << run.log.Describe();
    EXPECT_EQ(run.unzip.Succeeded(), !c.refused) << run.log.Describe();
    if (c.refused) {
      EXPECT_EQ(count, 0);
      EXPECT_FALSE(fs::exists(run.out)) << "written before the archive was refused";
    }
  }
}

// The default member limit lets through every archive without zip64 records
// (65535 entries, the most qmpublish writes) and stops one far beyond.
TEST(ExpansionTest, DefaultMemberLimit) {
  const struct {
    int members;
    bool refused;
  } cases[] = {{65535, false}, {150000, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.members);
    std::vector<BuildMember> members(c.members, {.name = "e", .data = ""});
    Unpack run;
    fs::path archive = run.work.path() / "many.zip";
    WriteFileBytes(archive, BuildZip(members));
    run.unzip.SetArchiveFile(archive.string());
    run.unzip.FileSpec = {"*.*"};
    EXPECT_EQ(run.unzip.Test(), c.refused ? 0 : c.members);
    EXPECT_EQ(run.log.Has(kErrCorruptInput), c.refused) << run.log.Describe();
  }
}

// Members whose declared sizes add up to more than the free space of the
// extraction folder's disk: refused before the first is written. Their data
// is short (a stored member that claims more than it has), so a run that
// starts them writes almost nothing.
TEST(ExpansionTest, MoreThanTheFreeSpaceIsRefused) {
  Unpack probe;
  const uint64_t free = fs::space(probe.work.path()).available;
  ASSERT_GT(free, 0u);

  // Members of at most 0xFFFF0000 bytes each, adding up to total.
  auto declaring = [](uint64_t total) {
    const uint64_t piece = 0xFFFF0000u;
    const size_t count = static_cast<size_t>((total + piece - 1) / piece);
    std::vector<BuildMember> members = Members(static_cast<int>(count), "big");
    members.push_back({.name = "small.txt", .data = "small"});
    std::string bytes = BuildZip(members);
    for (size_t i = 0; i < count; ++i) {
      uint64_t size = std::min<uint64_t>(piece, total - i * piece);
      Put32(&bytes, LastLayout().local_offsets[i] + 22, static_cast<uint32_t>(size));
      Put32(&bytes, LastLayout().central_offsets[i] + 24, static_cast<uint32_t>(size));
    }
    return bytes;
  };
  const struct {
    const char* what;
    uint64_t declared;
    bool refused;
  } cases[] = {
      {"half again the free space", free + free / 2 + (1u << 30), true},
      {"a quarter of the free space", free / 4, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Unpack run;
    run.unzip.MaxExpansionRatio = 0;  // only the space counts here
    run.Extract(declaring(c.declared));
    EXPECT_EQ(run.log.Has(kErrNotEnoughSpace), c.refused) << run.log.Describe();
    EXPECT_FALSE(run.unzip.Succeeded());
    EXPECT_EQ(fs::exists(run.out / "small.txt"), !c.refused);
  }
}

// Files that the archive replaces give their space back as each is replaced:
// only the growth counts, and room for the largest file while it is written.
TEST(ExpansionTest, SpaceOfReplacedFilesCounts) {
  Unpack run;
  fs::create_directories(run.out);
  const uint64_t free = fs::space(run.out).available;
  const uint64_t each = std::min<uint64_t>(free / 10 * 6, 0xFFFF0000u);
  const int count =
      static_cast<int>((free + free / 2) / each) + 1;  // together 1.5 times the free space
  std::vector<BuildMember> members = Members(count, "big");
  std::string bytes = BuildZip(members);
  for (int i = 0; i < count; ++i) {
    Put32(&bytes, LastLayout().local_offsets[i] + 22, static_cast<uint32_t>(each));
    Put32(&bytes, LastLayout().central_offsets[i] + 24, static_cast<uint32_t>(each));
    // The old versions: as large, and sparse, so they take no room here.
    std::error_code ec;
    WriteFileBytes(run.out / ("big" + std::to_string(i)), "");
    fs::resize_file(run.out / ("big" + std::to_string(i)), each, ec);
    ASSERT_FALSE(ec) << ec.message();
  }
  run.unzip.MaxExpansionRatio = 0;
  run.Extract(bytes);
  EXPECT_FALSE(run.log.Has(kErrNotEnoughSpace)) << run.log.Describe();
  EXPECT_TRUE(run.log.Has(kErrCrcCheck)) << "the members were not started: " << run.log.Describe();
}

}  // namespace
}  // namespace qm::zip::testing
