#include "bench/update/install_check.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <set>
#include <string_view>

#include "util/ascii.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

bool SameContent(const fs::path& a, const fs::path& b) {
  std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
  if (!x || !y) {
    return false;
  }
  std::string p(1 << 20, '\0'), q(1 << 20, '\0');
  while (true) {
    x.read(p.data(), static_cast<std::streamsize>(p.size()));
    y.read(q.data(), static_cast<std::streamsize>(q.size()));
    if (x.gcount() != y.gcount() || !std::equal(p.begin(), p.begin() + x.gcount(), q.begin())) {
      return false;
    }
    if (x.gcount() == 0 || !x) {
      return x.eof() && y.eof();
    }
  }
}

// The value of section/key as the profile rules read it: names without
// regard to case, blanks around the value dropped, the first match counts.
// Read here rather than with the updater's own reader, which wrote the file.
bool FindValue(std::string_view ini,
               std::string_view section,
               std::string_view key,
               std::string* value) {
  std::string_view current;
  while (!ini.empty()) {
    const size_t end = std::min(ini.find('\n'), ini.size());
    const std::string_view line = TrimAsciiBlanks(ini.substr(0, end));
    ini.remove_prefix(std::min(end + 1, ini.size()));
    if (line.starts_with('[')) {
      current = line.substr(1, line.find(']') - 1);
      continue;
    }
    const size_t eq = line.find('=');
    if (EqualsIgnoringAsciiCase(current, section) && eq != std::string_view::npos &&
        EqualsIgnoringAsciiCase(TrimAsciiBlanks(line.substr(0, eq)), key)) {
      *value = TrimAsciiBlanks(line.substr(eq + 1));
      return true;
    }
  }
  return false;
}

}  // namespace

std::string CheckFiles(const fs::path& game,
                       const Release& release,
                       int sample_every,
                       const std::vector<std::string>& keep) {
  std::set<std::string> expected(keep.begin(), keep.end());
  expected.insert("QuillMar.ini");
  for (const ReleaseArchive& archive : release.archives) {
    for (size_t i = 0; i < archive.files.size(); ++i) {
      const ReleaseFile& file = archive.files[i];
      const fs::path installed = game / file.path;
      std::error_code ec;
      const uint64_t size = fs::file_size(installed, ec);
      if (ec) {
        return "missing " + file.path + " (of " + archive.url_path + ")";
      }
      if (size != file.size) {
        return file.path + " has " + std::to_string(size) + " bytes instead of " +
               std::to_string(file.size);
      }
      if (i % static_cast<size_t>(sample_every) == 0 &&
          !SameContent(installed, archive.source / file.path)) {
        return file.path + " differs from its source";
      }
      expected.insert(file.path);
    }
  }
  // Anything else, such as an archive left behind or a file unpacked to the
  // wrong place, is a fault too. An empty folder (Temp) is not.
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(game, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (!it->is_directory()) {
      const std::string path = it->path().lexically_relative(game).generic_string();
      if (expected.count(path) == 0) {
        return "unexpected file " + path;
      }
    }
  }
  return ec ? "cannot list " + game.string() : "";
}

std::string CheckRecorded(const fs::path& game, const Release& release) {
  std::ifstream in(game / "QuillMar.ini", std::ios::binary);
  if (!in) {
    return "no QuillMar.ini in the game folder";
  }
  const std::string ini((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const RecordedVersion& line : release.recorded) {
    std::string value;
    if (!FindValue(ini, line.section, line.key, &value)) {
      return "QuillMar.ini lacks [" + line.section + "] " + line.key;
    }
    if (value != line.value) {
      return "QuillMar.ini has [" + line.section + "] " + line.key + "=" + value + " instead of " +
             line.value;
    }
  }
  return "";
}

}  // namespace qm::bench
