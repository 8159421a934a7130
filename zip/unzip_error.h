// Error codes of the extractor: numbers of the component's message table,
// reported through TUnZip::OnError.
#pragma once

#include <string>

namespace qm::zip {

inline constexpr int kErrBadFileHeader = 25114;
inline constexpr int kErrBadBlock = 25116;
inline constexpr int kErrWriteFile = 25136;
inline constexpr int kErrCloseFile = 25138;
inline constexpr int kErrCorruptInput = 25140;
inline constexpr int kErrCrcCheck = 25151;
inline constexpr int kErrNotEnoughSpace = 25156;
inline constexpr int kErrDiskFull = 25160;
inline constexpr int kErrFileNotFound = 25192;
inline constexpr int kErrFileSizeDifferent = 25193;
inline constexpr int kErrOpenFile = 25235;
inline constexpr int kErrReadFile = 25236;
inline constexpr int kErrUnsupportedArchive = 25244;
inline constexpr int kErrInvalidFileName = 25245;
inline constexpr int kErrHeaderNotFound = 25259;
inline constexpr int kErrEventNotAssigned = 25270;
inline constexpr int kErrAmbiguousTree = 25293;
inline constexpr int kErrStackOverflow = 25298;
inline constexpr int kErrUnsupportedMethod = 25326;
inline constexpr int kErrUserCanceled = 25443;
inline constexpr int kErrInvalidPassword = 26517;

// The message of a code; "Unknown error" for a number outside the table.
std::string ErrorText(int code);

}  // namespace qm::zip
