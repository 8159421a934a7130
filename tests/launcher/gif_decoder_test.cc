#include "launcher/gif/gif_decoder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/launcher/gif_test_util.h"
#include "tests/support/build_dirs.h"
#include "tests/support/files.h"

namespace qm::gif {
namespace {

using testing::BuildGif;
using testing::CodeWriter;
using testing::ControlExtension;
using testing::GifParts;

std::string FixturePath(const std::string& name) {
  return test_support::BinaryDir() + "/tests/launcher/gif/" + name;
}

std::string DecodeError(const std::string& data) {
  platform::Picture picture;
  std::string error;
  if (DecodeGif(data, &picture, &error)) {
    return "decoded";
  }
  EXPECT_FALSE(error.empty());
  EXPECT_EQ(picture.width, 0) << "a failed decode must leave the picture alone";
  return error;
}

// Files written by ImageMagick, each compared pixel by pixel with
// ImageMagick's own decoding of its first image.
TEST(GifDecoderTest, MatchesImageMagick) {
  const char* names[] = {"rose8",  "mono", "interlaced", "transparent", "logo",
                         "plasma", "anim", "comment",    "grey4",       "rose87"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    std::string gif = test_support::ReadFileBytes(FixturePath(std::string(name) + ".gif"));
    std::string rgba = test_support::ReadFileBytes(FixturePath(std::string(name) + ".rgba"));
    ASSERT_FALSE(gif.empty());
    ASSERT_FALSE(rgba.empty());
    platform::Picture picture;
    std::string error;
    ASSERT_TRUE(DecodeGif(gif, &picture, &error)) << error;
    ASSERT_EQ(static_cast<size_t>(picture.width) * picture.height * 4, rgba.size());
    size_t mismatches = 0;
    for (size_t i = 0; i < picture.pixels.size(); ++i) {
      uint32_t got = picture.pixels[i];
      auto byte = [&](size_t k) {
        return static_cast<uint32_t>(static_cast<uint8_t>(rgba[i * 4 + k]));
      };
      uint32_t alpha = byte(3);
      uint32_t want = alpha == 0 ? 0 : (alpha << 24) | (byte(0) << 16) | (byte(1) << 8) | byte(2);
      if (got != want && ++mismatches <= 3) {
        ADD_FAILURE() << "pixel " << i % picture.width << "," << i / picture.width << ": got "
                      << std::hex << got << " want " << want;
      }
    }
    EXPECT_EQ(mismatches, 0u);
  }
}

// Offsets of the parts of a GIF whose blocks are known to be well formed.
struct Layout {
  size_t descriptor = 0;  // the 0x2C byte
  size_t image_data = 0;  // the LZW code size byte
};

Layout Locate(const std::string& gif) {
  Layout layout;
  size_t pos = 13;
  auto flags = static_cast<uint8_t>(gif[10]);
  if (flags & 0x80) {
    pos += 3u << ((flags & 7) + 1);
  }
  while (gif[pos] == 0x21) {
    pos += 2;
    while (gif[pos] != 0) {
      pos += static_cast<uint8_t>(gif[pos]) + 1;
    }
    ++pos;
  }
  layout.descriptor = pos;
  pos += 10;
  auto image_flags = static_cast<uint8_t>(gif[pos - 1]);
  if (image_flags & 0x80) {
    pos += 3u << ((image_flags & 7) + 1);
  }
  layout.image_data = pos;
  return layout;
}

TEST(GifDecoderTest, LocalColourTableOverridesGlobal) {
  // Moves the real colours into a local table and leaves a black global one.
  std::string gif = test_support::ReadFileBytes(FixturePath("rose8.gif"));
  ASSERT_FALSE(gif.empty());
  auto flags = static_cast<uint8_t>(gif[10]);
  ASSERT_TRUE(flags & 0x80);
  size_t table_size = 3u << ((flags & 7) + 1);
  std::string table = gif.substr(13, table_size);
  Layout layout = Locate(gif);
  std::string moved = gif.substr(0, 13) + std::string(table_size, '\0') +
                      gif.substr(13 + table_size, layout.descriptor + 9 - 13 - table_size);
  moved += static_cast<char>(gif[layout.descriptor + 9] | 0x80 | (flags & 7));
  moved += table + gif.substr(layout.descriptor + 10);

  platform::Picture original;
  platform::Picture local;
  std::string error;
  ASSERT_TRUE(DecodeGif(gif, &original, &error)) << error;
  ASSERT_TRUE(DecodeGif(moved, &local, &error)) << error;
  EXPECT_EQ(local.width, original.width);
  EXPECT_EQ(local.pixels, original.pixels);
}

TEST(GifDecoderTest, TruncatedFiles) {
  std::string gif = test_support::ReadFileBytes(FixturePath("rose8.gif"));
  ASSERT_FALSE(gif.empty());
  Layout layout = Locate(gif);
  struct Case {
    size_t keep;
    const char* expected;
  };
  const Case cases[] = {
      {0, "not a GIF file"},
      {4, "not a GIF file"},
      {9, "truncated GIF header"},
      {100, "truncated colour table"},
      {layout.descriptor, "truncated GIF file: no image found"},
      {layout.descriptor + 5, "truncated image descriptor"},
      {layout.image_data, "truncated image data"},
      {layout.image_data + 1, "truncated image data"},
      {(layout.image_data + gif.size()) / 2, "truncated image data"},
      // Only the terminator and trailer missing: every pixel is there.
      {gif.size() - 2, "decoded"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeError(gif.substr(0, c.keep)), c.expected) << "kept " << c.keep << " bytes";
  }
}

std::string TwoPixelBlocks(int min_code_size, std::vector<int> codes) {
  CodeWriter writer(min_code_size);
  writer.Clear();
  for (int code : codes) {
    writer.Code(code);
  }
  writer.End();
  return writer.Blocks();
}

TEST(GifDecoderTest, CorruptFiles) {
  auto base = [] {
    GifParts parts;
    parts.screen_width = 2;
    parts.width = 2;
    parts.global_table = {0xFF0000, 0x00FF00};
    parts.image_blocks = TwoPixelBlocks(2, {0, 1});
    return parts;
  };
  auto with = [&](auto change) {
    GifParts parts = base();
    change(parts);
    return BuildGif(parts);
  };
  struct Case {
    const char* what;
    std::string data;
    const char* expected;
  };
  std::string bad_signature = BuildGif(base());
  bad_signature[4] = '8';
  std::string header_only = BuildGif(base()).substr(0, 13 + 6) + "\x3B";
  // A comment extension whose first sub-block runs past the end of the file.
  std::string unterminated = BuildGif(base()).substr(0, 13 + 6) +
                             "\x21\xFE\x05"
                             "ab";
  const Case cases[] = {
      {"sound base", BuildGif(base()), "decoded"},
      {"GIF88a", bad_signature, "not a GIF file"},
      {"JPEG", std::string("\xFF\xD8\xFF\xE0\0\x10JFIF\0", 11), "not a GIF file"},
      {"no image", header_only, "GIF file has no image"},
      {"code size 0", with([](GifParts& p) { p.min_code_size = 0; }),
       "corrupt image data (invalid LZW code size)"},
      {"code size 12", with([](GifParts& p) { p.min_code_size = 12; }),
       "corrupt image data (invalid LZW code size)"},
      {"first code is a table entry", with([](GifParts& p) {
         p.image_blocks = TwoPixelBlocks(2, {6, 1});
       }),
       "corrupt image data (invalid LZW code)"},
      {"code beyond the next entry", with([](GifParts& p) {
         p.width = 3;
         p.screen_width = 3;
         p.image_blocks = TwoPixelBlocks(2, {0, 7});
       }),
       "corrupt image data (invalid LZW code)"},
      {"end code before the last pixel",
       with([](GifParts& p) { p.image_blocks = TwoPixelBlocks(2, {0}); }), "truncated image data"},
      {"index outside the table", with([](GifParts& p) {
         p.image_blocks = TwoPixelBlocks(2, {0, 3});
       }),
       "corrupt image data (colour index outside the colour table)"},
      {"no colour table", with([](GifParts& p) { p.global_table.clear(); }),
       "image has no colour table"},
      {"zero width", with([](GifParts& p) { p.width = 0; }), "image has no pixels"},
      {"huge screen", with([](GifParts& p) {
         p.screen_width = 65535;
         p.screen_height = 65535;
       }),
       "picture too large"},
      {"unknown block", with([](GifParts& p) { p.before_image = "\x99"; }),
       "corrupt GIF file: unknown block type"},
      {"short control extension",
       with([](GifParts& p) { p.before_image = std::string("\x21\xF9\x02\x01\x00\x00", 6); }),
       "corrupt graphic control extension"},
      {"unterminated extension", unterminated, "truncated extension block"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DecodeError(c.data), c.expected) << c.what;
  }
}

TEST(GifDecoderTest, ImageSmallerThanScreenAndTransparency) {
  GifParts parts;
  parts.screen_width = 4;
  parts.screen_height = 3;
  parts.left = 1;
  parts.top = 1;
  parts.width = 2;
  parts.height = 2;
  parts.global_table = {0x102030, 0x405060, 0x708090, 0xA0B0C0};
  // The later control extension is the one that applies.
  parts.before_image = ControlExtension(1) + ControlExtension(2);
  parts.image_blocks = TwoPixelBlocks(2, {0, 1, 2, 3});
  platform::Picture picture;
  std::string error;
  ASSERT_TRUE(DecodeGif(BuildGif(parts), &picture, &error)) << error;
  const std::vector<uint32_t> expected = {
      0, 0,          0,          0,  //
      0, 0xFF102030, 0xFF405060, 0,  //
      0, 0,          0xFFA0B0C0, 0,
  };
  EXPECT_EQ(picture.width, 4);
  EXPECT_EQ(picture.height, 3);
  EXPECT_EQ(picture.pixels, expected);
}

TEST(GifDecoderTest, ImageBeyondTheScreenGrowsTheCanvas) {
  GifParts parts;
  parts.screen_width = 0;
  parts.screen_height = 0;
  parts.left = 1;
  parts.width = 2;
  parts.global_table = {0x000001, 0x000002};
  parts.image_blocks = TwoPixelBlocks(2, {1, 0});
  platform::Picture picture;
  std::string error;
  ASSERT_TRUE(DecodeGif(BuildGif(parts), &picture, &error)) << error;
  EXPECT_EQ(picture.pixels, (std::vector<uint32_t>{0, 0xFF000002, 0xFF000001}));
}

TEST(GifDecoderTest, FullTableWithoutClearKeepsTwelveBitCodes) {
  // Literal codes only, far past 4096 entries and with no clear code: the
  // table stops growing and the width stays at 12 bits.
  const int kPixels = 6000;
  GifParts parts;
  parts.screen_width = kPixels;
  parts.width = kPixels;
  parts.global_table = {0x000000, 0xFFFFFF, 0xFF0000, 0x0000FF};
  CodeWriter writer(2);
  writer.Clear();
  std::vector<uint32_t> expected;
  for (int i = 0; i < kPixels; ++i) {
    int index = (i * 7 + i / 5) % 4;
    writer.Code(index);
    expected.push_back(0xFF000000u | parts.global_table[index]);
  }
  writer.End();
  parts.image_blocks = writer.Blocks();
  platform::Picture picture;
  std::string error;
  ASSERT_TRUE(DecodeGif(BuildGif(parts), &picture, &error)) << error;
  EXPECT_EQ(picture.pixels, expected);
}

TEST(GifDecoderTest, CodeEqualToNextEntry) {
  // 0, then the entry about to be made (0 0), then that entry again.
  GifParts parts;
  parts.screen_width = 5;
  parts.width = 5;
  parts.global_table = {0x111111, 0x222222};
  parts.image_blocks = TwoPixelBlocks(2, {0, 6, 6});
  platform::Picture picture;
  std::string error;
  ASSERT_TRUE(DecodeGif(BuildGif(parts), &picture, &error)) << error;
  EXPECT_EQ(picture.pixels, std::vector<uint32_t>(5, 0xFF111111));
}

}  // namespace
}  // namespace qm::gif
