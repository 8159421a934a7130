// The integrity files a launcher or the publisher reads from a server,
// fed hostile bytes: a content index, a signature file, a line of section
// H. Each either is refused or gives values that write back to text which
// reads as the same values.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "update/integrity_format.h"
#include "update/manifest_trust.h"

namespace {

void Check(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

bool SameSignature(const qm::update::ManifestSignature& a, const qm::update::ManifestSignature& b) {
  return a.serial == b.serial && a.signature == b.signature;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace qm::update;
  if (size < 1) {
    return 0;
  }
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 4) {
    case 0: {
      std::vector<IndexEntry> entries;
      try {
        entries = ParseIndex(text);
      } catch (const std::runtime_error&) {
        return 0;
      }
      for (const IndexEntry& entry : entries) {
        Check(IndexableName(entry.name));
      }
      Check(ParseIndex(IndexText(entries)) == entries);
      break;
    }
    case 1: {
      const std::optional<ManifestSignature> signature = ParseSignature(text);
      if (signature) {
        Check(signature->serial > 0);
        const std::optional<ManifestSignature> again = ParseSignature(SignatureText(*signature));
        Check(again && SameSignature(*again, *signature));
      }
      break;
    }
    case 2: {
      const std::optional<ArchiveHash> hash = ParseHashLine(text);
      if (hash) {
        const std::optional<ArchiveHash> again = ParseHashLine(HashLineValue(*hash));
        Check(again && again->size == hash->size && again->sha256 == hash->sha256 &&
              again->index_sha256 == hash->index_sha256);
      }
      break;
    }
    default: {
      // Whatever the bytes, no signature file makes an unrelated manifest
      // acceptable under a key nobody holds the private half of.
      qm::platform::EcdsaP256PublicKey key{};
      key[63] = 1;
      Check(!CheckManifest("[H]\r\nSerial=1\r\n", "1", text, key, 0).accepted);
      break;
    }
  }
  return 0;
}
