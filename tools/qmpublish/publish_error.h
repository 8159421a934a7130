// What the publisher reports to its user: a text that says what is wrong
// and what to do about it.
#pragma once

#include <stdexcept>

namespace qm::publish {

class PublishError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace qm::publish
