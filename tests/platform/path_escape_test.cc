// The escapes that carry the characters code page 949 lacks through the
// core, against the backend's own code page: the same bytes on both
// backends, and escapes that would stand for what the code page has (ASCII
// above all) are text.
#include "platform/path_escape.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qm::platform::path_escape {
namespace {

struct EscapeCase {
  const char* label;
  std::u16string_view name;
  std::string_view bytes;
};

const EscapeCase kEscapeCases[] = {
    {"ascii", u"Games\\Temp", "Games\\Temp"},
    {"korean keeps its bytes", u"게임\\파일.txt", "\xB0\xD4\xC0\xD3\\\xC6\xC4\xC0\xCF.txt"},
    {"latin", u"José Games", "Jos\xC8\x81\xD7\x8A Games"},
    {"ukrainian", u"Олексій", "\xAC\xB0\xAC\xDD\xAC\xD6\xAC\xDC\xAC\xE3\xC8\x85\xD2\x97\xAC\xDB"},
    {"mixed", u"Zoë 게임 ё", "Zo\xC8\x81\xD7\x8C \xB0\xD4\xC0\xD3 \xAC\xD7"},
    // Outside the BMP: one escape per UTF-16 unit.
    {"emoji", u"🎮 play", "\xCE\x99\xD1\x9D\xCE\xA0\xD5\x8F play"},
    // A lone surrogate (Windows names may hold one; POSIX uses them for
    // bytes that are no UTF-8).
    {"lone surrogate", u"caf\xDCE9", "caf\xCE\x9D\xD7\x8A"},
};

TEST(PathEscapeTest, NamesBecomeTheSameBytesOnEveryBackend) {
  for (const EscapeCase& c : kEscapeCases) {
    EXPECT_EQ(Escape(c.name, SystemCodePage()), c.bytes) << c.label;
  }
}

// What Split gives back: each escape's unit, and the text between them.
std::string Describe(std::string_view bytes) {
  std::string result;
  for (const Piece& piece : Split(bytes, SystemCodePage())) {
    if (piece.escaped) {
      result += "<" + std::to_string(static_cast<unsigned>(piece.unit)) + ">";
    } else {
      result += "[" + std::string(piece.bytes) + "]";
    }
  }
  return result;
}

TEST(PathEscapeTest, SplitFindsEveryEscapeOfTheNames) {
  EXPECT_EQ(Describe(""), "");
  EXPECT_EQ(Describe("Games\\Temp"), "[Games\\Temp]");
  EXPECT_EQ(Describe("Jos\xC8\x81\xD7\x8A Games"), "[Jos]<233>[ Games]");
  EXPECT_EQ(Describe("\xCE\x99\xD1\x9D\xCE\xA0\xD5\x8F play"), "<55356><57262>[ play]");
  EXPECT_EQ(Describe("Zo\xC8\x81\xD7\x8C \xB0\xD4\xC0\xD3 \xAC\xD7"),
            "[Zo]<235>[ \xB0\xD4\xC0\xD3 \xAC\xD7]");
  // Every piece is a view into the bytes, in order, with nothing left out.
  for (const EscapeCase& c : kEscapeCases) {
    std::string joined;
    for (const Piece& piece : Split(c.bytes, SystemCodePage())) {
      joined += piece.bytes;
    }
    EXPECT_EQ(joined, c.bytes) << c.label;
  }
}

TEST(PathEscapeTest, EscapesOfWhatTheCodePageHasAreText) {
  const struct {
    const char* label;
    std::string bytes;
  } kHostile[] = {
      {"slash",
       "a\xC8\x81\xD1\x90"
       "b"},
      {"dot", "\xC8\x81\xD1\x8F\xC8\x81\xD1\x8F"},
      {"backslash", "\xC8\x81\xD2\x9D"},
      {"letter", "\xC8\x81\xD2\x82"},
      {"korean syllable", "\xCD\x8D\xD0\x81"},  // U+AC00
      {"cyrillic yo", "\xC8\x85\xD2\x92"},      // U+0451, in the code page
      // An escape's shape that starts at a double-byte character's trail
      // byte, and one cut short.
      {"at a trail byte", "\xB0\xC8\x81\xD7\x8A"},
      {"cut short", "x\xC8\x81\xD7"},
  };
  for (const auto& c : kHostile) {
    EXPECT_EQ(Describe(c.bytes), "[" + c.bytes + "]") << c.label;
  }
}

TEST(PathEscapeTest, ReadEscapeTakesEveryUnitBack) {
  for (const char16_t unit :
       {u'\0', u'/', u'\x7F', u'\xE9', u'\x456', u'\xAC00', u'\xD83C', u'\xDFFF', u'\xFFFF'}) {
    std::string bytes;
    AppendEscape(unit, &bytes);
    ASSERT_EQ(bytes.size(), kEscapeSize);
    for (const char byte : bytes) {
      EXPECT_GE(static_cast<unsigned char>(byte), 0x81) << "no ASCII byte in an escape";
    }
    char16_t back = 0;
    EXPECT_TRUE(ReadEscape(bytes, &back));
    EXPECT_EQ(back, unit);
  }
}

}  // namespace
}  // namespace qm::platform::path_escape
