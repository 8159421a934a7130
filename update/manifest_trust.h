// Whether a fetched manifest may be acted on by a launcher that pins a
// public key: its detached signature must verify over the manifest's exact
// bytes, name the manifest's own serial, and that serial must not be below
// the highest one this installation accepted (a replayed older manifest,
// validly signed, would send players back to a release with known faults).
#pragma once

#include <cstdint>
#include <string>

#include "platform/ecdsa.h"

namespace qm::update {

// Section and key of the highest serial accepted, in the installed copy.
inline constexpr char kAcceptedSection[] = "Integrity";
inline constexpr char kAcceptedSerialKey[] = "Serial";

struct ManifestVerdict {
  bool accepted = false;
  uint64_t serial = 0;  // the manifest's, when accepted
  std::string problem;  // why not, when refused
};

// manifest: the file's exact bytes; serial_text: the value of Serial in its
// section H; signature_text: the bytes of the signature file.
ManifestVerdict CheckManifest(const std::string& manifest,
                              const std::string& serial_text,
                              const std::string& signature_text,
                              const platform::EcdsaP256PublicKey& key,
                              uint64_t accepted_serial);

// The serial recorded in the installed copy; 0 when none or unreadable.
uint64_t AcceptedSerial(const std::string& recorded);

}  // namespace qm::update
