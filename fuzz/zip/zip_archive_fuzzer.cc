// Recognition, the walk by the central directory and the walk by local
// headers over arbitrary bytes; every listed member must lie inside the
// archive and every accepted name must stay below the extraction folder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "zip/archive_source.h"
#include "zip/catalog.h"
#include "zip/member_names.h"
#include "zip/recognition.h"
#include "zip/zip_records.h"

namespace {

class AllNames : public qm::zip::CatalogObserver {
 public:
  bool Select(const std::string& raw, uint16_t) override {
    std::string stored = qm::zip::StoredName(raw);
    std::vector<std::string> masks = {"*.*"};
    bool selected = !stored.empty() && qm::zip::SelectMember(&masks, true, stored);
    if (qm::zip::IsSafeStoredName(stored)) {
      std::string target = qm::zip::TargetPath("C:\\game\\", true, stored);
      if (target.rfind("C:\\game\\", 0) != 0 || target.find("\\..\\") != std::string::npos) {
        std::abort();
      }
    }
    return selected;
  }
};

void CheckMembers(const qm::zip::Catalog& catalog, uint64_t size) {
  for (const qm::zip::MemberEntry& e : catalog.members) {
    if (e.data_offset > size || e.raw_name.size() > qm::zip::kMaxNameLength) {
      std::abort();
    }
    // Data that runs past the end may be listed from the directory (the
    // decoder then meets the end of input), never from the local walk.
    if (!e.from_central && e.compressed_size > size - e.data_offset) {
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  qm::zip::MemorySource source(bytes);
  qm::zip::Recognition r = qm::zip::RecognizeArchive(source, "fuzz.zip");
  AllNames observer;
  CheckMembers(qm::zip::ReadCatalog(source, r, observer), size);

  // The other walk over the same bytes, from the first local header.
  size_t first = bytes.find("PK\x03\x04");
  if (first != std::string::npos) {
    qm::zip::Recognition local = r;
    local.state = qm::zip::THeaderTypeState::Of(qm::zip::THeaderType::htLocal);
    local.first_position = static_cast<int64_t>(first);
    CheckMembers(qm::zip::ReadCatalog(source, local, observer), size);
  }
  return 0;
}
