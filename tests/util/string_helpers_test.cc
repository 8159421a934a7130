#include "util/string_helpers.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace qm {
namespace {

struct SplitCase {
  const char* text;
  const char* separator;
  StringList expected;
};

TEST(SplitToListTest, Table) {
  const SplitCase cases[] = {
      {"82001-000-500-000001", "-", {"82001", "000", "500", "000001"}},
      {"", "-", {}},
      {"a-b-", "-", {"a", "b"}},
      {"-a", "-", {"", "a"}},
      {"a--b", "-", {"a", "", "b"}},
      {"abc", "-", {"abc"}},
      {"a::b::c", "::", {"a", "b", "c"}},
      {"a:b", "::", {"a:b"}},
      {"abc", "", {"abc"}},
      {"-", "-", {""}},
  };
  for (const SplitCase& c : cases) {
    StringList list;
    SplitToList(list, c.text, c.separator);
    EXPECT_EQ(list, c.expected) << "text '" << c.text << "' separator '" << c.separator << "'";
  }
}

TEST(SplitToListTest, AppendsWithoutClearing) {
  StringList list = {"keep"};
  SplitToList(list, "x-y", "-");
  EXPECT_EQ(list, (StringList{"keep", "x", "y"}));
}

TEST(LastPosTest, Table) {
  struct Case {
    const char* sub;
    const char* s;
    std::ptrdiff_t expected;
  };
  const Case cases[] = {
      {";", "a;b;c", 4}, {";", "abc", -1},  {"abcd", "abc", -1}, {"", "abc", 4},     {"", "", 1},
      {"abc", "abc", 1}, {"aa", "aaaa", 3}, {";", ";", 1},       {"b;", "ab;b;", 4}, {"x", "", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LastPos(c.sub, c.s), c.expected) << "sub '" << c.sub << "' in '" << c.s << "'";
  }
}

TEST(ReplaceAllTest, Table) {
  struct Case {
    const char* s;
    const char* pattern;
    const char* replacement;
    const char* expected;
  };
  const Case cases[] = {
      {"a//b///c", "//", "/", "a/b//c"},
      {"abc", "x", "y", "abc"},
      {"abc", "", "y", "abc"},
      {"", "a", "b", ""},
      {"aaa", "a", "", ""},
      {"aaa", "a", "aa", "aaaaaa"},  // replacements are never searched again
      {"xabx", "ab", "a", "xax"},
      {"ab", "ab", "ba", "ba"},
      {"aab", "ab", "b", "ab"},  // a new match formed with the neighbour stays
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReplaceAll(c.s, c.pattern, c.replacement), c.expected)
        << "'" << c.s << "' '" << c.pattern << "' -> '" << c.replacement << "'";
  }
}

TEST(ReplaceAllTest, LongTextKeepsEveryByte) {
  // Far more than a million bytes after the first match must survive.
  std::string tail(1500000, 'x');
  tail += "END";
  std::string result = ReplaceAll("a//" + tail, "//", "/");
  EXPECT_EQ(result, "a/" + tail);
}

TEST(TrimTest, Table) {
  struct Case {
    std::optional<std::string> value;
    std::string expected;
  };
  const Case cases[] = {
      {std::nullopt, ""},
      {"", ""},
      {"   ", ""},
      {" \t\r\n\x01 ", ""},
      {"  a b  ", "a b"},
      {"\x1f"
       "v"
       "\x20",
       "v"},
      {std::string("\0a\0", 3), "a"},
      // Bytes from 128 on (Korean lead bytes) are never trimmed.
      {"\xbe\xc8 ", "\xbe\xc8"},
      {" \xa0", "\xa0"},
      {"\x7f", "\x7f"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TrimmedText(c.value), c.expected);
  }
}

TEST(RTrimTest, Table) {
  struct Case {
    const char* s;
    const char* expected;
  };
  const Case cases[] = {
      {"6 ; remark", "6"},
      {"  6\t;remark  ", "6"},
      {"a;b;c", "a;b"},
      {";", ""},
      {"  abc  ", "abc"},
      {"", ""},
      {"a ; b ;", "a ; b"},
      {"  ;x", ""},
      {"3.0.0.0::engine ; note", "3.0.0.0::engine"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(R_Trim(c.s), c.expected) << "'" << c.s << "'";
  }
}

TEST(ListValueTest, FirstMatchingNameWins) {
  const StringList list = {"AData1=5", "AData2=", "AData1=9", "Plain", "AData10=7", "k=a=b"};
  EXPECT_EQ(ListValue(list, "AData1"), "5");
  EXPECT_EQ(ListValue(list, "AData2"), "");
  EXPECT_EQ(ListValue(list, "AData10"), "7");
  EXPECT_EQ(ListValue(list, "AData3"), "");
  EXPECT_EQ(ListValue(list, "Plain"), "");    // a line without "=" has no name
  EXPECT_EQ(ListValue(list, "k"), "a=b");     // the value keeps later "="
  EXPECT_EQ(ListValue(list, "adata1"), "5");  // INI key names ignore case
  EXPECT_EQ(ListValue(list, "AData"), "");
}

}  // namespace
}  // namespace qm
