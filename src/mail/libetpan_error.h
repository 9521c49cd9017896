#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova::mail {

// A failure of an IMAP or SMTP session, in the error domain "LibEtPanError".
//   code -1      no client handle, or a bad argument
//   code -2, -3  the two "no body" outcomes of the IMAP body fetch
//   otherwise    libetpan's own result code (MAILIMAP_ERROR_* / MAILSMTP_ERROR_*)
// Connection failures of the SMTP session also carry a failure reason (the detail text)
// and the library code under "LibEtPanErrorCode".
struct LibEtPanError {
  static constexpr std::string_view kDomain = "LibEtPanError";
  static constexpr std::string_view kCodeKey = "LibEtPanErrorCode";

  int code = 0;
  std::string localizedDescription;
  std::optional<std::string> localizedFailureReason;
  std::optional<int> libEtPanErrorCode;

  std::string_view domain() const { return kDomain; }
};

// Stores an error into an optional out-parameter; used by the sessions' failure paths.
inline void set_error(LibEtPanError* out, LibEtPanError error) {
  if (out) *out = std::move(error);
}

// What a session's failure path returns once the error is filled: false to the operations
// that answer bool, nothing to those that answer a value. Only the sessions' fail helpers
// make one, so no failure answers "nothing" without saying why. (A header or part fetch of
// a message the server does not have answers nothing with the error untouched: that is an
// answer, not a failure.)
struct LibEtPanFailure {
  operator bool() const { return false; }
  template <typename T>
  operator std::optional<T>() const {
    return std::nullopt;
  }
};

}  // namespace kestrova::mail
