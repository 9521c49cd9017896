#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "app/core/writing/message_sender.h"
#include "store/auto_reply_log.h"
#include "store/email_message.h"

namespace kestrova::store {
class EmailStore;
}

namespace kestrova::app {

class UserPreferences;

// Answers newly received mail automatically while the user has switched that on. Runs at
// start ("startup") and after each receive ("poll"). A message is answered when it is in
// an inbox, arrived after the service started and after the switch was turned on, is not
// spam, does not come from one of the user's own addresses or a robot (no-reply,
// MAILER-DAEMON, postmaster, owner-…, …-request), and its header does not mark it as
// automatic, list or bulk mail or carry an empty or missing Return-Path (RFC 3834; see
// EmailService::isAutomaticMail). Each sender gets at most one reply per kReplyPeriod,
// remembered in the database (AutoReplyLog) so that restarts do not reset it.
//
// The reply is the template `emailAutoReplyTemplate`, or is written by the AI service bound
// to replies when one is configured, the account is not in privacy mode, the sender is
// someone the user has written to (unless `emailAutoReplyAIKnownSendersOnly` is off), and
// the prompt-injection scan finds nothing in the message. The AI sees only the start of the
// message (EmailAIService::generateAutoReply), and a draft that copies a run of the message longer
// than kMaxCopiedBytes is replaced by the template, so a message cannot make the reply
// carry its own text back out. Sent under "Re: " + the subject, with In-Reply-To,
// References and "Auto-Submitted: auto-replied" (RFC 3834 §5). The strict privacy mode
// stops it.
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
  // One reply per sender per period, as vacation responders do (RFC 3834 §2).
  static constexpr double kReplyPeriod = 7 * 24 * 3600;
  // The longest run of the message (subject or text) an AI draft may repeat, and how much of
  // the subject the reply's "Re: " subject keeps.
  static constexpr size_t kMaxCopiedBytes = 180;
  static constexpr size_t kSubjectCharacters = 120;

  // Whether `reply` repeats a run of `incoming` longer than kMaxCopiedBytes (compared with
  // white space collapsed and letters lower-cased). Runs of half that length or less are
  // never reported.
  static bool copiesIncomingText(std::string_view reply, std::string_view incoming);

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
  // Whether `sender` got an automatic reply within kReplyPeriod before `now`.
  bool repliedRecently(const std::string& sender, double now);
  // The reply's text: drafted by the AI (see the class comment) or the template.
  std::string replyBody(const store::EmailAccount& account, const store::EmailMessage& message,
                        const std::string& templateText) const;
  // Why the AI may not draft this reply, for the log; nothing when it may.
  std::optional<std::string> aiRefusal(const store::EmailMessage& message) const;
  double now() const;
  // The inbox messages stored now (ids).
  std::set<std::string> storedInboxMessages();

  store::EmailStore& store_;
  UserPreferences& preferences_;
  Sender sender_;
  AutomaticCheck isAutomatic_;
  Clock clock_;
  mutable store::AutoReplyLog log_;
  double startedAt_ = 0;
  std::set<std::string> processedMessageIds_;
  // The inbox as it was when answering was switched on for this run: only messages that
  // came after count as received. Empty while the switch is off.
  std::optional<std::set<std::string>> baseline_;
  std::set<std::string> ownAddresses_;     // lower-case
};

}  // namespace kestrova::app
