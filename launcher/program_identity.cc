#include "launcher/program_identity.h"

namespace qm {

namespace {

size_t FolderEnd(const std::string& path) {
  size_t last = path.find_last_of("\\/:");
  return last == std::string::npos ? 0 : last + 1;
}

}  // namespace

std::string AppDirFromExePath(const std::string& exe_path) {
  std::string folder = exe_path.substr(0, FolderEnd(exe_path));
  if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) {
    folder.pop_back();
  }
  return folder;
}

std::string ProgramTitle(const std::string& exe_path) {
  std::string name = exe_path.substr(FolderEnd(exe_path));
  name = name.substr(0, name.find('.'));
  // Lower-cases single-byte letters only; the second byte of a two-byte
  // character may look like a letter and must stay as it is.
  bool first = true;
  for (size_t i = 0; i < name.size(); ++i) {
    auto byte = static_cast<unsigned char>(name[i]);
    bool lead = byte >= 0x81 && i + 1 < name.size();
    if (!first && byte >= 'A' && byte <= 'Z') {
      name[i] = static_cast<char>(byte - 'A' + 'a');
    }
    if (lead) {
      ++i;
    }
    first = false;
  }
  return name;
}

std::string BuildClientCommandLine(const std::string& update_marker,
                                   const std::string& server_bk,
                                   const std::string& server_bkp,
                                   const std::string& product_version,
                                   const std::vector<std::string>& launcher_arguments) {
  const std::string first_argument = launcher_arguments.empty() ? "" : launcher_arguments[0];
  return update_marker + " " + server_bk + " " + server_bkp + " " + product_version + " " +
         first_argument;
}

}  // namespace qm
