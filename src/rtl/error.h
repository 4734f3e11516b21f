// Errors of the run-time library. Every failure that reaches the operator is an rtl::Error whose
// message is the text the default error display shows, in UTF-8.
#pragma once

#include <stdexcept>
#include <string>

namespace rtl {

class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& message) : std::runtime_error(message) {}
};

// Text that does not convert to the number or date it should hold.
class ConvertError : public Error {
 public:
  using Error::Error;
};

}  // namespace rtl
