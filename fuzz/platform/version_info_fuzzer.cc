// Hostile executables and version blocks: the reader may only fail.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/posix/text_convert.h"
#include "platform/version_block.h"

namespace {

const char* const kQueries[] = {
    "\\",
    "\\VarFileInfo\\Translation",
    "\\StringFileInfo\\041203B5\\ProductVersion",
    "\\StringFileInfo\\040904E4\\FileVersion",
    "\\stringfileinfo\\041203b5\\",
};

std::string KeyText(const std::string& utf16) {
  return qm::platform::posix::ConvertText("CP949", "UTF-16LE", utf16, 2);
}

void Query(const std::string& block) {
  for (const char* query : kQueries) {
    std::string value;
    bool is_text = false;
    if (qm::platform::QueryVersionValue(block, query, KeyText, &value, &is_text) &&
        value.size() > block.size()) {
      __builtin_trap();  // a value can only come from inside the block
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  // A leading "B" feeds the rest as a version block; anything else is a file.
  if (!input.empty() && input[0] == 'B') {
    Query(input.substr(1));
    return 0;
  }
  qm::platform::ByteSource source = [&](uint64_t offset, size_t count, std::string* out) {
    if (offset > input.size() || count > input.size() - offset) {
      return false;
    }
    out->assign(input, static_cast<size_t>(offset), count);
    return true;
  };
  if (auto block = qm::platform::ExtractVersionBlock(source, {0x0000, 0x0412, 0x0409})) {
    Query(*block);
  }
  return 0;
}
