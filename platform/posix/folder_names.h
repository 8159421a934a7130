// The names of folders as Windows matches them (ASCII case ignored),
// remembered between lookups. Extracting thousands of files into one folder
// would otherwise read the whole folder for every new file.
#pragma once

#include <string>

namespace qm::platform::posix {

enum class EntryLookup { kFound, kMissing, kNoFolder };

// The entry of os_folder ("" for the current folder) whose name equals name
// ignoring ASCII case; the smallest in byte order when several do.
// kNoFolder: os_folder is no folder that can be read.
EntryLookup FindEntryIgnoringCase(const std::string& os_folder,
                                  const std::string& name,
                                  std::string* found);

}  // namespace qm::platform::posix
