#include "platform/text.h"

#include "platform/posix/os_name.h"
#include "platform/posix/text_convert.h"

#include <errno.h>
#include <iconv.h>
#include <string.h>

#include <algorithm>
#include <stdexcept>

namespace qm::platform {
namespace posix {

// One conversion; a byte that does not convert becomes "?" and the rest goes
// on, so a damaged name still shows instead of vanishing.
std::string ConvertText(const char* to, const char* from, const std::string& text, size_t unit) {
  const bool utf8_input = strcmp(from, "UTF-8") == 0;
  const bool cp949_input = strcmp(from, "CP949") == 0;
  iconv_t cd = iconv_open(to, from);
  if (cd == (iconv_t)-1) {  // NOLINT(performance-no-int-to-ptr): iconv's error value
    throw std::runtime_error(std::string("iconv cannot convert from ") + from + " to " + to);
  }
  std::string out;
  out.reserve(text.size() * 3 / 2 + 4);
  char* in = const_cast<char*>(text.data());
  size_t in_left = text.size();
  char buffer[1024];
  while (true) {
    char* out_ptr = buffer;
    size_t out_left = sizeof(buffer);
    size_t rc = iconv(cd, in_left ? &in : nullptr, &in_left, &out_ptr, &out_left);
    out.append(buffer, out_ptr - buffer);
    if (rc != static_cast<size_t>(-1)) {
      if (in_left == 0) {
        break;
      }
      continue;
    }
    if (errno == E2BIG) {
      continue;
    }
    // EILSEQ or EINVAL (truncated sequence at the end): skip one unit.
    out.push_back('?');
    size_t skip = std::min(unit, in_left);
    // A code page 949 lead byte and a trail byte that is no ASCII are one
    // character, as the escapes of names rely on; an ASCII byte stays.
    if (cp949_input && in_left >= 2 && static_cast<unsigned char>(in[0]) >= 0x81 &&
        static_cast<unsigned char>(in[0]) <= 0xFE && static_cast<unsigned char>(in[1]) >= 0x81) {
      skip = 2;
    }
    in += skip;
    in_left -= skip;
    // In UTF-8 one "?" stands for the whole character.
    while (utf8_input && in_left > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80) {
      ++in;
      --in_left;
    }
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (in_left == 0) {
      break;
    }
  }
  // Flush any shift state.
  char* out_ptr = buffer;
  size_t out_left = sizeof(buffer);
  iconv(cd, nullptr, nullptr, &out_ptr, &out_left);
  out.append(buffer, out_ptr - buffer);
  iconv_close(cd);
  return out;
}

}  // namespace posix

namespace {

bool IsAscii(const std::string& text) {
  for (unsigned char c : text) {
    if (c >= 0x80) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::string Cp949ToUtf8(const std::string& text) {
  // Texts may name the game folder, whose name may hold escapes.
  return posix::NameToShow(text);
}

std::string Utf8ToCp949(const std::string& text) {
  if (IsAscii(text)) {
    return text;
  }
  return posix::ConvertText("CP949", "UTF-8", text);
}

}  // namespace qm::platform
