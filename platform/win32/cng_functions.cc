#include "platform/win32/cng_functions.h"

#include "platform/win32/system_library.h"

namespace qm::platform::win32 {

namespace {

template <typename F>
bool Find(HMODULE library, const char* name, F* function) {
  *function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
  return *function != nullptr;
}

}  // namespace

const CngFunctions* Cng() {
  static const CngFunctions* const functions = []() -> const CngFunctions* {
    static CngFunctions found;
    HMODULE library = LoadSystemLibrary(L"bcrypt.dll");
    if (!library)
      return nullptr;
    const bool all = Find(library, "BCryptOpenAlgorithmProvider", &found.open_algorithm) &&
                     Find(library, "BCryptCloseAlgorithmProvider", &found.close_algorithm) &&
                     Find(library, "BCryptGetProperty", &found.get_property) &&
                     Find(library, "BCryptCreateHash", &found.create_hash) &&
                     Find(library, "BCryptHashData", &found.hash_data) &&
                     Find(library, "BCryptFinishHash", &found.finish_hash) &&
                     Find(library, "BCryptDestroyHash", &found.destroy_hash) &&
                     Find(library, "BCryptImportKeyPair", &found.import_key_pair) &&
                     Find(library, "BCryptVerifySignature", &found.verify_signature) &&
                     Find(library, "BCryptDestroyKey", &found.destroy_key);
    return all ? &found : nullptr;
  }();
  return functions;
}

}  // namespace qm::platform::win32
