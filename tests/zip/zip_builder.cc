#include "tests/zip/zip_builder.h"

namespace qm::zip::testing {
namespace {

BuildLayout g_layout;

uint32_t CrcStep(uint32_t reg, uint8_t b) {
  reg ^= b;
  for (int k = 0; k < 8; ++k) {
    reg = (reg >> 1) ^ (0xEDB88320u & (0u - (reg & 1)));
  }
  return reg;
}

constexpr uint32_t kKey0 = 0x12345678, kKey1 = 0x23456789, kKey2 = 0x34567890;

// The traditional encryption, encrypting side.
class Cipher {
 public:
  // The header key words.
  Cipher() : keys_{kKey0 & kKey2, kKey1 & kKey0, kKey2 & kKey1} {}
  explicit Cipher(const std::string& password) : keys_{kKey0, kKey1, kKey2} {
    for (char c : password) {
      Update(static_cast<uint8_t>(c));
    }
  }
  void Encrypt(std::string* s, size_t from) {
    for (size_t i = from; i < s->size(); ++i) {
      uint8_t plain = static_cast<uint8_t>((*s)[i]);
      uint16_t t = static_cast<uint16_t>((keys_[2] & 0xFFFF) | 2);
      uint32_t product = static_cast<uint32_t>(t) * static_cast<uint32_t>(t ^ 1);
      (*s)[i] = static_cast<char>(plain ^ static_cast<uint8_t>(product >> 8));
      Update(plain);
    }
  }

 private:
  void Update(uint8_t plain) {
    keys_[0] = CrcStep(keys_[0], plain);
    keys_[1] = (keys_[1] + (keys_[0] & 0xFF)) * 134775813u + 1;
    keys_[2] = CrcStep(keys_[2], static_cast<uint8_t>(keys_[1] >> 24));
  }

  uint32_t keys_[3];
};

void Add16(std::string* s, uint16_t v) {
  s->push_back(static_cast<char>(v & 0xFF));
  s->push_back(static_cast<char>(v >> 8));
}
void Add32(std::string* s, uint32_t v) {
  Add16(s, static_cast<uint16_t>(v & 0xFFFF));
  Add16(s, static_cast<uint16_t>(v >> 16));
}
void Add64(std::string* s, uint64_t v) {
  Add32(s, static_cast<uint32_t>(v));
  Add32(s, static_cast<uint32_t>(v >> 32));
}

}  // namespace

std::string PackBits(std::initializer_list<std::pair<uint32_t, unsigned>> values) {
  std::string out;
  uint64_t buffer = 0;
  unsigned count = 0;
  for (const auto& [value, bits] : values) {
    buffer |= static_cast<uint64_t>(value & ((1u << bits) - 1)) << count;
    count += bits;
    while (count >= 8) {
      out.push_back(static_cast<char>(buffer & 0xFF));
      buffer >>= 8;
      count -= 8;
    }
  }
  if (count > 0) {
    out.push_back(static_cast<char>(buffer & 0xFF));
  }
  return out;
}

uint32_t TestCrc32(const std::string& data) {
  uint32_t reg = 0xFFFFFFFF;
  for (char c : data) {
    reg = CrcStep(reg, static_cast<uint8_t>(c));
  }
  return ~reg;
}

void Put16(std::string* s, size_t at, uint16_t v) {
  (*s)[at] = static_cast<char>(v & 0xFF);
  (*s)[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string* s, size_t at, uint32_t v) {
  Put16(s, at, static_cast<uint16_t>(v & 0xFFFF));
  Put16(s, at + 2, static_cast<uint16_t>(v >> 16));
}

const BuildLayout& LastLayout() {
  return g_layout;
}

std::string BuildZip(const std::vector<BuildMember>& members, const BuildOptions& options) {
  g_layout = BuildLayout();
  std::string out = options.prefix;
  const size_t base = options.adjust_offsets ? 0 : options.prefix.size();
  std::vector<std::string> centrals;
  for (const BuildMember& m : members) {
    const size_t local = out.size();
    g_layout.local_offsets.push_back(local);
    const std::string& content = m.plain ? *m.plain : m.data;
    const uint32_t crc = TestCrc32(content);
    const uint16_t flags =
        m.flags | (m.descriptor ? 0x0008 : 0) | (m.password.empty() ? 0 : 0x0001);
    std::string data = m.data;
    if (!m.password.empty()) {
      // The header's last byte is the check byte of the password.
      std::string header = "encryption";
      header.push_back('!');
      header.push_back(static_cast<char>(m.descriptor ? (m.dos_time >> 8) & 0xFF : crc >> 24));
      data = header + data;
      Cipher(m.password).Encrypt(&data, 0);
    }
    const uint32_t size32 = options.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(data.size());
    const uint32_t usize32 = options.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(content.size());
    std::string extra;
    if (options.zip64) {
      Add16(&extra, 0x0001);
      Add16(&extra, 16);
      Add64(&extra, content.size());
      Add64(&extra, data.size());
    }
    std::string h;
    h += m.header_encrypted ? "PL\x03\x04" : std::string("PK\x03\x04", 4);
    Add16(&h, options.zip64 ? 45 : 20);
    Add16(&h, flags);
    Add16(&h, m.method);
    Add32(&h, m.dos_time);
    Add32(&h, m.descriptor ? 0 : crc);
    Add32(&h, m.descriptor ? 0 : size32);
    Add32(&h, m.descriptor ? 0 : usize32);
    Add16(&h, static_cast<uint16_t>(m.name.size()));
    Add16(&h, static_cast<uint16_t>(extra.size()));
    h += m.name;
    if (m.header_encrypted) {
      std::string encrypted = h;
      Cipher().Encrypt(&encrypted, 4);
      h = encrypted;
    }
    out += h + extra + data;
    if (m.descriptor) {
      out += std::string("PK\x07\x08", 4);
      Add32(&out, crc);
      Add32(&out, static_cast<uint32_t>(data.size()));
      Add32(&out, static_cast<uint32_t>(content.size()));
    }

    std::string cextra;
    if (options.zip64) {
      Add16(&cextra, 0x0001);
      Add16(&cextra, 24);
      Add64(&cextra, content.size());
      Add64(&cextra, data.size());
      Add64(&cextra, local - base);
    }
    cextra += m.central_extra;
    std::string c;
    c += m.header_encrypted ? "PL\x01\x02" : std::string("PK\x01\x02", 4);
    Add16(&c, 20);
    Add16(&c, options.zip64 ? 45 : 20);
    Add16(&c, flags);
    Add16(&c, m.method);
    Add32(&c, m.dos_time);
    Add32(&c, crc);
    Add32(&c, size32);
    Add32(&c, usize32);
    Add16(&c, static_cast<uint16_t>(m.name.size()));
    Add16(&c, static_cast<uint16_t>(cextra.size()));
    Add16(&c, 0);
    Add16(&c, 0);
    Add16(&c, 0);
    Add32(&c, m.attributes);
    Add32(&c, options.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(local - base));
    c += m.name;
    if (m.header_encrypted) {
      Cipher().Encrypt(&c, 4);
    }
    centrals.push_back(c + cextra);
  }
  const size_t central_start = out.size();
  if (options.write_central) {
    for (const std::string& c : centrals) {
      g_layout.central_offsets.push_back(out.size());
      out += c;
    }
  }
  const size_t central_size = out.size() - central_start;
  if (options.zip64) {
    const size_t eocd64 = out.size();
    out += std::string("PK\x06\x06", 4);
    Add64(&out, 44);
    Add16(&out, 45);
    Add16(&out, 45);
    Add32(&out, 0);
    Add32(&out, 0);
    Add64(&out, members.size());
    Add64(&out, members.size());
    Add64(&out, central_size);
    Add64(&out, central_start - base);
    out += std::string("PK\x06\x07", 4);
    Add32(&out, 0);
    Add64(&out, eocd64 - base);
    Add32(&out, 1);
  }
  if (options.write_end) {
    g_layout.end_offset = out.size();
    out += std::string("PK\x05\x06", 4);
    Add16(&out, 0);
    Add16(&out, 0);
    Add16(&out, options.zip64 ? 0xFFFF : static_cast<uint16_t>(members.size()));
    Add16(&out, options.zip64 ? 0xFFFF : static_cast<uint16_t>(members.size()));
    Add32(&out, options.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(central_size));
    Add32(&out, options.zip64 ? 0xFFFFFFFF : static_cast<uint32_t>(central_start - base));
    Add16(&out, static_cast<uint16_t>(options.comment.size()));
    out += options.comment;
  }
  return out;
}

}  // namespace qm::zip::testing
