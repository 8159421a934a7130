// The local record's reader on arbitrary bytes: whatever it keeps writes
// back to a record that reads the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "update/local_record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const qm::update::LocalRecord record = qm::update::LocalRecord::Parse(text);
  const std::string written = record.Text();
  if (qm::update::LocalRecord::Parse(written).Text() != written) {
    std::abort();
  }
  return 0;
}
