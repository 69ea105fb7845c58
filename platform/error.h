#pragma once
#include <exception>
#include <string>

#include "platform/export.h"

namespace axg {

// The one error type of the system: an exception that carries its message as
// UTF-16 text. Whoever catches it reports Message() unchanged.
class AXG_PLATFORM_API Error : public std::exception {
 public:
  explicit Error(std::u16string message);
  const std::u16string& Message() const noexcept { return message_; }
  // The message in UTF-8, for diagnostics and test output.
  const char* what() const noexcept override { return utf8_.c_str(); }

 private:
  std::u16string message_;
  std::string utf8_;
};

}  // namespace axg
