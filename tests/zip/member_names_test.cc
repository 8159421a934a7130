#include "zip/member_names.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "zip/internal_mask.h"
#include "zip/unzip_error.h"

namespace qm::zip {
namespace {

struct MaskCase {
  const char* mask;
  const char* name;
  bool matches;
};

TEST(InternalMaskTest, MatchesLikeOldArchivers) {
  const MaskCase cases[] = {
      {"*.*", "a.txt", true},
      {"*.*", "readme", false},  // the dot is added by the selection, not the mask
      {"*.", "readme", true},    // dot-ending mask: a name without "." gets one
      {"*.", "a.txt", false},
      {"*.txt", "A.TXT", true},
      {"*.txt", "a.txt.bak", false},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"a*?c", "abbbc", true},  // "?" after "*" is dropped
      {"*a*b*c", "xxaxxbxxc", true},
      {"*a*b*c", "xxaxxcxxb", false},
      {"*ab", "aab", true},  // needs a backtrack to the second "a"
      {"data\\*.dat", "DATA\\x.dat", true},
      {"*", "", true},
      {"?", "", false},
      {"", "", true},
      {"", "x", false},
  };
  for (const MaskCase& c : cases) {
    EXPECT_EQ(TInternalMask(c.mask).Matches(c.name), c.matches)
        << "mask " << c.mask << " name " << c.name;
  }
}

std::string Repeat(const std::string& text, size_t times) {
  std::string out;
  for (size_t i = 0; i < times; ++i) {
    out += text;
  }
  return out;
}

// Masks with many stars against long names that almost match. Retrying every
// star at every position would take hours here (the test would time out);
// masks with more than 30 stars must still find their match.
TEST(InternalMaskTest, ManyStarsAgainstLongNames) {
  struct Case {
    std::string mask;
    std::string name;
    bool matches;
  };
  const Case cases[] = {
      {Repeat("*a", 8) + "*b", Repeat("a", 400), false},
      {Repeat("*a", 8) + "*b", Repeat("a", 400) + "b", true},
      {Repeat("*?a", 6) + "*.c", Repeat("ab", 300) + ".d", false},
      {Repeat("*x", 31) + "*ab", Repeat("x", 31) + "aab", true},
      {Repeat("*x", 31) + "*ab", Repeat("x", 30) + "aab", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TInternalMask(c.mask).Matches(c.name), c.matches)
        << "mask " << c.mask << " name length " << c.name.size();
  }
}

struct SelectCase {
  std::vector<std::string> masks;
  bool recurse;
  const char* name;
  bool selected;
};

TEST(SelectMemberTest, AppliesFileSpecLines) {
  const SelectCase cases[] = {
      {{"*.*"}, true, "a.txt", true},
      {{"*.*"}, true, "sub\\b.txt", true},
      {{"*.*"}, false, "sub\\b.txt", false},
      {{"*.*"}, false, "a.txt", true},
      {{"*.*"}, true, "readme", true},  // matched as "readme."
      {{"*."}, true, "readme", true},
      {{"*."}, true, "a.txt", false},
      {{"*.txt"}, true, "sub\\a.TXT", true},
      {{"sub\\*.txt"}, true, "sub\\a.txt", true},
      {{"sub\\*.txt"}, true, "other\\a.txt", false},
      {{"sub\\*.txt"}, false, "sub\\a.txt", true},
      {{"SUB\\A.TXT"}, false, "sub\\a.txt", true},  // equal names, any case
      {{"", "*.bin"}, true, "x.bin", true},         // empty lines are passed over
      {{"*.doc", "*.bin"}, true, "x.bin", true},
      {{}, true, "x.bin", false},
  };
  for (const SelectCase& c : cases) {
    std::vector<std::string> masks = c.masks;
    EXPECT_EQ(SelectMember(&masks, c.recurse, c.name), c.selected) << c.name;
  }
}

TEST(SelectMemberTest, LineWithoutDotIsStoredBackWithOne) {
  std::vector<std::string> masks = {"readme"};
  EXPECT_FALSE(SelectMember(&masks, true, "notes.txt"));
  EXPECT_EQ(masks[0], "readme.");
  EXPECT_TRUE(SelectMember(&masks, true, "readme"));
  std::vector<std::string> star = {"*.*"};
  EXPECT_TRUE(SelectMember(&star, true, "readme"));
  EXPECT_EQ(star[0], "*.*");
}

struct PathCase {
  const char* extract_dir;
  bool use_stored_dirs;
  const char* stored;
  const char* target;
};

TEST(TargetPathTest, BuildsBelowExtractDir) {
  const PathCase cases[] = {
      {"D:\\out\\", true, "data\\x.dat", "D:\\out\\data\\x.dat"},
      {"D:\\out\\", true, "C:\\data\\x.dat", "D:\\out\\data\\x.dat"},
      {"D:\\out\\", true, "\\x.dat", "D:\\out\\x.dat"},
      {"D:\\out\\", false, "C:\\data\\x.dat", "D:\\out\\x.dat"},
      {"D:\\out\\", false, "a\\b\\c.txt", "D:\\out\\c.txt"},
      {"D:\\out\\", true, "a\\b\\c.txt", "D:\\out\\a\\b\\c.txt"},
      {"out\\", true, "a\\c.txt", "out\\a\\c.txt"},  // a relative folder stays relative
      {"\\tmp\\x\\", true, "readme", "\\tmp\\x\\readme"},
  };
  for (const PathCase& c : cases) {
    EXPECT_EQ(TargetPath(c.extract_dir, c.use_stored_dirs, c.stored), c.target) << c.stored;
  }
}

TEST(TargetPathTest, FolderSetterAddsSeparator) {
  EXPECT_EQ(NormalizeFolder("C:/games/quill"), "C:\\games\\quill\\");
  EXPECT_EQ(NormalizeFolder("C:\\games\\"), "C:\\games\\");
  EXPECT_EQ(NormalizeFolder(""), "");
  EXPECT_EQ(FolderPart("C:\\x.dat"), "C:\\");
  EXPECT_EQ(FolderPart("a/b\\c"), "a/b\\");
  EXPECT_EQ(NamePart("a\\b\\c.txt"), "c.txt");
  EXPECT_EQ(StoredName("a/b/c"), "a\\b\\c");
}

TEST(SafeNameTest, RefusesNamesThatEscapeTheFolder) {
  const struct {
    const char* name;
    bool safe;
  } cases[] = {
      {"a.txt", true},         {"sub\\deeper\\a.txt", true},
      {"sub\\", true},         {".\\a.txt", true},
      {"a..b.txt", true},      {"..\\x", false},
      {"a\\..\\..\\x", false}, {"a\\..", false},
      {"\\abs", false},        {"C:\\x", false},
      {"C:x", false},          {"a\\...\\x", false},  // Windows reads "..." as ".." less its dots
      {"a\\.. \\x", false},                           // and drops trailing blanks
      {"file:stream", false},  {"bad\x01name", false},
      {"what?.txt", false},    {"", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsSafeStoredName(c.name), c.safe) << c.name;
  }
}

// Windows opens a device for these names in any folder and with any
// extension, and drops a trailing dot or blank ("evil.exe." is "evil.exe").
TEST(SafeNameTest, RefusesDeviceNamesAndTrailingDotsOrBlanks) {
  const struct {
    const char* name;
    bool safe;
  } cases[] = {
      {"CON", false},
      {"aux.dat", false},
      {"sub\\prn", false},
      {"com1.txt", false},
      {"LPT9", false},
      {"nul.tar.gz", false},
      {"Nul\\a.txt", false},  // a folder component too
      {"con .txt", false},    // blanks before the extension are dropped as well
      {"CONIN$", false},
      {"conout$.log", false},
      {"COM\xA9\xF6", false},  // COM and a superscript one in code page 949
      {"evil.exe.", false},
      {"evil2.exe ", false},
      {"sub.\\a.txt", false},
      {"sub \\a.txt", false},
      {"data\\lpt3.dat", false},
      // Alike, but no device.
      {"CONSOLE.txt", true},
      {"icon.ico", true},
      {"com10.txt", true},
      {"lpt.dat", true},
      {"COM", true},
      {"auxiliary\\x", true},
      {"nul_.dat", true},
      {"a.b.c", true},
      {".\\a.txt", true},
      {".hidden", true},
      {"sub\\", true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsSafeStoredName(c.name), c.safe) << c.name;
  }
}

TEST(ErrorTextTest, TextsOfTheMessageTable) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {25192, "File not found"},
      {25235, "Error opening file"},
      {25114, "Bad file header"},
      {25136, "Error writing to file"},
      {25160, "Disk full"},
      {25138, "Error closing file"},
      {25151, "File fails CRC check"},
      {25270, "Required event not assigned"},
      {25326, "Unsupported compression method"},
      {25116, "Bad block"},
      {25293, "Ambiguous Shannon-Fano decode tree encountered"},
      {25298, "Stack overflow"},
      {26517, "Invalid password"},
      {25443, "User canceled"},
      {25245, "Invalid file name"},
      {25101, "64 bit hearder"},
      {26899, "Directory does not exist... Create?"},
      {12345, "Unknown error"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ErrorText(c.code), c.text) << c.code;
  }
}

}  // namespace
}  // namespace qm::zip
