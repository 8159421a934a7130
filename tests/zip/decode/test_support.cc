#include "tests/zip/decode/test_support.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "tests/support/build_dirs.h"
#include "tests/support/files.h"

namespace qm::zip::test {

int64_t MemorySource::Read(uint8_t* buffer, size_t size) {
  if (pos_ >= fail_after_) {
    return -1;
  }
  size_t n = size;
  if (!pattern_.empty()) {
    size_t p = pattern_[next_++ % pattern_.size()];
    n = p ? p : std::uniform_int_distribution<size_t>(1, 4096)(rng_);
  }
  n = std::min({n, size, data_.size() - pos_, fail_after_ - pos_});
  std::copy_n(data_.begin() + pos_, n, buffer);
  pos_ += n;
  return static_cast<int64_t>(n);
}

bool VectorSink::Write(const uint8_t* d, size_t size) {
  if (data.size() >= stop_after) {
    return false;
  }
  largest_block = std::max(largest_block, size);
  data.insert(data.end(), d, d + size);
  return true;
}

Bytes ReadFile(const std::string& path) {
  if (!std::ifstream(path, std::ios::binary)) {
    throw std::runtime_error("cannot open " + path);
  }
  const std::string bytes = test_support::ReadFileBytes(path);
  return Bytes(bytes.begin(), bytes.end());
}

std::string FixtureDir() {
  return test_support::SourceDir() + "/tests/zip/decode/fixtures";
}

void BitWriter::Put(uint32_t value, unsigned bits) {
  for (unsigned i = 0; i < bits; ++i) {
    if (count_ % 8 == 0) {
      bytes_.push_back(0);
    }
    bytes_.back() |= static_cast<uint8_t>(((value >> i) & 1) << (count_ % 8));
    ++count_;
  }
}

void BitWriter::PutCode(uint32_t code, unsigned len) {
  for (unsigned i = len; i-- > 0;) {
    Put((code >> i) & 1, 1);
  }
}

void PutDynamicHeader(BitWriter& w,
                      bool final_block,
                      const std::vector<uint8_t>& litlen,
                      const std::vector<uint8_t>& dist) {
  w.Put(final_block, 1);
  w.Put(2, 2);
  w.Put(static_cast<uint32_t>(litlen.size() - 257), 5);
  w.Put(static_cast<uint32_t>(dist.size() - 1), 5);
  w.Put(19 - 4, 4);
  // Precode: symbols 0..15 with length 4 (16 codes, complete), 16..18 unused.
  static const uint8_t kOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                     11, 4,  12, 3, 13, 2, 14, 1, 15};
  for (uint8_t sym : kOrder) {
    w.Put(sym < 16 ? 4 : 0, 3);
  }
  for (uint8_t len : litlen) {
    w.PutCode(len, 4);
  }
  for (uint8_t len : dist) {
    w.PutCode(len, 4);
  }
}

std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lens) {
  unsigned count[16] = {};
  for (uint8_t len : lens) {
    ++count[len];
  }
  count[0] = 0;
  unsigned next[16] = {};
  for (unsigned len = 1; len < 15; ++len) {
    next[len + 1] = (next[len] + count[len]) << 1;
  }
  std::vector<uint32_t> codes(lens.size());
  for (size_t s = 0; s < lens.size(); ++s) {
    if (lens[s]) {
      codes[s] = next[lens[s]]++;
    }
  }
  return codes;
}

Bytes TextData(size_t size, uint32_t seed) {
  static const char* const kWords[] = {
      "the ",    "quill ",  "mar ",    "update ", "server ", "archive ", "member ",  "window ",
      "length ", "dist ",   "code\n",  "of ",     "and ",    "a ",       "zip ",     "file, ",
      "game ",   "client ", "patch. ", "data ",   "\t",      "version ", "1.2.3.4 ", "deflate "};
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    const char* w = kWords[rng() % std::size(kWords)];
    out.insert(out.end(), w, w + std::char_traits<char>::length(w));
  }
  out.resize(size);
  return out;
}

Bytes BinaryData(size_t size, uint32_t seed) {
  // Structured records with small numeric fields, like tables in executables.
  std::mt19937 rng(seed);
  Bytes out;
  uint32_t counter = 0;
  while (out.size() < size) {
    counter += rng() % 16;
    for (int i = 0; i < 4; ++i) {
      out.push_back(static_cast<uint8_t>(counter >> (8 * i)));
    }
    out.push_back(static_cast<uint8_t>(rng() % 4));
    out.push_back(0);
    if (rng() % 8 == 0) {
      size_t back = std::min<size_t>(out.size(), 1 + rng() % 30000);
      size_t len = std::min<size_t>(back, 3 + rng() % 300);
      size_t from = out.size() - back;
      for (size_t i = 0; i < len; ++i) {
        out.push_back(out[from + i]);
      }
    }
  }
  out.resize(size);
  return out;
}

Bytes RunData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out;
  while (out.size() < size) {
    out.insert(out.end(), 1 + rng() % 2000, static_cast<uint8_t>(rng() % 3));
  }
  out.resize(size);
  return out;
}

Bytes RandomData(size_t size, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes out(size);
  for (auto& b : out) {
    b = static_cast<uint8_t>(rng());
  }
  return out;
}

namespace {
uint32_t Le16(const Bytes& b, size_t at) {
  if (at + 2 > b.size()) {
    throw std::runtime_error("zip too short");
  }
  return b[at] | b[at + 1] << 8;
}
uint32_t Le32(const Bytes& b, size_t at) {
  return Le16(b, at) | Le16(b, at + 2) << 16;
}
}  // namespace

std::vector<LocalMember> ReadZip(const Bytes& zip) {
  size_t eocd = zip.size() >= 22 ? zip.size() - 22 : 0;
  while (eocd > 0 && Le32(zip, eocd) != 0x06054b50) {
    --eocd;
  }
  if (Le32(zip, eocd) != 0x06054b50) {
    throw std::runtime_error("no end record");
  }
  size_t count = Le16(zip, eocd + 10);
  size_t cd = Le32(zip, eocd + 16);
  std::vector<LocalMember> members;
  for (size_t i = 0; i < count; ++i) {
    if (Le32(zip, cd) != 0x02014b50) {
      throw std::runtime_error("bad central header");
    }
    LocalMember m;
    m.flags = static_cast<uint16_t>(Le16(zip, cd + 8));
    m.method = static_cast<uint16_t>(Le16(zip, cd + 10));
    m.time = static_cast<uint16_t>(Le16(zip, cd + 12));
    m.crc = Le32(zip, cd + 16);
    m.compressed_size = Le32(zip, cd + 20);
    m.size = Le32(zip, cd + 24);
    size_t name_len = Le16(zip, cd + 28);
    size_t extra_len = Le16(zip, cd + 30);
    size_t comment_len = Le16(zip, cd + 32);
    size_t local = Le32(zip, cd + 42);
    m.name.assign(zip.begin() + cd + 46, zip.begin() + cd + 46 + name_len);
    cd += 46 + name_len + extra_len + comment_len;
    if (Le32(zip, local) != 0x04034b50) {
      throw std::runtime_error("bad local header");
    }
    size_t data = local + 30 + Le16(zip, local + 26) + Le16(zip, local + 28);
    if (data + m.compressed_size > zip.size()) {
      throw std::runtime_error("member beyond the end");
    }
    m.data.assign(zip.begin() + data, zip.begin() + data + m.compressed_size);
    members.push_back(std::move(m));
  }
  return members;
}

DecodeResult Decode(uint16_t method,
                    uint16_t flags,
                    uint64_t size,
                    const Bytes& in,
                    Bytes* out,
                    std::vector<size_t> pattern) {
  MemorySource source(in, std::move(pattern));
  VectorSink sink;
  DecodeResult r = DecodeMember(method, flags, size, source, sink);
  *out = std::move(sink.data);
  return r;
}

}  // namespace qm::zip::test
