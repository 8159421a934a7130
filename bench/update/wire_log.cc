#include "bench/update/wire_log.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

namespace qm::bench {
namespace {

namespace fs = std::filesystem;

// nginx logs a request when its connection ends; the client may have
// exited a moment before. The log is read once it stopped growing.
constexpr auto kSettle = std::chrono::milliseconds(150);
constexpr int kSettleLimit = 40;

uint64_t SizeOf(const fs::path& log) {
  std::error_code ec;
  const uintmax_t size = fs::file_size(log, ec);
  return ec ? 0 : size;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

uint64_t WireMark(const fs::path& log) {
  return SizeOf(log);
}

bool TallyWire(const fs::path& log, uint64_t mark, WireTally* tally, std::string* error) {
  uint64_t size = SizeOf(log);
  for (int i = 0; i < kSettleLimit; ++i) {
    std::this_thread::sleep_for(kSettle);
    const uint64_t now = SizeOf(log);
    if (now == size) {
      break;
    }
    size = now;
  }
  std::ifstream in(log, std::ios::binary);
  if (!in && size > mark) {
    *error = "cannot read " + log.string();
    return false;
  }
  in.seekg(static_cast<std::streamoff>(mark));
  *tally = WireTally();
  std::string line;
  while (std::getline(in, line)) {
    // status body_bytes_sent uri "range"
    std::istringstream fields(line);
    int status = 0;
    uint64_t body = 0;
    std::string uri, range;
    if (!(fields >> status >> body >> uri) || !std::getline(fields, range)) {
      *error = "not a line of the access log: " + line;
      return false;
    }
    ++tally->requests;
    tally->body_bytes += body;
    if (EndsWith(uri, "/QuillMar.ini")) {
      tally->manifest_bytes += body;
    } else if (EndsWith(uri, ".idx") && status == 200) {
      ++tally->indexes;
      tally->index_bytes += body;
    } else if (EndsWith(uri, ".zip") && status == 200) {
      ++tally->whole_archives;
      tally->whole_archive_bytes += body;
    } else if (EndsWith(uri, ".zip") && status == 206) {
      ++tally->ranged_archives;
      tally->ranged_archive_bytes += body;
      if (range.find(',') != std::string::npos) {
        ++tally->multi_ranges;
      }
    } else {
      ++tally->other;
    }
  }
  return true;
}

std::string Describe(const WireTally& tally) {
  const std::string other =
      tally.other > 0 ? ", " + std::to_string(tally.other) + " other answers" : "";
  char text[320];
  std::snprintf(text, sizeof(text),
                "%d requests, %.3f MB of body: manifest %.1f kB, %d indexes %.1f kB, %d whole "
                "archives %.1f MB, %d ranged answers %.3f MB (%d multi-range)%s",
                tally.requests, tally.body_bytes / 1e6, tally.manifest_bytes / 1e3, tally.indexes,
                tally.index_bytes / 1e3, tally.whole_archives, tally.whole_archive_bytes / 1e6,
                tally.ranged_archives, tally.ranged_archive_bytes / 1e6, tally.multi_ranges,
                other.c_str());
  return text;
}

}  // namespace qm::bench
