// Damaged archives, wrong passwords, hostile names, read-only and busy
// targets: each gives its error code and leaves the previous files as they
// were, with no temporary file behind.
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/file_system.h"
#include "tests/zip/extract_test_util.h"
#include "tests/zip/zip_builder.h"
#include "zip/catalog.h"
#include "zip/unzip_error.h"

#ifdef _WIN32
#include <windows.h>
#undef GetFileAttributes  // the platform layer's, not the A/W macro
#else
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qm::zip::testing {
namespace {

const char kOld[] = "previous version\n";

fs::path Generated(const char* name) {
  return GeneratedArchives() / "archives" / name;
}

// Every file that the archive holds, already present with old content.
void PlantOldFiles(const fs::path& dir, const std::map<std::string, std::string>& expected) {
  for (const auto& [path, content] : expected) {
    if (path.back() != '/') {
      WriteFileBytes(dir / path, kOld);
    }
  }
}

// Locates a member's records in archive bytes.
MemberEntry FindMember(const std::string& bytes, const std::string& name) {
  MemorySource source(bytes);
  Recognition r = RecognizeArchive(source, "x.zip");
  CatalogObserver all;
  for (const MemberEntry& e : ReadCatalog(source, r, all).members) {
    if (e.raw_name == name) {
      return e;
    }
  }
  ADD_FAILURE() << "no member " << name;
  return MemberEntry();
}

size_t CentralOffsetOf(const std::string& bytes, const std::string& name) {
  size_t pos = bytes.find(std::string("PK\x01\x02", 4));
  while (pos != std::string::npos) {
    uint16_t length = static_cast<uint8_t>(bytes[pos + 28]) | (bytes[pos + 29] << 8);
    if (bytes.compare(pos + 46, length, name) == 0) {
      return pos;
    }
    pos = bytes.find(std::string("PK\x01\x02", 4), pos + 4);
  }
  ADD_FAILURE() << "no central entry " << name;
  return 0;
}

// Patches a 16- or 32-bit field in both the local and the central header.
std::string PatchHeaders(std::string bytes,
                         const std::string& name,
                         size_t local_field,
                         size_t central_field,
                         uint32_t value,
                         int width) {
  MemberEntry e = FindMember(bytes, name);
  size_t central = CentralOffsetOf(bytes, name);
  if (width == 2) {
    Put16(&bytes, e.local_offset + local_field, static_cast<uint16_t>(value));
    Put16(&bytes, central + central_field, static_cast<uint16_t>(value));
  } else {
    Put32(&bytes, e.local_offset + local_field, value);
    Put32(&bytes, central + central_field, value);
  }
  return bytes;
}

struct DamageCase {
  const char* what;
  const char* source;
  std::function<std::string(const std::string&)> damage;
  std::vector<int> codes;  // one of them is reported
  const char* keeps_old;   // a member that must keep its previous content
  const char* password = "";
};

TEST(FailureTest, DamagedArchivesKeepPreviousFiles) {
  const std::string text = "corpus/sub/deeper/text.txt";
  const DamageCase cases[] = {
      {"truncated download",
       "deflated.zip",
       [](const std::string& b) { return b.substr(0, b.size() * 6 / 10); },
       {kErrHeaderNotFound},
       nullptr},
      {"flipped bits in deflated data",
       "deflated.zip",
       [&](const std::string& b) {
         std::string d = b;
         MemberEntry e = FindMember(d, text);
         for (size_t i = 0; i < 64; ++i) {
           d[e.data_offset + e.compressed_size / 2 + i] ^= 0x5A;
         }
         return d;
       },
       {kErrCrcCheck, kErrFileSizeDifferent, kErrBadBlock},
       "corpus/sub/deeper/text.txt"},
      {"wrong CRC",
       "deflated.zip",
       [&](const std::string& b) { return PatchHeaders(b, text, 14, 16, 0x12345678, 4); },
       {kErrCrcCheck},
       "corpus/sub/deeper/text.txt"},
      {"unknown method",
       "deflated.zip",
       [&](const std::string& b) { return PatchHeaders(b, text, 8, 10, 99, 2); },
       {kErrUnsupportedMethod},
       "corpus/sub/deeper/text.txt"},
      {"stored data cut short",
       "stored.zip",
       [](const std::string& b) {
         const std::string& d = b;
         MemberEntry e = FindMember(d, "corpus/sub/random.bin");
         // Claims more data than the member has: the copy overruns into the
         // next records and the CRC tells.
         return PatchHeaders(d, "corpus/sub/random.bin", 22, 24,
                             static_cast<uint32_t>(e.uncompressed_size + 1000), 4);
       },
       {kErrCrcCheck, kErrFileSizeDifferent},
       "corpus/sub/random.bin"},
      {"not a zip archive",
       "deflated.zip",
       [](const std::string&) { return std::string("<html><body>404 Not Found</body></html>"); },
       {kErrUnsupportedArchive},
       "corpus/hello.txt"},
      {"a few bytes",
       "deflated.zip",
       [](const std::string& b) { return b.substr(0, 10); },
       {kErrUnsupportedArchive},
       "corpus/hello.txt"},
      {"wrong password",
       "encrypted.zip",
       [](const std::string& b) { return b; },
       {kErrInvalidPassword},
       "corpus/hello.txt",
       "not-the-password"},
      {"no password",
       "encrypted.zip",
       [](const std::string& b) { return b; },
       {kErrEventNotAssigned},
       "corpus/hello.txt"},
  };
  for (const DamageCase& c : cases) {
    SCOPED_TRACE(c.what);
    auto expected = ReadTree(GeneratedArchives() / "expected" / c.source);
    TempDir work;
    fs::path out = work.path() / "game";
    PlantOldFiles(out, expected);
    fs::path archive = work.path() / "download.zip";
    WriteFileBytes(archive, c.damage(ReadFileBytes(Generated(c.source))));

    TUnZip unzip;
    ErrorLog log(unzip);
    unzip.SetArchiveFile(archive.string());
    unzip.SetExtractDir(out.string());
    unzip.FileSpec = {"*.*"};
    if (*c.password) {
      unzip.Passwords = {c.password};
    }
    unzip.Extract();

    bool reported = false;
    for (int code : c.codes) {
      reported |= log.Has(code);
    }
    EXPECT_TRUE(reported) << log.Describe();
    EXPECT_FALSE(unzip.Succeeded());
    // Each file is either as it was or exactly the new version.
    for (const auto& [path, content] : expected) {
      if (path.back() == '/') {
        continue;
      }
      std::string now = ReadFileBytes(out / path);
      EXPECT_TRUE(now == kOld || now == content) << "partly written: " << path;
    }
    if (c.keeps_old) {
      EXPECT_TRUE(ReadFileBytes(out / c.keeps_old) == kOld) << c.keeps_old;
    }
    EXPECT_TRUE(TempLeftovers(work.path()).empty());
  }
}

TEST(FailureTest, FailedMemberInAFreshFolderLeavesNoFile) {
  // Members of a folder the run creates are written in place: a failing one
  // must still leave nothing behind, and its neighbours must stay whole.
  const std::string bytes = PatchHeaders(BuildZip({{.name = "new/good.txt", .data = "good"},
                                                   {.name = "new/bad.txt", .data = "bad data"},
                                                   {.name = "new/after.txt", .data = "after"}}),
                                         "new/bad.txt", 14, 16, 0x12345678, 4);
  TempDir work;
  fs::path archive = work.path() / "fresh.zip";
  WriteFileBytes(archive, bytes);
  fs::path out = work.path() / "game";
  TUnZip unzip;
  ErrorLog log(unzip);
  unzip.SetArchiveFile(archive.string());
  unzip.SetExtractDir(out.string());
  unzip.FileSpec = {"*.*"};
  EXPECT_EQ(unzip.Extract(), 2);
  EXPECT_TRUE(log.Has(kErrCrcCheck)) << log.Describe();
  EXPECT_FALSE(unzip.Succeeded());
  EXPECT_EQ(ReadTree(out),
            (std::map<std::string, std::string>{
                {"new/", ""}, {"new/after.txt", "after"}, {"new/good.txt", "good"}}));
}

TEST(FailureTest, MissingArchive) {
  TUnZip unzip;
  ErrorLog log(unzip);
  TempDir dir;
  unzip.SetArchiveFile((dir.path() / "nothing.zip").string());
  EXPECT_TRUE(unzip.ArchiveFile().empty());
  EXPECT_EQ(unzip.ArcType(), TArcType::atNA);
  EXPECT_EQ(unzip.Extract(), 0);
  EXPECT_TRUE(log.Has(kErrFileNotFound));
  EXPECT_FALSE(unzip.Succeeded());
}

// Escapes, Windows device names and names that Windows would shorten are
// each refused alone, with one code; the other members land.
TEST(FailureTest, RootedNamesLandBelowTheFolderAndHostileNamesAreRefused) {
  const struct {
    const char* name;
    const char* lands;  // below the extraction folder; nullptr: refused
  } cases[] = {
      {"../escaped.txt", nullptr},
      {"a/../../up-escaped.txt", nullptr},
      {"sub/..\\..\\mixed-escaped.txt", nullptr},
      {"C:\\..\\drive-escaped.txt", nullptr},
      {"/abs.txt", "abs.txt"},
      {"\\back.txt", "back.txt"},
      {"//server/share/unc.txt", "server/share/unc.txt"},
      {"C:\\drive.txt", "drive.txt"},
      {"d:/data/x.dat", "data/x.dat"},
      {"E:rel.txt", "rel.txt"},
      {"CON", nullptr},
      {"sub/aux.dat", nullptr},
      {"prn/inside.txt", nullptr},
      {"com1.txt", nullptr},
      {"LPT9", nullptr},
      {"nul.tar.gz", nullptr},
      {"evil.exe.", nullptr},
      {"evil2.exe ", nullptr},
  };
  std::vector<BuildMember> members;
  std::map<std::string, std::string> expected;
  int refused = 0;
  for (const auto& c : cases) {
    members.push_back({.name = c.name, .data = std::string("from ") + c.name});
    if (c.lands) {
      expected[c.lands] = std::string("from ") + c.name;
      std::string folder = fs::path(c.lands).parent_path().generic_string();
      for (; !folder.empty(); folder = fs::path(folder).parent_path().generic_string()) {
        expected[folder + "/"] = "";
      }
    } else {
      ++refused;
    }
  }
  TempDir work;
  fs::path out = work.path() / "a" / "b";
  fs::create_directories(out);
  fs::path archive = work.path() / "hostile.zip";
  WriteFileBytes(archive, BuildZip(members));

  TUnZip unzip;
  ErrorLog log(unzip);
  unzip.SetArchiveFile(archive.string());
  unzip.SetExtractDir(out.string());
  unzip.FileSpec = {"*.*"};
  EXPECT_EQ(unzip.Extract(), static_cast<int>(std::size(cases)) - refused);
  EXPECT_EQ(log.Count(kErrInvalidFileName), refused) << log.Describe();
  EXPECT_EQ(static_cast<int>(log.errors.size()), refused) << log.Describe();
  EXPECT_EQ(unzip.FailedCount(), refused);
  EXPECT_FALSE(unzip.Succeeded());
  EXPECT_EQ(ReadTree(out), expected);
  for (const auto& entry : fs::recursive_directory_iterator(work.path())) {
    EXPECT_EQ(entry.path().filename().string().find("escaped"), std::string::npos) << entry.path();
  }
#ifndef _WIN32
  EXPECT_FALSE(fs::exists("/abs.txt"));
  EXPECT_FALSE(fs::exists("/server"));
#endif
}

// An archive with one member "target.txt".
fs::path OneMemberArchive(const fs::path& dir, const std::string& name = "target.txt") {
  fs::path archive = dir / "one.zip";
  WriteFileBytes(archive, BuildZip({{.name = name, .data = "new content"}}));
  return archive;
}

TEST(FailureTest, ReadOnlyTargetStaysUnlessOverwritesAreConfirmed) {
  TempDir work;
  fs::path out = work.path() / "out";
  WriteFileBytes(out / "target.txt", kOld);
  fs::permissions(out / "target.txt",
                  fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  TUnZip unzip;
  ErrorLog log(unzip);
  unzip.SetArchiveFile(OneMemberArchive(work.path()).string());
  unzip.SetExtractDir(out.string());
  unzip.FileSpec = {"*.*"};
  EXPECT_EQ(unzip.Extract(), 0);
  EXPECT_TRUE(log.Has(kErrOpenFile)) << log.Describe();
  EXPECT_EQ(ReadFileBytes(out / "target.txt"), kOld);
  EXPECT_EQ(unzip.FailedCount(), 1);

  // Confirmed by the handler: the read-only mark is cleared and the file replaced.
  unzip.ConfirmOverwrites = true;
  unzip.OnFileExists = [](TUnZip*, const std::string&, std::string&, TOverwriteMode& mode) {
    mode = TOverwriteMode::omOverwrite;
  };
  EXPECT_EQ(unzip.Extract(), 1) << log.Describe();
  EXPECT_EQ(ReadFileBytes(out / "target.txt"), "new content");
}

#ifndef _WIN32
TEST(FailureTest, ReadOnlyFolderLosesNothing) {
  TempDir work;
  fs::path out = work.path() / "out";
  WriteFileBytes(out / "target.txt", kOld);
  fs::path archive = OneMemberArchive(work.path());
  // Tests run as root, for whom permissions do not stop writing: the
  // immutable attribute does.
  std::string lock = "chattr +i '" + out.string() + "' 2>/dev/null";
  if (std::system(lock.c_str()) != 0) {
    GTEST_SKIP() << "chattr is not available here";
  }
  TUnZip unzip;
  ErrorLog log(unzip);
  unzip.SetArchiveFile(archive.string());
  unzip.SetExtractDir(out.string());
  unzip.FileSpec = {"*.*"};
  int count = unzip.Extract();
  std::system(("chattr -i '" + out.string() + "'").c_str());
  EXPECT_EQ(count, 0);
  EXPECT_TRUE(log.Has(kErrOpenFile)) << log.Describe();
  EXPECT_EQ(ReadFileBytes(out / "target.txt"), kOld);
  EXPECT_TRUE(TempLeftovers(work.path()).empty());
}

TEST(FailureTest, RunningProgramIsReplaced) {
  TempDir work;
  fs::path out = work.path() / "out";
  fs::create_directories(out);
  fs::copy_file("/bin/sleep", out / "prog");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    execl((out / "prog").c_str(), "prog", "30", static_cast<char*>(nullptr));
    _exit(127);
  }
  usleep(100 * 1000);
  TUnZip unzip;
  ErrorLog log(unzip);
  unzip.SetArchiveFile(OneMemberArchive(work.path(), "prog").string());
  unzip.SetExtractDir(out.string());
  unzip.FileSpec = {"*.*"};
  EXPECT_EQ(unzip.Extract(), 1) << log.Describe();
  EXPECT_EQ(ReadFileBytes(out / "prog"), "new content");
  EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0);  // still running, from the old file
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}
#else
TEST(FailureTest, FileOpenLikeARunningProgramIsReplaced) {
  TempDir work;
  fs::path out = work.path() / "out";
  WriteFileBytes(out / "prog.exe", kOld);
  // A running executable is open for reading and may be renamed, not written.
  HANDLE busy = CreateFileW((out / "prog.exe").wstring().c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(busy, INVALID_HANDLE_VALUE);
  TUnZip unzip;
  ErrorLog log(unzip);
  unzip.SetArchiveFile(OneMemberArchive(work.path(), "prog.exe").string());
  unzip.SetExtractDir(out.string());
  unzip.FileSpec = {"*.*"};
  EXPECT_EQ(unzip.Extract(), 1) << log.Describe();
  CloseHandle(busy);
  EXPECT_EQ(ReadFileBytes(out / "prog.exe"), "new content");
  // The next run clears what was renamed aside.
  EXPECT_EQ(unzip.Extract(), 1);
  EXPECT_EQ(ReadTree(out).size(), 1u);
}
#endif

TEST(FailureTest, CancelStopsWithoutPartialFiles) {
  auto expected = ReadTree(GeneratedArchives() / "expected" / "deflated.zip");
  TempDir work;
  fs::path out = work.path() / "out";
  PlantOldFiles(out, expected);
  TUnZip unzip;
  ErrorLog log(unzip);
  unzip.SetArchiveFile(Generated("deflated.zip").string());
  unzip.SetExtractDir(out.string());
  unzip.FileSpec = {"*.*"};
  int steps = 0;
  unzip.OnProgress = [&steps](TUnZip* sender, uint8_t, uint8_t) {
    if (++steps == 3) {
      sender->CancelOperation();
    }
  };
  unzip.Extract();
  EXPECT_TRUE(log.Has(kErrUserCanceled)) << log.Describe();
  EXPECT_FALSE(unzip.Succeeded());
  for (const auto& [path, content] : expected) {
    if (path.back() != '/') {
      std::string now = ReadFileBytes(out / path);
      EXPECT_TRUE(now == kOld || now == content) << path;
    }
  }
  EXPECT_TRUE(TempLeftovers(work.path()).empty());
}

// Extracts bytes into a fresh folder below work (or an existing one).
struct ExtractRun {
  TempDir work;
  fs::path out = work.path() / "out";
  TUnZip unzip;
  ErrorLog log{unzip};
  int Extract(const std::string& bytes) {
    fs::path archive = work.path() / "run.zip";
    WriteFileBytes(archive, bytes);
    unzip.SetArchiveFile(archive.string());
    unzip.SetExtractDir(out.string());
    unzip.FileSpec = {"*.*"};
    return unzip.Extract();
  }
};

TEST(FailureTest, DamagedEncryptedMemberKeepsThePasswordForTheRest) {
  const std::vector<BuildMember> members = {
      {.name = "damaged.dat", .data = "first secret", .password = "pw"},
      {.name = "good.dat", .data = "second secret", .password = "pw"},
      {.name = "plain.dat", .data = "open"}};
  const struct {
    const char* what;
    std::function<void(std::string*)> damage;
  } cases[] = {
      {"compressed size below the encryption header",
       [](std::string* b) {
         Put32(b, LastLayout().local_offsets[0] + 18, 5);
         Put32(b, LastLayout().central_offsets[0] + 20, 5);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = BuildZip(members);
    c.damage(&bytes);
    ExtractRun run;
    run.unzip.Passwords = {"pw"};
    EXPECT_EQ(run.Extract(bytes), 2) << run.log.Describe();
    ASSERT_EQ(run.log.errors.size(), 1u) << run.log.Describe();
    EXPECT_EQ(run.log.errors[0].code, kErrReadFile);
    EXPECT_NE(run.log.errors[0].file_name.find("damaged.dat"), std::string::npos);
    EXPECT_EQ(run.unzip.FailedCount(), 1);
    EXPECT_FALSE(run.unzip.Succeeded());
    EXPECT_EQ(ReadTree(run.out), (std::map<std::string, std::string>{{"good.dat", "second secret"},
                                                                     {"plain.dat", "open"}}));
  }
}

TEST(FailureTest, MalformedDataGivesTheCodeOfItsFault) {
  const struct {
    const char* what;
    uint16_t method;
    uint16_t flags;
    std::string stream;
    std::string plain;  // what the member stands for (its CRC and size)
    int code;
  } cases[] = {
      // The length tree gives 64 symbols a 1-bit code each.
      {"impossible Implode tree", 6, 0, std::string("\x03\xF0\xF0\xF0\xF0", 5),
       std::string(100, 'x'), kErrAmbiguousTree},
      // After a partial clear the first free code is the previous one: it is
      // defined as its own prefix and its string never ends.
      {"Shrink string longer than the stack", 1, 0,
       PackBits({{'a', 9}, {'b', 9}, {257, 9}, {256, 9}, {2, 9}, {'a', 9}, {257, 9}}),
       std::string(100, 'x'), kErrStackOverflow},
      {"Shrink control code 3", 1, 0, PackBits({{'a', 9}, {256, 9}, {3, 9}}), std::string(100, 'x'),
       kErrBadBlock},
      // A stored block that is not marked final, then the member's data ends.
      {"Deflate without its final block", 8, 0,
       std::string("\x00\x03\x00\xFC\xFF"
                   "abc",
                   8),
       "abc", kErrBadBlock},
      {"Deflate with a reserved block type", 8, 0, std::string("\x07", 1), "abc", kErrBadBlock},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExtractRun run;
    const std::string bytes = BuildZip({{.name = "bad.dat",
                                         .data = c.stream,
                                         .method = c.method,
                                         .flags = c.flags,
                                         .plain = c.plain},
                                        {.name = "after.txt", .data = "after"}});
    EXPECT_EQ(run.Extract(bytes), 1);
    ASSERT_EQ(run.log.errors.size(), 1u) << run.log.Describe();
    EXPECT_EQ(run.log.errors[0].code, c.code) << run.log.Describe();
    EXPECT_FALSE(run.unzip.Succeeded());
    EXPECT_EQ(ReadTree(run.out), (std::map<std::string, std::string>{{"after.txt", "after"}}));
  }
}

TEST(FailureTest, SameTargetTwiceInAFreshFolder) {
  // The later member replaces the earlier one; a later one that fails leaves
  // the earlier one as it was, also where the folder is new to this run.
  const struct {
    const char* what;
    bool second_fails;
    const char* content;
  } cases[] = {
      {"both whole", false, "second"},
      {"the second fails", true, "first"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = BuildZip(
        {{.name = "new/same.txt", .data = "first"}, {.name = "new/same.txt", .data = "second"}});
    if (c.second_fails) {
      Put32(&bytes, LastLayout().local_offsets[1] + 14, 0x12345678);
      Put32(&bytes, LastLayout().central_offsets[1] + 16, 0x12345678);
    }
    ExtractRun run;
    EXPECT_EQ(run.Extract(bytes), c.second_fails ? 1 : 2);
    EXPECT_EQ(run.log.Has(kErrCrcCheck), c.second_fails) << run.log.Describe();
    EXPECT_EQ(ReadTree(run.out),
              (std::map<std::string, std::string>{{"new/", ""}, {"new/same.txt", c.content}}));
  }
}

TEST(FailureTest, NameThatDiffersBetweenTheHeadersIsDamage) {
  // One flipped byte in the directory's copy of a name: the data and its CRC
  // are whole, but the file must not land under the changed name.
  std::string bytes =
      BuildZip({{.name = "Sp.Gif", .data = "picture"}, {.name = "other.txt", .data = "whole"}});
  bytes[LastLayout().central_offsets[0] + 46 + 3] ^= 0x20;  // "Sp.gif"
  ExtractRun run;
  EXPECT_EQ(run.Extract(bytes), 1);
  EXPECT_TRUE(run.log.Has(kErrBadFileHeader)) << run.log.Describe();
  EXPECT_FALSE(run.unzip.Succeeded());
  EXPECT_EQ(ReadTree(run.out), (std::map<std::string, std::string>{{"other.txt", "whole"}}));
}

TEST(FailureTest, TemporariesOfAnEarlierRunAreCleared) {
  ExtractRun run;
  // What a run that died left in folders that exist, beside a file of the
  // user's that only looks alike.
  WriteFileBytes(run.out / (std::string(TUnZip::kTempFilePrefix) + "1a2b3c.tmp"), "partial");
  WriteFileBytes(run.out / "sub" / (std::string(TUnZip::kTempFilePrefix) + "XYZ123"), "partial");
  WriteFileBytes(run.out / "sub" / "qmz-notes.txt", "mine");
  EXPECT_EQ(run.Extract(BuildZip(
                {{.name = "a.txt", .data = "alpha"}, {.name = "sub/b.txt", .data = "beta"}})),
            2);
  EXPECT_TRUE(run.unzip.Succeeded()) << run.log.Describe();
  EXPECT_TRUE(TempLeftovers(run.work.path()).empty());
  EXPECT_EQ(
      ReadTree(run.out),
      (std::map<std::string, std::string>{
          {"a.txt", "alpha"}, {"sub/", ""}, {"sub/b.txt", "beta"}, {"sub/qmz-notes.txt", "mine"}}));
}

// The update's setting: a file of an earlier install is replaced whatever
// the earlier archive marked it with. Read-only, system and hidden files
// are replaced alike; Windows refuses to write over any of them until the
// mark is cleared.
TEST(FailureTest, MarkedFileOfAnEarlierArchiveIsReplacedWhenOverwritesAreConfirmed) {
  using platform::kAttrHidden;
  using platform::kAttrReadOnly;
  using platform::kAttrSystem;
  const struct {
    const char* what;
    uint32_t marks;
  } cases[] = {
      {"read-only", kAttrReadOnly},
      {"system", kAttrSystem},
      {"hidden", kAttrHidden},
      {"system and hidden", kAttrSystem | kAttrHidden},
      {"read-only and system", kAttrReadOnly | kAttrSystem},
      {"read-only, system and hidden", kAttrReadOnly | kAttrSystem | kAttrHidden},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ExtractRun run;
    run.unzip.ConfirmOverwrites = true;
    run.unzip.OnFileExists = [](TUnZip*, const std::string&, std::string& new_name,
                                TOverwriteMode& mode) {
      new_name.clear();
      mode = TOverwriteMode::omOverwrite;
    };
    const uint32_t marked = platform::kAttrArchive | c.marks;
    ASSERT_EQ(run.Extract(BuildZip({{.name = "sub/game.dll", .data = "old", .attributes = marked},
                                    {.name = "sub/other.txt", .data = "other"}})),
              2)
        << run.log.Describe();
    const std::string target = (run.out / "sub" / "game.dll").string();
#ifdef _WIN32
    const uint32_t kept = c.marks;  // as the archive asked
#else
    const uint32_t kept = c.marks & kAttrReadOnly;  // the only mark a POSIX file shows
#endif
    auto marks = [&target] {
      uint32_t attributes = 0;
      EXPECT_TRUE(platform::GetFileAttributes(target, &attributes));
      return attributes & (kAttrReadOnly | kAttrSystem | kAttrHidden);
    };
    EXPECT_EQ(marks(), kept);

    // A member that fails leaves the old file with its marks.
    std::string damaged = BuildZip({{.name = "sub/game.dll", .data = "bad"}});
    Put32(&damaged, LastLayout().local_offsets[0] + 14, 0x12345678);
    Put32(&damaged, LastLayout().central_offsets[0] + 16, 0x12345678);
    EXPECT_EQ(run.Extract(damaged), 0);
    EXPECT_TRUE(run.log.Has(kErrCrcCheck)) << run.log.Describe();
    EXPECT_EQ(ReadFileBytes(run.out / "sub" / "game.dll"), "old");
    EXPECT_EQ(marks(), kept);

    // Every later run replaces it: the same file again, and a new version.
    for (const char* content : {"old", "new"}) {
      EXPECT_EQ(run.Extract(BuildZip({{.name = "sub/game.dll", .data = content}})), 1)
          << run.log.Describe();
      EXPECT_TRUE(run.unzip.Succeeded()) << run.log.Describe();
      EXPECT_EQ(ReadFileBytes(run.out / "sub" / "game.dll"), content);
    }
    EXPECT_EQ(marks(), 0u);
    EXPECT_TRUE(TempLeftovers(run.work.path()).empty());
  }
}

}  // namespace
}  // namespace qm::zip::testing
