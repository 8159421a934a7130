#include "launcher/program_identity.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm {
namespace {

TEST(ProgramIdentityTest, AppDir) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\QuillMar.exe", "C:"},
      {"C:\\Games\\QuillMar.exe", "C:\\Games"},
      {"C:\\Games\\\\QuillMar.exe", "C:\\Games\\"},  // one "\" only
      {"\\\\server\\share\\QuillMar.exe", "\\\\server\\share"},
      {"/home/player/game/QuillMar.exe", "/home/player/game"},
      {"C:QuillMar.exe", "C:"},
      {"QuillMar.exe", ""},
  };
  for (const auto& [path, dir] : cases) {
    EXPECT_EQ(AppDirFromExePath(path), dir) << path;
  }
}

TEST(ProgramIdentityTest, Title) {
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\Games\\QuillMar.exe", "Quillmar"},
      {"C:\\QUILLMAR.EXE", "Quillmar"},
      {"C:\\a.b\\quill.mar.exe", "quill"},  // the first character stays as it is
      {"/opt/game/QuillMar.exe", "Quillmar"},
      {"C:\\NoExtension", "Noextension"},
      {"C:\\.hidden", ""},
      // A two-byte character whose second byte looks like "A" stays intact.
      {"C:\\\xb0\x41MAR.exe", "\xb0\x41mar"},
      {"C:\\X\xb0\x41.exe", "X\xb0\x41"},
  };
  for (const auto& [path, title] : cases) {
    EXPECT_EQ(ProgramTitle(path), title) << path;
  }
}

TEST(ProgramIdentityTest, ClientCommandLine) {
  struct Case {
    const char* marker;
    const char* bk;
    const char* bkp;
    const char* version;
    std::vector<std::string> arguments;
    const char* expected;
  };
  const Case cases[] = {
      {"?", "", "", "82001-000-500-000001", {}, "?   82001-000-500-000001 "},
      {"82001500", "b k", "p", "v", {"x y", "z"}, "82001500 b k p v x y"},
      {"", "", "", "", {}, "    "},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildClientCommandLine(c.marker, c.bk, c.bkp, c.version, c.arguments), c.expected);
  }
}

}  // namespace
}  // namespace qm
