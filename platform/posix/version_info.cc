#include "platform/version_info.h"

#include <stdlib.h>
#include <string.h>

#include "platform/file_system.h"
#include "platform/posix/text_convert.h"
#include "platform/version_block.h"

namespace qm::platform {

namespace {

// Languages in the order Windows tries them for a neutral request: neutral,
// the user's language, US English; failing those the first one present.
std::vector<uint32_t> PreferredLanguages() {
  uint32_t user = 0x0409;
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = getenv(name);
    if (value && *value) {
      if (strncmp(value, "ko", 2) == 0) {
        user = 0x0412;
      }
      break;
    }
  }
  return {0x0000, user, 0x0409};
}

std::string Utf16ToCp949(const std::string& utf16) {
  return posix::ConvertText("CP949", "UTF-16LE", utf16, 2);
}

// A bare file name is looked for as Windows looks for a library: in the
// program's own folder first, then where the name leads from the current one.
bool OpenVersionFile(const std::string& path, File* file) {
  if (path.find_first_of("\\/") == std::string::npos) {
    const std::string program = ExecutablePath();
    const size_t folder_end = program.find_last_of("\\/");
    if (folder_end != std::string::npos &&
        file->Open(program.substr(0, folder_end + 1) + path, File::Mode::kRead)) {
      return true;
    }
  }
  return file->Open(path, File::Mode::kRead);
}

}  // namespace

std::optional<VersionInfo> VersionInfo::Load(const std::string& path) {
  File file;
  if (!OpenVersionFile(path, &file)) {
    return std::nullopt;
  }
  const int64_t size = file.Size();
  ByteSource source = [&](uint64_t offset, size_t count, std::string* out) {
    if (size < 0 || offset > static_cast<uint64_t>(size) ||
        count > static_cast<uint64_t>(size) - offset || !file.Seek(static_cast<int64_t>(offset))) {
      return false;
    }
    out->resize(count);
    size_t done = 0;
    while (done < count) {
      int64_t n = file.Read(out->data() + done, count - done);
      if (n <= 0) {
        return false;
      }
      done += static_cast<size_t>(n);
    }
    return true;
  };
  std::optional<std::string> block = ExtractVersionBlock(source, PreferredLanguages());
  if (!block) {
    return std::nullopt;
  }
  VersionInfo info;
  info.block_ = std::move(*block);
  return info;
}

bool VersionInfo::QueryTranslations(std::vector<uint32_t>* entries) const {
  std::string value;
  bool is_text = false;
  if (!QueryVersionValue(block_, "\\VarFileInfo\\Translation", Utf16ToCp949, &value, &is_text) ||
      value.size() < 4) {
    return false;
  }
  entries->clear();
  for (size_t i = 0; i + 4 <= value.size(); i += 4) {
    entries->push_back(static_cast<uint32_t>(static_cast<uint8_t>(value[i])) |
                       static_cast<uint32_t>(static_cast<uint8_t>(value[i + 1])) << 8 |
                       static_cast<uint32_t>(static_cast<uint8_t>(value[i + 2])) << 16 |
                       static_cast<uint32_t>(static_cast<uint8_t>(value[i + 3])) << 24);
  }
  return true;
}

bool VersionInfo::QueryString(const std::string& sub_block, std::string* value) const {
  std::string raw;
  bool is_text = false;
  if (!QueryVersionValue(block_, sub_block, Utf16ToCp949, &raw, &is_text)) {
    return false;
  }
  // Up to the terminating NUL, as a caller of VerQueryValue reads it.
  std::string utf16;
  for (size_t i = 0; i + 2 <= raw.size(); i += 2) {
    if (raw[i] == 0 && raw[i + 1] == 0) {
      break;
    }
    utf16.append(raw, i, 2);
  }
  *value = Utf16ToCp949(utf16);
  return true;
}

}  // namespace qm::platform
