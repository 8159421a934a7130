// Inflate throughput of our decoder against zlib and libdeflate on a corpus of
// files from this machine, packed as raw Deflate members like a zip archive;
// then Deflate64 throughput on a 7-Zip archive of part of the same corpus.
//
//   inflate_bench [--mb N] [--deflate64-mb N] [dir...]
#include <libdeflate.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "zip/decode/inflater.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr size_t kMaxMember = 8 << 20;

struct Member {
  Bytes plain;
  Bytes packed;
};

Bytes ReadPrefix(const fs::path& path, size_t limit) {
  std::ifstream f(path, std::ios::binary);
  Bytes data(limit);
  f.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(limit));
  data.resize(static_cast<size_t>(f.gcount()));
  return data;
}

// Files in a round-robin over the directories so that text and binaries mix.
std::vector<Bytes> CollectFiles(const std::vector<std::string>& dirs, size_t want) {
  std::vector<std::vector<fs::path>> lists;
  for (const std::string& dir : dirs) {
    std::vector<fs::path> paths;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(
             dir, fs::directory_options::skip_permission_denied, ec);
         it != fs::recursive_directory_iterator(); it.increment(ec)) {
      if (ec)
        break;
      std::error_code ec2;
      if (it->is_regular_file(ec2) && !it->is_symlink(ec2) && it->file_size(ec2) > 0)
        paths.push_back(it->path());
    }
    std::sort(paths.begin(), paths.end());
    lists.push_back(std::move(paths));
  }
  std::vector<Bytes> files;
  size_t total = 0;
  for (size_t i = 0; total < want; ++i) {
    bool any = false;
    for (auto& paths : lists) {
      if (i >= paths.size())
        continue;
      any = true;
      Bytes data = ReadPrefix(paths[i], kMaxMember);
      if (data.empty())
        continue;
      total += data.size();
      files.push_back(std::move(data));
      if (total >= want)
        break;
    }
    if (!any)
      break;
  }
  return files;
}

Bytes RawDeflate(const Bytes& in, int level) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&z, in.size()));
  z.next_in = const_cast<uint8_t*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out.data();
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// CPU time of this thread: on a shared machine it varies far less than wall time.
double ThreadSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <typename Fn>
double BestOf3(Fn run) {
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    double start = ThreadSeconds();
    run();
    best = std::min(best, ThreadSeconds() - start);
  }
  return best;
}

bool Verify(const char* who, const std::vector<Member>& members, const std::vector<Bytes>& outs) {
  for (size_t i = 0; i < members.size(); ++i) {
    if (outs[i] != members[i].plain) {
      std::printf("%s: member %zu differs\n", who, i);
      return false;
    }
  }
  return true;
}

bool RunOurs(bool d64, const std::vector<Member>& members, std::vector<Bytes>& outs) {
  static qm::zip::Inflater* inflater = nullptr;
  static qm::zip::Inflater* inflater64 = nullptr;
  if (!inflater) {
    inflater = new qm::zip::Inflater(false);
    inflater64 = new qm::zip::Inflater(true);
  }
  qm::zip::Inflater& inf = d64 ? *inflater64 : *inflater;
  bool ok = true;
  for (size_t i = 0; i < members.size(); ++i) {
    inf.Reset();
    size_t used = 0, made = 0;
    auto st = inf.Inflate(members[i].packed.data(), members[i].packed.size(), outs[i].data(),
                          outs[i].size(), &used, &made);
    if (st != qm::zip::InflateStatus::kStreamEnd || made != outs[i].size()) {
      std::printf("ours: member %zu ended with status %d after %zu of %zu bytes\n", i,
                  static_cast<int>(st), made, outs[i].size());
      ok = false;
    }
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  size_t want_mb = 110;
  size_t d64_mb = 24;
  std::vector<std::string> dirs;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--mb") && i + 1 < argc)
      want_mb = std::strtoul(argv[++i], nullptr, 10);
    else if (!std::strcmp(argv[i], "--deflate64-mb") && i + 1 < argc)
      d64_mb = std::strtoul(argv[++i], nullptr, 10);
    else
      dirs.push_back(argv[i]);
  }
  if (dirs.empty())
    dirs = {"/usr/share/doc", "/usr/lib/x86_64-linux-gnu",
            "/usr/bin",       "/usr/share/dict",
            "/usr/share/man", "/usr/include"};

  std::vector<Bytes> files = CollectFiles(dirs, want_mb << 20);
  std::vector<Member> members;
  size_t plain_total = 0, packed_total = 0;
  for (Bytes& f : files) {
    Member m;
    m.packed = RawDeflate(f, 6);
    m.plain = std::move(f);
    plain_total += m.plain.size();
    packed_total += m.packed.size();
    members.push_back(std::move(m));
  }
  std::printf("corpus: %zu members, %.1f MB plain, %.1f MB packed (zlib level 6, raw)\n",
              members.size(), plain_total / 1048576.0, packed_total / 1048576.0);

  std::vector<Bytes> outs(members.size());
  for (size_t i = 0; i < members.size(); ++i)
    outs[i].resize(members[i].plain.size());

  bool ok = true;
  double ours = BestOf3([&] { ok &= RunOurs(false, members, outs); });
  ok &= Verify("ours", members, outs);

  for (auto& o : outs)
    std::fill(o.begin(), o.end(), 0);
  z_stream z{};
  inflateInit2(&z, -15);
  double zlib = BestOf3([&] {
    for (size_t i = 0; i < members.size(); ++i) {
      inflateReset2(&z, -15);
      z.next_in = const_cast<uint8_t*>(members[i].packed.data());
      z.avail_in = static_cast<uInt>(members[i].packed.size());
      z.next_out = outs[i].data();
      z.avail_out = static_cast<uInt>(outs[i].size());
      if (inflate(&z, Z_FINISH) != Z_STREAM_END) {
        std::printf("zlib: member %zu failed\n", i);
        ok = false;
      }
    }
  });
  inflateEnd(&z);
  ok &= Verify("zlib", members, outs);

  for (auto& o : outs)
    std::fill(o.begin(), o.end(), 0);
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  double ld = BestOf3([&] {
    for (size_t i = 0; i < members.size(); ++i) {
      if (libdeflate_deflate_decompress(d, members[i].packed.data(), members[i].packed.size(),
                                        outs[i].data(), outs[i].size(),
                                        nullptr) != LIBDEFLATE_SUCCESS) {
        std::printf("libdeflate: member %zu failed\n", i);
        ok = false;
      }
    }
  });
  libdeflate_free_decompressor(d);
  ok &= Verify("libdeflate", members, outs);

  const double mb = plain_total / 1048576.0;
  std::printf("best of 3 runs, thread CPU time, plain MB per second\n");
  std::printf("ours:       %8.1f MB/s\n", mb / ours);
  std::printf("zlib:       %8.1f MB/s\n", mb / zlib);
  std::printf("libdeflate: %8.1f MB/s\n", mb / ld);
  std::printf("ours/zlib = %.2fx, ours/libdeflate = %.2fx\n", zlib / ours, ld / ours);

  // Deflate64: 7-Zip packs the first members; our decoder unpacks them.
  if (d64_mb > 0 && std::system("7z i >/dev/null 2>&1") == 0) {
    fs::path tmp = fs::temp_directory_path() / ("qm-inflate-bench-" + std::to_string(::getpid()));
    fs::create_directories(tmp);
    std::vector<Member> d64;
    size_t sum = 0;
    for (size_t i = 0; i < members.size() && sum < (d64_mb << 20); ++i) {
      std::ofstream(tmp / ("m" + std::to_string(i)), std::ios::binary)
          .write(reinterpret_cast<const char*>(members[i].plain.data()),
                 static_cast<std::streamsize>(members[i].plain.size()));
      sum += members[i].plain.size();
      d64.push_back({members[i].plain, {}});
    }
    std::string cmd =
        "cd '" + tmp.string() + "' && 7z a -tzip -mm=Deflate64 -mx=5 a.zip m* >/dev/null";
    if (std::system(cmd.c_str()) == 0) {
      std::ifstream f(tmp / "a.zip", std::ios::binary);
      Bytes zip((std::istreambuf_iterator<char>(f)), {});
      // Walk the local headers (7-Zip writes sizes in them when packing files).
      size_t pos = 0, index = 0;
      std::vector<Member> found;
      while (pos + 30 <= zip.size() && zip[pos] == 'P' && zip[pos + 1] == 'K' &&
             zip[pos + 2] == 3) {
        auto le16 = [&](size_t at) { return size_t{zip[at]} | size_t{zip[at + 1]} << 8; };
        size_t csize = le16(pos + 18) | le16(pos + 20) << 16;
        size_t name_len = le16(pos + 26), extra_len = le16(pos + 28);
        std::string name(zip.begin() + pos + 30, zip.begin() + pos + 30 + name_len);
        size_t data = pos + 30 + name_len + extra_len;
        index = std::strtoul(name.c_str() + 1, nullptr, 10);
        pos = data + csize;
        if (le16(pos - csize - name_len - extra_len - 30 + 8) != 9)
          continue;  // stored: 7-Zip found nothing to gain
        Member m;
        m.plain = members[index].plain;
        m.packed.assign(zip.begin() + data, zip.begin() + data + csize);
        found.push_back(std::move(m));
      }
      std::vector<Bytes> outs64(found.size());
      size_t total64 = 0;
      for (size_t i = 0; i < found.size(); ++i) {
        outs64[i].resize(found[i].plain.size());
        total64 += found[i].plain.size();
      }
      double t64 = BestOf3([&] { ok &= RunOurs(true, found, outs64); });
      ok &= Verify("ours deflate64", found, outs64);
      std::printf("deflate64 (7-Zip -mx=5, %zu members, %.1f MB): ours %.1f MB/s\n", found.size(),
                  total64 / 1048576.0, total64 / 1048576.0 / t64);
    }
    fs::remove_all(tmp);
  }
  std::printf("outputs verified: %s\n", ok ? "yes" : "NO");
  return ok ? 0 : 1;
}
