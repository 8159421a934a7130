// qmunzip [-l | -t] [-P PASSWORD] ARCHIVE [-d DIR]
//   -l  list the members (sizes, method, CRC-32, name)
//   -t  decode and verify every member, write nothing
//   otherwise unpack everything into DIR (default: the current folder).
// Exit status: 0 every member fine, 1 a member failed, 2 bad command line or
// an archive that cannot be read.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/text.h"
#include "tools/cli/command_line.h"
#include "tools/cli/report.h"
#include "zip/unzip.h"
#include "zip/unzip_error.h"

namespace {

const char kUsage[] =
    "usage: qmunzip [-l | -t] [-P PASSWORD] ARCHIVE [-d DIR]\n"
    "  -l           list the members (sizes, method, CRC-32, name)\n"
    "  -t           decode and verify every member, write nothing\n"
    "  -P PASSWORD  password of encrypted members\n"
    "  -d DIR       unpack into DIR (default: the current folder)\n";

constexpr qm::cli::Reporter kReport("qmunzip", kUsage);

// A failure as the extractor reports it: its number, its text, the file.
void ReportZipError(int code, const std::string& text, const std::string& file) {
  kReport.Say(std::to_string(code) + " " + text + ": " + file);
}

std::string MethodName(uint16_t method) {
  switch (method) {
    case 0:
      return "Stored";
    case 1:
      return "Shrunk";
    case 2:
    case 3:
    case 4:
    case 5:
      return "Reduced" + std::to_string(method - 1);
    case 6:
      return "Imploded";
    case 8:
      return "Deflated";
    case 9:
      return "Deflate64";
    default:
      return "Method" + std::to_string(method);
  }
}

std::string Show(const std::string& cp949) {
  return qm::platform::Cp949ToUtf8(cp949);
}

}  // namespace

int main(int argc, char** argv) {
  enum class Action { kExtract, kList, kTest } action = Action::kExtract;
  std::string password;
  std::string dir;
  bool have_dir = false;
  const qm::cli::CommandLine line =
      qm::cli::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), "ltP:d:", {});
  if (!line.error.empty()) {
    return kReport.Usage(line.error);
  }
  if (line.help) {
    return kReport.Help();
  }
  for (const auto& [id, value] : line.options) {
    if (id == 'l' || id == 't') {
      if (action != Action::kExtract) {
        return kReport.Usage("-l and -t exclude each other");
      }
      action = id == 'l' ? Action::kList : Action::kTest;
    } else {
      (id == 'P' ? password : dir) = value;
      have_dir |= id == 'd';
    }
  }
  // One archive; "-" is a name, not an option.
  if (line.operands.size() != 1) {
    return kReport.Usage(line.operands.empty() ? "no archive given" : "more than one archive");
  }
  if (have_dir && dir.empty()) {
    return kReport.Usage("-d needs a folder");
  }
  if (have_dir && action != Action::kExtract) {
    return kReport.Usage("-d goes with unpacking only");
  }
  const std::string& archive = line.operands[0];

  qm::zip::TUnZip unzip;
  bool archive_unreadable = false;
  unzip.OnError = [&](qm::zip::TUnZip*, const std::string& file, const std::string& extended,
                      const std::string&, int code) {
    std::string text = qm::zip::ErrorText(code);
    if (!extended.empty()) {
      text += " (" + extended + ")";
    }
    ReportZipError(code, text, Show(file));
    if (code == qm::zip::kErrFileNotFound || code == qm::zip::kErrUnsupportedArchive ||
        (code == qm::zip::kErrOpenFile && file == unzip.ArchiveFile())) {
      archive_unreadable = true;
    }
  };
  unzip.SetArchiveFile(archive);
  if (unzip.ArchiveFile().empty()) {
    ReportZipError(qm::zip::kErrFileNotFound, qm::zip::ErrorText(qm::zip::kErrFileNotFound),
                   archive);
    return qm::cli::kExitUsage;
  }
  unzip.FileSpec = {"*.*"};
  unzip.CreateStoredDirs = true;
  if (!password.empty()) {
    unzip.Passwords = {password};
  }
  unzip.SetExtractDir(have_dir ? dir : ".");

  switch (action) {
    case Action::kList: {
      std::vector<qm::zip::TZipMemberInfo> members = unzip.List();
      std::printf("%12s %12s  %-9s  %-8s  %s\n", "Length", "Compressed", "Method", "CRC-32",
                  "Name");
      uint64_t total = 0;
      for (const qm::zip::TZipMemberInfo& m : members) {
        std::printf("%12" PRIu64 " %12" PRIu64 "  %-9s  %08" PRIx32 "  %s%s\n", m.uncompressed_size,
                    m.compressed_size, MethodName(m.method).c_str(), m.crc, Show(m.name).c_str(),
                    m.encrypted ? " (encrypted)" : "");
        total += m.uncompressed_size;
      }
      std::printf("%12" PRIu64 " %zu members\n", total, members.size());
      break;
    }
    case Action::kTest: {
      int passed = unzip.Test();
      std::printf("%d members verified, %d failed\n", passed, unzip.FailedCount());
      break;
    }
    case Action::kExtract: {
      int count = unzip.Extract();
      std::printf("%d files extracted, %d failed\n", count, unzip.FailedCount());
      break;
    }
  }
  if (archive_unreadable) {
    return qm::cli::kExitUsage;
  }
  return unzip.Succeeded() ? qm::cli::kExitOk : qm::cli::kExitFailed;
}
