// Reads one named string of an executable's version resource.
#pragma once

#include <string>

namespace qm {

// The value of name ("FileVersion", "ProductVersion", ...) in the string
// table of the first translation of fileName's version resource, or "?"
// when the file, the resource, the translation table or the name is missing.
std::string GetFileVersionString(const std::string& fileName, const std::string& name);

}  // namespace qm
