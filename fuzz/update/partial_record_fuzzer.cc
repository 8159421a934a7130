// The .qmpart record parser on arbitrary bytes: it accepts or refuses, and
// what it accepts writes back to the same record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "update/partial_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<qm::update::PartialRecord> record = qm::update::ParsePartialRecord(text);
  if (record) {
    const std::string again = qm::update::FormatPartialRecord(*record);
    if (!again.empty() && qm::update::ParsePartialRecord(again) != record) {
      std::abort();
    }
  }
  return 0;
}
