#pragma once

#include <stdexcept>
#include <string>

// How the program fails, one way per layer:
//  - Across layers: exceptions of typed errors derived from Error (DatabaseError,
//    EmailDatabaseError, EmailServiceError, EmailCredentialError, MCPError, CommandFailure,
//    ...). Nothing else is thrown, no bare structs or values; what() is the text shown.
//  - Inside the IMAP and SMTP sessions: bool or std::optional answers with a LibEtPanError
//    out-parameter, the error domain their callers report. Every failure fills the error
//    (the sessions' fail helpers are the only way to give one); nothing for a message the
//    server does not have is an answer, not a failure.
//  - Reads that fail throw (EmailDatabase::read and the queries built on it); an empty
//    answer means there is nothing. Only callers that must carry on catch and log: the
//    background loops (sync, schedulers, notifications, start-up passes) and the mail
//    store's loaders that feed them.
//  - Script rules answer LuaResult values: a rule's own failure is data for the rule
//    engine, not an error of the program.

namespace kestrova {

// Base of every error type of the program. what() is the user-facing description,
// exactly the text that is shown or sent to a caller. Component errors derive from it
// (EmailDatabaseError, MCPError, ...), so a caller that only reports can catch Error.
class Error : public std::runtime_error {
 public:
  explicit Error(const std::string& description) : std::runtime_error(description) {}
};

}  // namespace kestrova
