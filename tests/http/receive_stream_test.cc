#include "http/receive_stream.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"

namespace qm::http {
namespace {

namespace fs = std::filesystem;

class SpillingStreamTest : public testing::Test {
 protected:
  std::string Path(const std::string& name) const { return dir_.File(name); }
  std::string ReadFile(const std::string& name) const {
    return test_support::ReadFileBytes(dir_.path() / name);
  }
  size_t FileCount() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_.path()), {}));
  }

  test_support::TempDir dir_{"qm-spill"};
};

std::string Bytes(size_t n, int seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i)
    s[i] = static_cast<char>((i * 131 + seed) >> 2);
  return s;
}

TEST_F(SpillingStreamTest, StaysInMemoryUpToTheLimitThenSpills) {
  // Content that crosses the limit in several ways ends up whole on disk.
  struct Case {
    std::vector<size_t> writes;
    bool spills;
  } cases[] = {
      {{}, false},
      {{100}, false},
      {{60, 40}, false},  // exactly the limit
      {{60, 41}, true},   // one byte over
      {{300}, true},      // one write over
      {{10, 95, 1, 500}, true},
  };
  for (const Case& c : cases) {
    std::string expected;
    {
      SpillingStream stream(dir_.str(), 100);
      for (size_t n : c.writes) {
        std::string part = Bytes(n, static_cast<int>(expected.size()));
        ASSERT_TRUE(stream.Write(part.data(), part.size()));
        expected += part;
      }
      EXPECT_EQ(stream.spilled(), c.spills);
      EXPECT_EQ(stream.size(), static_cast<int64_t>(expected.size()));
      std::string read_back;
      EXPECT_TRUE(stream.ReadAll([&](const char* d, size_t n) {
        read_back.append(d, n);
        return true;
      }));
      EXPECT_EQ(read_back, expected);
      ASSERT_TRUE(stream.CommitToPath(Path("target.bin"))) << stream.error();
      EXPECT_EQ(stream.size(), 0);
    }
    EXPECT_EQ(ReadFile("target.bin"), expected);
    EXPECT_EQ(FileCount(), 1u) << "no temporary file is left behind";
  }
}

TEST_F(SpillingStreamTest, TargetIsTouchedOnlyByCommit) {
  std::ofstream(dir_.path() / "target.bin") << "old content";
  {
    SpillingStream stream(dir_.str(), 10);
    std::string data = Bytes(50, 1);
    ASSERT_TRUE(stream.Write(data.data(), data.size()));
    EXPECT_EQ(ReadFile("target.bin"), "old content");
    // Dropped without commit: the spill file goes, the target stays.
  }
  EXPECT_EQ(ReadFile("target.bin"), "old content");
  EXPECT_EQ(FileCount(), 1u);
}

TEST_F(SpillingStreamTest, CommitIntoAMissingFolderFailsAndKeepsNothing) {
  for (size_t limit : {size_t{1000}, size_t{10}}) {
    SpillingStream stream(dir_.str(), limit);
    std::string data = Bytes(100, 2);
    ASSERT_TRUE(stream.Write(data.data(), data.size()));
    EXPECT_FALSE(stream.CommitToPath(Path("no-such-folder/target.bin")));
    EXPECT_FALSE(stream.error().empty());
    EXPECT_FALSE(fs::exists(dir_.path() / "no-such-folder"));
  }
  EXPECT_EQ(FileCount(), 0u);
}

TEST_F(SpillingStreamTest, SpillFolderThatCannotBeUsedFailsTheWrite) {
  SpillingStream stream(Path("missing"), 10);
  std::string data = Bytes(20, 3);
  EXPECT_FALSE(stream.Write(data.data(), data.size()));
  EXPECT_FALSE(stream.error().empty());
  EXPECT_FALSE(stream.CommitToPath(Path("target.bin")));
  EXPECT_FALSE(fs::exists(dir_.path() / "target.bin"));
}

}  // namespace
}  // namespace qm::http
