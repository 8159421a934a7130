#include "platform/posix/os_name.h"

#include <errno.h>
#include <iconv.h>

#include "platform/path_escape.h"
#include "platform/posix/text_convert.h"

namespace qm::platform {
namespace posix {
namespace {

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return false;
    }
  }
  return true;
}

bool IsSurrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDFFF;
}
bool IsHighSurrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char32_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}
// The lone surrogates that stand for bytes of a name that is no UTF-8.
constexpr char16_t kByteBase = 0xDC00;
bool IsByteUnit(char16_t c) {
  return c >= kByteBase + 0x80 && c <= kByteBase + 0xFF;
}

// The length of the well-formed UTF-8 character at the start of text (no
// overlong forms, surrogates or values past U+10FFFF), 0 if none starts there.
size_t ReadUtf8(std::string_view text, char32_t* code_point) {
  const auto first = static_cast<unsigned char>(text[0]);
  if (first < 0x80) {
    *code_point = first;
    return 1;
  }
  size_t length = 0;
  char32_t value = 0;
  unsigned char low = 0x80;  // the second byte's range
  unsigned char high = 0xBF;
  if (first >= 0xC2 && first <= 0xDF) {
    length = 2;
    value = first & 0x1F;
  } else if (first >= 0xE0 && first <= 0xEF) {
    length = 3;
    value = first & 0x0F;
    low = first == 0xE0 ? 0xA0 : 0x80;
    high = first == 0xED ? 0x9F : 0xBF;
  } else if (first >= 0xF0 && first <= 0xF4) {
    length = 4;
    value = first & 0x07;
    low = first == 0xF0 ? 0x90 : 0x80;
    high = first == 0xF4 ? 0x8F : 0xBF;
  } else {
    return 0;
  }
  if (text.size() < length) {
    return 0;
  }
  for (size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) {
      return 0;
    }
    value = (value << 6) | (byte & 0x3F);
  }
  *code_point = value;
  return length;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// UTF-16 units of a system name; a byte outside well-formed UTF-8 becomes
// its byte unit.
std::u16string Utf8ToUnits(std::string_view text) {
  std::u16string units;
  units.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    char32_t c = 0;
    const size_t length = ReadUtf8(text.substr(i), &c);
    if (length == 0) {
      units.push_back(static_cast<char16_t>(kByteBase + static_cast<unsigned char>(text[i])));
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      units.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<char16_t>(c));
    }
    i += length;
  }
  return units;
}

// Whether bytes read back as nothing but byte units: then turning byte
// escapes into these bytes is the inverse of Utf8ToUnits.
bool ReadsAsBytesOnly(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    char32_t c = 0;
    if (ReadUtf8(bytes.substr(i), &c) != 0) {
      return false;
    }
  }
  return true;
}

// One iconv descriptor, for conversions that must convert every character.
class StrictConverter {
 public:
  StrictConverter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~StrictConverter() {
    if (Valid()) {
      iconv_close(cd_);
    }
  }
  StrictConverter(const StrictConverter&) = delete;
  StrictConverter& operator=(const StrictConverter&) = delete;

  bool Convert(std::string_view text, std::string* out) {
    out->clear();
    if (!Valid()) {
      return false;
    }
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* in = const_cast<char*>(text.data());
    size_t in_left = text.size();
    char buffer[256];
    while (in_left > 0) {
      char* out_ptr = buffer;
      size_t out_left = sizeof(buffer);
      const size_t rc = iconv(cd_, &in, &in_left, &out_ptr, &out_left);
      out->append(buffer, out_ptr - buffer);
      if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
        return false;
      }
    }
    return true;
  }

 private:
  bool Valid() const {
    return cd_ != (iconv_t)-1;  // NOLINT(performance-no-int-to-ptr): iconv's error value
  }
  iconv_t cd_;
};

// Code page 949 as glibc's iconv knows it.
class IconvCodePage final : public path_escape::CodePage {
 public:
  bool Has(char16_t unit) const override {
    if (unit < 0x80) {
      return true;
    }
    if (IsSurrogate(unit)) {
      return false;
    }
    std::string utf8;
    AppendUtf8(unit, &utf8);
    thread_local StrictConverter to_code_page("CP949", "UTF-8");
    thread_local StrictConverter from_code_page("UTF-8", "CP949");
    std::string bytes;
    std::string back;
    return to_code_page.Convert(utf8, &bytes) && from_code_page.Convert(bytes, &back) &&
           back == utf8;
  }

  std::string Encode(std::u16string_view units) const override {
    std::string utf8;
    for (const char16_t unit : units) {
      AppendUtf8(unit, &utf8);
    }
    return IsAscii(utf8) ? utf8 : ConvertText("CP949", "UTF-8", utf8);
  }
};

std::string CodePageText(std::string_view bytes) {
  return IsAscii(bytes) ? std::string(bytes) : ConvertText("UTF-8", "CP949", std::string(bytes));
}

enum class Target { kOs, kShow };

std::string FromCore(std::string_view bytes, Target target) {
  if (IsAscii(bytes)) {
    return std::string(bytes);
  }
  const std::vector<path_escape::Piece> pieces =
      path_escape::Split(bytes, path_escape::SystemCodePage());
  std::string out;
  size_t i = 0;
  while (i < pieces.size()) {
    const path_escape::Piece& piece = pieces[i];
    if (!piece.escaped) {
      out += CodePageText(piece.bytes);
      ++i;
    } else if (!IsSurrogate(piece.unit)) {
      AppendUtf8(piece.unit, &out);
      ++i;
    } else if (IsHighSurrogate(piece.unit) && i + 1 < pieces.size() && pieces[i + 1].escaped &&
               IsLowSurrogate(pieces[i + 1].unit)) {
      AppendUtf8(0x10000 + ((piece.unit - 0xD800) << 10) + (pieces[i + 1].unit - 0xDC00), &out);
      i += 2;
    } else if (target == Target::kOs && IsByteUnit(piece.unit)) {
      size_t end = i;
      std::string raw;
      while (end < pieces.size() && pieces[end].escaped && IsByteUnit(pieces[end].unit)) {
        raw.push_back(static_cast<char>(pieces[end].unit - kByteBase));
        ++end;
      }
      if (ReadsAsBytesOnly(raw)) {
        out += raw;
      } else {
        for (size_t k = i; k < end; ++k) {
          out += CodePageText(pieces[k].bytes);
        }
      }
      i = end;
    } else {
      out += target == Target::kOs ? CodePageText(piece.bytes) : "?";
      ++i;
    }
  }
  return out;
}

}  // namespace

std::string NameFromOs(std::string_view os_name) {
  if (IsAscii(os_name)) {
    return std::string(os_name);
  }
  return path_escape::Escape(Utf8ToUnits(os_name), path_escape::SystemCodePage());
}

std::string NameToOs(std::string_view bytes) {
  return FromCore(bytes, Target::kOs);
}

std::string NameToShow(std::string_view bytes) {
  return FromCore(bytes, Target::kShow);
}

}  // namespace posix

const path_escape::CodePage& path_escape::SystemCodePage() {
  static const posix::IconvCodePage code_page;
  return code_page;
}

}  // namespace qm::platform
