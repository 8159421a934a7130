// Whole extractions of arbitrary archives into a temporary folder. Nothing
// may land outside the extraction folder, every file there must hold what
// its member's CRC-32 names, no file may stand for a member that failed, and
// a run in which a member failed must not count as a success.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "platform/file_system.h"
#include "zip/decode/crc32.h"
#include "zip/member_names.h"
#include "zip/unzip.h"

namespace fs = std::filesystem;

namespace {

// A new folder below the system's temporary folder for one input.
fs::path MakeRoot() {
  std::string pattern = (fs::temp_directory_path() / "qm-unzip-fuzz-XXXXXX").string();
  if (!mkdtemp(pattern.data())) {
    std::abort();
  }
  return fs::path(pattern);
}

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "broken: %s\n", what);
    std::abort();
  }
}

std::string Fold(std::string path) {
  for (char& c : path) {
    if (c >= 'A' && c <= 'Z') {
      c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return path;
}

// The extractor's path form ("\" separators).
std::string Internal(const fs::path& path) {
  return qm::zip::StoredName(path.string());
}

bool ReadWhole(const std::string& path, std::string* content) {
  qm::platform::File file;
  if (!file.Open(path, qm::platform::File::Mode::kRead)) {
    return false;
  }
  char buffer[65536];
  for (;;) {
    int64_t n = file.Read(buffer, sizeof(buffer));
    if (n < 0) {
      return false;
    }
    if (n == 0) {
      return true;
    }
    content->append(buffer, static_cast<size_t>(n));
  }
}

struct Expected {
  uint32_t crc;
  uint64_t size;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const fs::path root = MakeRoot();
  const fs::path work = root / "w";
  const fs::path out = work / "a" / "b" / "out";
  fs::create_directories(work / "a" / "b");
  {
    std::ofstream archive(work / "in.zip", std::ios::binary);
    archive.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

  qm::zip::TUnZip unzip;
  unzip.SetArchiveFile(Internal(work / "in.zip"));
  unzip.SetExtractDir(Internal(out));
  unzip.FileSpec = {"*.*"};
  unzip.Passwords = {"test", "12345678", "secret", "pw"};
  unzip.SyncFiles = false;

  // What each target may hold: the members that name it.
  std::map<std::string, std::vector<Expected>> expected;
  for (const qm::zip::TZipMemberInfo& m : unzip.List()) {
    std::string stored = qm::zip::StripRootPrefix(m.name);
    if (m.directory || !qm::zip::IsSafeStoredName(stored)) {
      continue;
    }
    std::string target = qm::zip::TargetPath(unzip.ExtractDir(), true, stored);
    expected[Fold(target)].push_back({m.crc, m.uncompressed_size});
  }

  std::map<std::string, std::string> passed;  // folded target -> target
  bool member_failed = false;
  unzip.OnEnd = [&](qm::zip::TUnZip*, const std::string& target, bool crc_pass) {
    if (crc_pass) {
      passed[Fold(target)] = target;
    } else {
      member_failed = true;
    }
  };
  unzip.OnError = [&](qm::zip::TUnZip*, const std::string&, const std::string&, const std::string&,
                      int) { member_failed = true; };
  unzip.Extract();

  Check(!member_failed || !unzip.Succeeded(), "a run with a failed member succeeded");
  Check(!unzip.Succeeded() || passed.size() == expected.size(),
        "a run succeeded without installing every member");

  // Every installed file holds its member's content.
  for (const auto& [key, target] : passed) {
    auto it = expected.find(key);
    Check(it != expected.end(), "a file for no member");
    std::string content;
    Check(ReadWhole(target, &content), "an installed file cannot be read");
    uint32_t crc =
        qm::zip::Crc32Update(0, reinterpret_cast<const uint8_t*>(content.data()), content.size());
    bool fits = false;
    for (const Expected& e : it->second) {
      fits |= (crc == e.crc || crc == ~e.crc) && content.size() == e.size;
    }
    Check(fits, "an installed file does not hold its member");
  }

  // Nothing outside the extraction folder; inside it only installed files.
  const std::set<fs::path> allowed = {work / "in.zip", work / "a", work / "a" / "b", out};
  size_t files = 0;
  for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
       ++it) {
    const fs::path& p = it->path();
    const fs::path relative = p.lexically_relative(out);
    bool inside = !relative.empty() && relative != "." && *relative.begin() != "..";
    Check(p == work || allowed.count(p) || inside, "written outside the extraction folder");
    if (inside && !it->is_directory()) {
      ++files;
    }
  }
  Check(files == passed.size(), "a file that no passing member installed");
  // An input that breaks a check aborts before this: its folder stays to look at.
  std::error_code ec;
  fs::remove_all(root, ec);
  return 0;
}
