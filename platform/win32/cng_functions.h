// The CNG functions of bcrypt.dll, loaded at run time from the system folder:
// bcrypt.dll is no KnownDLL, so a static import would be looked up in the
// program's folder first.
#pragma once

#include <windows.h>
// windows.h first: bcrypt.h needs its types.
#include <bcrypt.h>

namespace qm::platform::win32 {

struct CngFunctions {
  decltype(&::BCryptOpenAlgorithmProvider) open_algorithm = nullptr;
  decltype(&::BCryptCloseAlgorithmProvider) close_algorithm = nullptr;
  decltype(&::BCryptGetProperty) get_property = nullptr;
  decltype(&::BCryptCreateHash) create_hash = nullptr;
  decltype(&::BCryptHashData) hash_data = nullptr;
  decltype(&::BCryptFinishHash) finish_hash = nullptr;
  decltype(&::BCryptDestroyHash) destroy_hash = nullptr;
  decltype(&::BCryptImportKeyPair) import_key_pair = nullptr;
  decltype(&::BCryptVerifySignature) verify_signature = nullptr;
  decltype(&::BCryptDestroyKey) destroy_key = nullptr;
};

// Loaded on first use and kept for the life of the program; nullptr when
// the system has no bcrypt.dll (before Vista) or lacks one of the functions.
const CngFunctions* Cng();

}  // namespace qm::platform::win32
