// Shared pieces of the extraction tests.
#pragma once

#include <string>
#include <vector>

#include "tests/zip/test_files.h"
#include "zip/unzip.h"

namespace qm::zip::testing {

struct ReportedError {
  std::string file_name;
  std::string extended_msg;
  int code = 0;
};

// Collects what OnError reports.
class ErrorLog {
 public:
  explicit ErrorLog(TUnZip& unzip) {
    unzip.OnError = [this](TUnZip*, const std::string& file, const std::string& extended,
                           const std::string&, int code) {
      errors.push_back({file, extended, code});
    };
  }
  bool Has(int code) const {
    for (const ReportedError& e : errors) {
      if (e.code == code)
        return true;
    }
    return false;
  }
  int Count(int code) const {
    int n = 0;
    for (const ReportedError& e : errors)
      n += e.code == code;
    return n;
  }
  std::string Describe() const {
    std::string s;
    for (const ReportedError& e : errors)
      s += std::to_string(e.code) + " " + e.file_name + " " + e.extended_msg + "\n";
    return s;
  }
  std::vector<ReportedError> errors;
};

// The folder of the archives that the build made with real archivers.
inline fs::path GeneratedArchives() {
  return BinaryDir() / "tests" / "zip" / "archives";
}

inline fs::path Fixtures() {
  return SourceDir() / "tests" / "zip" / "fixtures";
}

}  // namespace qm::zip::testing
