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
#include "zip/unzip.h"
#include "zip/unzip_error.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitMemberFailed = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage: qmunzip [-l | -t] [-P PASSWORD] ARCHIVE [-d DIR]\n"
    "  -l           list the members (sizes, method, CRC-32, name)\n"
    "  -t           decode and verify every member, write nothing\n"
    "  -P PASSWORD  password of encrypted members\n"
    "  -d DIR       unpack into DIR (default: the current folder)\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return kExitUsage;
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
  std::string archive;
  std::string dir;
  bool have_dir = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return kExitOk;
    }
    if (arg == "-l" || arg == "-t") {
      if (action != Action::kExtract) {
        return Usage();
      }
      action = arg == "-l" ? Action::kList : Action::kTest;
    } else if (arg == "-P" || arg == "-d") {
      if (i + 1 >= argc) {
        return Usage();
      }
      (arg == "-P" ? password : dir) = argv[++i];
      have_dir |= arg == "-d";
    } else if ((!arg.empty() && arg[0] == '-' && arg != "-") || !archive.empty()) {
      return Usage();  // an unknown option or a second archive
    } else {
      archive = arg;
    }
  }
  if (archive.empty() || (have_dir && dir.empty()) || (have_dir && action != Action::kExtract)) {
    return Usage();
  }

  qm::zip::TUnZip unzip;
  bool archive_unreadable = false;
  unzip.OnError = [&](qm::zip::TUnZip*, const std::string& file, const std::string& extended,
                      const std::string&, int code) {
    std::string text = qm::zip::ErrorText(code);
    if (!extended.empty()) {
      text += " (" + extended + ")";
    }
    std::fprintf(stderr, "qmunzip: %d %s: %s\n", code, text.c_str(), Show(file).c_str());
    if (code == qm::zip::kErrFileNotFound || code == qm::zip::kErrUnsupportedArchive ||
        (code == qm::zip::kErrOpenFile && file == unzip.ArchiveFile())) {
      archive_unreadable = true;
    }
  };
  unzip.SetArchiveFile(archive);
  if (unzip.ArchiveFile().empty()) {
    std::fprintf(stderr, "qmunzip: %d %s: %s\n", qm::zip::kErrFileNotFound,
                 qm::zip::ErrorText(qm::zip::kErrFileNotFound).c_str(), archive.c_str());
    return kExitUsage;
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
    return kExitUsage;
  }
  return unzip.Succeeded() ? kExitOk : kExitMemberFailed;
}
