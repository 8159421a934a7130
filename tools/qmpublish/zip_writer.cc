#include "tools/qmpublish/zip_writer.h"

#include <libdeflate.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/file_system.h"
#include "platform/sha256.h"
#include "tools/qmpublish/file_bytes.h"
#include "tools/qmpublish/publish_error.h"
#include "util/hex.h"
#include "zip/zip_records.h"

namespace qm::publish {
namespace {

namespace fs = std::filesystem;

// Info-ZIP's convention for a program: made on Unix, the mode in the upper
// half of the attributes beside the DOS bits, which Windows reads alone.
constexpr uint16_t kMadeByUnix = (3 << 8) | 20;
constexpr uint32_t kUnixProgramMode = 0100755;

struct Member {
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t size = 0;
  std::string sha256;  // of the content, for the index
  std::string data;    // as stored
};

struct CompressorFree {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

Member Pack(const ZipSource& source, libdeflate_compressor* compressor) {
  Member member;
  if (source.file.empty()) {
    member.sha256 = HexOf(platform::Sha256Of(""));
    return member;
  }
  std::string content = ReadWholeFile(source.file);
  // Hashed from the bytes that are compressed: the file is read once.
  member.sha256 = HexOf(platform::Sha256Of(content));
  if (content.size() > kMaxZipSize) {
    throw PublishError(source.file.string() +
                       " is 4 GiB or larger, more than a zip archive for the updater can hold; "
                       "split it into smaller files");
  }
  member.size = content.size();
  member.crc = libdeflate_crc32(0, content.data(), content.size());
  std::string packed(libdeflate_deflate_compress_bound(compressor, content.size()), '\0');
  const size_t packed_size = libdeflate_deflate_compress(compressor, content.data(), content.size(),
                                                         packed.data(), packed.size());
  // Data that does not shrink is stored, as zip -9 does.
  if (packed_size == 0 || packed_size >= content.size()) {
    member.data = std::move(content);
  } else {
    packed.resize(packed_size);
    member.method = 8;
    member.data = std::move(packed);
  }
  return member;
}

void Put16(std::string& out, uint32_t v) {
  out.push_back(static_cast<char>(v & 0xFF));
  out.push_back(static_cast<char>((v >> 8) & 0xFF));
}
void Put32(std::string& out, uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

// The fields that the local and the central header share, from the
// version needed on.
void CommonFields(std::string& out, const ZipSource& source, const Member& m) {
  Put16(out, m.method == 8 ? 20 : 10);
  Put16(out, 0);  // no flags: sizes in the header, names not marked UTF-8
  Put16(out, m.method);
  Put16(out, kFixedDosTime);
  Put16(out, kFixedDosDate);
  Put32(out, m.crc);
  Put32(out, static_cast<uint32_t>(m.data.size()));
  Put32(out, static_cast<uint32_t>(m.size));
  Put16(out, static_cast<uint32_t>(source.stored_name.size()));
  Put16(out, 0);  // no extra field
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Compresses members on worker threads and hands them out in order, holding
// only a few members ahead of the writer in memory.
class PackQueue {
 public:
  PackQueue(const std::vector<ZipSource>& entries, const ZipOptions& options)
      : entries_(entries), slots_(entries.size()), window_(static_cast<size_t>(options.jobs) * 2) {
    for (int i = 0; i < options.jobs; ++i) {
      workers_.emplace_back([this, level = options.level] { Work(level); });
    }
  }
  ~PackQueue() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    for (std::thread& worker : workers_) {
      worker.join();
    }
  }
  PackQueue(const PackQueue&) = delete;
  PackQueue& operator=(const PackQueue&) = delete;

  Member Take(size_t index) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return slots_[index].has_value() || !error_.empty(); });
    if (!error_.empty()) {
      throw PublishError(error_);
    }
    Member member = std::move(*slots_[index]);
    slots_[index].reset();
    taken_ = index + 1;
    changed_.notify_all();
    return member;
  }

 private:
  void Work(int level) {
    Compressor compressor(libdeflate_alloc_compressor(level));
    while (true) {
      size_t index = 0;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] {
          return stop_ || !error_.empty() || next_ >= slots_.size() || next_ < taken_ + window_;
        });
        if (stop_ || !error_.empty() || next_ >= slots_.size()) {
          return;
        }
        index = next_++;
      }
      std::optional<Member> member;
      std::string error;
      try {
        if (!compressor) {
          throw PublishError("out of memory for the compressor");
        }
        member = Pack(entries_[index], compressor.get());
      } catch (const std::exception& e) {
        error = e.what();
      }
      std::lock_guard lock(mutex_);
      if (error.empty()) {
        slots_[index] = std::move(member);
      } else if (error_.empty()) {
        error_ = error;
      }
      changed_.notify_all();
    }
  }

  const std::vector<ZipSource>& entries_;
  std::vector<std::optional<Member>> slots_;
  const size_t window_;
  std::mutex mutex_;
  std::condition_variable changed_;
  size_t next_ = 0;
  size_t taken_ = 0;
  bool stop_ = false;
  std::string error_;
  std::vector<std::thread> workers_;
};

}  // namespace

WrittenZip WriteZip(const fs::path& path,
                    std::vector<ZipSource> entries,
                    const ZipOptions& options) {
  for (const ZipSource& entry : entries) {
    if (!update::IndexableName(entry.stored_name)) {
      throw PublishError("the name \"" + entry.stored_name +
                         "\" holds a tab or a line break, which the content index cannot "
                         "hold; rename it");
    }
  }
  if (entries.size() > kMaxZipEntries) {
    throw PublishError(path.filename().string() + " would hold " + std::to_string(entries.size()) +
                       " entries, more than the 65535 a zip archive for the updater can hold; "
                       "split the item");
  }
  std::sort(entries.begin(), entries.end(),
            [](const ZipSource& a, const ZipSource& b) { return a.stored_name < b.stored_name; });
  const fs::path partial = PartialPath(path);
  std::unique_ptr<std::FILE, FileCloser> out(std::fopen(partial.c_str(), "wb"));
  if (!out) {
    throw PublishError("cannot create " + partial.string() + ": check that the folder is writable");
  }
  WrittenZip written;
  // The archive is hashed as it is written, not read back.
  platform::Sha256 archive_hash;
  auto write = [&](const std::string& bytes) {
    if (std::fwrite(bytes.data(), 1, bytes.size(), out.get()) != bytes.size()) {
      throw PublishError("cannot write " + partial.string() + ": is the disk full?");
    }
    archive_hash.Update(bytes);
  };

  std::string central;
  uint64_t offset = 0;
  uint64_t done = 0;
  try {
    PackQueue queue(entries, options);
    for (size_t i = 0; i < entries.size(); ++i) {
      const ZipSource& source = entries[i];
      const Member member = queue.Take(i);
      if (offset + zip::kLocalHeaderSize + source.stored_name.size() + member.data.size() >
          kMaxZipSize) {
        throw PublishError(path.filename().string() +
                           " would reach 4 GiB, more than a zip archive for the updater can "
                           "hold; split the item into smaller sets");
      }
      std::string header;
      Put32(header, zip::kLocalSignature);
      CommonFields(header, source, member);
      header += source.stored_name;
      write(header);
      write(member.data);

      Put32(central, zip::kCentralSignature);
      // Made by MS-DOS, so the attributes below are DOS bits; a program also
      // carries its Unix mode.
      Put16(central, source.executable ? kMadeByUnix : 20);
      CommonFields(central, source, member);
      Put16(central, 0);  // comment
      Put16(central, 0);  // disk
      Put16(central, 0);  // internal attributes
      if (source.file.empty()) {
        Put32(central, platform::kAttrDirectory);
      } else {
        Put32(central, source.executable ? (kUnixProgramMode << 16) | platform::kAttrArchive
                                         : platform::kAttrArchive);
      }
      Put32(central, static_cast<uint32_t>(offset));
      central += source.stored_name;
      written.index.push_back({source.stored_name, member.size, member.crc, member.sha256,
                               member.method, member.data.size(), offset});

      offset += header.size() + member.data.size();
      done += member.size;
      if (options.progress) {
        options.progress(done);
      }
    }
  } catch (...) {
    out.reset();
    std::error_code ignored;
    fs::remove(partial, ignored);
    throw;
  }
  std::string end;
  Put32(end, zip::kEndSignature);
  Put16(end, 0);
  Put16(end, 0);
  Put16(end, static_cast<uint32_t>(entries.size()));
  Put16(end, static_cast<uint32_t>(entries.size()));
  Put32(end, static_cast<uint32_t>(central.size()));
  Put32(end, static_cast<uint32_t>(offset));
  Put16(end, 0);
  const uint64_t total = offset + central.size() + end.size();
  bool ok = total <= kMaxZipSize;
  if (ok) {
    write(central);
    write(end);
    ok = std::fflush(out.get()) == 0;
  }
  out.reset();
  if (!CommitPartial(partial, path, ok)) {
    throw PublishError(total > kMaxZipSize
                           ? path.filename().string() + " would reach 4 GiB; split the item"
                           : "cannot write " + path.string() + ": is the disk full?");
  }
  written.size = total;
  written.sha256 = HexOf(archive_hash.Final());
  return written;
}

}  // namespace qm::publish
