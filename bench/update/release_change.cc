#include "bench/update/release_change.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

constexpr size_t kPatchBytes = 4096;

// A new version of a game file: a stretch in the middle rewritten, and on
// every second file an eighth of its content appended, so that the member's
// size and compressed size change too. Written as a new file: the old one
// is a link into the earlier release.
bool Patch(const fs::path& file, uint64_t seed, bool grow) {
  std::string content;
  {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
      return false;
    }
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  std::mt19937_64 rng(seed);
  const size_t start = content.size() / 2;
  const size_t end = std::min(content.size(), start + kPatchBytes);
  for (size_t i = start; i < end; ++i) {
    content[i] = static_cast<char>(rng() & 0xFF);
  }
  if (grow || content.empty()) {
    content += content.substr(0, content.size() / 8) + "patched";
  }
  std::error_code ec;
  fs::remove(file, ec);
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << content;
  return !ec && static_cast<bool>(out.flush());
}

}  // namespace

bool MakeNextRelease(const fs::path& release,
                     const fs::path& next,
                     int per_file,
                     std::vector<std::string>* changed,
                     std::string* error) {
  std::error_code ec;
  fs::remove_all(next, ec);
  fs::copy(release, next, fs::copy_options::recursive | fs::copy_options::create_hard_links, ec);
  if (ec) {
    *error =
        "cannot copy " + release.string() + " as links to " + next.string() + ": " + ec.message();
    return false;
  }
  std::vector<std::string> files;
  for (auto it = fs::recursive_directory_iterator(next, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const std::string path = it->path().lexically_relative(next).generic_string();
    if (it->is_regular_file() && !path.starts_with("launcher/")) {
      files.push_back(path);
    }
  }
  if (ec || files.size() < 2) {
    *error = "cannot list the files of " + next.string();
    return false;
  }
  std::sort(files.begin(), files.end());
  const size_t count = std::max<size_t>(2, files.size() / static_cast<size_t>(per_file));
  changed->clear();
  for (size_t k = 0; k < count; ++k) {
    // The middle of each of count equal stretches of the list.
    const std::string& path = files[(2 * k + 1) * files.size() / (2 * count)];
    if (!Patch(next / path, 3000 + k, k % 2 == 1)) {
      *error = "cannot patch " + (next / path).string();
      return false;
    }
    changed->push_back(path);
  }
  return true;
}

}  // namespace qm::bench
