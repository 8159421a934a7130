// The qmunzip tool: its exit status, its error lines and what it writes.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <cstdio>

#include "tests/zip/extract_test_util.h"
#include "tests/zip/zip_builder.h"

namespace qm::zip::testing {
namespace {

struct Outcome {
  int status = -1;
  std::string output;  // standard output and standard error
};

Outcome RunTool(const std::string& args) {
  Outcome o;
  std::string command = std::string(QMUNZIP_PATH) + " " + args + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    return o;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
    o.output.append(buffer, n);
  }
  int raw = pclose(pipe);
  o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return o;
}

std::string Quote(const fs::path& p) {
  return "'" + p.string() + "'";
}

TEST(QmUnzipTest, ExitStatusAndMessages) {
  TempDir work;
  fs::path archives = GeneratedArchives() / "archives";
  fs::path bad_crc = work.path() / "bad-crc.zip";
  std::string bytes =
      BuildZip({{.name = "a.txt", .data = "alpha"}, {.name = "b.txt", .data = "beta"}});
  Put32(&bytes, LastLayout().central_offsets[1] + 16, 0xDEADBEEF);
  Put32(&bytes, LastLayout().local_offsets[1] + 14, 0xDEADBEEF);
  WriteFileBytes(bad_crc, bytes);
  fs::path not_zip = work.path() / "page.zip";
  WriteFileBytes(not_zip, "<html>Service Unavailable</html>");

  const struct {
    std::string args;
    int status;
    const char* expect;  // in the output
  } cases[] = {
      {"-l " + Quote(archives / "deflated.zip"), 0, "Deflated"},
      {"-l " + Quote(archives / "deflate64.zip"), 0, "Deflate64"},
      {"-t " + Quote(archives / "stored.zip"), 0, "verified, 0 failed"},
      {"-t -P secret " + Quote(archives / "encrypted.zip"), 0, "verified, 0 failed"},
      {"-t -P wrong " + Quote(archives / "encrypted.zip"), 1, "26517 Invalid password"},
      {"-t " + Quote(bad_crc), 1, "25151 File fails CRC check"},
      {"-t " + Quote(not_zip), 2, "25244"},
      {"-t " + Quote(work.path() / "missing.zip"), 2, "25192 File not found"},
      {"", 2, "qmunzip: no archive given"},
      {"--help", 0, "usage: qmunzip"},
      {"-h", 0, "-d DIR"},
      {"-x " + Quote(archives / "stored.zip"), 2, "usage"},
      {"-l -t " + Quote(archives / "stored.zip"), 2, "qmunzip: -l and -t exclude each other"},
      {"-t " + Quote(archives / "stored.zip") + " -d out", 2,
       "qmunzip: -d goes with unpacking only"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    Outcome o = RunTool(c.args);
    EXPECT_EQ(o.status, c.status) << o.output;
    EXPECT_NE(o.output.find(c.expect), std::string::npos) << o.output;
  }
}

TEST(QmUnzipTest, ExtractsIntoFolder) {
  TempDir work;
  Outcome o = RunTool("-P secret " + Quote(GeneratedArchives() / "archives" / "encrypted.zip") +
                      " -d " + Quote(work.path() / "out"));
  EXPECT_EQ(o.status, 0) << o.output;
  auto expected = ReadTree(GeneratedArchives() / "expected" / "encrypted.zip");
  auto actual = ReadTree(work.path() / "out");
  EXPECT_TRUE(actual == expected);
}

// Every directory entry names the same member: the tool reports the
// archive as refused, fails, and writes nothing.
TEST(QmUnzipTest, OverlappingMembersWriteNothing) {
  TempDir work;
  std::vector<BuildMember> members(20, {.name = "big.dat", .data = std::string(4096, 'x')});
  std::string bytes = BuildZip(members);
  for (size_t i = 1; i < members.size(); ++i) {
    Put32(&bytes, LastLayout().central_offsets[i] + 42,
          static_cast<uint32_t>(LastLayout().local_offsets[0]));
  }
  fs::path archive = work.path() / "bomb.zip";
  WriteFileBytes(archive, bytes);
  Outcome o = RunTool(Quote(archive) + " -d " + Quote(work.path() / "out"));
  EXPECT_NE(o.status, 0) << o.output;
  EXPECT_NE(o.output.find("25140 Corrupt input"), std::string::npos) << o.output;
  EXPECT_FALSE(fs::exists(work.path() / "out" / "big.dat"));
}

}  // namespace
}  // namespace qm::zip::testing
