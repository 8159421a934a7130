#include "zip/recognition.h"

#include <gtest/gtest.h>

#include "tests/zip/zip_builder.h"
#include "zip/catalog.h"

namespace qm::zip {
namespace {

using testing::BuildMember;
using testing::BuildOptions;
using testing::BuildZip;

std::vector<BuildMember> MakeTwoMembers() {
  return {
      {.name = "a.txt", .data = "first member"},
      {.name = "sub/b.bin", .data = std::string(300, '\x7f')},
  };
}

struct Walked {
  Recognition recognition;
  Catalog catalog;
};

Walked Walk(const std::string& bytes, const std::string& name = "x.zip") {
  MemorySource source(bytes);
  Walked w;
  w.recognition = RecognizeArchive(source, name);
  CatalogObserver all;
  w.catalog = ReadCatalog(source, w.recognition, all);
  return w;
}

// Every member is found with its data where the builder put it.
void ExpectMembers(const Walked& w,
                   const std::string& bytes,
                   const std::vector<BuildMember>& expected) {
  ASSERT_EQ(w.catalog.members.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    const MemberEntry& e = w.catalog.members[i];
    EXPECT_EQ(e.raw_name, expected[i].name);
    EXPECT_EQ(e.uncompressed_size, expected[i].data.size());
    EXPECT_EQ(e.crc, testing::TestCrc32(expected[i].data));
    EXPECT_EQ(bytes.substr(e.data_offset, e.compressed_size), expected[i].data);
  }
}

TEST(RecognitionTest, FormsOfZipArchives) {
  const struct {
    const char* what;
    BuildOptions options;
    TArcType type;
    int64_t adjustment;
  } cases[] = {
      {"plain", {}, TArcType::atZip, 0},
      {"leading zeros", {.prefix = std::string(100, '\0')}, TArcType::atZip, 0},
      {"stub, offsets adjusted", {.prefix = "MZ" + std::string(5000, 'x')}, TArcType::atZipExe, 0},
      {"stub, offsets not adjusted",
       {.prefix = "MZ" + std::string(5000, 'x'), .adjust_offsets = false},
       TArcType::atZipExe,
       5002},
      {"other prefix, not adjusted",
       {.prefix = "#!/bin/sh\nexit 0\n", .adjust_offsets = false},
       TArcType::atZipExe,
       17},
      {"zip64 records", {.zip64 = true}, TArcType::atZip, 0},
      {"zip64 behind a stub",
       {.prefix = "MZ" + std::string(300, 'x'), .adjust_offsets = false, .zip64 = true},
       TArcType::atZipExe,
       302},
      {"comment holding an end signature",
       {.comment = std::string("see PK\x05\x06 here", 13)},
       TArcType::atZip,
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = BuildZip(MakeTwoMembers(), c.options);
    Walked w = Walk(bytes);
    EXPECT_EQ(w.recognition.type, c.type);
    EXPECT_EQ(w.recognition.adjustment, c.adjustment);
    EXPECT_TRUE(w.recognition.state.Has(THeaderType::htCentral));
    EXPECT_TRUE(w.recognition.state.Has(THeaderType::htLocal));
    EXPECT_FALSE(w.catalog.by_local_headers);
    EXPECT_FALSE(w.catalog.damaged);
    ExpectMembers(w, bytes, MakeTwoMembers());
  }
}

TEST(RecognitionTest, HeaderEncryptedRecords) {
  std::vector<BuildMember> members = MakeTwoMembers();
  for (BuildMember& m : members) {
    m.header_encrypted = true;
  }
  std::string bytes = BuildZip(members);
  Walked w = Walk(bytes);
  EXPECT_EQ(w.recognition.type, TArcType::atZip);
  EXPECT_TRUE(w.recognition.state.Has(THeaderType::htLocal));
  ExpectMembers(w, bytes, MakeTwoMembers());
}

TEST(RecognitionTest, WalksLocalHeadersWithoutUsableDirectory) {
  std::vector<BuildMember> with_descriptor = MakeTwoMembers();
  with_descriptor[0].descriptor = true;
  const struct {
    const char* what;
    std::vector<BuildMember> members;
    BuildOptions options;
  } cases[] = {
      {"no directory, no end record",
       MakeTwoMembers(),
       {.write_central = false, .write_end = false}},
      {"end record without directory", MakeTwoMembers(), {.write_central = false}},
      {"data descriptor", with_descriptor, {.write_central = false, .write_end = false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = BuildZip(c.members, c.options);
    Walked w = Walk(bytes);
    EXPECT_EQ(w.recognition.type, TArcType::atZip);
    EXPECT_EQ(w.recognition.state, THeaderTypeState::Of(THeaderType::htLocal));
    EXPECT_TRUE(w.catalog.by_local_headers);
    EXPECT_TRUE(w.catalog.damaged);  // the archive's end is not known
    ExpectMembers(w, bytes, MakeTwoMembers());
  }
}

TEST(RecognitionTest, DamagedDirectoryFallsBackOrIsFlagged) {
  std::string bytes = BuildZip(MakeTwoMembers());
  const testing::BuildLayout& layout = testing::LastLayout();
  // The directory's first entry destroyed: the end record points at garbage.
  std::string first_bad = bytes;
  first_bad[layout.central_offsets[0] + 1] = 'X';
  Walked w = Walk(first_bad);
  EXPECT_EQ(w.recognition.state, THeaderTypeState::Of(THeaderType::htLocal));
  ExpectMembers(w, first_bad, MakeTwoMembers());

  // The second entry destroyed: the walk stops early and says so.
  std::string second_bad = bytes;
  second_bad[layout.central_offsets[1] + 2] = 'X';
  w = Walk(second_bad);
  EXPECT_EQ(w.catalog.members.size(), 1u);
  EXPECT_TRUE(w.catalog.damaged);

  // A local header that is not where the directory says: not listed.
  std::string local_bad = bytes;
  local_bad[layout.local_offsets[1]] = 'Q';
  w = Walk(local_bad);
  EXPECT_EQ(w.catalog.members.size(), 1u);
}

TEST(RecognitionTest, TruncatedArchiveIsWalkedByLocalHeadersAndFlagged) {
  std::string bytes = BuildZip(MakeTwoMembers());
  const testing::BuildLayout& layout = testing::LastLayout();
  Walked w = Walk(bytes.substr(0, layout.central_offsets[0] + 10));
  EXPECT_TRUE(w.catalog.damaged);
  ExpectMembers(w, bytes, MakeTwoMembers());
  // Cut inside the second member's data: only the first is whole.
  w = Walk(bytes.substr(0, layout.local_offsets[1] + 40));
  EXPECT_TRUE(w.catalog.damaged);
  EXPECT_EQ(w.catalog.members.size(), 1u);
}

TEST(RecognitionTest, OffsetExtensionCountsOnlyWithTheExtendedEndRecord) {
  // A size-extension block whose offset part is not 0: only the extended end
  // record gives local offsets above 32 bits.
  std::string block("\x64\x00\x06\x00\x00\x00\x00\x00\x01\x00", 10);
  std::vector<BuildMember> members = MakeTwoMembers();
  members[0].central_extra = block;
  const std::string plain = BuildZip(members);
  // The same archive with the extended end record (26 bytes, 8-byte offset).
  const size_t end = testing::LastLayout().end_offset;
  std::string extended =
      plain.substr(0, end) + std::string("P[\x05\x06", 4) + std::string(12, '\0');
  for (int i = 0; i < 8; ++i) {
    extended.push_back(static_cast<char>(i < 4 ? plain[end + 16 + i] : 0));
  }
  extended += std::string(2, '\0');

  Walked w = Walk(plain);
  EXPECT_TRUE(w.recognition.state.Has(THeaderType::htLocal));
  ExpectMembers(w, plain, MakeTwoMembers());

  w = Walk(extended);
  EXPECT_TRUE(w.recognition.end.extended);
  ASSERT_EQ(w.catalog.members.size(), 1u);
  EXPECT_EQ(w.catalog.members[0].raw_name, "sub/b.bin");
}

TEST(RecognitionTest, ArchivesThatAreNotZip) {
  const struct {
    std::string bytes;
    const char* name;
    TArcType type;
  } cases[] = {
      {"short", "x.zip", TArcType::atNA},
      {std::string(19, 'P'), "x.zip", TArcType::atNA},
      {std::string("Rar!\x1a\x07\x00", 7) + std::string(40, 'r'), "x.rar", TArcType::atRar},
      {"MSCF" + std::string(40, '\0'), "x.cab", TArcType::atCab},
      {std::string("\x1f\x8b\x08", 3) + std::string(40, 'g'), "x.gz", TArcType::atGZip},
      {std::string("\x1f\x8b\x08", 3) + std::string(40, 'g'), "x.tar.gz", TArcType::atTarGZip},
      {"<html><body>Not Found</body></html>", "x.zip", TArcType::atUnknown},
      {"MZ" + std::string(400, '\x90'), "x.exe", TArcType::atUnknown},
      {std::string("PK\x01\x02", 4) + std::string(40, '\0'), "x.zip", TArcType::atZipMV},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Walked w = Walk(c.bytes, c.name);
    EXPECT_EQ(w.recognition.type, c.type) << ArcTypeName(w.recognition.type);
  }
}

TEST(RecognitionTest, EmptyArchiveAndJar) {
  Walked empty = Walk(BuildZip({}));
  EXPECT_EQ(empty.recognition.type, TArcType::atZip);
  EXPECT_TRUE(empty.catalog.members.empty());
  EXPECT_TRUE(empty.recognition.state.Has(THeaderType::htEnding));
  EXPECT_EQ(empty.recognition.end.total_entries, 0u);

  EXPECT_EQ(Walk(BuildZip(MakeTwoMembers()), "lib.JaR").recognition.type, TArcType::atJar);
}

TEST(RecognitionTest, LongNameKeepsFirstBytesAndFindsItsData) {
  std::vector<BuildMember> members = {{.name = std::string(300, 'n'), .data = "payload"},
                                      {.name = "next.txt", .data = "second"}};
  BuildOptions options;
  options.zip64 = true;  // an extra field behind the long name
  std::string bytes = BuildZip(members, options);
  Walked w = Walk(bytes);
  ASSERT_EQ(w.catalog.members.size(), 2u);
  EXPECT_EQ(w.catalog.members[0].raw_name, std::string(255, 'n'));
  EXPECT_EQ(w.catalog.members[0].uncompressed_size, 7u);  // the zip64 field was read
  EXPECT_EQ(bytes.substr(w.catalog.members[0].data_offset, 7), "payload");
  EXPECT_EQ(w.catalog.members[1].raw_name, "next.txt");
}

}  // namespace
}  // namespace qm::zip
