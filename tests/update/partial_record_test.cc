// The .qmpart record and the [Transfer] settings: what is accepted, what is
// refused and what falls back to the default.
#include "update/partial_record.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/files.h"
#include "tests/support/temp_dir.h"
#include "update/transfer_settings.h"

namespace qm::update {
namespace {

PartialRecord Sample() {
  PartialRecord r;
  r.url = "http://mirror/QuillMar/82001500/Part.zip";
  r.key = "82001500/Part.zip";
  r.length = 307314;
  r.last_modified = "Mon, 01 Jan 2024 00:00:00 GMT";
  r.etag = "\"65-4b0\"";
  r.sha256 = std::string(64, 'a');
  return r;
}

TEST(PartialRecordTest, WrittenRecordsReadBackAndBadOnesAreRefused) {
  const std::string good = FormatPartialRecord(Sample());
  ASSERT_FALSE(good.empty());
  EXPECT_EQ(ParsePartialRecord(good), Sample());
  const std::string head = "Version=1\r\nUrl=u\r\nKey=k\r\n";
  const struct {
    const char* name;
    std::string text;
  } refused[] = {
      {"empty", ""},
      {"unknown version", "Version=2\r\nUrl=u\r\nKey=k\r\nLength=5\r\n"},
      {"no version", "Url=u\r\nKey=k\r\nLength=5\r\n"},
      {"no length", head},
      {"length not a number", head + "Length=5x\r\n"},
      {"length zero", head + "Length=0\r\n"},
      {"length too long", head + "Length=1234567890123456789\r\n"},
      {"unknown key", head + "Length=5\r\nSize=5\r\n"},
      {"repeated key", head + "Length=5\r\nLength=5\r\n"},
      {"digest not hex", head + "Length=5\r\nSha256=" + std::string(64, 'g') + "\r\n"},
      {"line without =", head + "Length=5\r\njunk\r\n"},
      {"last line cut", head + "Length=5"},
      {"line too long", head + "Length=5\r\nETag=" + std::string(4096, 'e') + "\r\n"},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(ParsePartialRecord(c.text)) << c.name;
  }
  PartialRecord unwritable = Sample();
  unwritable.etag = "a\r\nLength=1";
  EXPECT_EQ(FormatPartialRecord(unwritable), "");
}

TEST(TransferSettingsTest, KeysOverrideAndMalformedValuesFallBack) {
  test_support::TempDir dir("xfer");
  const std::string path = (dir.path() / "QuillMar.ini").string();
  test_support::WriteFileBytes(dir.path() / "QuillMar.ini",
                               "[Transfer]\r\nIdleTimeout=45\r\nSlowLinkRate=0\r\n"
                               "SlowLinkTime=ten\r\nRetryDelay=-1\r\n");
  const TransferSettings s = ReadTransferSettings(platform::IniFile(path));
  EXPECT_EQ(s.idle_timeout_s, 45u);
  EXPECT_EQ(s.slow_link_rate, 0u);
  EXPECT_FALSE(s.slow_link_time_s.has_value());
  EXPECT_EQ(s.retry_delay_s, 1u);
  const TransferSettings none =
      ReadTransferSettings(platform::IniFile((dir.path() / "none.ini").string()));
  EXPECT_FALSE(none.idle_timeout_s.has_value());
  EXPECT_EQ(none.retry_delay_s, 1u);
}

}  // namespace
}  // namespace qm::update
