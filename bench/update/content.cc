#include "bench/update/content.h"

#include <algorithm>
#include <array>
#include <fstream>
#include <random>
#include <string>

namespace qm::bench {
namespace {

constexpr size_t kChunk = size_t{1} << 20;

// 256 made-up words from syllables, the same on every run.
const std::array<std::string, 256>& Vocabulary() {
  static const std::array<std::string, 256> words = [] {
    const char* syllables[] = {"qu",  "il",  "mar", "ra",  "ne", "to", "ka",  "sel",
                               "dor", "vin", "el",  "ash", "ur", "li", "gon", "pe"};
    std::array<std::string, 256> made;
    std::mt19937_64 rng(7);
    for (std::string& w : made) {
      const int parts = 1 + static_cast<int>(rng() % 3);
      for (int i = 0; i < parts; ++i) {
        w += syllables[rng() % 16];
      }
    }
    return made;
  }();
  return words;
}

void FillText(std::mt19937_64& rng, size_t length, std::string& chunk) {
  const auto& words = Vocabulary();
  chunk.clear();
  while (chunk.size() < length) {
    const uint64_t r = rng();
    if (r % 11 == 0) {
      chunk += "\r\n";
    } else if (r % 7 == 0) {
      chunk += std::to_string((r >> 8) % 10000) + " ";
    } else {
      chunk += words[(r >> 8) & 0xFF];
      chunk += (r >> 16) % 5 == 0 ? " = " : " ";
    }
  }
  chunk.resize(length);
}

// length is a multiple of 8 in the two binary kinds.
void FillBinary(std::mt19937_64& rng, size_t length, std::string& chunk) {
  chunk.resize(length);
  for (size_t i = 0; i < length; i += 8) {
    const uint64_t r = rng();
    uint32_t words[2];
    // One small value beside one random word per 8 bytes; now and then a
    // stretch of zeros, as padding between records.
    words[0] = static_cast<uint32_t>(r & 0x3FF);
    words[1] = (r >> 60) == 0 ? 0u : static_cast<uint32_t>(r >> 20);
    std::copy_n(reinterpret_cast<const char*>(words), 8, chunk.data() + i);
  }
}

void FillPacked(std::mt19937_64& rng, size_t length, std::string& chunk) {
  chunk.resize(length);
  for (size_t i = 0; i < length; i += 8) {
    const uint64_t r = rng();
    std::copy_n(reinterpret_cast<const char*>(&r), 8, chunk.data() + i);
  }
}

}  // namespace

bool WriteContent(const std::filesystem::path& path,
                  uint64_t size,
                  ContentKind kind,
                  uint64_t seed) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  std::mt19937_64 rng(seed);
  std::string chunk;
  for (uint64_t done = 0; done < size && out;) {
    // Small files make only what they need, rounded up to whole 8-byte words.
    const size_t length =
        static_cast<size_t>(std::min<uint64_t>(kChunk, (size - done + 7) & ~7ull));
    switch (kind) {
      case ContentKind::kText:
        FillText(rng, length, chunk);
        break;
      case ContentKind::kBinary:
        FillBinary(rng, length, chunk);
        break;
      case ContentKind::kPacked:
        FillPacked(rng, length, chunk);
        break;
    }
    const uint64_t n = std::min<uint64_t>(chunk.size(), size - done);
    out.write(chunk.data(), static_cast<std::streamsize>(n));
    done += n;
  }
  out.close();
  return !out.fail();
}

}  // namespace qm::bench
