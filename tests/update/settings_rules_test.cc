#include "update/settings_rules.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace qm::update {
namespace {

TEST(SettingsRulesTest, MirrorIndexNeverPicksTheLastOfSeveralLines) {
  struct Case {
    int lines;
    uint32_t random;
    int index;
  } cases[] = {
      {0, 7, 0}, {1, 7, 0}, {2, 7, 0}, {2, 1, 0}, {3, 0, 0},
      {3, 1, 1}, {3, 2, 0}, {3, 3, 1}, {5, 7, 3}, {5, 0xFFFFFFFF, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ChooseMirrorIndex(c.lines, c.random), c.index) << c.lines << " " << c.random;
  }
  for (uint32_t r = 0; r < 100; ++r) {
    int k = ChooseMirrorIndex(4, r);
    EXPECT_GE(k, 0);
    EXPECT_LE(k, 2);
  }
}

TEST(SettingsRulesTest, LauncherLineSplitsAtTheFirstDoubleColon) {
  struct Case {
    const char* value;
    const char* version;
    const char* base;
  } cases[] = {
      {"3.0.0.0::engine", "3.0.0.0", "engine"},
      {"3.0.0.0", "3.0.0.0", "82001500"},
      {"3.0.0.0::a::b", "3.0.0.0", "a::b"},
      {"3.0.0.0 :: engine", "3.0.0.0 ", " engine"},
      {"::engine", "", "engine"},
      {"3.0.0.0::", "3.0.0.0", ""},
      {"", "", "82001500"},
  };
  for (const Case& c : cases) {
    LauncherLine line = SplitLauncherLine(c.value, "82001500");
    EXPECT_EQ(line.version, c.version) << c.value;
    EXPECT_EQ(line.engine_base_text, c.base) << c.value;
  }
  EXPECT_EQ(SplitLauncherLine("1::" + std::string(12000, 'x'), "k").engine_base_text.size(), 9999u);
}

TEST(SettingsRulesTest, BasesAreNormalised) {
  struct Case {
    const char* download_base;
    const char* engine_text;
    const char* download;
    const char* engine;
  } cases[] = {
      {"http://www.quillmar.com/QuillMar/", "82001500", "http://www.quillmar.com/QuillMar/",
       "http://www.quillmar.com/QuillMar/82001500/"},
      {"http://m1.example/q", "engine", "http://m1.example/q/", "http://m1.example/q/engine/"},
      {"http://m1.example//q/", "e//f", "http://m1.example/q/", "http://m1.example/q/e/f/"},
      {"http://m1.example/a///b", "x", "http://m1.example/a//b/", "http://m1.example/a//b/x/"},
      {"HTTP://M1.EXAMPLE/Q", "HTTP://E.EXAMPLE/ENG", "http://M1.EXAMPLE/Q/",
       "http://E.EXAMPLE/ENG/"},
      {"junk http://m1.example/q/", "hTtP://e.example", "http://m1.example/q/",
       "http://e.example/"},
      // https is no absolute base: it lands below the download base.
      {"http://m1.example/q/", "https://e.example/eng", "http://m1.example/q/",
       "http://m1.example/q/https:/e.example/eng/"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(NormalizeBase(c.download_base), c.download) << c.download_base;
    EXPECT_EQ(EngineBase(c.download_base, c.engine_text), c.engine) << c.engine_text;
  }
  EXPECT_TRUE(IsAbsoluteBase("hTTp://x"));
  EXPECT_FALSE(IsAbsoluteBase("https://x"));
}

TEST(SettingsRulesTest, ComponentEntries) {
  struct Case {
    const char* entry;
    const char* file;
    const char* version;
    const char* stem;
  } cases[] = {
      {"1\\Foo.dll\\1.0.0.3", "Foo.dll", "1.0.0.3", "Foo"},
      {"2\\a.b.ocx\\?", "a.b.ocx", "?", "a.b"},
      {"3\\NoDot\\1", "NoDot", "1", ""},
      {"4\\Foo.dll\\1\\extra", "Foo.dll", "1", "Foo"},
  };
  for (const Case& c : cases) {
    ComponentEntry e = ParseComponentEntry(c.entry);
    EXPECT_EQ(e.file_name, c.file) << c.entry;
    EXPECT_EQ(e.version, c.version) << c.entry;
    EXPECT_EQ(e.stem, c.stem) << c.entry;
  }
  // Without a version, or with a name that reaches past the application
  // folder (a share, a drive, a folder) or names a device.
  for (const char* bad :
       {"2\\Foo.dll", "2\\", "2\\Foo.dll\\", "2\\//host/share/x.dll\\1", "2\\C:/Windows/x.dll\\1",
        "2\\c:x.dll\\1", "2\\sub/x.dll\\1", "2\\x.dll:stream\\1", "2\\CON\\1", "2\\con.dll\\1",
        "2\\Nul.tar.gz\\1", "2\\aux .dll\\1", "2\\prn\\1", "2\\COM1.ocx\\1", "2\\lpt9\\1",
        "2\\LpT3.dll\\1"}) {
    try {
      ParseComponentEntry(bad);
      ADD_FAILURE() << bad << " was accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("component 2"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(std::string("[C] ") + "2=" + (bad + 2)),
                std::string::npos)
          << e.what();
    }
  }
  // Names that only look like devices are files.
  for (const char* name : {"COM0.dll", "COM10.dll", "LPT.dll", "CONSOLE.dll", "nul_x.dll",
                           "Foo.con", "AUXDATA", "COM1x"}) {
    EXPECT_TRUE(IsBareFileName(name)) << name;
    EXPECT_EQ(ParseComponentEntry(std::string("5\\") + name + "\\1").file_name, name);
  }
}

}  // namespace
}  // namespace qm::update
