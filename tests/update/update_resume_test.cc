// Archives that survive bad networks: a transfer that breaks continues with
// Range on the next source, replies that do not continue it are refused or
// start over, sources fail over within bounds, partials last across runs.
// nginx serves the release; the scripted server plays the faulty mirror.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/message_loop.h"
#include "tests/update/update_fixture.h"
#include "update/debris.h"
#include "update/partial_record.h"
#include "util/texts.h"

namespace qm::update {
namespace {

namespace fs = std::filesystem;
using http::test::Pause;
using http::test::Read;
using http::test::RecordedRequest;
using http::test::Send;
using http::test::SetScript;
using http::test::Step;
using test::ReadFileBytes;
using test::UpdateFixture;
using test::WriteFileBytes;

// A stored member of bytes no run of them repeats: a splice at the wrong
// place shows in the member's CRC.
std::string MemberBytes() {
  std::string bytes(size_t{300} << 10, '\0');
  uint32_t x = 12345;
  for (char& c : bytes) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

const std::string& TheArchive() {
  static const std::string zip = zip::testing::BuildZip({{"part.bin", MemberBytes()}});
  return zip;
}

std::string Head(const std::string& status, const std::string& lines) {
  return "HTTP/1.0 " + status + "\r\n" + lines + "\r\n";
}

// The release: Part.zip new, below the engine base of every mirror.
struct ResumeFixture : UpdateFixture {
  explicit ResumeFixture(const std::vector<std::string>& mirrors,
                         const std::string& transfer = "RetryDelay=0") {
    std::vector<std::string> manifest = {"[P]"};
    for (size_t k = 0; k < mirrors.size(); ++k) {
      manifest.push_back("Path" + std::to_string(k) + "=" + mirrors[k]);
    }
    for (const char* line :
         {"[V]", "82001500=3.0.0.0", "Part=13", "Data=7", "[SP]", "82001500_Sp=3"}) {
      manifest.emplace_back(line);
    }
    ServeManifest(manifest);
    Serve("QuillMar/82001500/Part.zip", TheArchive());
    WriteFileBytes(App("QuillMar.ini"), "[Transfer]\r\n" + transfer + "\r\n");
    http.OnDocData = [this](http::THttpCli*, const char*, int32_t len) { body_bytes += len; };
    http.OnBeforeHeaderSend = [this](http::THttpCli*, const std::string&,
                                     std::vector<std::string>& lines) {
      std::string range;
      for (const std::string& line : lines) {
        if (line.rfind("Range: ", 0) == 0) {
          range = line;
        }
      }
      ranges.push_back(range);
    };
  }
  std::string Default() const { return BaseUrl() + "/QuillMar/"; }
  bool MemberInstalled() const { return ReadFileBytes(App("part.bin")) == MemberBytes(); }

  int64_t body_bytes = 0;
  std::vector<std::string> ranges;  // per request: its Range line or ""
};

const int64_t kLength = static_cast<int64_t>(TheArchive().size());
constexpr int64_t kCut = 100000;

// The first mirror breaks at kCut; the second answers the continuation as
// the case says; the default base (nginx) is the last source.
TEST(UpdateResumeTest, RepliesToAContinuation) {
  const std::string& zip = TheArchive();
  const std::string cut =
      Head("200 OK", "Content-Length: " + std::to_string(kLength) + "\r\n") + zip.substr(0, kCut);
  const std::string range = "bytes " + std::to_string(kCut) + "-" + std::to_string(kLength - 1) +
                            "/" + std::to_string(kLength);
  struct Case {
    const char* name;
    std::string reply;       // of the second mirror
    size_t requests;         // archive requests in all
    std::string last_range;  // the Range of the last request
    bool no_byte_twice;      // bytes received stay within the archive and one block
  };
  const std::vector<Case> cases = {
      {"206 continuing",
       Head("206 Partial Content", "Content-Range: " + range + "\r\n") + zip.substr(kCut), 2,
       "Range: bytes=100000-", true},
      {"200 starts over", Head("200 OK", "") + zip, 2, "Range: bytes=100000-", false},
      {"206 at a wrong start: next source, bytes kept",
       Head("206 Partial Content", "Content-Range: bytes 100005-" + std::to_string(kLength - 1) +
                                       "/" + std::to_string(kLength) + "\r\n") +
           zip.substr(kCut + 5),
       3, "Range: bytes=100000-", false},
      {"206 of another total: the archive changed, from 0",
       Head("206 Partial Content", "Content-Range: bytes 100000-" + std::to_string(kLength) + "/" +
                                       std::to_string(kLength + 1) + "\r\n") +
           zip.substr(kCut) + "x",
       3, "", false},
      {"416: next source", Head("416 Range Not Satisfiable", "Content-Length: 0\r\n"), 3,
       "Range: bytes=100000-", true},
      {"503: next source", Head("503 Service Unavailable", "Content-Length: 0\r\n"), 3,
       "Range: bytes=100000-", true},
      {"404: next source", Head("404 Not Found", "Content-Length: 0\r\n"), 3,
       "Range: bytes=100000-", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const int id = SetScript({{Read(), Send(cut)}, {Read(), Send(c.reply)}});
    ResumeFixture f({UpdateFixture::servers().ScriptUrl("/a/"),
                     UpdateFixture::servers().ScriptUrl("/b/"), "", "never"});
    EXPECT_EQ(f.Run(), 0);
    EXPECT_TRUE(f.MemberInstalled());
    EXPECT_EQ(f.Installed("V", "Part"), "13");
    ASSERT_EQ(f.ranges.size(), c.requests + 1);  // the manifest first
    EXPECT_EQ(f.ranges[1], "");
    EXPECT_EQ(f.ranges.back(), c.last_range);
    EXPECT_NE(RecordedRequest(id, 1).find("Range: bytes=100000-"), std::string::npos);
    if (c.no_byte_twice) {
      EXPECT_LE(f.body_bytes, kLength + 65536);
    }
    EXPECT_TRUE(fs::is_empty(f.App("Temp")));
  }
}

// A continuation whose validators differ from those of the bytes kept is
// another archive: what was kept goes, and the next source starts from 0.
TEST(UpdateResumeTest, ContinuationWithOtherValidatorsStartsOver) {
  const std::string& zip = TheArchive();
  const std::string cut =
      Head("200 OK", "Content-Length: " + std::to_string(kLength) + "\r\nETag: \"first\"\r\n") +
      zip.substr(0, kCut);
  const std::string other =
      Head("206 Partial Content", "Content-Range: bytes " + std::to_string(kCut) + "-" +
                                      std::to_string(kLength - 1) + "/" + std::to_string(kLength) +
                                      "\r\nETag: \"second\"\r\n") +
      zip.substr(kCut);
  SetScript({{Read(), Send(cut)}, {Read(), Send(other)}});
  ResumeFixture f({UpdateFixture::servers().ScriptUrl("/a/"),
                   UpdateFixture::servers().ScriptUrl("/b/"), "", "never"});
  EXPECT_EQ(f.Run(), 0);
  EXPECT_TRUE(f.MemberInstalled());
  EXPECT_EQ(f.Installed("V", "Part"), "13");
  // a: cut; b: refused for its ETag; the default base: the whole archive.
  ASSERT_EQ(f.ranges.size(), 4u);
  EXPECT_EQ(f.ranges[2], "Range: bytes=100000-");
  EXPECT_EQ(f.ranges[3], "");
  EXPECT_TRUE(fs::is_empty(f.App("Temp")));
}

// A source that keeps breaking is tried at most three times; the row then
// fails with its usual text, the box names the last URL and reason, and
// the partial stays for the next run, which continues it.
TEST(UpdateResumeTest, BoundedAttemptsThenTheNextRunContinues) {
  const std::string cut = Head("200 OK", "Content-Length: " + std::to_string(kLength) + "\r\n") +
                          TheArchive().substr(0, kCut);
  SetScript({{Read(), Send(cut)}});
  std::vector<std::string> errors;
  ResumeFixture f(
      {UpdateFixture::servers().ScriptUrl("/a/"),
       "http://127.0.0.1:" + std::to_string(UpdateFixture::servers().refused_port) + "/b/",
       "http://127.0.0.1:" + std::to_string(UpdateFixture::servers().refused_port) + "/b/",
       "never"});
  fs::rename(fs::path(UpdateFixture::servers().work_dir) / "www" /
                 f.BaseUrl().substr(f.BaseUrl().rfind('/') + 1) / "QuillMar/82001500/Part.zip",
             f.App("held-back.zip"));
  platform::SetErrorDisplay([&errors](const std::string& text) { errors.push_back(text); });
  EXPECT_EQ(f.Run(), -3);
  platform::SetErrorDisplay(nullptr);
  EXPECT_EQ(f.host.status, texts::kEngineDownloadFailed);
  EXPECT_EQ(f.Installed("V", "Part"), "");
  // a: the first cut brought the archive on, then 3 cuts that started
  // over brought nothing new (it sent bytes: never written off); b: refused
  // once (no request went out), then left for the run; the default base:
  // 404 once.
  EXPECT_EQ(f.ranges.size(), 1u + 4 + 1);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0], UpdateFixture::servers().ScriptUrl("/a/82001500/Part.zip") +
                           ": Document incomplete: 100000 of " + std::to_string(kLength) +
                           " bytes received");
  EXPECT_EQ(ReadFileBytes(f.App("Temp/Part.zip")), TheArchive().substr(0, kCut));
  EXPECT_TRUE(fs::exists(f.App("Temp/Part.zip.qmpart")));

  // Next start: the archive is back on the default base.
  fs::rename(f.App("held-back.zip"), fs::path(UpdateFixture::servers().work_dir) / "www" /
                                         f.BaseUrl().substr(f.BaseUrl().rfind('/') + 1) /
                                         "QuillMar/82001500/Part.zip");
  f.ServeManifest({"[V]", "82001500=3.0.0.0", "Part=13", "Data=7", "[SP]", "82001500_Sp=3"});
  f.ranges.clear();
  f.body_bytes = 0;
  EXPECT_EQ(f.Run(), 0);
  EXPECT_TRUE(f.MemberInstalled());
  ASSERT_EQ(f.ranges.size(), 2u);
  EXPECT_EQ(f.ranges[1], "Range: bytes=100000-");
  EXPECT_LE(f.body_bytes, kLength - kCut + 4096);
  EXPECT_TRUE(fs::is_empty(f.App("Temp")));
}

// A mirror that cuts every connection after so many bytes still brings the
// archive home on its own: an attempt that moves the archive on does not
// count against the source, and no byte comes twice.
TEST(UpdateResumeTest, MirrorThatCutsEveryConnectionIsFollowedToTheEnd) {
  const std::string& zip = TheArchive();
  const auto span = [&](int64_t first, int64_t last) {
    return "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" +
           std::to_string(kLength);
  };
  std::vector<std::vector<Step>> connections = {
      {Read(), Send(Head("200 OK", "Content-Length: " + std::to_string(kLength) + "\r\n") +
                    zip.substr(0, kCut))}};
  for (int64_t first = kCut; first < kLength; first += kCut) {
    connections.push_back(
        {Read(),
         Send(Head("206 Partial Content", "Content-Range: " + span(first, kLength - 1) + "\r\n") +
              zip.substr(static_cast<size_t>(first), static_cast<size_t>(kCut)))});
  }
  ASSERT_GT(connections.size(), static_cast<size_t>(kMaxAttemptsPerSource));
  SetScript(connections);
  ResumeFixture f({UpdateFixture::servers().ScriptUrl("/a/")}, "RetryDelay=30");
  fs::remove(fs::path(UpdateFixture::servers().work_dir) / "www" /
             f.BaseUrl().substr(f.BaseUrl().rfind('/') + 1) / "QuillMar/82001500/Part.zip");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(f.Run(), 0);
  // No backoff wait: every attempt brought bytes.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_TRUE(f.MemberInstalled());
  ASSERT_EQ(f.ranges.size(), 2 + connections.size());  // the manifest; the default base: 404
  EXPECT_EQ(f.ranges.back(),
            "Range: bytes=" + std::to_string((connections.size() - 1) * kCut) + "-");
  EXPECT_LE(f.body_bytes, kLength + 1024);  // and the default base's 404 page
  EXPECT_TRUE(fs::is_empty(f.App("Temp")));
}

// What a killed run left: a partial whose record matches is continued; one
// whose record does not is discarded and the archive fetched whole.
TEST(UpdateResumeTest, PartialLeftInTempAcrossRuns) {
  struct Case {
    const char* name;
    std::string key;
    std::string record_text;  // "" = formatted from key
    std::string range;        // of the archive's request
  };
  const std::vector<Case> cases = {
      {"matching record", "82001500/Part.zip", "", "Range: bytes=100000-"},
      {"record of another archive", "82001500/Other.zip", "", ""},
      {"unreadable record", "", "Version=2\r\nUrl=x\r\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ResumeFixture f({});
    f.ServeManifest({"[V]", "82001500=3.0.0.0", "Part=13", "Data=7", "[SP]", "82001500_Sp=3"});
    PartialRecord record;
    record.url = f.Default() + "82001500/Part.zip";
    record.key = c.key;
    record.length = kLength;
    WriteFileBytes(f.App("Temp/Part.zip"), TheArchive().substr(0, kCut));
    WriteFileBytes(f.App("Temp/Part.zip.qmpart"),
                   c.record_text.empty() ? FormatPartialRecord(record) : c.record_text);
    EXPECT_EQ(f.Run(), 0);
    EXPECT_TRUE(f.MemberInstalled());
    ASSERT_EQ(f.ranges.size(), 2u);
    EXPECT_EQ(f.ranges[1], c.range);
    EXPECT_TRUE(fs::is_empty(f.App("Temp")));
  }
}

// A mirror that trickles below the floor is left for the next source well
// before the idle limit.
TEST(UpdateResumeTest, TricklingMirrorIsLeft) {
  std::vector<Step> trickle = {
      Read(), Send(Head("200 OK", "Content-Length: " + std::to_string(kLength) + "\r\n") +
                   TheArchive().substr(0, 1000))};
  for (int k = 0; k < 100; ++k) {
    trickle.push_back(Send(TheArchive().substr(1000 + k * 20, 20)));
    trickle.push_back(Pause(100));
  }
  SetScript({trickle});
  ResumeFixture f({UpdateFixture::servers().ScriptUrl("/a/"), "", "never"},
                  "RetryDelay=0\r\nSlowLinkRate=1000\r\nSlowLinkTime=1");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(f.Run(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  EXPECT_TRUE(f.MemberInstalled());
  ASSERT_EQ(f.ranges.size(), 3u);
  EXPECT_NE(f.ranges[2], "");  // continued from what the trickle brought
}

// Cancel while the run waits before a retry ends the run at once.
TEST(UpdateResumeTest, CancelDuringTheBackoff) {
  // Too short a cut to count as progress: the next round waits.
  const std::string cut = Head("200 OK", "Content-Length: " + std::to_string(kLength) + "\r\n") +
                          TheArchive().substr(0, 1000);
  SetScript({{Read(), Send(cut)}});
  ResumeFixture f({UpdateFixture::servers().ScriptUrl("/a/"), "never"}, "RetryDelay=30");
  fs::remove(fs::path(UpdateFixture::servers().work_dir) / "www" /
             f.BaseUrl().substr(f.BaseUrl().rfind('/') + 1) / "QuillMar/82001500/Part.zip");
  platform::MessageWindow canceller([&f](const platform::Message&) {
    f.state.CancelRequested = 1;
    f.state.TransferStatus = kTransferCancelled;
  });
  int retries = 0;
  f.host.on_status = [&](const std::string& text) {
    if (text == texts::kRetryingFromAnotherServer && ++retries == 2) {
      canceller.Post(platform::kUserMessage + 50);  // shown just before the wait
    }
  };
  const auto start = std::chrono::steady_clock::now();
  EXPECT_LT(f.Run(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(retries, 2);
  // a, then the default base's 404; nothing after the wait began.
  EXPECT_EQ(f.ranges.size(), 3u);
  EXPECT_EQ(f.Installed("V", "Part"), "");
  // The partial stays for the next start.
  EXPECT_TRUE(fs::exists(f.App("Temp/Part.zip.qmpart")));
}

// Debris clean-up keeps a pair that can be continued and removes one that
// cannot (a bad record, or a partial as long as its length).
TEST(UpdateResumeTest, DebrisKeepsResumablePairs) {
  UpdateFixture f;
  PartialRecord record;
  record.url = "http://host/QuillMar/Part.zip";
  record.key = "82001500/Part.zip";
  record.length = 10;
  WriteFileBytes(f.App("Temp/Good.zip"), "12345");
  WriteFileBytes(f.App("Temp/Good.zip.qmpart"), FormatPartialRecord(record));
  WriteFileBytes(f.App("Temp/Full.zip"), "1234567890");
  WriteFileBytes(f.App("Temp/Full.zip.qmpart"), FormatPartialRecord(record));
  WriteFileBytes(f.App("Temp/Bad.zip"), "12345");
  WriteFileBytes(f.App("Temp/Bad.zip.qmpart"), "Version=1\r\nLength=ten\r\n");
  {
    // A killed run's marker names the good one.
    DownloadMarker marker(f.state.AppDir, "Good.zip");
    fs::copy(f.App("Temp"), f.App("Temp.killed"), fs::copy_options::recursive);
  }
  fs::remove_all(f.App("Temp"));
  fs::rename(f.App("Temp.killed"), f.App("Temp"));
  RemoveDebris(f.state.AppDir);
  EXPECT_EQ(ReadFileBytes(f.App("Temp/Good.zip")), "12345");
  EXPECT_TRUE(fs::exists(f.App("Temp/Good.zip.qmpart")));
  for (const char* gone : {"Temp/Full.zip", "Temp/Full.zip.qmpart", "Temp/Bad.zip",
                           "Temp/Bad.zip.qmpart", "Temp/~qmfetch"}) {
    EXPECT_FALSE(fs::exists(f.App(gone))) << gone;
  }
}

}  // namespace
}  // namespace qm::update
