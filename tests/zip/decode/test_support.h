#ifndef QM_TESTS_ZIP_DECODE_TEST_SUPPORT_H_
#define QM_TESTS_ZIP_DECODE_TEST_SUPPORT_H_

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "zip/decode/decoder.h"

namespace qm::zip::test {

using Bytes = std::vector<uint8_t>;

// Serves a buffer in reads whose sizes follow a pattern (cycled); 0 means
// random sizes from 1 to 4096.
class MemorySource : public InputSource {
 public:
  explicit MemorySource(const Bytes& data, std::vector<size_t> pattern = {})
      : data_(data), pattern_(std::move(pattern)) {}
  int64_t Read(uint8_t* buffer, size_t size) override;
  size_t position() const { return pos_; }
  // Answers -1 once this many bytes were served.
  void FailAfter(size_t n) { fail_after_ = n; }

 private:
  const Bytes& data_;
  std::vector<size_t> pattern_;
  size_t next_ = 0;
  size_t pos_ = 0;
  size_t fail_after_ = SIZE_MAX;
  std::mt19937 rng_{7};
};

class VectorSink : public OutputSink {
 public:
  bool Write(const uint8_t* data, size_t size) override;
  Bytes data;
  size_t largest_block = 0;
  size_t stop_after = SIZE_MAX;  // answers false once this much was written
};

Bytes ReadFile(const std::string& path);
std::string FixtureDir();  // tests/zip/decode/fixtures

// Sample inputs of several kinds, deterministic.
Bytes TextData(size_t size, uint32_t seed);
Bytes BinaryData(size_t size, uint32_t seed);
Bytes RunData(size_t size, uint32_t seed);
Bytes RandomData(size_t size, uint32_t seed);

// Writes a bit stream low bits first, as Deflate and the legacy methods read it.
class BitWriter {
 public:
  void Put(uint32_t value, unsigned bits);
  // A prefix code is sent most significant bit first.
  void PutCode(uint32_t code, unsigned len);
  const Bytes& bytes() const { return bytes_; }

 private:
  Bytes bytes_;
  size_t count_ = 0;
};

// A dynamic block's header with every literal/length and distance code
// length given, sent through a complete 4-bit precode (symbols 0..15).
void PutDynamicHeader(BitWriter& w,
                      bool final_block,
                      const std::vector<uint8_t>& litlen,
                      const std::vector<uint8_t>& dist);

// Canonical codewords (RFC 1951, 3.2.2) for code lengths; 0 for unused symbols.
std::vector<uint32_t> CanonicalCodes(const std::vector<uint8_t>& lens);

// One member of a zip file located by its local header.
struct LocalMember {
  std::string name;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint16_t time = 0;
  uint32_t crc = 0;
  uint64_t compressed_size = 0;
  uint64_t size = 0;
  Bytes data;  // the member's raw data (encryption header included)
};
// Members from the central directory (sizes from there), data from the local headers.
std::vector<LocalMember> ReadZip(const Bytes& zip);

DecodeResult Decode(uint16_t method,
                    uint16_t flags,
                    uint64_t size,
                    const Bytes& in,
                    Bytes* out,
                    std::vector<size_t> pattern = {});

}  // namespace qm::zip::test

#endif  // QM_TESTS_ZIP_DECODE_TEST_SUPPORT_H_
