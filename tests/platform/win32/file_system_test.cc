// Win32 file behaviour: files in use, error mapping, Korean names, 64-bit
// positions and local times.
#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win32/windows_no_file_macros.h"

namespace qm::platform {
namespace {

std::string Korean(const char8_t* utf8) {
  return Utf8ToCp949(reinterpret_cast<const char*>(utf8));
}

// A fresh folder in the Wine prefix's C: drive, removed afterwards.
class Folder {
 public:
  Folder() {
    static int counter = 0;
    path_ = "C:\\qm-fs-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
    EXPECT_TRUE(CreateDirectories(path_));
  }
  ~Folder() { Remove(path_); }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }
  const std::string& path() const { return path_; }

  static void Write(const std::string& path, const std::string& content) {
    File file;
    ASSERT_TRUE(file.Open(path, File::Mode::kCreate));
    ASSERT_TRUE(file.Write(content.data(), content.size()));
  }
  static std::string Read(const std::string& path) {
    File file;
    if (!file.Open(path, File::Mode::kRead))
      return "<missing>";
    std::string content(static_cast<size_t>(file.Size()), '\0');
    file.Read(content.data(), content.size());
    return content;
  }

 private:
  static void Remove(const std::string& path) {
    for (const std::string& name : ListDirectory(path)) {
      std::string child = path + "\\" + name;
      if (DirectoryExists(child)) {
        Remove(child);
      } else {
        SetFileAttributes(child, 0);
        DeleteFile(child);
      }
    }
    RemoveDirectory(path);
  }
  std::string path_;
};

std::vector<std::string> Leftovers(const Folder& folder) {
  std::vector<std::string> found;
  for (const std::string& name : ListDirectory(folder.path())) {
    if (name.find(".qmold-") != std::string::npos)
      found.push_back(name);
  }
  return found;
}

std::wstring Wide(const std::string& cp949) {
  int n = MultiByteToWideChar(949, 0, cp949.data(), static_cast<int>(cp949.size()), nullptr, 0);
  std::wstring wide(n, L'\0');
  MultiByteToWideChar(949, 0, cp949.data(), static_cast<int>(cp949.size()), wide.data(), n);
  return wide;
}

HANDLE OpenShared(const std::string& path, DWORD share) {
  return CreateFileW(Wide(path).c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST(ReplaceFileTest, ReplacesATargetHeldOpenAsARunningProgramIsAndClearsTheLeftover) {
  Folder folder;
  Folder::Write(folder / "new.bin", "new content");
  Folder::Write(folder / "Game.exe", "old content");
  // A mapped executable allows reading and renaming, not replacing.
  HANDLE held = OpenShared(folder / "Game.exe", FILE_SHARE_READ | FILE_SHARE_DELETE);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(ReplaceFile(folder / "new.bin", folder / "Game.exe"));
  EXPECT_EQ(Folder::Read(folder / "Game.exe"), "new content");
  EXPECT_FALSE(FileExists(folder / "new.bin"));
  EXPECT_EQ(Leftovers(folder).size(), 1u) << "the old file was renamed aside";
  RemoveLeftovers(folder.path());  // must not disturb a leftover still open
  CloseHandle(held);
  RemoveLeftovers(folder.path());
  EXPECT_TRUE(Leftovers(folder).empty());
  EXPECT_EQ(ListDirectory(folder.path()), std::vector<std::string>{"Game.exe"});
}

TEST(ReplaceFileTest, ReplacesARunningExecutable) {
  Folder folder;
  wchar_t self[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring child(self, n);
  child = child.substr(0, child.find_last_of(L'\\') + 1) + L"win32_child.exe";
  std::wstring running = Wide(folder / "Game.exe");
  ASSERT_TRUE(CopyFileW(child.c_str(), running.c_str(), FALSE));
  std::wstring command = L"\"" + running + L"\" sleep 30000";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  ASSERT_TRUE(CreateProcessW(running.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                             nullptr, &startup, &process));
  Sleep(300);
  Folder::Write(folder / "new.exe", "new program");
  bool replaced = ReplaceFile(folder / "new.exe", folder / "Game.exe");
  size_t leftovers_while_running = Leftovers(folder).size();
  RemoveLeftovers(folder.path());  // in use: left for a later start, no error
  TerminateProcess(process.hProcess, 0);
  WaitForSingleObject(process.hProcess, 10000);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(leftovers_while_running, 1u);
  EXPECT_EQ(Folder::Read(folder / "Game.exe"), "new program");
  RemoveLeftovers(folder.path());
  EXPECT_TRUE(Leftovers(folder).empty());
}

TEST(ReplaceFileTest, TargetLockedAgainstRenamingFailsAndLosesNothing) {
  Folder folder;
  Folder::Write(folder / "new.bin", "new content");
  Folder::Write(folder / "data.pak", "old content");
  HANDLE held = OpenShared(folder / "data.pak", FILE_SHARE_READ);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(ReplaceFile(folder / "new.bin", folder / "data.pak"));
  EXPECT_EQ(LastFileError(), FileError::kInUse);
  CloseHandle(held);
  EXPECT_EQ(Folder::Read(folder / "data.pak"), "old content");
  EXPECT_EQ(Folder::Read(folder / "new.bin"), "new content");
  EXPECT_TRUE(Leftovers(folder).empty());
}

// Only a file is moved aside: a folder where the file should go stays as it
// is, with what it holds.
TEST(ReplaceFileTest, FolderInTheWayFailsAndStaysWhereItIs) {
  Folder folder;
  Folder::Write(folder / "new.bin", "new content");
  ASSERT_TRUE(CreateDirectories(folder / "blocked.bin"));
  Folder::Write(folder / "blocked.bin\\kept.txt", "kept");
  EXPECT_FALSE(ReplaceFile(folder / "new.bin", folder / "blocked.bin"));
  EXPECT_EQ(LastFileError(), FileError::kAccessDenied);
  EXPECT_EQ(Folder::Read(folder / "blocked.bin\\kept.txt"), "kept");
  EXPECT_EQ(Folder::Read(folder / "new.bin"), "new content");
  EXPECT_TRUE(Leftovers(folder).empty());
}

TEST(FileTest, ReaderDoesNotLockOutWritersOrReplacement) {
  Folder folder;
  Folder::Write(folder / "QuillMar.exe", "v1");
  File reader;
  ASSERT_TRUE(reader.Open(folder / "QuillMar.exe", File::Mode::kRead));
  File writer;
  EXPECT_TRUE(writer.Open(folder / "QuillMar.exe", File::Mode::kReadWrite));
  writer.Close();
  Folder::Write(folder / "next", "v2");
  EXPECT_TRUE(ReplaceFile(folder / "next", folder / "QuillMar.exe"));
  reader.Close();
  EXPECT_EQ(Folder::Read(folder / "QuillMar.exe"), "v2");
}

TEST(FileTest, ErrorsMapToTheirKinds) {
  Folder folder;
  Folder::Write(folder / "locked", "x");
  ASSERT_TRUE(CreateDirectory(folder / "sub"));
  HANDLE exclusive = OpenShared(folder / "locked", 0);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  struct Case {
    std::string path;
    File::Mode mode;
    FileError expected;
  };
  const Case cases[] = {
      {folder / "missing", File::Mode::kRead, FileError::kNotFound},
      {folder / "no\\such\\folder.ini", File::Mode::kCreate, FileError::kNotFound},
      {folder / "locked", File::Mode::kRead, FileError::kInUse},
      {folder / "locked", File::Mode::kCreate, FileError::kInUse},
      {folder / "sub", File::Mode::kCreate, FileError::kAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    File file;
    EXPECT_FALSE(file.Open(c.path, c.mode));
    EXPECT_EQ(file.error(), c.expected);
    EXPECT_EQ(LastFileError(), c.expected);
  }
  CloseHandle(exclusive);
  EXPECT_TRUE(CreateDirectory(folder / "sub")) << "an existing folder is fine";
  EXPECT_FALSE(CreateDirectory(folder / "locked"));
  EXPECT_FALSE(FileErrorText(FileError::kInUse).empty());
}

TEST(FileTest, KoreanNamesReachTheDiskAsUnicode) {
  Folder folder;
  std::string dir = folder / Korean(u8"데이터\\하위");
  std::string file = dir + "\\" + Korean(u8"파일.txt");
  ASSERT_TRUE(CreateDirectories(dir));
  Folder::Write(file, "x");
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW(Wide(dir + "\\*.txt").c_str(), &data);
  ASSERT_NE(find, INVALID_HANDLE_VALUE);
  EXPECT_STREQ(data.cFileName, L"\xD30C\xC77C.txt");  // 파일.txt
  FindClose(find);
  EXPECT_EQ(ListDirectory(dir), std::vector<std::string>{Korean(u8"파일.txt")});
  EXPECT_TRUE(FileExists(folder / Korean(u8"데이터/하위/파일.TXT"))) << "any case, either slash";
  std::string temp = CreateTempFile(dir, "QM");
  ASSERT_FALSE(temp.empty());
  EXPECT_EQ(temp.rfind(dir + "\\QM", 0), 0u);
  EXPECT_TRUE(FileExists(temp));
  EXPECT_NE(CreateTempFile(dir, "QM"), temp);
}

TEST(FileTest, PositionsBeyondFourGigabytes) {
  Folder folder;
  File file;
  ASSERT_TRUE(file.Open(folder / "big", File::Mode::kReadWrite));
  const int64_t beyond = (int64_t{1} << 32) + 5;
  ASSERT_TRUE(file.Seek(beyond));
  ASSERT_TRUE(file.Write("z", 1));
  EXPECT_EQ(file.Tell(), beyond + 1);
  EXPECT_EQ(file.Size(), beyond + 1);
  ASSERT_TRUE(file.Seek(beyond));
  char c = 0;
  EXPECT_EQ(file.Read(&c, 1), 1);
  EXPECT_EQ(c, 'z');
  EXPECT_EQ(file.Read(&c, 1), 0);
  EXPECT_FALSE(file.Seek(-1));
}

TEST(FileTest, TimesAreLocalAndAttributesAreDosBits) {
  Folder folder;
  const LocalDateTime when{2003, 7, 14, 23, 59, 58};
  Folder::Write(folder / "a", "x");
  {
    File file;
    ASSERT_TRUE(file.Open(folder / "b", File::Mode::kCreate));
    ASSERT_TRUE(file.SetLastWriteTime(when));
  }
  ASSERT_TRUE(SetFileTime(folder / "a", when));
  for (const char* name : {"a", "b"}) {
    SCOPED_TRACE(name);
    WIN32_FILE_ATTRIBUTE_DATA data;
    ASSERT_TRUE(GetFileAttributesExW(Wide(folder / name).c_str(), GetFileExInfoStandard, &data));
    FILETIME local;
    SYSTEMTIME st;
    FileTimeToLocalFileTime(&data.ftLastWriteTime, &local);
    FileTimeToSystemTime(&local, &st);
    EXPECT_EQ(st.wYear, when.year);
    EXPECT_EQ(st.wMonth, when.month);
    EXPECT_EQ(st.wDay, when.day);
    EXPECT_EQ(st.wHour, when.hour);
    EXPECT_EQ(st.wMinute, when.minute);
    EXPECT_EQ(st.wSecond, when.second);
  }
  uint32_t attributes = 0;
  ASSERT_TRUE(SetFileAttributes(folder / "a", kAttrReadOnly));
  ASSERT_TRUE(GetFileAttributes(folder / "a", &attributes));
  EXPECT_EQ(attributes & kAttrReadOnly, kAttrReadOnly);
  ASSERT_TRUE(SetFileAttributes(folder / "a", 0));
  ASSERT_TRUE(GetFileAttributes(folder / "a", &attributes));
  EXPECT_EQ(attributes & kAttrReadOnly, 0u);
  ASSERT_TRUE(GetFileAttributes(folder.path(), &attributes));
  EXPECT_EQ(attributes & kAttrDirectory, kAttrDirectory);
  EXPECT_FALSE(GetFileAttributes(folder / "none", &attributes));
  EXPECT_EQ(LastFileError(), FileError::kNotFound);
}

}  // namespace
}  // namespace qm::platform
