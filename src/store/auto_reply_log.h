#pragma once

#include <optional>
#include <string_view>

namespace kestrova::store {

class EmailDatabase;

// What automatic replies remember across restarts (the `auto_reply_log` table): when each
// sender last got one. Addresses are keys after trimming and lower-casing. Also answers
// whether the user has written to an address, from the mail stored as sent by one of the
// user's accounts. Database failures propagate. Thread-safe as the database is.
class AutoReplyLog {
 public:
  // Borrows `database` for the log's lifetime.
  explicit AutoReplyLog(EmailDatabase& database) : database_(database) {}

  // When `sender` last got an automatic reply (seconds since 1970), or nothing.
  std::optional<double> lastReplyAt(std::string_view sender);
  void recordReply(std::string_view sender, double at);

  // Whether a stored message from one of the user's accounts (its From is the account's
  // own address) names `address` in To, Cc or Bcc.
  bool userHasWrittenTo(std::string_view address);

 private:
  EmailDatabase& database_;
};

}  // namespace kestrova::store
