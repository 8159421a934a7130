#include "bench/update/publication.h"

#include <algorithm>
#include <exception>
#include <fstream>
#include <iterator>
#include <string_view>

#include "tools/qmpublish/publish.h"
#include "update/integrity_format.h"
#include "util/ascii.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// By rename, so that a request never sees half a file.
bool WriteByRename(const fs::path& path, const std::string& text) {
  const fs::path partial = path.string() + ".new";
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out.flush()) {
      return false;
    }
  }
  std::error_code ec;
  fs::rename(partial, path, ec);
  return !ec;
}

// Where an archive's version stands in the manifest and which item folder
// it was made of, from the archive's name as qmpublish derives it.
struct ItemPlace {
  std::string section;  // empty for the launcher, which the update leaves alone
  std::string folder;
};

bool NumberedName(const std::string& name, const std::string& prefix, std::string* number) {
  if (name.size() <= prefix.size() || !name.starts_with(prefix) ||
      name.find_first_not_of("0123456789", prefix.size()) != std::string::npos) {
    return false;
  }
  *number = name.substr(prefix.size());
  return true;
}

bool PlaceOf(const std::string& name, const std::string& version_key, ItemPlace* place) {
  std::string n;
  if (name == version_key) {
    *place = {"", "launcher"};
  } else if (name == version_key + "_Sp") {
    *place = {"SP", "splash"};
  } else if (name == "Part" || name == "Data") {
    *place = {"V", name == "Part" ? "engine" : "data"};
  } else if (NumberedName(name, "AData", &n)) {
    *place = {"AData", "adata/" + n};
  } else if (NumberedName(name, "BData", &n)) {
    *place = {"BData", "bdata/" + n};
  } else {
    return false;
  }
  return true;
}

// The regular files below folder with their sizes, in name order.
bool ListFiles(const fs::path& folder, std::vector<ReleaseFile>* files, std::string* error) {
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(folder, ec);
       !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file()) {
      files->push_back({it->path().lexically_relative(folder).generic_string(), it->file_size()});
    }
  }
  if (ec) {
    *error = "cannot list " + folder.string() + ": " + ec.message();
    return false;
  }
  std::sort(files->begin(), files->end(),
            [](const ReleaseFile& a, const ReleaseFile& b) { return a.path < b.path; });
  return true;
}

}  // namespace

std::string WithoutSection(const std::string& ini, std::string_view section) {
  std::string kept;
  bool dropping = false;
  size_t at = 0;
  while (at < ini.size()) {
    const size_t newline = ini.find('\n', at);
    const size_t end = newline == std::string::npos ? ini.size() : newline + 1;
    const std::string_view line = TrimAsciiBlanks(std::string_view(ini).substr(at, end - at));
    if (line.starts_with('[')) {
      const size_t close = line.find(']');
      dropping = close != std::string_view::npos &&
                 EqualsIgnoringAsciiCase(TrimAsciiBlanks(line.substr(1, close - 1)), section);
    }
    if (!dropping) {
      kept.append(ini, at, end - at);
    }
    at = end;
  }
  return kept;
}

bool PublishRelease(const PublishRequest& request, Release* release, std::string* error) {
  publish::PublishOptions options;
  options.release = request.release;
  options.out = request.www;
  options.mirrors = request.mirrors;
  options.level = request.level;
  options.key_file = request.key_file;
  publish::PublishResult result;
  try {
    result = publish::Publish(options);
  } catch (const std::exception& e) {
    *error = std::string("qmpublish: ") + e.what();
    return false;
  }

  const fs::path server = request.www / "QuillMar";
  const std::string manifest = ReadAll(server / "QuillMar.ini");
  std::error_code ec;
  if (!request.key_file.empty()) {
    const fs::path signed_server = request.www / "signed" / "QuillMar";
    fs::create_directories(signed_server, ec);
    for (const std::string name : {"QuillMar.ini", update::kSignatureFile}) {
      if (!ec) {
        fs::rename(server / name, signed_server / name, ec);
      }
    }
    if (ec) {
      *error = "cannot move the signed manifest to " + signed_server.string();
      return false;
    }
  }
  *release = Release();
  release->manifest = WithoutSection(manifest, update::kHashSection);
  if (release->manifest.size() == manifest.size()) {
    *error = "the manifest qmpublish wrote has no section H to leave out";
    return false;
  }
  if (!WriteByRename(server / "QuillMar.ini", release->manifest)) {
    *error = "cannot write " + (server / "QuillMar.ini").string();
    return false;
  }

  for (const publish::PublishedItem& item : result.items) {
    const std::string name = fs::path(item.path).stem().string();
    ItemPlace place;
    if (!PlaceOf(name, result.version_key, &place)) {
      *error = "qmpublish made an archive the benchmark does not know: " + item.path;
      return false;
    }
    if (place.section.empty()) {
      continue;
    }
    ReleaseArchive archive;
    archive.url_path = item.path;
    archive.source = request.release / place.folder;
    archive.archive_bytes = item.bytes;
    if (!ListFiles(archive.source, &archive.files, error)) {
      return false;
    }
    for (const ReleaseFile& file : archive.files) {
      archive.bytes += file.size;
    }
    release->archives.push_back(std::move(archive));
    release->recorded.push_back({place.section, name, item.version});
  }

  // Every file of the release but the launcher's must come with an archive.
  std::vector<ReleaseFile> all;
  if (!ListFiles(request.release, &all, error)) {
    return false;
  }
  const size_t expected =
      all.size() - static_cast<size_t>(std::count_if(all.begin(), all.end(), [](const auto& file) {
        return file.path.starts_with("launcher/");
      }));
  if (expected != release->files()) {
    *error = "the archives qmpublish made hold " + std::to_string(release->files()) +
             " files of the release's " + std::to_string(expected);
    return false;
  }
  return true;
}

}  // namespace qm::bench
