#include "platform/text.h"

#include <gtest/gtest.h>

namespace qm::platform {
namespace {

struct Case {
  const char* cp949;
  const char* utf8;
};

// Texts the launcher shows: Korean in code page 949, with ASCII around it.
const Case kCases[] = {
    {"", ""},
    {"Connected", "Connected"},
    {"\xBF\xAC\xB0\xE1\xC1\xDF...", "\xEC\x97\xB0\xEA\xB2\xB0\xEC\xA4\x91..."},  // 연결중...
    {"AData1 \xB4\xD9\xBF\xEE\xB7\xCE\xB5\xE5 \xBD\xC7\xC6\xD0",  // 다운로드 실패
     "AData1 \xEB\x8B\xA4\xEC\x9A\xB4\xEB\xA1\x9C\xEB\x93\x9C \xEC\x8B\xA4\xED\x8C\xA8"},
    {"\xB1\xBC\xB8\xB2", "\xEA\xB5\xB4\xEB\xA6\xBC"},  // 굴림
};

TEST(TextTest, ConvertsBothWays) {
  for (const Case& c : kCases) {
    EXPECT_EQ(Cp949ToUtf8(c.cp949), c.utf8) << c.cp949;
    EXPECT_EQ(Utf8ToCp949(c.utf8), c.cp949) << c.cp949;
  }
}

// A game folder's name the system gave may hold escapes of characters the
// code page lacks; messages that name it show those characters.
TEST(TextTest, EscapedNamesShowAsTheirCharacters) {
  EXPECT_EQ(Cp949ToUtf8("Jos\xC8\x81\xD7\x8A Games"), "Jos\xC3\xA9 Games");
  EXPECT_EQ(Cp949ToUtf8("\xCE\x99\xD1\x9D\xCE\xA0\xD5\x8F play"), "\xF0\x9F\x8E\xAE play");
  // The shape of an escape of "/" is no escape.
  EXPECT_EQ(Cp949ToUtf8("a\xC8\x81\xD1\x90"
                        "b")
                .find('/'),
            std::string::npos);
}

TEST(TextTest, DamagedInputStillConverts) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows substitutes its own default characters";
#else
  // A lone lead byte at the end, and a byte that is no code page 949
  // character, become "?"; the rest is kept.
  EXPECT_EQ(Cp949ToUtf8("ab\xB0"), "ab?");
  EXPECT_EQ(Cp949ToUtf8("\xFF"
                        "ok"),
            "?ok");
  // A character that code page 949 lacks (Thai ko kai) and broken UTF-8.
  EXPECT_EQ(Utf8ToCp949("1\xE0\xB8\x81"
                        "2"),
            "1?2");
  EXPECT_EQ(Utf8ToCp949("x\xC3"), "x?");
#endif
}

}  // namespace
}  // namespace qm::platform
