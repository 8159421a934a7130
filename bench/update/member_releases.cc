#include "bench/update/member_releases.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <map>

#include "bench/update/nginx_server.h"
#include "bench/update/publication.h"
#include "bench/update/publication_route.h"
#include "bench/update/release_change.h"
#include "bench/update/timed_series.h"
#include "update/integrity_format.h"

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

// One file in a hundred changes.
constexpr int kChangeOneIn = 100;

std::string ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

uint16_t Le16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

// The bytes of a member's local header, name and extra field as the archive
// holds them, and of its data descriptor when it has one; 0 when the
// archive holds no local header there.
uint64_t LocalHeaderBytes(std::ifstream& archive, uint64_t offset) {
  unsigned char header[30];
  archive.seekg(static_cast<std::streamoff>(offset));
  archive.read(reinterpret_cast<char*>(header), sizeof(header));
  if (!archive || header[0] != 'P' || header[1] != 'K' || header[2] != 3 || header[3] != 4) {
    archive.clear();
    return 0;
  }
  const bool descriptor = (Le16(header + 6) & 8) != 0;
  return sizeof(header) + Le16(header + 26) + Le16(header + 28) + (descriptor ? 16 : 0);
}

bool PublishOne(const fs::path& folder, const fs::path& www, Release* release, std::string* error) {
  const auto start = std::chrono::steady_clock::now();
  PublishRequest request;
  request.release = folder;
  request.www = www;
  // Level 1, as for the big release: the default level would take minutes
  // on two shared cores, and what is measured does not depend on it.
  request.level = 1;
  if (!PublishRelease(request, release, error)) {
    return false;
  }
  std::printf("  published %s in %.0f s:", folder.filename().c_str(), SecondsSince(start));
  for (const ReleaseArchive& archive : release->archives) {
    std::printf(" %s %.1f MB,", fs::path(archive.url_path).filename().c_str(),
                archive.archive_bytes / 1e6);
  }
  std::printf(" together %.1f MB\n", release->archive_bytes() / 1e6);
  return true;
}

// Where a file of the release folder went in the publication.
bool FindFile(const fs::path& folder,
              const Release& release,
              const std::string& path,
              ChangedFile* changed,
              int which) {
  for (const ReleaseArchive& archive : release.archives) {
    for (const ReleaseFile& file : archive.files) {
      const fs::path source = archive.source / file.path;
      if (source.lexically_relative(folder).generic_string() == path) {
        changed->game_path = file.path;
        changed->source[which] = source;
        changed->archive_url_path[which] = archive.url_path;
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool PrepareMemberReleases(const Work& work, int scale, MemberReleases* releases) {
  const fs::path folders[2] = {work.releases / "member-1", work.releases / "member-2"};
  releases->www[0] = work.root / "member-www-1";
  releases->www[1] = work.root / "member-www-2";
  std::string error;
  const auto laid = std::chrono::steady_clock::now();
  std::vector<std::string> changed;
  // The launcher of the release is the one in the game folders, so that a
  // verify that checks the launcher's archive too finds it intact.
  if (!LayOutMemberRelease(folders[0], QM_BENCH_WIRE_LAUNCHER, scale, &error) ||
      !MakeNextRelease(folders[0], folders[1], kChangeOneIn, &changed, &error)) {
    std::printf("  FAILED: the releases could not be laid out: %s\n", error.c_str());
    return false;
  }
  std::printf("  releases laid out in %.0f s\n", SecondsSince(laid));
  if (!PublishOne(folders[0], releases->www[0], &releases->release[0], &error)) {
    std::printf("  FAILED: %s\n", error.c_str());
    return false;
  }
  // The next publication goes on top of the first, which it reads for the
  // versions: a linked copy (qmpublish replaces files by rename) whose
  // manifest is the one qmpublish wrote, with its hashes.
  std::error_code ec;
  fs::remove_all(releases->www[1], ec);
  fs::copy(releases->www[0], releases->www[1],
           fs::copy_options::recursive | fs::copy_options::create_hard_links, ec);
  const fs::path manifest = releases->www[1] / "QuillMar" / "QuillMar.ini";
  fs::remove(manifest, ec);
  {
    std::ofstream out(manifest, std::ios::binary);
    out << releases->release[0].hashed_manifest;
    if (ec || !out.flush()) {
      std::printf("  FAILED: cannot copy %s for the next publication\n", releases->www[0].c_str());
      return false;
    }
  }
  if (!PublishOne(folders[1], releases->www[1], &releases->release[1], &error)) {
    std::printf("  FAILED: %s\n", error.c_str());
    return false;
  }
  releases->changed.clear();
  uint64_t changed_bytes = 0;
  for (const std::string& path : changed) {
    ChangedFile file;
    if (!FindFile(folders[0], releases->release[0], path, &file, 0) ||
        !FindFile(folders[1], releases->release[1], path, &file, 1)) {
      std::printf("  FAILED: the changed file %s is in no published archive\n", path.c_str());
      return false;
    }
    changed_bytes += fs::file_size(file.source[1], ec);
    releases->changed.push_back(file);
  }
  const Release& first = releases->release[0];
  std::printf(
      "  release 1: %llu files, %.1f MB in %zu archives of %.1f MB; release 2 changes %zu files "
      "(%.1f MB)\n",
      static_cast<unsigned long long>(first.files()), first.bytes() / 1e6, first.archives.size(),
      first.archive_bytes() / 1e6, releases->changed.size(), changed_bytes / 1e6);
  return true;
}

bool ServeMemberRelease(const Work& work,
                        const MemberReleases& releases,
                        int which,
                        bool hashed,
                        std::string* error) {
  const Release& release = releases.release[which];
  return RoutePublication(releases.www[which] / "QuillMar", work.www / kWireRoute / "QuillMar",
                          hashed ? release.hashed_manifest : release.manifest, error);
}

bool ExpectedMemberBytes(const MemberReleases& releases,
                         int which,
                         MemberBytes* bytes,
                         std::string* error) {
  std::map<std::string, std::vector<const ChangedFile*>> by_archive;
  for (const ChangedFile& file : releases.changed) {
    by_archive[file.archive_url_path[which]].push_back(&file);
  }
  *bytes = MemberBytes();
  for (const auto& [url_path, files] : by_archive) {
    const fs::path archive_path = releases.www[which] / url_path;
    const fs::path index_path = archive_path.string() + update::kIndexSuffix;
    std::vector<update::IndexEntry> entries;
    const std::string index = ReadAll(index_path);
    try {
      entries = update::ParseIndex(index);
    } catch (const std::exception& e) {
      *error = index_path.string() + ": " + e.what();
      return false;
    }
    ++bytes->indexes;
    bytes->index_bytes += index.size();
    std::ifstream archive(archive_path, std::ios::binary);
    for (const ChangedFile* file : files) {
      const update::IndexEntry* entry = nullptr;
      for (const update::IndexEntry& e : entries) {
        if (e.name == file->game_path) {
          entry = &e;
        }
      }
      const uint64_t header = entry ? LocalHeaderBytes(archive, entry->local_offset) : 0;
      if (header == 0) {
        *error = url_path + " holds no member " + file->game_path + " where its index says";
        return false;
      }
      ++bytes->members;
      bytes->member_bytes += header + entry->compressed_size;
    }
  }
  return true;
}

}  // namespace qm::bench
