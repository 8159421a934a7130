// Member selection by the FileSpec masks, stored names and target paths.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm::zip {

// The stored name from a member's name bytes: "/" becomes "\".
std::string StoredName(const std::string& name_bytes);

// Whether a FileSpec line selects the stored name. The first line that
// matches decides. A line without "." that fails once is stored back with a
// "." appended, as the masks of old archivers worked.
bool SelectMember(std::vector<std::string>* file_spec,
                  bool recurse_dirs,
                  const std::string& stored_name);

// Everything before the last "\", "/" or ":", followed by "\" (a drive root
// "C:\" stays whole); empty when there is none.
std::string FolderPart(const std::string& path);
// What follows the folder part.
std::string NamePart(const std::string& path);
// a + b with one "\" between them; empty when a is empty.
std::string JoinPath(const std::string& a, const std::string& b);

// "/" becomes "\" and a trailing "\" is added to a non-empty folder.
std::string NormalizeFolder(const std::string& folder);

// The stored name without what would root it: drives ("C:") and leading "\\".
std::string StripRootPrefix(const std::string& stored_name);

// true for a name Windows opens as a device (CON, PRN, AUX, NUL, CONIN$,
// CONOUT$, COM1-9, LPT1-9), in any case and with any extension.
bool IsDeviceName(std::string_view component);

// false for names that could resolve outside the extraction folder or that
// no file system accepts: absolute names, drive letters and other ":",
// ".." components, components that end with a dot or a blank (Windows drops
// them, so "evil.exe." would land as "evil.exe"), Windows device names (CON,
// PRN, AUX, NUL, COM1-9, LPT1-9, also with an extension), control characters
// and the characters that Windows refuses in names.
bool IsSafeStoredName(const std::string& stored_name);

// The output path of a stored name below extract_dir (which ends with "\").
// With use_stored_dirs the stored folder is kept, else only the name part.
std::string TargetPath(const std::string& extract_dir,
                       bool use_stored_dirs,
                       const std::string& stored_name);

}  // namespace qm::zip
