// Whole-file reads and writes with errors that name the file.
#pragma once

#include <filesystem>
#include <string>

namespace qm::publish {

// Raises PublishError when the file cannot be read.
std::string ReadWholeFile(const std::filesystem::path& path);
// Writes beside path and moves the file into place once complete.
void WriteWholeFile(const std::filesystem::path& path, const std::string& data);
// Where a file is written before it replaces path, so that a reader never
// meets half of it.
std::filesystem::path PartialPath(const std::filesystem::path& path);
// Renames the partial file over path when it was written completely;
// removes it otherwise. True when path now holds it.
bool CommitPartial(const std::filesystem::path& partial,
                   const std::filesystem::path& path,
                   bool written);

// The system's own form of a path: code page 949 bytes (what the platform
// layer and the extractor take). Raises PublishError for a name that code
// page 949 cannot write.
std::string PlatformPath(const std::filesystem::path& path);

}  // namespace qm::publish
