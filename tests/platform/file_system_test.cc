#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#endif

#include "tests/platform/test_support.h"

namespace qm::platform {
namespace {

using testing::SystemTempDir;

std::string ReadAll(const std::string& path) {
  File file;
  if (!file.Open(path, File::Mode::kRead)) {
    return "<cannot open>";
  }
  std::string data;
  char buffer[256];
  int64_t n;
  while ((n = file.Read(buffer, sizeof(buffer))) > 0) {
    data.append(buffer, static_cast<size_t>(n));
  }
  return data;
}

TEST(FileSystemTest, PathsIgnoreLetterCase) {
  SystemTempDir dir;
  dir.Write("Temp/Sub/File.TXT", "content");
  EXPECT_TRUE(FileExists(dir.path("temp\\SUB\\file.txt")));
  EXPECT_TRUE(DirectoryExists(dir.path("TEMP\\sub")));
  EXPECT_FALSE(FileExists(dir.path("TEMP\\sub")));  // a folder is no file
  EXPECT_FALSE(DirectoryExists(dir.path("temp\\sub\\FILE.txt")));
  EXPECT_EQ(ReadAll(dir.path("tEmP\\sUb\\fIlE.tXt")), "content");
  // Creating below a folder written in another case uses the existing one.
  ASSERT_TRUE(CreateDirectory(dir.path("temp\\New")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.os_path("Temp/New")));
  ASSERT_TRUE(CreateDirectories(dir.path("TEMP\\new\\a\\b")));
  EXPECT_TRUE(std::filesystem::is_directory(dir.os_path("Temp/New/a/b")));
  EXPECT_TRUE(CreateDirectory(dir.path("temp\\NEW")));  // already there: fine
  EXPECT_EQ(ListDirectory(dir.path("TEMP")), (std::vector<std::string>{"New", "Sub"}));
}

TEST(FileSystemTest, LookupsSeeChangesMadeByOthersAtOnce) {
  // Each step changes the folder behind the file system's back, at once
  // after a lookup, and the next lookup must see the change.
  namespace fs = std::filesystem;
  SystemTempDir dir;
  dir.Write("Box/keep", "");
  const struct {
    const char* what;
    std::function<void()> change;
    const char* name;
    bool exists;
  } steps[] = {
      {"nothing yet", [] {}, "READ.ME", false},
      {"created", [&] { dir.Write("Box/Read.me", "1"); }, "READ.ME", true},
      {"renamed", [&] { fs::rename(dir.os_path("Box/Read.me"), dir.os_path("Box/Other.me")); },
       "read.me", false},
      {"renamed, new name", [] {}, "OTHER.ME", true},
      {"removed", [&] { fs::remove(dir.os_path("Box/Other.me")); }, "other.me", false},
      {"folder replaced",
       [&] {
         fs::rename(dir.os_path("Box"), dir.os_path("Old"));
         dir.Write("Box/Read.me", "2");
       },
       "read.ME", true},
      {"folder replaced, old entry", [] {}, "KEEP", false},
  };
  for (const auto& step : steps) {
    step.change();
    EXPECT_EQ(FileExists(dir.path("box") + "\\" + step.name), step.exists) << step.what;
  }
  EXPECT_EQ(ReadAll(dir.path("BOX\\READ.ME")), "2");
#ifndef _WIN32
  // Two spellings of one name: the smallest wins, and the other once it goes.
  dir.Write("Box/b.txt", "small b");
  dir.Write("Box/B.txt", "capital B");
  EXPECT_EQ(ReadAll(dir.path("box\\B.TXT")), "capital B");
  fs::remove(dir.os_path("Box/B.txt"));
  EXPECT_EQ(ReadAll(dir.path("box\\B.TXT")), "small b");
#endif
}

TEST(FileSystemTest, ReplaceFileOverwritesTheExistingFileWhateverItsCase) {
  SystemTempDir dir;
  dir.Write("App/QuillMar.exe", "old");
  dir.Write("App/Temp/new.bin", "new");
  ASSERT_TRUE(ReplaceFile(dir.path("app\\temp\\NEW.BIN"), dir.path("APP\\quillmar.EXE")));
  EXPECT_EQ(dir.Read("App/QuillMar.exe"), "new");
  EXPECT_FALSE(std::filesystem::exists(dir.os_path("App/Temp/new.bin")));
  EXPECT_EQ(ListDirectory(dir.path("App")), (std::vector<std::string>{"QuillMar.exe", "Temp"}));
  // A missing source fails and leaves the target alone.
  EXPECT_FALSE(ReplaceFile(dir.path("App\\Temp\\gone"), dir.path("App\\QuillMar.exe")));
  EXPECT_EQ(LastFileError(), FileError::kNotFound);
  EXPECT_EQ(dir.Read("App/QuillMar.exe"), "new");
}

TEST(FileSystemTest, ReadWriteSeekBeyondFourGigabytes) {
  SystemTempDir dir;
  File file;
  ASSERT_TRUE(file.Open(dir.path("big.bin"), File::Mode::kCreate));
  const int64_t far = (int64_t{5} << 30) + 3;  // sparse
  ASSERT_TRUE(file.Seek(far));
  ASSERT_TRUE(file.Write("xyz", 3));
  EXPECT_EQ(file.Tell(), far + 3);
  EXPECT_EQ(file.Size(), far + 3);
  ASSERT_TRUE(file.Flush());
  file.Close();
  ASSERT_TRUE(file.Open(dir.path("BIG.bin"), File::Mode::kRead));
  ASSERT_TRUE(file.Seek(far + 1));
  char buffer[8];
  EXPECT_EQ(file.Read(buffer, sizeof(buffer)), 2);
  EXPECT_EQ(std::string(buffer, 2), "yz");
  EXPECT_EQ(file.Read(buffer, sizeof(buffer)), 0);
  EXPECT_FALSE(file.Write("a", 1));  // opened for reading
  file.Close();
  // kReadWrite keeps the content.
  dir.Write("keep.txt", "abcdef");
  ASSERT_TRUE(file.Open(dir.path("keep.txt"), File::Mode::kReadWrite));
  ASSERT_TRUE(file.Write("XY", 2));
  file.Close();
  EXPECT_EQ(dir.Read("keep.txt"), "XYcdef");
}

TEST(FileSystemTest, ErrorsAreReportedByKind) {
  SystemTempDir dir;
  File file;
  EXPECT_FALSE(file.Open(dir.path("missing.txt"), File::Mode::kRead));
  EXPECT_EQ(file.error(), FileError::kNotFound);
  EXPECT_EQ(LastFileError(), FileError::kNotFound);
  EXPECT_FALSE(file.Open(dir.path("nofolder\\x.txt"), File::Mode::kCreate));
  EXPECT_EQ(file.error(), FileError::kNotFound);
  // A folder cannot be opened as a file.
  dir.Write("sub/x", "");
  EXPECT_FALSE(file.Open(dir.path("sub"), File::Mode::kRead));
  EXPECT_EQ(file.error(), FileError::kAccessDenied);
  EXPECT_FALSE(DeleteFile(dir.path("sub")));
  EXPECT_FALSE(RemoveDirectory(dir.path("sub")));  // not empty
  EXPECT_TRUE(DeleteFile(dir.path("SUB\\X")));
  EXPECT_TRUE(RemoveDirectory(dir.path("Sub")));
  EXPECT_FALSE(DeleteFile(dir.path("sub\\x")));
  EXPECT_EQ(LastFileError(), FileError::kNotFound);
  EXPECT_FALSE(FileErrorText(FileError::kDiskFull).empty());
}

TEST(FileSystemTest, FileInReadOnlyFolderIsAccessDenied) {
#ifdef _WIN32
  GTEST_SKIP() << "folder permissions are a POSIX matter; Win32 is tested in tests/platform/win32";
#else
  SystemTempDir dir;
  std::string folder = dir.path("locked");
  if (geteuid() == 0) {
    // Root passes every permission check; sysfs refuses new files to root.
    folder = "\\sys";
  } else {
    ASSERT_TRUE(CreateDirectory(folder));
    ASSERT_EQ(chmod(dir.linux_path("locked").c_str(), 0555), 0);
  }
  File file;
  EXPECT_FALSE(file.Open(folder + "\\QuillMar.ini", File::Mode::kCreate));
  EXPECT_EQ(file.error(), FileError::kAccessDenied);
  EXPECT_TRUE(CreateTempFile(folder, "qm").empty());
  EXPECT_EQ(LastFileError(), FileError::kAccessDenied);
#endif
}

TEST(FileSystemTest, ReadOnlyFileIsNeitherWrittenReplacedNorDeleted) {
  SystemTempDir dir;
  dir.Write("Game.dll", "old");
  dir.Write("new.tmp", "new");
  ASSERT_TRUE(SetFileAttributes(dir.path("game.dll"), kAttrReadOnly));
#ifdef _WIN32
  {
    std::ofstream probe(dir.os_path("Game.dll"), std::ios::app);
    if (probe.is_open())
      GTEST_SKIP() << "the host lets this user write read-only files (root under Wine)";
  }
#endif
  // Refused even for root on POSIX, as Windows refuses it to everyone.
  File file;
  EXPECT_FALSE(file.Open(dir.path("GAME.DLL"), File::Mode::kCreate));
  EXPECT_EQ(file.error(), FileError::kAccessDenied);
  EXPECT_FALSE(file.Open(dir.path("GAME.DLL"), File::Mode::kReadWrite));
  EXPECT_EQ(file.error(), FileError::kAccessDenied);
  EXPECT_FALSE(ReplaceFile(dir.path("new.tmp"), dir.path("game.dll")));
  EXPECT_EQ(LastFileError(), FileError::kAccessDenied);
  EXPECT_FALSE(DeleteFile(dir.path("game.dll")));
  EXPECT_EQ(LastFileError(), FileError::kAccessDenied);
  EXPECT_EQ(dir.Read("Game.dll"), "old");
  EXPECT_EQ(dir.Read("new.tmp"), "new");
  ASSERT_TRUE(file.Open(dir.path("game.dll"), File::Mode::kRead));  // reading is fine
  file.Close();
  // Without the attribute everything works again.
  ASSERT_TRUE(SetFileAttributes(dir.path("game.dll"), kAttrArchive));
  EXPECT_TRUE(ReplaceFile(dir.path("new.tmp"), dir.path("game.dll")));
  EXPECT_EQ(dir.Read("Game.dll"), "new");
  EXPECT_TRUE(DeleteFile(dir.path("game.dll")));
}

TEST(FileSystemTest, ReadOnlyAttributeFollowsTheWriteBits) {
  SystemTempDir dir;
  dir.Write("f.txt", "x");
  uint32_t attributes = 0xFFFF;
  ASSERT_TRUE(GetFileAttributes(dir.path("F.TXT"), &attributes));
  EXPECT_EQ(attributes & (kAttrReadOnly | kAttrDirectory), 0u);
  ASSERT_TRUE(SetFileAttributes(dir.path("f.txt"), kAttrReadOnly | kAttrArchive));
  ASSERT_TRUE(GetFileAttributes(dir.path("f.txt"), &attributes));
  EXPECT_NE(attributes & kAttrReadOnly, 0u);
  ASSERT_TRUE(SetFileAttributes(dir.path("f.txt"), kAttrArchive));
  ASSERT_TRUE(GetFileAttributes(dir.path("f.txt"), &attributes));
  EXPECT_EQ(attributes & kAttrReadOnly, 0u);
  ASSERT_TRUE(GetFileAttributes(dir.path(""), &attributes));
  EXPECT_NE(attributes & kAttrDirectory, 0u);
  EXPECT_FALSE(GetFileAttributes(dir.path("none"), &attributes));
}

#ifndef _WIN32
TEST(FileSystemTest, UnixModeOfAnArchiveGivesOnlyExecuteBits) {
  struct Case {
    const char* what;
    uint32_t attributes;
    mode_t before;
    mode_t after;
  };
  const Case cases[] = {
      {"program", kAttrArchive | (0100755u << 16), 0644, 0755},
      {"owner-only program", kAttrArchive | (0100700u << 16), 0644, 0744},
      {"not readable by others", kAttrArchive | (0100755u << 16), 0640, 0750},
      {"plain file", kAttrArchive | (0100644u << 16), 0644, 0644},
      {"read-only program", kAttrReadOnly | (0100555u << 16), 0644, 0555},
      {"folder mode on a file", kAttrArchive | (040755u << 16), 0644, 0644},
      {"DOS attributes only", kAttrArchive, 0644, 0644},
      {"write bits are not widened", kAttrArchive | (0100777u << 16), 0644, 0755},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SystemTempDir dir;
    dir.Write("game", "x");
    ASSERT_EQ(::chmod(dir.os_path("game").c_str(), c.before), 0);
    ASSERT_TRUE(SetFileAttributes(dir.path("game"), c.attributes));
    struct stat st;
    ASSERT_EQ(::stat(dir.os_path("game").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, c.after);
  }
}

TEST(FileSystemTest, LastWriteTimeIsLocalTime) {
  SystemTempDir dir;
  dir.Write("a.txt", "x");
  const LocalDateTime when{2001, 2, 3, 4, 5, 6};
  ASSERT_TRUE(SetFileTime(dir.path("A.TXT"), when));
  File file;
  dir.Write("b.txt", "y");
  ASSERT_TRUE(file.Open(dir.path("b.txt"), File::Mode::kReadWrite));
  ASSERT_TRUE(file.SetLastWriteTime(LocalDateTime{1999, 12, 31, 23, 59, 58}));
  file.Close();
  struct Expect {
    const char* name;
    int year, month, day, hour, minute, second;
  };
  for (const Expect& e :
       {Expect{"a.txt", 2001, 2, 3, 4, 5, 6}, Expect{"b.txt", 1999, 12, 31, 23, 59, 58}}) {
    struct stat st;
    ASSERT_EQ(stat(dir.linux_path(e.name).c_str(), &st), 0);
    struct tm tm;
    localtime_r(&st.st_mtime, &tm);
    EXPECT_EQ(tm.tm_year + 1900, e.year) << e.name;
    EXPECT_EQ(tm.tm_mon + 1, e.month) << e.name;
    EXPECT_EQ(tm.tm_mday, e.day) << e.name;
    EXPECT_EQ(tm.tm_hour, e.hour) << e.name;
    EXPECT_EQ(tm.tm_min, e.minute) << e.name;
    EXPECT_EQ(tm.tm_sec, e.second) << e.name;
  }
}

TEST(FileSystemTest, ReplaceFileAcrossFileSystems) {
  // /dev/shm is a tmpfs, the build tree is not: rename(2) cannot move there.
  std::error_code ec;
  if (!std::filesystem::is_directory("/dev/shm", ec)) {
    GTEST_SKIP() << "no /dev/shm";
  }
  SystemTempDir dir;
  dir.Write("Target.dll", "old");
  std::filesystem::permissions(dir.os_path("Target.dll"), std::filesystem::perms::owner_read |
                                                              std::filesystem::perms::owner_write);
  const std::string source =
      "/dev/shm/qm-replace-" + std::to_string(getpid()) + "-" + std::to_string(rand());
  {
    std::ofstream out(source, std::ios::binary);
    out << "new content";
  }
  ASSERT_TRUE(ReplaceFile(testing::SystemPath(source), dir.path("TARGET.DLL")));
  EXPECT_EQ(dir.Read("Target.dll"), "new content");
  EXPECT_FALSE(std::filesystem::exists(source));
  // Only the target is left: no copy half way.
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{"Target.dll"}));
}

TEST(FileSystemTest, LeftoversOfAKilledWriteAreRemoved) {
  SystemTempDir dir;
  for (const char* name : {"QuillMar.ini.qmtmp-95tiPI", "Foo.dll.qmcopy-Ab12Cd", "QuillMar.ini",
                           "notes.qmtmp.txt", "Foo.dll"}) {
    dir.Write(name, "x");
  }
  RemoveLeftovers(dir.path());
  std::vector<std::string> left = ListDirectory(dir.path());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"Foo.dll", "QuillMar.ini", "notes.qmtmp.txt"}));
}

TEST(FileSystemTest, KoreanNamesAreUtf8OnDisk) {
  SystemTempDir dir;
  const std::string cp949 = "\xB5\xA5\xC0\xCC\xC5\xCD";  // "데이터"
  ASSERT_TRUE(CreateDirectory(dir.path(cp949)));
  EXPECT_TRUE(
      std::filesystem::is_directory(dir.linux_path("\xEB\x8D\xB0\xEC\x9D\xB4\xED\x84\xB0")));
  EXPECT_EQ(ListDirectory(dir.path()), (std::vector<std::string>{cp949}));
}
#endif

TEST(FileSystemTest, TempFilesAreNewAndEmpty) {
  SystemTempDir dir;
  const std::string a = CreateTempFile(dir.path(), "qm");
  const std::string b = CreateTempFile(dir.path(), "qm");
  ASSERT_FALSE(a.empty());
  ASSERT_FALSE(b.empty());
  EXPECT_NE(a, b);
  EXPECT_EQ(a.rfind(dir.path() + "\\qm", 0), 0u) << a;
  EXPECT_TRUE(FileExists(a));
  EXPECT_EQ(ReadAll(a), "");
  EXPECT_EQ(ListDirectory(dir.path()).size(), 2u);
}

TEST(FileSystemTest, ExecutablePathNamesThisTest) {
  const std::string path = ExecutablePath();
  EXPECT_NE(path.find("qm_platform_file_system_tests"), std::string::npos) << path;
  EXPECT_TRUE(FileExists(path));
}

}  // namespace
}  // namespace qm::platform
