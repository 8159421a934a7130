// What nginx's access log of the requests below /wire/ says went out for
// one run: the lines it appended after a mark taken before the run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace qm::bench {

struct WireTally {
  int requests = 0;
  uint64_t body_bytes = 0;
  uint64_t manifest_bytes = 0;  // QuillMar.ini
  uint64_t index_bytes = 0;     // .idx files
  int indexes = 0;
  int whole_archives = 0;  // answers of 200 for a .zip
  uint64_t whole_archive_bytes = 0;
  int ranged_archives = 0;  // answers of 206 for a .zip
  uint64_t ranged_archive_bytes = 0;
  int multi_ranges = 0;  // of those, asked for more than one range
  int other = 0;         // any other status or file
};

// The log's size now: the mark to tally from after a run.
uint64_t WireMark(const std::filesystem::path& log);

// Tallies the lines after mark, once nginx has written the last request's
// line (it does when the connection ends, which can follow the client's
// exit by a moment). False with a reason when a line is not the log's.
bool TallyWire(const std::filesystem::path& log,
               uint64_t mark,
               WireTally* tally,
               std::string* error);

// One line: "12 requests, 3.4 MB of body: manifest 2.1 kB, 4 indexes
// 301.2 kB, 0 whole archives, 24 ranged answers 20.3 MB (3 multi-range)".
std::string Describe(const WireTally& tally);

}  // namespace qm::bench
