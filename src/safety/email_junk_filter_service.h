#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "safety/blocked_sender.h"
#include "safety/email_junk_filter_action.h"
#include "store/email_folder.h"
#include "store/email_message.h"

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::safety {

struct JunkScore {
  double score = 0;
  std::vector<std::string> reasons;  // reason codes in signal order
  bool operator==(const JunkScore&) const = default;
};

// The four settings the decision reads. A missing setting counts as off; the caller fills
// in the values (with the application's defaults).
struct JunkFilterSettings {
  bool junkFilterEnabled = false;                                         // emailJunkFilterEnabled
  EmailJunkFilterAction junkFilterAction = EmailJunkFilterAction::markSpam;  // emailJunkFilterAction
  bool blockedSenderFilterEnabled = false;  // emailBlockedSenderFilterEnabled
  EmailJunkFilterAction blockedSenderAction = EmailJunkFilterAction::moveToSpam;  // emailBlockedSenderAction
};

// The outcome of evaluate() for one incoming message.
struct JunkDecision {
  JunkScore score;                              // including "blocked-sender" when it applied
  std::optional<EmailJunkFilterAction> action;  // absent: delivered normally
  // For moveToSpam: the account's spam folder the message was placed in; absent when the
  // account has none (the message is then marked as spam instead).
  std::optional<std::string> spamFolderId;
};

// The local junk filter: an explainable score from a few weighted signals, plus the
// per-account blocked-sender list. No AI involved.
class EmailJunkFilterService {
 public:
  static constexpr double kThreshold = 3.0;
  static constexpr double kBlockedScore = 10.0;

  using Clock = std::function<double()>;
  // Borrows `database` for the service's lifetime.
  explicit EmailJunkFilterService(store::EmailDatabase& database, Clock clock = {});

  // The weighted sum of the junk signals and their reason codes in this order. Pure.
  //   "spam-words"            0.9 per spam phrase found in the lower-cased subject or body
  //   "many-links"            1.1 when "http" occurs three times or more in the body
  //   "symbol-heavy-subject"  0.9 when more than 16 % of the subject's characters are one of
  //                           ! $ ￥ % ★ ☆
  //   "remote-tracker"        0.6 when the message loads remote resources and has no
  //                           attachments
  //   "risky-domain"          0.8 when the sender address ends in .xyz, .top or .click
  //   "isolation-outlier"     0.65 per flag when at least two of these hold: the trimmed
  //                           body is under 20 characters and contains "http"; the subject
  //                           has 91 characters or more; the sender's local part (before the
  //                           last "@") is longer than 28 characters; subject + "\n" + body
  //                           is under 500 characters and holds 19 or more ASCII digits.
  // The body is the text body, or the HTML body when there is no text; characters are
  // user-perceived characters.
  static JunkScore junkScore(const store::EmailMessage& message);

  // The decision for one incoming message, applied to it in place: with moveToSpam it is
  // placed in the account's spam folder (from `folders`), with markSpam it gets isSpam.
  // Never fails.
  JunkDecision evaluate(store::EmailMessage& message, const std::vector<store::EmailFolder>& folders,
                        const JunkFilterSettings& settings);

  // Blocked senders, newest change first.
  std::vector<BlockedSender> list();
  // Adds an entry or, when the account already has it, updates its note and updatedAt
  // (id and creation time kept). The address is trimmed and lower-cased. Returns the entry
  // as stored; nothing on a blank address or a database failure (logged).
  std::optional<BlockedSender> add(std::string_view accountId, std::string_view email,
                                   const std::optional<std::string>& note);
  // False when the database failed (logged); removing an unknown id is not a failure.
  bool remove(std::string_view id);
  bool isBlocked(std::string_view email, std::string_view accountId);

 private:
  double now() const;

  store::EmailDatabase& database_;
  Clock clock_;
};

}  // namespace kestrova::safety
