// Base64 of RFC 2045 without line breaks, for Basic credentials.
#pragma once

#include <string>
#include <string_view>

namespace qm::http {

std::string Base64Encode(std::string_view bytes);

}  // namespace qm::http
