#include "update/manifest_trust.h"

#include <optional>

#include "update/integrity_format.h"

namespace qm::update {

ManifestVerdict CheckManifest(const std::string& manifest,
                              const std::string& serial_text,
                              const std::string& signature_text,
                              const platform::EcdsaP256PublicKey& key,
                              uint64_t accepted_serial) {
  ManifestVerdict verdict;
  const std::optional<ManifestSignature> signature = ParseSignature(signature_text);
  if (!signature) {
    verdict.problem = "the signature file is malformed";
    return verdict;
  }
  if (!platform::VerifyEcdsaP256(key, platform::Sha256Of(manifest), signature->signature)) {
    verdict.problem = "the signature does not match the manifest or was made by another key";
    return verdict;
  }
  // The serial inside the signed bytes is the one that counts; the
  // signature file's copy must agree, or a signature could be paired with a
  // manifest it was not made for.
  const std::optional<uint64_t> serial = ParseSerial(serial_text);
  if (!serial || *serial != signature->serial) {
    verdict.problem = "the manifest's serial is missing or differs from the signature's";
    return verdict;
  }
  if (*serial < accepted_serial) {
    verdict.problem = "the manifest's serial " + std::to_string(*serial) + " is below the serial " +
                      std::to_string(accepted_serial) +
                      " accepted before (an older release replayed)";
    return verdict;
  }
  verdict.accepted = true;
  verdict.serial = *serial;
  return verdict;
}

uint64_t AcceptedSerial(const std::string& recorded) {
  return ParseSerial(recorded).value_or(0);
}

}  // namespace qm::update
