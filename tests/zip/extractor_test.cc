// What the extractor's properties and events do in a whole Extract.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <ctime>

#include "platform/file_system.h"
#include "platform/message_loop.h"
#include "tests/zip/extract_test_util.h"
#include "tests/zip/zip_builder.h"
#include "zip/unzip_error.h"

namespace qm::zip::testing {
namespace {

std::vector<BuildMember> MakeMembers() {
  return {
      {.name = "a.txt", .data = "alpha"},
      {.name = "readme", .data = "no extension"},
      {.name = "sub/", .data = "", .attributes = 0x10},
      {.name = "sub/b.txt", .data = "beta"},
      {.name = "sub/deeper/c.dat", .data = std::string(100000, 'c')},
  };
}

struct Fixture {
  TempDir work;
  fs::path archive;
  fs::path out;
  TUnZip unzip;
  ErrorLog log{unzip};
  explicit Fixture(const std::string& bytes, const char* name = "test.zip") {
    archive = work.path() / name;
    out = work.path() / "out";
    WriteBytes(archive, bytes);
    unzip.SetArchiveFile(archive.string());
    unzip.SetExtractDir(out.string());
    unzip.FileSpec = {"*.*"};
  }
  std::vector<std::string> Files() {
    std::vector<std::string> names;
    if (!fs::exists(out)) {
      return names;
    }
    for (const auto& [path, content] : ReadTree(out)) {
      names.push_back(path);
    }
    return names;
  }
};

TEST(ExtractorTest, SelectionAndStoredFolders) {
  const struct {
    std::vector<std::string> masks;
    bool recurse;
    bool use_stored_dirs;
    std::vector<std::string> files;
  } cases[] = {
      {{"*.*"},
       true,
       true,
       {"a.txt", "readme", "sub/", "sub/b.txt", "sub/deeper/", "sub/deeper/c.dat"}},
      {{"*.*"}, false, true, {"a.txt", "readme"}},
      {{"*.txt"}, true, true, {"a.txt", "sub/", "sub/b.txt"}},
      {{"*."}, true, true, {"readme"}},
      {{"sub\\*.*"}, true, true, {"sub/", "sub/b.txt", "sub/deeper/", "sub/deeper/c.dat"}},
      {{"*.*"}, true, false, {"a.txt", "b.txt", "c.dat", "readme"}},
  };
  for (const auto& c : cases) {
    Fixture f(BuildZip(MakeMembers()));
    f.unzip.FileSpec = c.masks;
    f.unzip.RecurseDirs = c.recurse;
    f.unzip.UseStoredDirs = c.use_stored_dirs;
    f.unzip.Extract();
    EXPECT_EQ(f.Files(), c.files) << c.masks[0];
    EXPECT_TRUE(f.log.errors.empty()) << f.log.Describe();
  }
}

TEST(ExtractorTest, ReplacesExistingFilesAndSetsTheirTime) {
  Fixture f(BuildZip(MakeMembers()));
  WriteBytes(f.out / "a.txt", "old alpha");
  EXPECT_EQ(f.unzip.Extract(), 4);
  EXPECT_EQ(ReadBytes(f.out / "a.txt"), "alpha");
  // 2025-04-11 12:00:00 local time, from the member's DOS date and time.
  auto written = fs::last_write_time(f.out / "a.txt");
  auto expected_time = fs::last_write_time(f.out / "sub" / "b.txt");
  EXPECT_EQ(written, expected_time);
  auto as_system = std::chrono::system_clock::now() +
                   std::chrono::duration_cast<std::chrono::system_clock::duration>(
                       written - decltype(written)::clock::now());
  std::tm when = {};
  when.tm_year = 2025 - 1900;
  when.tm_mon = 4 - 1;
  when.tm_mday = 11;
  when.tm_hour = 12;
  when.tm_isdst = -1;
  double apart = std::difftime(std::chrono::system_clock::to_time_t(as_system), std::mktime(&when));
  EXPECT_LE(std::abs(apart), 2.0);
}

TEST(ExtractorTest, StoredAttributesAreRestoredAfterTheFlush) {
  // The flush reopens each file for writing: a read-only mark given too early
  // would make it fail.
  for (bool sync : {true, false}) {
    Fixture f(BuildZip({{.name = "locked.dat", .data = "ro", .attributes = 0x01},
                        {.name = "plain.dat", .data = "rw", .attributes = 0x20}}));
    f.unzip.SyncFiles = sync;
    EXPECT_EQ(f.unzip.Extract(), 2);
    EXPECT_TRUE(f.unzip.Succeeded()) << f.log.Describe();
    uint32_t locked = 0;
    uint32_t plain = 0;
    ASSERT_TRUE(platform::GetFileAttributes((f.out / "locked.dat").string(), &locked));
    ASSERT_TRUE(platform::GetFileAttributes((f.out / "plain.dat").string(), &plain));
    EXPECT_NE(locked & platform::kAttrReadOnly, 0u) << sync;
    EXPECT_EQ(plain & platform::kAttrReadOnly, 0u) << sync;
  }
}

TEST(ExtractorTest, SkipRulesAndBeginEvent) {
  Fixture f(BuildZip(MakeMembers()));
  WriteBytes(f.out / "a.txt", "keep me");
  f.unzip.OverwriteMode = TOverwriteMode::omSkip;
  std::vector<std::string> begun;
  f.unzip.OnBegin = [&begun](TUnZip*, const std::string& file, int, bool& extract) {
    begun.push_back(file);
    extract = file.find("c.dat") == std::string::npos;
  };
  EXPECT_EQ(f.unzip.Extract(), 2);  // readme and sub\b.txt
  EXPECT_EQ(ReadBytes(f.out / "a.txt"), "keep me");
  EXPECT_FALSE(fs::exists(f.out / "sub" / "deeper" / "c.dat"));
  EXPECT_EQ(begun.size(), 4u);  // files only, not the folder entry
  EXPECT_TRUE(f.unzip.Succeeded());
}

TEST(ExtractorTest, OnFileExistsMayNameAnotherTarget) {
  // Answers of the handler, in order; "" keeps the name it was given, and a
  // name with a folder part is a full path below the extraction folder.
  const struct {
    const char* what;
    std::vector<std::string> answers;
    TOverwriteMode mode;
    std::vector<std::string> asked;  // names the handler saw, below out
    std::map<std::string, std::string> files;
  } cases[] = {
      {"a new name beside the old file",
       {"a-new.txt"},
       TOverwriteMode::omOverwrite,
       {"a.txt"},
       {{"a.txt", "old alpha"}, {"a-new.txt", "alpha"}, {"taken.txt", "taken"}}},
      {"a full path",
       {"sub/moved.txt"},
       TOverwriteMode::omOverwrite,
       {"a.txt"},
       {{"a.txt", "old alpha"}, {"sub/", ""}, {"sub/moved.txt", "alpha"}, {"taken.txt", "taken"}}},
      {"a new name that exists too is offered again",
       {"taken.txt", "a-2.txt"},
       TOverwriteMode::omOverwrite,
       {"a.txt", "taken.txt"},
       {{"a.txt", "old alpha"}, {"a-2.txt", "alpha"}, {"taken.txt", "taken"}}},
      {"no new name: the file is replaced",
       {""},
       TOverwriteMode::omOverwrite,
       {"a.txt"},
       {{"a.txt", "alpha"}, {"taken.txt", "taken"}}},
      {"skipped",
       {"a-new.txt"},
       TOverwriteMode::omSkip,
       {"a.txt"},
       {{"a.txt", "old alpha"}, {"taken.txt", "taken"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f(BuildZip({{.name = "a.txt", .data = "alpha"}}));
    WriteBytes(f.out / "a.txt", "old alpha");
    WriteBytes(f.out / "taken.txt", "taken");
    f.unzip.ConfirmOverwrites = true;
    std::vector<std::string> asked;
    size_t next = 0;
    const std::string out_dir = f.unzip.ExtractDir();
    f.unzip.OnFileExists = [&](TUnZip*, const std::string& file, std::string& new_name,
                               TOverwriteMode& mode) {
      asked.push_back(file.substr(std::min(out_dir.size(), file.size())));
      EXPECT_TRUE(new_name.empty());
      const std::string& answer = c.answers[std::min(next++, c.answers.size() - 1)];
      new_name = answer.find('/') == std::string::npos ? answer : out_dir + answer;
      mode = c.mode;
    };
    f.unzip.Extract();
    EXPECT_TRUE(f.log.errors.empty()) << f.log.Describe();
    EXPECT_EQ(asked, c.asked);
    EXPECT_EQ(ReadTree(f.out), c.files);
  }
}

TEST(ExtractorTest, ProgressReachesTheEndAndTheLoopTurns) {
  Fixture f(BuildZip(MakeMembers()));
  std::vector<int> by_archive;
  f.unzip.OnProgress = [&by_archive](TUnZip*, uint8_t, uint8_t archive) {
    by_archive.push_back(archive);
  };
  // A message posted before Extract is delivered while it runs.
  bool delivered_during_extract = false;
  bool extracting = false;
  platform::MessageWindow window(
      [&](const platform::Message&) { delivered_during_extract = extracting; });
  window.Post(platform::kUserMessage + 10);
  f.unzip.OnActivate = [&extracting](TUnZip*) { extracting = true; };
  f.unzip.OnDeactivate = [&extracting](TUnZip*) { extracting = false; };
  f.unzip.Extract();
  EXPECT_TRUE(delivered_during_extract);
  ASSERT_FALSE(by_archive.empty());
  EXPECT_TRUE(std::is_sorted(by_archive.begin(), by_archive.end()));
  EXPECT_EQ(by_archive.back(), 100);
}

TEST(ExtractorTest, TestAndListWriteNothing) {
  Fixture f(BuildZip(MakeMembers()));
  EXPECT_EQ(f.unzip.Test(), 4);
  std::vector<TZipMemberInfo> list = f.unzip.List();
  ASSERT_EQ(list.size(), 5u);
  EXPECT_EQ(list[3].name, "sub\\b.txt");
  EXPECT_EQ(list[3].uncompressed_size, 4u);
  EXPECT_TRUE(list[2].directory);
  EXPECT_FALSE(fs::exists(f.out));
}

TEST(ExtractorTest, EmptyExtractDirMeansTheArchiveFolder) {
  Fixture f(BuildZip(MakeMembers()));
  f.unzip.SetExtractDir("");
  EXPECT_EQ(f.unzip.Extract(), 4);
  EXPECT_EQ(ReadBytes(f.work.path() / "sub" / "b.txt"), "beta");
}

TEST(ExtractorTest, DirectoryWithoutLocalHeadersIsDamagedButReadable) {
  BuildOptions options;
  options.write_central = false;
  options.write_end = false;
  Fixture f(BuildZip(MakeMembers(), options));
  // Members still come out, but the caller learns the archive is not whole.
  EXPECT_EQ(f.unzip.Extract(), 4);
  EXPECT_TRUE(f.log.Has(kErrHeaderNotFound));
  EXPECT_FALSE(f.unzip.Succeeded());
  EXPECT_EQ(ReadBytes(f.out / "sub" / "deeper" / "c.dat"), std::string(100000, 'c'));

  // A handler may refuse the walk by local headers.
  Fixture refused(BuildZip(MakeMembers(), options));
  THeaderTypeState seen;
  refused.unzip.OnCorruptZipHeader = [&seen](TUnZip*, THeaderTypeState state, bool& cancel) {
    seen = state;
    cancel = true;
  };
  EXPECT_EQ(refused.unzip.Extract(), 0);
  EXPECT_EQ(seen, THeaderTypeState::Of(THeaderType::htLocal));
  EXPECT_TRUE(refused.Files().empty());
}

TEST(ExtractorTest, HeaderEncryptedArchive) {
  std::vector<BuildMember> members = MakeMembers();
  for (BuildMember& m : members) {
    m.header_encrypted = true;
  }
  Fixture f(BuildZip(members));
  EXPECT_EQ(f.unzip.Extract(), 4) << f.log.Describe();
  EXPECT_EQ(ReadBytes(f.out / "sub" / "b.txt"), "beta");
}

TEST(ExtractorTest, JarFolderEntriesByName) {
  // jar tools write folders with attributes 0: the name alone tells.
  std::vector<BuildMember> members = {{.name = "META-INF/", .data = "", .attributes = 0},
                                      {.name = "META-INF/MANIFEST.MF", .data = "Manifest"}};
  Fixture f(BuildZip(members), "lib.jar");
  f.unzip.CreateStoredDirs = true;
  EXPECT_EQ(f.unzip.ArcType(), TArcType::atJar);
  EXPECT_EQ(f.unzip.Extract(), 1);
  EXPECT_EQ(ReadBytes(f.out / "META-INF" / "MANIFEST.MF"), "Manifest");
}

}  // namespace
}  // namespace qm::zip::testing
