#pragma once

#include <stdexcept>
#include <string>

namespace kestrova {

// Base of every error type of the program. what() is the user-facing description,
// exactly the text that is shown or sent to a caller. Component errors derive from it
// (EmailDatabaseError, MCPError, ...), so a caller that only reports can catch Error.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& description) : std::runtime_error(description) {}
};

}  // namespace kestrova
