// The HTTP client's error: a message and an integer code.
#pragma once

#include <stdexcept>
#include <string>

namespace qm::http {

// Codes the client raises besides a response status of 400 or more.
inline constexpr int kHttpBusy = 1;
// Every failure the client detects itself (not a server answer): no
// connection, an abort, a document that did not arrive whole.
inline constexpr int kHttpClientFailure = 404;

class EHttpException : public std::runtime_error {
 public:
  EHttpException(const std::string& message, int error_code)
      : std::runtime_error(message), error_code_(error_code) {}

  int ErrorCode() const { return error_code_; }

 private:
  int error_code_;
};

}  // namespace qm::http
