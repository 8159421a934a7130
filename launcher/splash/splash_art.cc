#include "launcher/splash/splash_art.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>

namespace qm::splash {

namespace {

constexpr double kPi = 3.14159265358979323846;

class Canvas {
 public:
  Canvas() {
    image_.width = kSplashWidth;
    image_.height = kSplashHeight;
    image_.indices.assign(static_cast<size_t>(kSplashWidth) * kSplashHeight, 0);
  }

  uint8_t Colour(uint32_t rgb) {
    auto found = indices_.find(rgb);
    if (found != indices_.end()) {
      return found->second;
    }
    // The art uses far fewer than 256 colours; reuse the last one if not.
    if (image_.palette.size() == 256) {
      return 255;
    }
    auto index = static_cast<uint8_t>(image_.palette.size());
    image_.palette.push_back(rgb);
    indices_.emplace(rgb, index);
    return index;
  }

  void Set(int x, int y, uint8_t index) {
    if (x >= 0 && y >= 0 && x < kSplashWidth && y < kSplashHeight) {
      image_.indices[static_cast<size_t>(y) * kSplashWidth + x] = index;
    }
  }

  gif::IndexedImage Take() { return std::move(image_); }

 private:
  gif::IndexedImage image_;
  std::map<uint32_t, uint8_t> indices_;
};

uint32_t Mix(uint32_t a, uint32_t b, double t) {
  auto channel = [&](int shift) {
    double ca = (a >> shift) & 0xFF;
    double cb = (b >> shift) & 0xFF;
    return static_cast<uint32_t>(std::lround(ca + (cb - ca) * t)) << shift;
  };
  return channel(16) | channel(8) | channel(0);
}

// 5 x 7 glyphs of the letters the title needs.
const char* Glyph(char letter) {
  switch (letter) {
    case 'Q':
      return ".###.#...##...##...##.#.##..#..##.#";
    case 'U':
      return "#...##...##...##...##...##...#.###.";
    case 'I':
      return ".###...#....#....#....#....#...###.";
    case 'L':
      return "#....#....#....#....#....#....#####";
    case 'M':
      return "#...###.###.#.##.#.##...##...##...#";
    case 'A':
      return ".###.#...##...#######...##...##...#";
    case 'R':
      return "####.#...##...#####.#.#..#..#.#...#";
    default:
      return "...................................";
  }
}

void DrawText(Canvas& canvas, const char* text, int x0, int y0, int scale, uint8_t colour) {
  for (int i = 0; text[i] != '\0'; ++i) {
    const char* glyph = Glyph(text[i]);
    for (int row = 0; row < 7; ++row) {
      for (int col = 0; col < 5; ++col) {
        if (glyph[row * 5 + col] != '#') {
          continue;
        }
        for (int dy = 0; dy < scale; ++dy) {
          for (int dx = 0; dx < scale; ++dx) {
            canvas.Set(x0 + i * 6 * scale + col * scale + dx, y0 + row * scale + dy, colour);
          }
        }
      }
    }
  }
}

double FarRidge(int x) {
  return 128 + 14 * std::sin(x * 0.021 + 0.7) + 9 * std::sin(x * 0.053 + 2.1) +
         4 * std::sin(x * 0.13);
}

double NearRidge(int x) {
  return 158 + 12 * std::sin(x * 0.017 + 2.9) + 7 * std::sin(x * 0.047 + 0.3) +
         3 * std::sin(x * 0.11 + 1.0);
}

}  // namespace

gif::IndexedImage DrawSplash() {
  Canvas canvas;
  const uint32_t kSkyTop = 0x0E1A46;
  const uint32_t kSkyMid = 0x6A3C78;
  const uint32_t kSkyLow = 0xF29A52;
  const int kSkyShades = 48;

  // Sky: a banded gradient, night blue to dusk orange.
  for (int y = 0; y < kSplashHeight; ++y) {
    double t = std::min(1.0, y / 150.0);
    int band = static_cast<int>(t * (kSkyShades - 1));
    double bt = static_cast<double>(band) / (kSkyShades - 1);
    uint32_t rgb = bt < 0.5 ? Mix(kSkyTop, kSkyMid, bt * 2) : Mix(kSkyMid, kSkyLow, bt * 2 - 1);
    uint8_t index = canvas.Colour(rgb);
    for (int x = 0; x < kSplashWidth; ++x) {
      canvas.Set(x, y, index);
    }
  }

  // Stars in the upper sky, from a fixed pseudo-random sequence.
  uint32_t seed = 12345;
  uint8_t star = canvas.Colour(0xFFF8E0);
  uint8_t dim_star = canvas.Colour(0xA8A8C8);
  for (int i = 0; i < 60; ++i) {
    seed = seed * 1103515245u + 12345u;
    int x = static_cast<int>((seed >> 8) % kSplashWidth);
    seed = seed * 1103515245u + 12345u;
    int y = static_cast<int>((seed >> 8) % 70);
    canvas.Set(x, y, i % 3 == 0 ? star : dim_star);
  }

  // The setting sun with a soft rim.
  uint8_t sun = canvas.Colour(0xFFE39A);
  uint8_t rim = canvas.Colour(0xF8C070);
  for (int y = 90; y < 150; ++y) {
    for (int x = 260; x < 330; ++x) {
      double d = std::hypot(x - 295.0, y - 122.0);
      if (d < 20) {
        canvas.Set(x, y, sun);
      } else if (d < 24) {
        canvas.Set(x, y, rim);
      }
    }
  }

  // Two mountain ranges and the ground.
  uint8_t far_hill = canvas.Colour(0x54426E);
  uint8_t far_snow = canvas.Colour(0xC9BEDC);
  uint8_t near_hill = canvas.Colour(0x2A2140);
  uint8_t ground = canvas.Colour(0x161226);
  for (int x = 0; x < kSplashWidth; ++x) {
    int far_top = static_cast<int>(FarRidge(x));
    int near_top = static_cast<int>(NearRidge(x));
    for (int y = far_top; y < kSplashHeight; ++y) {
      canvas.Set(x, y, (y < far_top + 4 && far_top < 122) ? far_snow : far_hill);
    }
    for (int y = near_top; y < kSplashHeight; ++y) {
      canvas.Set(x, y, y >= 186 ? ground : near_hill);
    }
  }

  // A quill laid across the left of the picture.
  uint8_t vane_light = canvas.Colour(0xF6F0DC);
  uint8_t vane_shade = canvas.Colour(0xCFC6AE);
  uint8_t shaft = canvas.Colour(0x8A7650);
  uint8_t nib = canvas.Colour(0x2C2418);
  const double x0 = 40, y0 = 24, x1 = 138, y1 = 172;
  const double length = std::hypot(x1 - x0, y1 - y0);
  const double ux = (x1 - x0) / length, uy = (y1 - y0) / length;
  for (int y = 0; y < kSplashHeight; ++y) {
    for (int x = 0; x < kSplashWidth; ++x) {
      double t = ((x - x0) * ux + (y - y0) * uy) / length;
      if (t < 0 || t > 1) {
        continue;
      }
      double d = (x - x0) * uy - (y - y0) * ux;
      if (t > 0.86) {
        if (std::abs(d) < 2.2 * (1 - t) / 0.14 + 0.4) {
          canvas.Set(x, y, nib);
        }
        continue;
      }
      double half = 17 * std::pow(std::sin(kPi * t / 0.86), 0.7);
      if (std::abs(d) < 0.9) {
        canvas.Set(x, y, shaft);
      } else if (std::abs(d) < half) {
        // Barbs: thin notches along the vane's edge.
        bool notch = std::abs(d) > half - 3 && static_cast<int>(t * 90) % 4 == 0;
        if (!notch) {
          canvas.Set(x, y, d < 0 ? vane_shade : vane_light);
        }
      }
    }
  }

  // The title with a drop shadow.
  uint8_t shadow = canvas.Colour(0x1A1030);
  uint8_t gold = canvas.Colour(0xF4CF5A);
  DrawText(canvas, "QUILLMAR", 162, 36, 4, shadow);
  DrawText(canvas, "QUILLMAR", 160, 34, 4, gold);
  return canvas.Take();
}

}  // namespace qm::splash
