#include "platform/path_escape.h"

namespace qm::platform::path_escape {
namespace {

constexpr unsigned char kHighLead = 0xC8;  // 0xC8-0xCF: the unit's high byte
constexpr unsigned char kLowLead = 0xD0;   // 0xD0-0xD7: its low byte
constexpr unsigned char kTrail = 0x81;     // 0x81-0xA0: five bits each

bool InRange(unsigned char byte, unsigned char first, unsigned count) {
  return byte >= first && byte < first + count;
}

bool IsLeadByte(unsigned char byte) {
  return byte >= 0x81 && byte <= 0xFE;
}

}  // namespace

void AppendEscape(char16_t unit, std::string* out) {
  const unsigned high = static_cast<unsigned>(unit) >> 8;
  const unsigned low = static_cast<unsigned>(unit) & 0xFF;
  out->push_back(static_cast<char>(kHighLead + (high >> 5)));
  out->push_back(static_cast<char>(kTrail + (high & 0x1F)));
  out->push_back(static_cast<char>(kLowLead + (low >> 5)));
  out->push_back(static_cast<char>(kTrail + (low & 0x1F)));
}

bool ReadEscape(std::string_view bytes, char16_t* unit) {
  if (bytes.size() < kEscapeSize) {
    return false;
  }
  const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
  if (!InRange(b[0], kHighLead, 8) || !InRange(b[1], kTrail, 32) || !InRange(b[2], kLowLead, 8) ||
      !InRange(b[3], kTrail, 32)) {
    return false;
  }
  const unsigned high = ((b[0] - kHighLead) << 5) | (b[1] - kTrail);
  const unsigned low = ((b[2] - kLowLead) << 5) | (b[3] - kTrail);
  *unit = static_cast<char16_t>((high << 8) | low);
  return true;
}

std::string Escape(std::u16string_view name, const CodePage& code_page) {
  std::string result;
  size_t run = 0;  // start of the units not yet written
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] >= 0x80 && !code_page.Has(name[i])) {
      result += code_page.Encode(name.substr(run, i - run));
      AppendEscape(name[i], &result);
      run = i + 1;
    }
  }
  return result + code_page.Encode(name.substr(run));
}

std::vector<Piece> Split(std::string_view bytes, const CodePage& code_page) {
  std::vector<Piece> pieces;
  size_t run = 0;  // start of the text not yet added
  size_t i = 0;
  while (i < bytes.size()) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    char16_t unit = 0;
    if (ReadEscape(bytes.substr(i), &unit) && !code_page.Has(unit)) {
      if (i > run) {
        pieces.push_back({bytes.substr(run, i - run)});
      }
      pieces.push_back({bytes.substr(i, kEscapeSize), true, unit});
      i += kEscapeSize;
      run = i;
    } else {
      // A lead byte and its trail are one character: never look for an
      // escape that starts at a trail byte.
      i += IsLeadByte(byte) && i + 1 < bytes.size() ? 2 : 1;
    }
  }
  if (run < bytes.size()) {
    pieces.push_back({bytes.substr(run)});
  }
  return pieces;
}

}  // namespace qm::platform::path_escape
