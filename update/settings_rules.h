// The rules by which the update reads the server's settings file: the choice
// of the download mirror, the launcher line and its engine base, the
// normalised base URLs and the component entries.
#pragma once

#include <cstdint>
#include <string>

namespace qm::update {

// Index k of the mirror line "Path" + k among line_count lines of section P:
// uniform in 0 .. line_count - 2, so the last line is never chosen once there
// are two or more; 0 for fewer than three lines.
int ChooseMirrorIndex(int line_count, uint32_t random);
// How many mirror lines ChooseMirrorIndex can choose among (Path0 on).
int ChoosableMirrorCount(int line_count);

// The four "-"-separated fields of a launcher's ProductVersion
// (82001-000-500-000001); the missing ones empty.
struct ProductVersionFields {
  std::string field1, field2, field3, field4;
  // Fields 1 and 3: the key of the launcher's lines in the settings file.
  std::string VersionKey() const { return field1 + field3; }
};
ProductVersionFields SplitProductVersion(const std::string& product_version);

// The launcher line of section V, split at its first "::".
struct LauncherLine {
  std::string version;
  std::string engine_base_text;  // the version key when there is no "::"
};
LauncherLine SplitLauncherLine(const std::string& value, const std::string& version_key);

// A base text holding "HTTP:" in any letter case is a URL of its own; any
// other text names a folder below the download base.
bool IsAbsoluteBase(const std::string& text);

// Ends the base in one "/", collapses doubled slashes and writes the scheme
// as "http://" in lower case, dropping whatever stood before it.
std::string NormalizeBase(const std::string& base);

// The normalised engine base for an engine-base text, from the download
// base as read (normalising twice would collapse a second pair of slashes).
std::string EngineBase(const std::string& download_base, const std::string& text);

// A name that names a file in the application folder and nothing else: no
// "/", "\\" or ":" (a folder, a share, a drive or a stream) and no device
// (CON, PRN, AUX, NUL, COM1-9, LPT1-9 in any case, with any extension).
bool IsBareFileName(const std::string& name);

// One entry of the component list: k "\" file name "\" version.
struct ComponentEntry {
  std::string file_name;
  std::string version;
  std::string stem;  // file name before its last "."; empty without one
};
// Raises std::runtime_error naming the entry when it has no version part or
// its file name is not a bare file name: the name is then neither read nor
// fetched.
ComponentEntry ParseComponentEntry(const std::string& entry);

}  // namespace qm::update
