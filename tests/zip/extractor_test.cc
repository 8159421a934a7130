// What the extractor's properties and events do in a whole Extract.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <functional>
#include <map>

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

enum class RunKind { kExtract, kTest };

struct Fixture {
  TempDir work;
  fs::path archive;
  fs::path out;
  TUnZip unzip;
  ErrorLog log{unzip};
  explicit Fixture(const std::string& bytes, const char* name = "test.zip") {
    archive = work.path() / name;
    out = work.path() / "out";
    WriteFileBytes(archive, bytes);
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
  WriteFileBytes(f.out / "a.txt", "old alpha");
  EXPECT_EQ(f.unzip.Extract(), 4);
  EXPECT_EQ(ReadFileBytes(f.out / "a.txt"), "alpha");
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
  WriteFileBytes(f.out / "a.txt", "keep me");
  f.unzip.OverwriteMode = TOverwriteMode::omSkip;
  std::vector<std::string> begun;
  f.unzip.OnBegin = [&begun](TUnZip*, const std::string& file, int, bool& extract) {
    begun.push_back(file);
    extract = file.find("c.dat") == std::string::npos;
  };
  EXPECT_EQ(f.unzip.Extract(), 2);  // readme and sub\b.txt
  EXPECT_EQ(ReadFileBytes(f.out / "a.txt"), "keep me");
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
    WriteFileBytes(f.out / "a.txt", "old alpha");
    WriteFileBytes(f.out / "taken.txt", "taken");
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

// The events of a member for each way it can end, in the order the caller
// sees them, with the counts and what stays on disk. Names are below the
// extraction folder; "progress F/A" is by file and by archive.
TEST(ExtractorTest, EventsOfEachMemberOutcomeInOrder) {
  const std::string skip_data(30, 's');
  const std::string after_data(70, 'a');
  const std::vector<BuildMember> plain = {{.name = "skip.dat", .data = skip_data},
                                          {.name = "after.txt", .data = after_data}};
  const std::vector<BuildMember> two_encrypted = {
      {.name = "one.dat", .data = skip_data, .password = "pw"},
      {.name = "two.dat", .data = skip_data, .password = "pw"},
      {.name = "after.txt", .data = std::string(40, 'a')}};
  auto with_first = [&](BuildMember first) {
    return std::vector<BuildMember>{std::move(first), {.name = "after.txt", .data = after_data}};
  };
  auto wrong_crc = [](std::string* bytes) {
    Put32(bytes, LastLayout().local_offsets[0] + 14, 0x12345678);
    Put32(bytes, LastLayout().central_offsets[0] + 16, 0x12345678);
  };
  const std::vector<std::string> after_events = {"begin after.txt", "progress 100/100",
                                                 "end after.txt pass"};
  auto then_after = [&](std::vector<std::string> events) {
    events.insert(events.end(), after_events.begin(), after_events.end());
    return events;
  };
  using Files = std::map<std::string, std::string>;
  const Files only_after = {{"after.txt", after_data}};
  const Files old_kept = {{"after.txt", after_data}, {"skip.dat", "old"}};

  const struct {
    const char* what;
    std::vector<BuildMember> members;
    std::function<void(std::string* bytes)> damage;
    std::function<void(TUnZip& unzip, const fs::path& out)> setup;
    RunKind run;
    std::vector<std::string> events;
    int extracted;
    int failed;
    Files files;
  } cases[] = {
      {"installed",
       plain,
       nullptr,
       nullptr,
       RunKind::kExtract,
       then_after({"begin skip.dat", "progress 100/30", "end skip.dat pass"}),
       2,
       0,
       {{"after.txt", after_data}, {"skip.dat", skip_data}}},
      {"hostile name: reported by its stored name, no begin",
       with_first({.name = "../skip.dat", .data = skip_data}), nullptr, nullptr, RunKind::kExtract,
       then_after({"error 25245 ..\\skip.dat", "progress 0/30"}), 1, 1, only_after},
      {"refused by OnBegin", plain, nullptr,
       [](TUnZip& unzip, const fs::path&) {
         unzip.OnBegin = [](TUnZip*, const std::string& file, int, bool& extract) {
           extract = file.find("skip.dat") == std::string::npos;
         };
       },
       RunKind::kExtract, then_after({"begin skip.dat", "progress 0/30"}), 1, 0, only_after},
      {"kept by omSkip", plain, nullptr,
       [](TUnZip& unzip, const fs::path& out) {
         WriteFileBytes(out / "skip.dat", "old");
         unzip.OverwriteMode = TOverwriteMode::omSkip;
       },
       RunKind::kExtract, then_after({"begin skip.dat", "progress 0/30"}), 1, 0, old_kept},
      {"skipped by OnFileExists", plain, nullptr,
       [](TUnZip& unzip, const fs::path& out) {
         WriteFileBytes(out / "skip.dat", "old");
         unzip.ConfirmOverwrites = true;
         unzip.OnFileExists = [](TUnZip*, const std::string&, std::string&, TOverwriteMode& mode) {
           mode = TOverwriteMode::omSkip;
         };
       },
       RunKind::kExtract, then_after({"begin skip.dat", "exists skip.dat", "progress 0/30"}), 1, 0,
       old_kept},
      {"damaged deflate stream: the inflater's reason comes with the error",
       with_first({.name = "skip.dat", .data = "\x07", .method = 8, .plain = skip_data}), nullptr,
       nullptr, RunKind::kExtract,
       then_after(
           {"begin skip.dat", "error 25116 skip.dat invalid block type", "end skip.dat fail"}),
       1, 1, only_after},
      {"confirmed overwrites without OnFileExists: reported and counted as a failure", plain,
       nullptr,
       [](TUnZip& unzip, const fs::path& out) {
         WriteFileBytes(out / "skip.dat", "old");
         unzip.ConfirmOverwrites = true;
         unzip.OnFileExists = nullptr;
       },
       RunKind::kExtract,
       then_after({"begin skip.dat", "error 25270 skip.dat OnFileExists", "progress 0/30"}), 1, 1,
       old_kept},
      {"unsupported method",
       with_first({.name = "skip.dat", .data = "zz", .method = 99, .plain = skip_data}), nullptr,
       nullptr, RunKind::kExtract,
       then_after({"begin skip.dat", "error 25326 skip.dat", "progress 0/30"}), 1, 1, only_after},
      {"no password and no handler: each encrypted member is reported",
       two_encrypted,
       nullptr,
       nullptr,
       RunKind::kExtract,
       {"begin one.dat", "error 25270 one.dat OnGetPassword", "progress 0/30", "begin two.dat",
        "error 25270 two.dat OnGetPassword", "progress 0/60", "begin after.txt", "progress 100/100",
        "end after.txt pass"},
       1,
       2,
       {{"after.txt", std::string(40, 'a')}}},
      {"wrong password: asked for once, each encrypted member reported",
       two_encrypted,
       nullptr,
       [](TUnZip& unzip, const fs::path&) { unzip.Passwords = {"nope"}; },
       RunKind::kExtract,
       {"begin one.dat", "error 26517 one.dat", "progress 0/30", "begin two.dat",
        "error 26517 two.dat", "progress 0/60", "begin after.txt", "progress 100/100",
        "end after.txt pass"},
       1,
       2,
       {{"after.txt", std::string(40, 'a')}}},
      {"password from the handler serves the later members",
       two_encrypted,
       nullptr,
       [](TUnZip& unzip, const fs::path&) {
         unzip.OnGetPassword = [](TUnZip*, const std::string&, std::string& password, bool&) {
           password = "pw";
         };
       },
       RunKind::kExtract,
       {"begin one.dat", "password one.dat", "progress 100/30", "end one.dat pass", "begin two.dat",
        "progress 100/60", "end two.dat pass", "begin after.txt", "progress 100/100",
        "end after.txt pass"},
       3,
       0,
       {{"after.txt", std::string(40, 'a')}, {"one.dat", skip_data}, {"two.dat", skip_data}}},
      {"handler gives up on the first member: the later ones say the password failed",
       two_encrypted,
       nullptr,
       [](TUnZip& unzip, const fs::path&) {
         unzip.OnGetPassword = [](TUnZip*, const std::string&, std::string&, bool& try_again) {
           try_again = false;
         };
       },
       RunKind::kExtract,
       {"begin one.dat", "password one.dat", "error 26517 one.dat", "progress 0/30",
        "begin two.dat", "error 26517 two.dat", "progress 0/60", "begin after.txt",
        "progress 100/100", "end after.txt pass"},
       1,
       2,
       {{"after.txt", std::string(40, 'a')}}},
      {"handler gives up on the password",
       with_first({.name = "skip.dat", .data = skip_data, .password = "pw"}), nullptr,
       [](TUnZip& unzip, const fs::path&) {
         unzip.OnGetPassword = [](TUnZip*, const std::string&, std::string&, bool& try_again) {
           try_again = false;
         };
       },
       RunKind::kExtract,
       then_after({"begin skip.dat", "password skip.dat", "error 26517 skip.dat", "progress 0/30"}),
       1, 1, only_after},
      {"data ends inside the encryption header",
       with_first({.name = "skip.dat", .data = skip_data, .password = "pw"}),
       [](std::string* bytes) {
         Put32(bytes, LastLayout().local_offsets[0] + 18, 5);
         Put32(bytes, LastLayout().central_offsets[0] + 20, 5);
       },
       [](TUnZip& unzip, const fs::path&) { unzip.Passwords = {"pw"}; }, RunKind::kExtract,
       then_after({"begin skip.dat", "error 25236 skip.dat", "progress 0/30"}), 1, 1, only_after},
      {"read-only target", plain, nullptr,
       [](TUnZip&, const fs::path& out) {
         WriteFileBytes(out / "skip.dat", "old");
         fs::permissions(out / "skip.dat",
                         fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                         fs::perm_options::remove);
       },
       RunKind::kExtract, then_after({"begin skip.dat", "error 25235 skip.dat", "progress 0/30"}),
       1, 1, old_kept},
      {"a folder in the target's place",
       plain,
       nullptr,
       [](TUnZip&, const fs::path& out) { fs::create_directories(out / "skip.dat"); },
       RunKind::kExtract,
       then_after({"begin skip.dat", "error 25235 skip.dat", "progress 0/30"}),
       1,
       1,
       {{"after.txt", after_data}, {"skip.dat/", ""}}},
      {"wrong CRC beside an old file", plain, wrong_crc,
       [](TUnZip&, const fs::path& out) { WriteFileBytes(out / "skip.dat", "old"); },
       RunKind::kExtract,
       then_after(
           {"begin skip.dat", "progress 100/30", "error 25151 skip.dat", "end skip.dat fail"}),
       1, 1, old_kept},
      {"wrong CRC in a folder of this run", plain, wrong_crc,
       [](TUnZip&, const fs::path& out) { fs::remove(out); }, RunKind::kExtract,
       then_after(
           {"begin skip.dat", "progress 100/30", "error 25151 skip.dat", "end skip.dat fail"}),
       1, 1, only_after},
      {"cancelled while decoding: the run stops",
       plain,
       nullptr,
       [](TUnZip& unzip, const fs::path&) {
         unzip.OnProgress = [](TUnZip* sender, uint8_t, uint8_t) { sender->CancelOperation(); };
       },
       RunKind::kExtract,
       {"begin skip.dat", "progress 100/30", "error 25443 skip.dat", "end skip.dat fail"},
       0,
       1,
       {}},
      {"test run: no begin, nothing written",
       plain,
       wrong_crc,
       nullptr,
       RunKind::kTest,
       {"progress 100/30", "error 25151 skip.dat", "end skip.dat fail", "progress 100/100",
        "end after.txt pass"},
       1,
       1,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = BuildZip(c.members);
    if (c.damage) {
      c.damage(&bytes);
    }
    Fixture f(bytes);
    fs::create_directories(f.out);
    const std::string out_dir = f.unzip.ExtractDir();
    auto below = [&out_dir](const std::string& name) {
      return name.rfind(out_dir, 0) == 0 ? name.substr(out_dir.size()) : name;
    };
    std::vector<std::string> events;
    if (c.setup) {
      c.setup(f.unzip, f.out);
    }
    auto begin = f.unzip.OnBegin;
    f.unzip.OnBegin = [&](TUnZip* sender, const std::string& file, int count, bool& extract) {
      events.push_back("begin " + below(file));
      if (begin) {
        begin(sender, file, count, extract);
      }
    };
    auto exists = f.unzip.OnFileExists;
    if (exists) {
      f.unzip.OnFileExists = [&](TUnZip* sender, const std::string& file, std::string& new_name,
                                 TOverwriteMode& mode) {
        events.push_back("exists " + below(file));
        exists(sender, file, new_name, mode);
      };
    }
    auto password = f.unzip.OnGetPassword;
    if (password) {
      f.unzip.OnGetPassword = [&](TUnZip* sender, const std::string& file, std::string& answer,
                                  bool& try_again) {
        events.push_back("password " + below(file));
        password(sender, file, answer, try_again);
      };
    }
    f.unzip.OnError = [&](TUnZip*, const std::string& file, const std::string& extended,
                          const std::string&, int code) {
      events.push_back("error " + std::to_string(code) + " " + below(file) +
                       (extended.empty() ? "" : " " + extended));
    };
    auto progress = f.unzip.OnProgress;
    f.unzip.OnProgress = [&](TUnZip* sender, uint8_t by_file, uint8_t by_archive) {
      events.push_back("progress " + std::to_string(by_file) + "/" + std::to_string(by_archive));
      if (progress) {
        progress(sender, by_file, by_archive);
      }
    };
    f.unzip.OnEnd = [&](TUnZip*, const std::string& file, bool crc_pass) {
      events.push_back("end " + below(file) + (crc_pass ? " pass" : " fail"));
    };

    const int result = c.run == RunKind::kTest ? f.unzip.Test() : f.unzip.Extract();
    EXPECT_EQ(events, c.events);
    EXPECT_EQ(result, c.extracted);
    EXPECT_EQ(f.unzip.ExtractedCount(), c.extracted);
    EXPECT_EQ(f.unzip.FailedCount(), c.failed);
    EXPECT_EQ(f.unzip.ErrorCount(),
              std::count_if(events.begin(), events.end(),
                            [](const std::string& e) { return e.rfind("error ", 0) == 0; }));
    EXPECT_EQ(f.unzip.Succeeded(), c.failed == 0);
    EXPECT_EQ(ReadTree(f.out), c.files);
    EXPECT_TRUE(TempLeftovers(f.work.path()).empty());
    std::error_code ignored;  // the read-only file must not stop the clean-up
    fs::permissions(f.out / "skip.dat", fs::perms::owner_write, fs::perm_options::add, ignored);
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
  EXPECT_EQ(ReadFileBytes(f.work.path() / "sub" / "b.txt"), "beta");
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
  EXPECT_EQ(ReadFileBytes(f.out / "sub" / "deeper" / "c.dat"), std::string(100000, 'c'));

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
  EXPECT_EQ(ReadFileBytes(f.out / "sub" / "b.txt"), "beta");
}

TEST(ExtractorTest, JarFolderEntriesByName) {
  // jar tools write folders with attributes 0: the name alone tells.
  std::vector<BuildMember> members = {{.name = "META-INF/", .data = "", .attributes = 0},
                                      {.name = "META-INF/MANIFEST.MF", .data = "Manifest"}};
  Fixture f(BuildZip(members), "lib.jar");
  f.unzip.CreateStoredDirs = true;
  EXPECT_EQ(f.unzip.ArcType(), TArcType::atJar);
  EXPECT_EQ(f.unzip.Extract(), 1);
  EXPECT_EQ(ReadFileBytes(f.out / "META-INF" / "MANIFEST.MF"), "Manifest");
}

}  // namespace
}  // namespace qm::zip::testing
