#include "platform/version_info.h"

#include <windows.h>

#include "platform/win32/system_library.h"
#include "platform/win32/win_text.h"

namespace qm::platform {

namespace {

// The three functions of version.dll, loaded from the system folder on first
// use and kept for the life of the program.
struct VersionApi {
  decltype(&::GetFileVersionInfoSizeW) size = nullptr;
  decltype(&::GetFileVersionInfoW) info = nullptr;
  decltype(&::VerQueryValueW) query = nullptr;
};

template <typename F>
F Find(HMODULE library, const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

const VersionApi* Api() {
  static const VersionApi api = [] {
    VersionApi found;
    if (HMODULE library = win32::LoadSystemLibrary(L"version.dll")) {
      found.size = Find<decltype(found.size)>(library, "GetFileVersionInfoSizeW");
      found.info = Find<decltype(found.info)>(library, "GetFileVersionInfoW");
      found.query = Find<decltype(found.query)>(library, "VerQueryValueW");
    }
    return found;
  }();
  return api.size && api.info && api.query ? &api : nullptr;
}

}  // namespace

std::optional<VersionInfo> VersionInfo::Load(const std::string& path) {
  const VersionApi* api = Api();
  if (!api) {
    return std::nullopt;
  }
  std::wstring wide = win32::PathToWide(path);
  DWORD handle = 0;
  DWORD size = api->size(wide.c_str(), &handle);
  if (size == 0) {
    return std::nullopt;
  }
  VersionInfo info;
  info.block_.assign(size + 1, '\0');
  api->info(wide.c_str(), 0, size, info.block_.data());
  return info;
}

bool VersionInfo::QueryTranslations(std::vector<uint32_t>* entries) const {
  void* data = nullptr;
  UINT length = 0;
  // VerQueryValue takes a non-const block but only reads it.
  void* block = const_cast<char*>(block_.data());
  if (!Api()->query(block, L"\\VarFileInfo\\Translation", &data, &length) || !data) {
    return false;
  }
  entries->clear();
  const auto* words = static_cast<const WORD*>(data);
  for (UINT i = 0; i + 4 <= length; i += 4, words += 2) {
    entries->push_back(static_cast<uint32_t>(words[0]) | (static_cast<uint32_t>(words[1]) << 16));
  }
  return true;
}

bool VersionInfo::QueryString(const std::string& sub_block, std::string* value) const {
  void* data = nullptr;
  UINT length = 0;
  void* block = const_cast<char*>(block_.data());
  if (!Api()->query(block, win32::Cp949ToWide(sub_block).c_str(), &data, &length) || !data) {
    return false;
  }
  const auto* text = static_cast<const wchar_t*>(data);
  std::wstring_view view(text, length);
  size_t nul = view.find(L'\0');
  if (nul != std::wstring_view::npos) {
    view = view.substr(0, nul);
  }
  *value = win32::WideToCp949(view);
  return true;
}

}  // namespace qm::platform
