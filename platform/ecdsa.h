// Verification of ECDSA signatures on the NIST P-256 curve, from the
// system's cryptography (libcrypto on POSIX, CNG on Windows). Keys and
// signatures travel in the raw form CNG takes: big-endian coordinates and
// integers of 32 bytes each, no DER.
#pragma once

#include <array>
#include <cstdint>

#include "platform/sha256.h"

namespace qm::platform {

using EcdsaP256PublicKey = std::array<uint8_t, 64>;  // X || Y of the point
using EcdsaP256Signature = std::array<uint8_t, 64>;  // r || s

// True only for a valid signature of digest by key. Everything else is
// false: a wrong signature, a key that is not a point of the curve, a
// system that cannot verify.
bool VerifyEcdsaP256(const EcdsaP256PublicKey& key,
                     const Sha256Digest& digest,
                     const EcdsaP256Signature& signature);

}  // namespace qm::platform
