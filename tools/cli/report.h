// How every tool reports: one line "<program>: <text>" on standard error,
// and an exit status that tells the caller what kind of failure it was.
#pragma once

#include <string>

namespace qm::cli {

inline constexpr int kExitOk = 0;
// The work was refused or failed, or a check found a problem.
inline constexpr int kExitFailed = 1;
// A bad command line, or an input the tool cannot read at all.
inline constexpr int kExitUsage = 2;

class Reporter {
 public:
  // program and usage must outlive the reporter (string literals).
  constexpr Reporter(const char* program, const char* usage) : program_(program), usage_(usage) {}

  // One line "<program>: <text>" on standard error: an error, a warning, a note.
  void Say(const std::string& text) const;
  // The error, then the usage; returns kExitUsage.
  int Usage(const std::string& error) const;
  // The usage on standard output, as --help asks; returns kExitOk.
  int Help() const;

 private:
  const char* program_;
  const char* usage_;
};

}  // namespace qm::cli
