// A game folder named in a script that code page 949 lacks (José, a
// Ukrainian or an emoji name) works like any other, whatever the system's
// code page: the backend gives the folder's name to the core, files below it
// are made, read, replaced and listed, the settings file is written, version
// resources are read, and programs start there and find themselves. Names
// the core adds (Temp, Korean member names) keep code page 949.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "platform/version_info.h"
#include "platform/win32/windows_no_file_macros.h"
#include "tests/platform/win32/test_support.h"

namespace qm::platform {
namespace {

std::wstring Wide(const char8_t* utf8) {
  const auto* text = reinterpret_cast<const char*>(utf8);
  int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
  std::wstring wide(n - 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text, -1, wide.data(), n);
  return wide;
}

std::string Cp949(const char8_t* utf8) {
  return Utf8ToCp949(reinterpret_cast<const char*>(utf8));
}

bool WideExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string ReadAll(const std::string& path) {
  File file;
  if (!file.Open(path, File::Mode::kRead))
    return "<missing>";
  std::string content(static_cast<size_t>(file.Size()), '\0');
  file.Read(content.data(), content.size());
  return content;
}

// C:\qm-names-<pid>-<n>\<name>, made with the wide API as Explorer would; the
// core learns its name from the backend, as it learns the game folder's.
class ForeignFolder {
 public:
  explicit ForeignFolder(const std::wstring& name) {
    static int counter = 0;
    const std::string unique =
        std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
    base_ = "C:\\qm-names-" + unique;
    wide_ = std::wstring(base_.begin(), base_.end()) + L"\\" + name;
    CreateDirectoryA(base_.c_str(), nullptr);
    EXPECT_TRUE(CreateDirectoryW(wide_.c_str(), nullptr));
    const std::vector<std::string> names = ListDirectory(base_);
    EXPECT_EQ(names.size(), 1u);
    path_ = names.empty() ? base_ : base_ + "\\" + names[0];
  }
  ~ForeignFolder() {
    Remove(wide_);
    RemoveDirectoryA(base_.c_str());
  }
  const std::string& path() const { return path_; }
  const std::wstring& wide() const { return wide_; }

 private:
  static void Remove(const std::wstring& dir) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &data);
    if (find != INVALID_HANDLE_VALUE) {
      do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
          continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          Remove(dir + L"\\" + name);
        } else {
          SetFileAttributesW((dir + L"\\" + name).c_str(), FILE_ATTRIBUTE_NORMAL);
          DeleteFileW((dir + L"\\" + name).c_str());
        }
      } while (FindNextFileW(find, &data));
      FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
  }
  std::string base_;
  std::string path_;
  std::wstring wide_;
};

struct FolderName {
  const char* label;
  const char8_t* utf8;
  const char* core;  // the name the backend gives the core, as on POSIX
};

class ForeignFolderTest : public ::testing::TestWithParam<FolderName> {
 protected:
  ForeignFolderTest() : folder_(Wide(GetParam().utf8)) {}
  ForeignFolder folder_;
};

// The code page the test runs under, as its CTest entry sets the locale.
TEST(LocaleTest, SystemCodePageIsTheOneAskedFor) {
  const char* expected = std::getenv("QM_EXPECT_ACP");
  ASSERT_NE(expected, nullptr);
  EXPECT_EQ(GetACP(), std::strtoul(expected, nullptr, 10));
}

TEST_P(ForeignFolderTest, FilesBelowTheFolder) {
  const std::string dir = folder_.path();
  EXPECT_EQ(dir.substr(dir.rfind('\\') + 1), GetParam().core);
  const std::string temp = dir + "\\Temp";
  ASSERT_TRUE(CreateDirectories(temp + "\\sub")) << "no folder " << temp;
  const std::string file = temp + "\\" + Cp949(u8"파일.txt");
  {
    File out;
    ASSERT_TRUE(out.Open(file, File::Mode::kCreate));
    ASSERT_TRUE(out.Write("data", 4));
  }
  EXPECT_TRUE(WideExists(folder_.wide() + Wide(u8"\\Temp\\파일.txt")));
  EXPECT_TRUE(FileExists(file));
  EXPECT_TRUE(DirectoryExists(temp + "\\SUB"));
  EXPECT_EQ(ReadAll(file), "data");

  const std::string part = CreateTempFile(dir, "qmrecv");
  ASSERT_FALSE(part.empty());
  EXPECT_EQ(part.rfind(dir + "\\qmrecv", 0), 0u);
  ASSERT_TRUE(ReplaceFile(part, dir + "\\Data.ini"));
  EXPECT_TRUE(WideExists(folder_.wide() + L"\\Data.ini"));
  EXPECT_TRUE(SetFileAttributes(dir + "\\Data.ini", kAttrReadOnly));
  uint32_t attributes = 0;
  EXPECT_TRUE(GetFileAttributes(dir + "\\Data.ini", &attributes));
  EXPECT_EQ(attributes & kAttrReadOnly, kAttrReadOnly);
  EXPECT_TRUE(SetFileTime(file, LocalDateTime{2001, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(FlushToDisk({file}));

  std::vector<std::string> names = ListDirectory(dir);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Data.ini", "Temp"}));
  EXPECT_TRUE(DeleteFile(file));
  EXPECT_TRUE(RemoveDirectory(temp + "\\sub"));
}

TEST_P(ForeignFolderTest, SettingsFileIsWrittenAndRead) {
  const std::string path = folder_.path() + "\\QuillMar.ini";
  {
    IniFile ini(path);
    ini.WriteString("Proxy", "Host", "proxy.example");
  }
  EXPECT_TRUE(WideExists(folder_.wide() + L"\\QuillMar.ini"));
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("Proxy", "Host", ""), "proxy.example");
}

TEST_P(ForeignFolderTest, ProgramsStartThereFindThemselvesAndReadTheirVersion) {
  const std::wstring built =
      Wide(reinterpret_cast<const char8_t*>((test::BinaryDir() + "/").c_str()));
  const std::wstring child = folder_.wide() + L"\\win32_child.exe";
  ASSERT_TRUE(
      CopyFileW((built + L"tests/platform/win32/win32_child.exe").c_str(), child.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW((built + L"launcher/QuillMar.exe").c_str(),
                        (folder_.wide() + L"\\QuillMar.exe").c_str(), FALSE));

  std::string version;
  auto info = VersionInfo::Load(folder_.path() + "\\QuillMar.exe");
  ASSERT_TRUE(info.has_value()) << "no version read";
  EXPECT_TRUE(info->QueryString("\\StringFileInfo\\041203B5\\FileVersion", &version));
  EXPECT_EQ(version, "3.0.0.0");

  // The child is given the folder's path as an argument, as a player may
  // hand the launcher one; it writes where it runs from and what it got.
  const std::string out = folder_.path() + "\\self.txt";
  ASSERT_TRUE(StartProgram(folder_.path() + "\\win32_child.exe",
                           "self \"" + out + "\" \"" + folder_.path() + "\""));
  const DWORD start = GetTickCount();
  while (!WideExists(folder_.wide() + L"\\self.txt") && GetTickCount() - start < 20000)
    Sleep(50);
  Sleep(200);  // the child closes the file
  EXPECT_EQ(ReadAll(out), folder_.path() + "\\win32_child.exe\n" + folder_.path() + "\n");
}

// Korean is in the code page and worked before; it stays the same bytes.
TEST(KoreanFolderTest, NameIsItsCodePage949Bytes) {
  ForeignFolder folder(Wide(u8"게임"));
  EXPECT_EQ(folder.path().substr(folder.path().rfind('\\') + 1), Cp949(u8"게임"));
}

INSTANTIATE_TEST_SUITE_P(
    Names,
    ForeignFolderTest,
    ::testing::Values(
        FolderName{"Latin", u8"José Games", "Jos\xC8\x81\xD7\x8A Games"},
        FolderName{"Ukrainian", u8"Олексій",
                   "\xAC\xB0\xAC\xDD\xAC\xD6\xAC\xDC\xAC\xE3\xC8\x85\xD2\x97\xAC\xDB"},
        FolderName{"Mixed", u8"Zoë 게임 ё", "Zo\xC8\x81\xD7\x8C \xB0\xD4\xC0\xD3 \xAC\xD7"},
        FolderName{"Emoji", u8"🎮 play", "\xCE\x99\xD1\x9D\xCE\xA0\xD5\x8F play"}),
    [](const auto& name) { return std::string(name.param.label); });

}  // namespace
}  // namespace qm::platform
