// The parts of the member path that need no server: the replies to range
// requests, where members lie and how their spans are asked for, the local
// header's check and the local record.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "update/byte_ranges.h"
#include "update/local_header.h"
#include "update/local_record.h"
#include "update/member_spans.h"

namespace qm::update {
namespace {

TEST(ByteRangesTest, BoundaryOfTheContentType) {
  const struct {
    const char* value;
    const char* boundary;
  } cases[] = {
      {"multipart/byteranges; boundary=00000000001", "00000000001"},
      {"Multipart/ByteRanges;Boundary=\"AbC d\"", "AbC d"},
      {"multipart/byteranges; charset=x; boundary=Kept_Case", "Kept_Case"},
      {"multipart/byteranges", ""},
      {"multipart/mixed; boundary=x", ""},
      {"application/zip", ""},
      {"multipart/byteranges; boundary=", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ByteRangesBoundary(c.value), c.boundary) << c.value;
  }
}

TEST(ByteRangesTest, PartsOfWholeAndCutBodies) {
  const std::string body =
      "preamble\r\n--B\r\nContent-Type: application/zip\r\nContent-Range: bytes 10-14/100\r\n\r\n"
      "abcde\r\n--B\r\ncontent-range: bytes 50-52/100\r\n\r\nxyz\r\n--B--\r\n";
  const size_t first_at = body.find("abcde");
  const size_t second_at = body.find("xyz");
  const struct {
    const char* name;
    std::string body;
    std::vector<RangePart> parts;
  } cases[] = {
      {"whole", body, {{10, 100, first_at, 5}, {50, 100, second_at, 3}}},
      {"cut in the second part's data",
       body.substr(0, second_at + 2),
       {{10, 100, first_at, 5}, {50, 100, second_at, 2}}},
      {"cut in the second part's header", body.substr(0, second_at - 5), {{10, 100, first_at, 5}}},
      {"cut in the first part's data", body.substr(0, first_at + 1), {{10, 100, first_at, 1}}},
      {"no delimiter", "abcde", {}},
      {"a part without Content-Range ends the reading",
       "--B\r\nContent-Type: x\r\n\r\nabc\r\n--B--",
       {}},
      {"a malformed Content-Range ends the reading",
       "--B\r\nContent-Range: bytes 9-3/100\r\n\r\nabc\r\n--B--",
       {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseByteRanges(c.body, "B"), c.parts) << c.name;
  }
}

TEST(ByteRangesTest, ContentRangeValues) {
  uint64_t first = 0;
  uint64_t last = 0;
  uint64_t total = 0;
  EXPECT_TRUE(ParseContentRange("bytes 0-0/1", &first, &last, &total));
  EXPECT_EQ(total, 1u);
  EXPECT_TRUE(ParseContentRange(" bytes 5-9/10", &first, &last, &total));
  EXPECT_EQ(first, 5u);
  EXPECT_EQ(last, 9u);
  for (const char* bad : {"bytes 5-10/10", "bytes 5-9/*", "bytes */10", "items 0-1/2",
                          "bytes 3-1/9", "bytes -1/2", ""}) {
    EXPECT_FALSE(ParseContentRange(bad, &first, &last, &total)) << bad;
  }
}

IndexEntry Entry(const std::string& name, uint64_t compressed, uint64_t offset) {
  IndexEntry e;
  e.name = name;
  e.size = compressed;
  e.compressed_size = compressed;
  e.local_offset = offset;
  return e;
}

TEST(MemberSpansTest, SpansRunToTheNextHeaderInOffsetOrder) {
  // Listed out of offset order; the last member's span ends after its data
  // and the slack, within the archive.
  const std::vector<IndexEntry> entries = {Entry("b", 10, 100), Entry("a", 60, 0),
                                           Entry("c", 5, 200)};
  EXPECT_EQ(
      MemberSpans(entries, 1000000),
      (std::vector<ByteSpan>{{100, 200}, {0, 100}, {200, 200 + 30 + 1 + 5 + kLastMemberSlack}}));
  EXPECT_EQ(MemberSpans(entries, 300), (std::vector<ByteSpan>{{100, 200}, {0, 100}, {200, 300}}));
  // An offset beyond the archive has no span.
  EXPECT_EQ(MemberSpans({Entry("x", 1, 500)}, 300), (std::vector<ByteSpan>{{0, 0}}));
}

TEST(MemberSpansTest, CoalescedAndSplitIntoBoundedRequests) {
  const uint64_t gap = kCoalesceGap;
  EXPECT_EQ(CoalesceSpans({{3 * gap, 4 * gap}, {0, 1000}, {1000 + gap - 1, 2000 + gap}}),
            (std::vector<ByteSpan>{{0, 2000 + gap}, {3 * gap, 4 * gap}}));
  EXPECT_EQ(CoalesceSpans({{0, 10}, {10 + gap, 20 + gap}}),
            (std::vector<ByteSpan>{{0, 10}, {10 + gap, 20 + gap}}));

  const uint64_t max = kMaxRequestBytes;
  const std::vector<ByteSpan> spans = {{0, 10}, {max, 2 * max + max / 2}, {4 * max, 4 * max + 5}};
  const auto multi = PlanRequests(spans, true);
  ASSERT_EQ(multi.size(), 3u);
  // A span longer than a request is cut; the requests fill up to the bound.
  EXPECT_EQ(multi[0], (std::vector<ByteSpan>{{0, 10}}));
  EXPECT_EQ(multi[1], (std::vector<ByteSpan>{{max, 2 * max}}));
  EXPECT_EQ(multi[2],
            (std::vector<ByteSpan>{{2 * max, 2 * max + max / 2}, {4 * max, 4 * max + 5}}));
  for (const auto& request : multi) {
    uint64_t bytes = 0;
    for (const ByteSpan& s : request) {
      bytes += s.size();
    }
    EXPECT_LE(bytes, max);
  }
  const auto single = PlanRequests(spans, false);
  for (const auto& request : single) {
    EXPECT_EQ(request.size(), 1u);
  }
  EXPECT_EQ(single.size(), 4u);
  EXPECT_EQ(RangeSetText({{0, 10}, {20, 21}}), "0-9,20-20");
}

std::string Header(uint16_t flags,
                   uint16_t method,
                   uint32_t crc,
                   uint32_t csize,
                   uint32_t size,
                   const std::string& name) {
  std::string h = std::string("PK\x03\x04", 4) + std::string(26, '\0');
  auto put16 = [&h](size_t at, uint32_t v) {
    h[at] = static_cast<char>(v & 0xFF);
    h[at + 1] = static_cast<char>((v >> 8) & 0xFF);
  };
  put16(6, flags);
  put16(8, method);
  put16(14, crc & 0xFFFF);
  put16(16, crc >> 16);
  put16(18, csize & 0xFFFF);
  put16(20, csize >> 16);
  put16(22, size & 0xFFFF);
  put16(24, size >> 16);
  put16(26, static_cast<uint32_t>(name.size()));
  return h + name;
}

TEST(LocalHeaderTest, CheckedAgainstTheIndex) {
  IndexEntry entry = Entry("d/f.bin", 300, 0);
  entry.size = 500;
  entry.crc = 0x12345678;
  entry.method = 8;
  const struct {
    const char* name;
    std::string bytes;
    bool sound;
  } cases[] = {
      {"matching", Header(0, 8, 0x12345678, 300, 500, "d/f.bin"), true},
      {"sizes in a descriptor", Header(8, 8, 0, 0, 0, "d/f.bin"), true},
      {"another name", Header(0, 8, 0x12345678, 300, 500, "d/g.bin"), false},
      {"another method", Header(0, 0, 0x12345678, 300, 500, "d/f.bin"), false},
      {"another size", Header(0, 8, 0x12345678, 301, 500, "d/f.bin"), false},
      {"another CRC", Header(0, 8, 0x12345679, 300, 500, "d/f.bin"), false},
      {"encrypted", Header(1, 8, 0x12345678, 300, 500, "d/f.bin"), false},
  };
  for (const auto& c : cases) {
    const auto header = ParseLocalHeader(c.bytes);
    ASSERT_TRUE(header) << c.name;
    EXPECT_EQ(HeaderProblem(*header, entry).empty(), c.sound) << c.name;
  }
  EXPECT_FALSE(ParseLocalHeader("PK\x01\x02" + std::string(40, '\0')));
  EXPECT_FALSE(ParseLocalHeader(Header(0, 8, 0, 0, 0, "d/f.bin").substr(0, 33)));
  const auto with_descriptor = ParseLocalHeader(Header(8, 8, 0, 0, 0, "x"));
  EXPECT_EQ(DescriptorSize(*with_descriptor, std::string("PK\x07\x08", 4)), 16u);
  EXPECT_EQ(DescriptorSize(*with_descriptor, "abcd"), 12u);
}

TEST(LocalRecordTest, ReadsWhatItWritesAndSkipsWhatDoesNotRead) {
  const std::string sha(64, 'a');
  LocalRecord record;
  record.Set("d\\F.bin", {5, -7, sha});
  // POSIX times in nanoseconds: 19 digits.
  record.Set("e.bin", {0, 1744372800123456789, std::string(64, '0')});
  const LocalRecord back = LocalRecord::Parse(record.Text());
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back.Find("e.bin")->modified, 1744372800123456789);
  ASSERT_NE(back.Find("D\\f.BIN"), nullptr);  // letter case as the file systems ignore it
  EXPECT_EQ(*back.Find("d\\f.bin"), (RecordedFile{5, -7, sha}));

  const std::string good = "x\t1\t2\t" + sha;
  const struct {
    const char* name;
    std::string text;
    size_t files;
  } cases[] = {
      {"no header", good + "\r\n", 0},
      {"another version", "QMFILES 2\r\n" + good + "\r\n", 0},
      {"good line", "QMFILES 1\r\n" + good + "\r\n", 1},
      {"LF only", "QMFILES 1\n" + good + "\n", 1},
      {"digest in upper case", "QMFILES 1\r\nx\t1\t2\t" + std::string(64, 'A') + "\r\n", 0},
      {"short digest", "QMFILES 1\r\nx\t1\t2\tab\r\n", 0},
      {"negative size", "QMFILES 1\r\nx\t-1\t2\t" + sha + "\r\n", 0},
      {"time beyond 64 bits", "QMFILES 1\r\nx\t1\t9223372036854775808\t" + sha + "\r\n", 0},
      {"the largest time", "QMFILES 1\r\nx\t1\t9223372036854775807\t" + sha + "\r\n", 1},
      {"too few fields", "QMFILES 1\r\nx\t1\t" + sha + "\r\n", 0},
      {"empty path", "QMFILES 1\r\n\t1\t2\t" + sha + "\r\n", 0},
      {"bad line among good ones", "QMFILES 1\r\n" + good + "\r\ngarbage\r\ny\t3\t4\t" + sha, 2},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LocalRecord::Parse(c.text).size(), c.files) << c.name;
  }
}

TEST(LocalRecordTest, SavedAtomicallyAndAMissingOneIsEmpty) {
  test_support::TempDir dir{"rec"};
  const std::string app = dir.path().string();
  EXPECT_EQ(LocalRecord::Load(app).size(), 0u);
  LocalRecord record;
  record.Set("a.bin", {1, 2, std::string(64, 'b')});
  ASSERT_TRUE(record.Save(app));
  EXPECT_EQ(LocalRecord::Load(app).size(), 1u);
  // Nothing of the write is left beside it.
  EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "Temp"));
  EXPECT_EQ(test_support::ReadFileBytes(dir.path() / kLocalRecordFile),
            "QMFILES 1\r\na.bin\t1\t2\t" + std::string(64, 'b') + "\r\n");
}

}  // namespace
}  // namespace qm::update
