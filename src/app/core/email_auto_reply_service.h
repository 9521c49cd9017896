#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "app/core/message_sender.h"
#include "store/email_message.h"

namespace kestrova::store {
class EmailStore;
}

namespace kestrova::app {

class UserPreferences;

// Answers newly received mail automatically while the user has switched that on. Runs at
// start ("startup") and after each receive ("poll"). A message is answered when it is in
// an inbox, arrived after the service started and after the switch was turned on, is not
// spam, does not come from one of the user's own addresses or a no-reply sender, and does
// not say that it was itself sent automatically (RFC 3834). Each sender gets at most one
// reply per run. The reply is written by the AI service bound to replies from the message
// with `emailAutoReplyTemplate` as its template when one is configured (and the account is
// not in privacy mode), else it is the template itself; under "Re: " + the subject, with
// In-Reply-To, References and "Auto-Submitted: auto-replied" (RFC 3834 §5). The strict
// privacy mode stops it.
//
// For one thread (the service's main thread); sends block it.
class EmailAutoReplyService {
 public:
  using Clock = std::function<double()>;
  using Sender = std::function<void(const store::EmailAccount&, const ComposedMessage&)>;
  // Whether a candidate says it was sent automatically (asks its server).
  using AutomaticCheck =
      std::function<bool(const store::EmailAccount&, const store::EmailMessage&)>;

  // The settings key holding when the switch was last turned on (seconds since 1970).
  static constexpr std::string_view kEnabledAtKey = "emailAutoReplyEnabledAt";

  EmailAutoReplyService(store::EmailStore& store, UserPreferences& preferences, Sender sender = {},
                        AutomaticCheck isAutomatic = {}, Clock clock = {});

  // Remembers the start time and runs once ("startup").
  void start();
  // One pass over the stored inbox messages.
  void process(std::string_view reason);

  // Turns the switch on or off, recording when it was turned on.
  static void setEnabled(UserPreferences& preferences, bool enabled, double now);

 private:
  bool answerable(const store::EmailMessage& message, double since) const;
  // The reply's text: drafted by the AI from the message and the template when an AI
  // service is configured and privacy allows it, else (or when drafting fails) the template.
  std::string replyBody(const store::EmailAccount& account, const store::EmailMessage& message,
                        const std::string& templateText) const;
  // The inbox messages stored now (ids).
  std::set<std::string> storedInboxMessages();

  store::EmailStore& store_;
  UserPreferences& preferences_;
  Sender sender_;
  AutomaticCheck isAutomatic_;
  Clock clock_;
  double startedAt_ = 0;
  std::set<std::string> processedMessageIds_;
  // The inbox as it was when answering was switched on for this run: only messages that
  // came after count as received. Empty while the switch is off.
  std::optional<std::set<std::string>> baseline_;
  std::set<std::string> answeredSenders_;  // lower-case addresses
  std::set<std::string> ownAddresses_;     // lower-case
};

}  // namespace kestrova::app
