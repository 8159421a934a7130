// A game folder named in a script that code page 949 lacks (José, a
// Ukrainian or an emoji name), or with a name that is no UTF-8 at all, works
// like any other: the backend gives the folder's name to the core, files
// below it are made, read, replaced, listed and deleted, the settings file
// is written, and programs start there, find themselves and get the folder
// as an argument. Names the core adds (Temp, Korean names) keep code page
// 949, and escapes that a hostile name makes up stay in their folder.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "platform/file_system.h"
#include "platform/ini_file.h"
#include "platform/process.h"
#include "platform/text.h"
#include "tests/platform/test_support.h"

namespace qm::platform {
namespace {

namespace fs = std::filesystem;
using testing::SystemTempDir;

struct FolderName {
  const char* label;
  std::string_view os_name;  // as the operating system holds it
  std::string_view core;     // the name the backend gives the core
  std::string_view shown;    // the core's name as the console shows it
};

const FolderName kFolderNames[] = {
    {"Latin", "Jos\xC3\xA9 Games", "Jos\xC8\x81\xD7\x8A Games", "Jos\xC3\xA9 Games"},
    {"Ukrainian", "\xD0\x9E\xD0\xBB\xD0\xB5\xD0\xBA\xD1\x81\xD1\x96\xD0\xB9",  // Олексій
     "\xAC\xB0\xAC\xDD\xAC\xD6\xAC\xDC\xAC\xE3\xC8\x85\xD2\x97\xAC\xDB",
     "\xD0\x9E\xD0\xBB\xD0\xB5\xD0\xBA\xD1\x81\xD1\x96\xD0\xB9"},
    {"Mixed", "Zo\xC3\xAB \xEA\xB2\x8C\xEC\x9E\x84 \xD1\x91",  // Zoë 게임 ё
     "Zo\xC8\x81\xD7\x8C \xB0\xD4\xC0\xD3 \xAC\xD7",
     "Zo\xC3\xAB \xEA\xB2\x8C\xEC\x9E\x84 \xD1\x91"},
    {"Emoji", "\xF0\x9F\x8E\xAE play",  // 🎮 play
     "\xCE\x99\xD1\x9D\xCE\xA0\xD5\x8F play", "\xF0\x9F\x8E\xAE play"},
    // Korean is in the code page and worked before: the same bytes as ever.
    {"Korean", "\xEA\xB2\x8C\xEC\x9E\x84", "\xB0\xD4\xC0\xD3", "\xEA\xB2\x8C\xEC\x9E\x84"},
    // Latin-1 from an old system: no UTF-8, yet usable by its listed name.
    {"NoUtf8", "caf\xE9 old", "caf\xCE\x9D\xD7\x8A old", "caf? old"},
};

void PrintTo(const FolderName& name, std::ostream* out) {
  *out << name.label;
}

class ForeignFolderTest : public ::testing::TestWithParam<FolderName> {
 protected:
  ForeignFolderTest() {
    fs::create_directory(os_dir());
    const std::vector<std::string> names = ListDirectory(base_.path());
    EXPECT_EQ(names, std::vector<std::string>{std::string(GetParam().core)});
    dir_ = base_.path() + "\\" + (names.empty() ? std::string("missing") : names[0]);
  }

  fs::path os_dir() const { return fs::path(base_.linux_path()) / std::string(GetParam().os_name); }

  SystemTempDir base_;
  std::string dir_;  // the core's path of the folder
};

std::string ReadAll(const std::string& path) {
  File file;
  if (!file.Open(path, File::Mode::kRead)) {
    return "<missing>";
  }
  std::string content(static_cast<size_t>(file.Size()), '\0');
  file.Read(content.data(), content.size());
  return content;
}

TEST_P(ForeignFolderTest, FilesBelowTheFolder) {
  EXPECT_EQ(Cp949ToUtf8(std::string(GetParam().core)), GetParam().shown);
  const std::string temp = dir_ + "\\Temp";
  ASSERT_TRUE(CreateDirectories(temp + "\\sub")) << "no folder " << temp;
  const std::string file = temp + "\\\xC6\xC4\xC0\xCF.txt";  // 파일.txt
  {
    File out;
    ASSERT_TRUE(out.Open(file, File::Mode::kCreate));
    ASSERT_TRUE(out.Write("data", 4));
  }
  EXPECT_TRUE(fs::is_regular_file(os_dir() / "Temp" / "\xED\x8C\x8C\xEC\x9D\xBC.txt"));
  EXPECT_TRUE(FileExists(file));
  EXPECT_TRUE(DirectoryExists(temp + "\\SUB"));
  EXPECT_EQ(ReadAll(file), "data");

  const std::string part = CreateTempFile(dir_, "qmrecv");
  ASSERT_FALSE(part.empty());
  EXPECT_EQ(part.rfind(dir_ + "\\qmrecv", 0), 0u);
  ASSERT_TRUE(ReplaceFile(part, dir_ + "\\DATA.ini"));
  ASSERT_TRUE(ReplaceFile(file, dir_ + "\\data.INI"));  // the same file, any case
  EXPECT_EQ(ReadAll(dir_ + "\\Data.ini"), "data");
  EXPECT_TRUE(SetFileAttributes(dir_ + "\\Data.ini", kAttrReadOnly));
  uint32_t attributes = 0;
  EXPECT_TRUE(GetFileAttributes(dir_ + "\\Data.ini", &attributes));
  EXPECT_EQ(attributes & kAttrReadOnly, kAttrReadOnly);
  EXPECT_FALSE(DeleteFile(dir_ + "\\Data.ini"));
  EXPECT_TRUE(SetFileAttributes(dir_ + "\\Data.ini", 0));
  EXPECT_TRUE(SetFileTime(dir_ + "\\Data.ini", LocalDateTime{2001, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(FlushToDisk({dir_ + "\\Data.ini"}));
  uint64_t free_bytes = 0;
  EXPECT_TRUE(FreeDiskSpace(dir_, &free_bytes));
  EXPECT_GT(free_bytes, 0u);

  EXPECT_EQ(ListDirectory(dir_), (std::vector<std::string>{"DATA.ini", "Temp"}));
  EXPECT_TRUE(DeleteFile(dir_ + "\\Data.ini"));
  EXPECT_TRUE(RemoveDirectory(temp + "\\sub"));
  EXPECT_EQ(fs::directory_iterator(os_dir() / "Temp"), fs::directory_iterator());
}

TEST_P(ForeignFolderTest, SettingsFileIsWrittenAndRead) {
  const std::string path = dir_ + "\\QuillMar.ini";
  {
    IniFile ini(path);
    ini.WriteString("Proxy", "Host", "proxy.example");
  }
  EXPECT_TRUE(fs::is_regular_file(os_dir() / "QuillMar.ini"));
  IniFile ini(path);
  EXPECT_EQ(ini.ReadString("Proxy", "Host", ""), "proxy.example");
}

TEST_P(ForeignFolderTest, ProgramsStartThereAndFindThemselves) {
  fs::copy_file(testing::BinaryDir() + "/tests/platform/name_child", os_dir() / "name_child");
  // The child is given the folder's path as an argument, as a player may
  // hand the launcher one; it writes where it runs from and what it got.
  const std::string out = dir_ + "\\self.txt";
  ASSERT_TRUE(StartProgram(dir_ + "\\name_child", "self \"" + out + "\" \"" + dir_ + "\""));
  for (int i = 0; i < 400 && !fs::exists(os_dir() / "self.txt"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(ReadAll(out), dir_ + "\\name_child\n" + dir_ + "\n");
}

INSTANTIATE_TEST_SUITE_P(Names,
                         ForeignFolderTest,
                         ::testing::ValuesIn(kFolderNames),
                         [](const auto& name) { return std::string(name.param.label); });

// Escapes that stand for what the code page has, for lone surrogates, or for
// bytes that would read as UTF-8 again are no escapes: their bytes are text
// the code page does not convert, so each unassigned pair is "?". None turns
// into a separator or another existing name.
TEST(HostileEscapeTest, StayOneFileInTheirFolder) {
  const struct {
    const char* label;
    std::string core;
    std::string os_name;
  } kCases[] = {
      {"slash",
       "a\xC8\x81\xD1\x90"
       "b",
       "a??b"},
      {"dot dot", "\xC8\x81\xD1\x8F\xC8\x81\xD1\x8F", "????"},
      {"korean syllable", "\xCD\x8D\xD0\x81", "??"},
      {"lone high surrogate", "x\xCE\x99\xD1\x9D", "x??"},
      {"byte below 0x80", "\xCE\x9D\xD1\x90", "??"},
      {"bytes that read as UTF-8", "\xCE\x9D\xD6\x84\xCE\x9D\xD5\x8A", "????"},
  };
  for (const auto& c : kCases) {
    SystemTempDir dir;
    File out;
    ASSERT_TRUE(out.Open(dir.path() + "\\" + c.core, File::Mode::kCreate)) << c.label;
    out.Close();
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir.linux_path())) {
      names.push_back(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{c.os_name}) << c.label;
  }
}

}  // namespace
}  // namespace qm::platform
