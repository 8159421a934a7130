#include "launcher/gif/gif_encoder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "launcher/gif/gif_decoder.h"
#include "tests/support/files.h"

namespace qm::gif {
namespace {

IndexedImage RandomImage(int width, int height, int colours, int runs, uint32_t seed) {
  std::mt19937 random(seed);
  IndexedImage image;
  image.width = width;
  image.height = height;
  for (int i = 0; i < colours; ++i) {
    image.palette.push_back(random() & 0xFFFFFF);
  }
  // Runs of one colour give the LZW table long strings; runs of 1 give noise.
  std::uniform_int_distribution<int> colour(0, colours - 1);
  std::uniform_int_distribution<int> run(1, runs);
  while (image.indices.size() < static_cast<size_t>(width) * height) {
    image.indices.insert(image.indices.end(), run(random), static_cast<uint8_t>(colour(random)));
  }
  image.indices.resize(static_cast<size_t>(width) * height);
  return image;
}

std::vector<uint32_t> Expected(const IndexedImage& image) {
  std::vector<uint32_t> pixels;
  for (uint8_t index : image.indices) {
    pixels.push_back(index == image.transparent_index ? 0 : 0xFF000000u | image.palette[index]);
  }
  return pixels;
}

TEST(GifEncoderTest, RoundTripsThroughTheDecoder) {
  struct Case {
    int width, height, colours, runs;
    bool interlaced;
    int transparent;
  };
  const Case cases[] = {
      {1, 1, 1, 1, false, -1},       {17, 9, 2, 3, false, -1},      {33, 21, 3, 1, true, 2},
      {64, 64, 16, 6, false, 0},     {300, 200, 256, 1, false, -1},  // noise: table refills
      {380, 220, 200, 40, true, -1}, {2000, 3, 5, 2, false, 4},
  };
  uint32_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    IndexedImage image = RandomImage(c.width, c.height, c.colours, c.runs, seed++);
    image.interlaced = c.interlaced;
    image.transparent_index = c.transparent;
    std::string gif = EncodeGif(image);
    ASSERT_FALSE(gif.empty());
    platform::Picture picture;
    std::string error;
    ASSERT_TRUE(DecodeGif(gif, &picture, &error)) << error;
    EXPECT_EQ(picture.width, c.width);
    EXPECT_EQ(picture.height, c.height);
    EXPECT_EQ(picture.pixels, Expected(image));
  }
}

TEST(GifEncoderTest, RefusesInconsistentImages) {
  IndexedImage image = RandomImage(4, 4, 2, 1, 9);
  IndexedImage bad_index = image;
  bad_index.indices[5] = 2;
  IndexedImage short_pixels = image;
  short_pixels.indices.pop_back();
  IndexedImage no_palette = image;
  no_palette.palette.clear();
  IndexedImage huge_palette = image;
  huge_palette.palette.resize(257);
  for (const IndexedImage* bad : {&bad_index, &short_pixels, &no_palette, &huge_palette}) {
    EXPECT_EQ(EncodeGif(*bad), "");
  }
}

// ImageMagick reads what we write the same way (native runs only).
TEST(GifEncoderTest, ImageMagickAgrees) {
  if (std::system("convert -version >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "ImageMagick convert is not available here";
  }
  IndexedImage image = RandomImage(300, 200, 256, 2, 77);
  std::string base = ::testing::TempDir() + "qm_encoder_check";
  std::ofstream(base + ".gif", std::ios::binary) << EncodeGif(image);
  std::string command = "convert " + base + ".gif -depth 8 rgb:" + base + ".rgb";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string rgb = test_support::ReadFileBytes(base + ".rgb");
  ASSERT_EQ(rgb.size(), image.indices.size() * 3);
  for (size_t i = 0; i < image.indices.size(); ++i) {
    uint32_t got = (static_cast<uint8_t>(rgb[i * 3]) << 16) |
                   (static_cast<uint8_t>(rgb[i * 3 + 1]) << 8) |
                   static_cast<uint8_t>(rgb[i * 3 + 2]);
    ASSERT_EQ(got, image.palette[image.indices[i]]) << "pixel " << i;
  }
  std::remove((base + ".gif").c_str());
  std::remove((base + ".rgb").c_str());
}

}  // namespace
}  // namespace qm::gif
