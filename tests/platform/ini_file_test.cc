// One table of profile-file cases, run against both backends: our own reader
// and writer on POSIX, the Windows profile functions under Wine.
#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/platform/test_support.h"

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>
#endif

namespace qm::platform {
namespace {

using testing::SystemTempDir;

const char kFixture[] =
    "pre=before section\r\n"
    "\r\n"
    "; comment\r\n"
    "[ A ]\r\n"
    "k1 =  value one  \r\n"
    "K2=\"quoted\"\r\n"
    "k3='single'\r\n"
    "k4=\"unbalanced\r\n"
    "k5=\" inner \"\r\n"
    "dup=first\r\n"
    "dup=second\r\n"
    "nokey\r\n"
    ";c=commented\r\n"
    "\tt1\t=\tv\t\r\n"
    "e=\r\n"
    "  [B]\r\n"
    "x=1\r\n"
    "[C]\r\n"
    "q=\"a\"b\"\r\n"
    "q1=\"\r\n"
    "q2=\"\"\r\n"
    "q3='a\"\r\n"
    "q4= \" x \" \r\n"
    "[D\r\n"
    "after=unterminated header\r\n"
    "[a]\r\n"
    "k1=second section\r\n"
    "z=only in second\r\n"
    "[E] trailing\r\n"
    "e1=1\r\n"
    "[LF]\n"
    "lf=unix line\n";

struct ReadCase {
  const char* section;
  const char* key;
  const char* expected;  // "DEF" = the default came back
};

// Every answer here was checked against Wine's GetPrivateProfileStringA.
const ReadCase kReadCases[] = {
    {"A", "k1", "value one"},               // blanks around the value dropped
    {"a", "K1", "value one"},               // section and key ignore case
    {"A", "k2", "quoted"},                  // double quotes removed
    {"A", "k3", "single"},                  // single quotes removed
    {"A", "k4", "\"unbalanced"},            // one quote alone stays
    {"A", "k5", " inner "},                 // blanks inside the quotes stay
    {"A", "dup", "first"},                  // the first of two keys wins
    {"A", "nokey", "DEF"},                  // a line without "=" is no key
    {"A", ";c", "commented"},               // ";" lines are found by their full name
    {"A", "t1", "v"},                       // tabs are blanks too
    {"A", "e", ""},                         // empty value, not the default
    {"A", "", "DEF"},                       // empty key name
    {"A", "z", "DEF"},                      // only the first section of a name counts
    {"A", "missing", "DEF"},                // absent key
    {"Nope", "k1", "DEF"},                  // absent section
    {"", "pre", "before section"},          // keys before any section: the unnamed one
    {"B", "x", "1"},                        // indented header
    {"C", "q", "a\"b"},                     // outer pair removed, inner quote kept
    {"C", "q1", "\""},                      // a lone quote is no pair
    {"C", "q2", ""},                        // an empty pair
    {"C", "q3", "'a\""},                    // different quotes are no pair
    {"C", "q4", " x "},                     // trimmed first, then unquoted
    {"C", "after", "unterminated header"},  // "[D" without "]" is ignored
    {"D", "after", "DEF"},
    {"E", "e1", "1"},           // text after "]" ignored
    {"lf", "LF", "unix line"},  // LF-only line ends read too
};

class IniFileTest : public ::testing::Test {
 protected:
  SystemTempDir dir_;
};

TEST_F(IniFileTest, ReadsValuesAsTheProfileFunctionsDo) {
  dir_.Write("t.ini", kFixture);
  IniFile ini(dir_.path("t.ini"));
  for (const ReadCase& c : kReadCases) {
    EXPECT_EQ(ini.ReadString(c.section, c.key, "DEF"), c.expected)
        << "[" << c.section << "] " << c.key;
  }
}

TEST_F(IniFileTest, ListsKeysAndKeyValueLinesInFileOrder) {
  dir_.Write("t.ini", kFixture);
  IniFile ini(dir_.path("t.ini"));
  struct ListCase {
    const char* section;
    std::vector<std::string> keys;
    std::vector<std::string> lines;
  };
  const ListCase cases[] = {
      // No "nokey" (no "="), no ";c" (comment), "dup" twice with the first value.
      {"a",
       {"k1", "K2", "k3", "k4", "k5", "dup", "dup", "t1", "e"},
       {"k1=value one", "K2=quoted", "k3=single", "k4=\"unbalanced", "k5= inner ", "dup=first",
        "dup=first", "t1=v", "e="}},
      {"", {"pre"}, {"pre=before section"}},
      {"C",
       {"q", "q1", "q2", "q3", "q4", "after"},
       {"q=a\"b", "q1=\"", "q2=", "q3='a\"", "q4= x ", "after=unterminated header"}},
      {"Nope", {}, {}},
  };
  for (const ListCase& c : cases) {
    std::vector<std::string> list = {"stale"};
    ini.ReadSection(c.section, list);
    EXPECT_EQ(list, c.keys) << "[" << c.section << "]";
    list = {"stale"};
    ini.ReadSectionValues(c.section, list);
    EXPECT_EQ(list, c.lines) << "[" << c.section << "]";
  }
}

TEST_F(IniFileTest, MissingFileReadsAsEmpty) {
  IniFile ini(dir_.path("absent.ini"));
  EXPECT_EQ(ini.ReadString("V", "Part", "DEF"), "DEF");
  std::vector<std::string> list = {"stale"};
  ini.ReadSection("V", list);
  EXPECT_TRUE(list.empty());
  list = {"stale"};
  ini.ReadSectionValues("V", list);
  EXPECT_TRUE(list.empty());
}

TEST_F(IniFileTest, ValuesAreCutAt2047Bytes) {
  const std::string exact(2047, 'x');
  const std::string longer = std::string(2047, 'y') + "tail";
  dir_.Write("t.ini",
             "[L]\r\nexact=" + exact + "\r\nlong=" + longer + "\r\nquoted=\"" + longer + "\"\r\n");
  IniFile ini(dir_.path("t.ini"));
  EXPECT_EQ(ini.ReadString("L", "exact", ""), exact);
  EXPECT_EQ(ini.ReadString("L", "long", ""), longer.substr(0, 2047));
  EXPECT_EQ(ini.ReadString("L", "quoted", ""), longer.substr(0, 2047));
}

TEST_F(IniFileTest, KeyListStopsAtTheBufferSize) {
  // 9 bytes per name with its NUL: 1820 names fill 16380 of the 16384
  // bytes; of the next name only what fits before the final NULs is left.
  std::string text = "[K]\r\n";
  for (int i = 0; i < 1900; ++i) {
    char name[16];
    snprintf(name, sizeof(name), "key%05d", i);
    text += std::string(name) + "=v\r\n";
  }
  dir_.Write("t.ini", text);
  IniFile ini(dir_.path("t.ini"));
  std::vector<std::string> keys;
  ini.ReadSection("K", keys);
  ASSERT_EQ(keys.size(), 1821u);
  EXPECT_EQ(keys[1819], "key01819");
  EXPECT_EQ(keys[1820], "ke");
}

struct WriteCase {
  const char* name;
  const char* before;  // nullptr: no file
  const char* section;
  const char* key;
  const char* value;
  // What reads give afterwards: section, key, value.
  std::vector<std::vector<std::string>> reads;
  // The whole file afterwards on POSIX (Wine rewrites the file from its own
  // parse and drops blank lines, so only the reads are compared there).
  const char* posix_after;
};

// Built on first use: the table holds strings.
const std::vector<WriteCase>& WriteCases() {
  static const std::vector<WriteCase> cases = {
      {"line breaks in a value become blanks, on both backends",
       "[Proxy]\r\nProxyPort=80\r\n",
       "Proxy",
       "ProxyServer",
       "host\r\n[V]\nPart=99\rX=1",
       {{"Proxy", "ProxyServer", "host  [V] Part=99 X=1"},
        {"V", "Part", "DEF"},
        {"Proxy", "X", "DEF"},
        {"Proxy", "ProxyPort", "80"}},
       "[Proxy]\r\nProxyPort=80\r\nProxyServer=host  [V] Part=99 X=1\r\n"},
      {"new key keeps every other line",
       "top=1\r\n\r\n[A]\r\nk1=1\r\n\r\n; note\r\nk2=2\r\n\r\n\r\n[B]\r\nb=1\r\n",
       "A",
       "k3",
       "new",
       {{"A", "k3", "new"}, {"A", "k1", "1"}, {"A", "k2", "2"}, {"B", "b", "1"}, {"", "top", "1"}},
       "top=1\r\n\r\n[A]\r\nk1=1\r\n\r\n; note\r\nk2=2\r\nk3=new\r\n\r\n\r\n[B]\r\nb=1\r\n"},
      {"replace ignores case and keeps the file's key name",
       "[Proxy]\r\nProxyServer=old\r\nProxyPort=80\r\n",
       "proxy",
       "PROXYSERVER",
       "10.0.0.1",
       {{"Proxy", "ProxyServer", "10.0.0.1"}, {"Proxy", "ProxyPort", "80"}},
       "[Proxy]\r\nProxyServer=10.0.0.1\r\nProxyPort=80\r\n"},
      {"missing file is created",
       nullptr,
       "V",
       "Part",
       "3",
       {{"V", "Part", "3"}},
       "[V]\r\nPart=3\r\n"},
      {"new section goes at the end; LF lines become CR LF",
       "[A]\nk=1",
       "SP",
       "82001500_Sp",
       "7",
       {{"SP", "82001500_Sp", "7"}, {"A", "k", "1"}},
       "[A]\r\nk=1\r\n[SP]\r\n82001500_Sp=7\r\n"},
      {"only the first of two equal sections changes",
       "[A]\r\nk=1\r\n[B]\r\nb=2\r\n[a]\r\nk=3\r\n",
       "A",
       "k",
       "9",
       {{"A", "k", "9"}, {"B", "b", "2"}},
       "[A]\r\nk=9\r\n[B]\r\nb=2\r\n[a]\r\nk=3\r\n"},
      {"code page 949 bytes pass unchanged",
       "[AData]\r\n",
       "AData",
       "AData1",
       "\xB5\xA5\xC0\xCC\xC5\xCD",
       {{"AData", "AData1", "\xB5\xA5\xC0\xCC\xC5\xCD"}},
       "[AData]\r\nAData1=\xB5\xA5\xC0\xCC\xC5\xCD\r\n"},
  };
  return cases;
}

TEST_F(IniFileTest, WritesKeepUntouchedLines) {
  for (const WriteCase& c : WriteCases()) {
    SCOPED_TRACE(c.name);
    SystemTempDir dir;
    if (c.before) {
      dir.Write("QuillMar.ini", c.before);
    }
    {
      IniFile ini(dir.path("QuillMar.ini"));
      ini.WriteString(c.section, c.key, c.value);
    }
    IniFile ini(dir.path("QuillMar.ini"));
    for (const auto& read : c.reads) {
      EXPECT_EQ(ini.ReadString(read[0], read[1], "DEF"), read[2]) << read[0] << " " << read[1];
    }
#ifndef _WIN32
    EXPECT_EQ(dir.Read("QuillMar.ini"), c.posix_after);
    // Nothing is left behind beside the file.
    int entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir.os_path())) {
      (void)entry;
      ++entries;
    }
    EXPECT_EQ(entries, 1);
#endif
  }
}

// The write fails: the error names the path as given and nothing changes.
void ExpectRefused(const std::string& path) {
  IniFile ini(path);
  try {
    ini.WriteString("V", "Part", "2");
    ADD_FAILURE() << "write to " << path << " was not refused";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path);
  }
}

TEST_F(IniFileTest, RefusedWritesRaiseUnableToWrite) {
  // A folder that does not exist, and one where no file can be created even
  // by root (sysfs).
  ExpectRefused(dir_.path("missing\\QuillMar.ini"));
  EXPECT_FALSE(std::filesystem::exists(dir_.os_path("missing")));
  ExpectRefused(testing::SystemPath("/sys/QuillMar.ini"));
}

TEST_F(IniFileTest, ReadOnlyFileIsNotWritten) {
  const std::string before = "[V]\r\nPart=1\r\n";
  dir_.Write("QuillMar.ini", before);
  std::filesystem::permissions(dir_.os_path("QuillMar.ini"),
                               std::filesystem::perms::owner_read |
                                   std::filesystem::perms::group_read |
                                   std::filesystem::perms::others_read);
#ifdef _WIN32
  {
    // Wine maps the read-only attribute to the file's mode; root may still
    // open it for writing, and then Wine writes it too.
    std::ofstream probe(dir_.os_path("QuillMar.ini"), std::ios::app);
    if (probe.is_open())
      GTEST_SKIP() << "the host lets this user write read-only files (root under Wine)";
  }
#endif
  // The POSIX backend honours the read-only mode even for root, as the
  // read-only attribute does on Windows.
  ExpectRefused(dir_.path("QuillMar.ini"));
  EXPECT_EQ(dir_.Read("QuillMar.ini"), before);
  EXPECT_EQ(IniFile(dir_.path("QuillMar.ini")).ReadString("V", "Part", ""), "1");
}

#ifndef _WIN32
constexpr uid_t kNobody = 65534;

// A folder below /tmp that an ordinary user can reach.
class SharedFolder {
 public:
  SharedFolder() { ::chmod(path_.c_str(), 0777); }
  SharedFolder(const SharedFolder&) = delete;
  SharedFolder& operator=(const SharedFolder&) = delete;
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  test_support::TempDir dir_{"qm-ini", "/tmp"};
  std::string path_ = dir_.str();
};

// Runs body in a child process as an ordinary user (nobody, when the tests
// run as root); the result is body's, or -1 when the child failed.
int AsOrdinaryUser(const std::function<int()>& body) {
  pid_t pid = ::fork();
  if (pid == 0) {
    if (::geteuid() == 0 &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      ::_exit(99);
    }
    int result = 98;
    try {
      result = body();
    } catch (...) {
    }
    ::_exit(result);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uid_t OwnerOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_uid : static_cast<uid_t>(-1);
}

TEST(IniFilePermissionsTest, AnotherUsersFileIsRefusedThoughTheFolderIsWritable) {
  if (::geteuid() != 0) {
    GTEST_SKIP() << "needs root to make a file of another user";
  }
  SharedFolder folder;
  const std::string before = "[V]\r\nPart=1\r\n";
  { std::ofstream(folder.File("QuillMar.ini"), std::ios::binary) << before; }
  ::chmod(folder.File("QuillMar.ini").c_str(), 0644);
  const int result = AsOrdinaryUser([&] {
    try {
      IniFile(folder.File("QuillMar.ini")).WriteString("V", "Part", "2");
    } catch (const EIniFileException& e) {
      return std::string(e.what()).rfind("Unable to write to ", 0) == 0 ? 0 : 2;
    }
    return 1;
  });
  EXPECT_EQ(result, 0) << "1: the write went through";
  EXPECT_EQ(OwnerOf(folder.File("QuillMar.ini")), 0u);
  EXPECT_EQ(test_support::ReadFileBytes(folder.File("QuillMar.ini")), before);
}

TEST(IniFilePermissionsTest, WritableFileInAReadOnlyFolderIsWrittenInPlace) {
  SharedFolder folder;
  const std::string ini = folder.File("game/QuillMar.ini");
  std::filesystem::create_directories(folder.File("game"));
  { std::ofstream(ini, std::ios::binary) << "[V]\r\nPart=1\r\n"; }
  ::chmod(ini.c_str(), 0644);
  const uid_t user = ::geteuid() == 0 ? kNobody : ::geteuid();
  ASSERT_EQ(::chown(ini.c_str(), user, static_cast<gid_t>(-1)), 0);
  // The folder refuses new files to the user (root still owns it).
  ::chmod(folder.File("game").c_str(), 0555);
  const int result = AsOrdinaryUser([&] {
    IniFile(ini).WriteString("V", "Part", "2");
    return 0;
  });
  ::chmod(folder.File("game").c_str(), 0755);
  EXPECT_EQ(result, 0) << "the write was refused";
  EXPECT_EQ(IniFile(ini).ReadString("V", "Part", ""), "2");
  EXPECT_EQ(OwnerOf(ini), user);
}

// A read takes the file once, however many keys it returns, so that a
// large file costs its size and not its size times its keys: through a
// pipe that gives the content to the first open only, every value is there.
TEST(IniFileOneReadTest, SectionValuesComeFromOneReadOfTheFile) {
  SystemTempDir dir;
  const std::string fifo = dir.linux_path("pipe.ini");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::string content = "[AData]\r\n";
  std::vector<std::string> expected;
  for (int k = 1; k <= 50; ++k) {
    content += "AData" + std::to_string(k) + "=" + std::to_string(k * 7) + "\r\n";
    expected.push_back("AData" + std::to_string(k) + "=" + std::to_string(k * 7));
  }
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (bool first = true; !stop; first = false) {
      const int fd = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);  // waits for a reader
      if (fd < 0) {
        return;
      }
      if (first) {
        EXPECT_EQ(::write(fd, content.data(), content.size()),
                  static_cast<ssize_t>(content.size()));
      }
      ::close(fd);
    }
  });
  std::vector<std::string> list;
  IniFile(dir.path("pipe.ini")).ReadSectionValues("adata", list);
  stop = true;
  const int release = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  writer.join();
  ::close(release);
  EXPECT_EQ(list, expected);
}
#endif

}  // namespace
}  // namespace qm::platform
