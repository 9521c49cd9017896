#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/writing/message_composition.h"
#include "app/core/writing/message_sender.h"
#include "store/email_account.h"
#include "store/email_signature.h"
#include "store/email_template.h"

class QTimer;

namespace kestrova::store {
class ContactStore;
}

namespace kestrova::app {
class AccountBook;
class UserPreferences;
}  // namespace kestrova::app

namespace kestrova::app::desktop {

// A file the user attached, read when it was added (a later change of the file on disk does
// not change the message).
struct ComposerAttachment {
  std::string name;
  std::string mimeType;
  std::string data;
};

// What the composer window shows and does, without widgets: a new message, a reply, reply
// all or forward composed by the same code as `kestrova reply` and `forward`, the From
// account, recipients with completion from the address book, subject, body, attachments,
// templates and signatures; drafts saved while the user types (a pause of
// kDraftPauseMilliseconds after the last change), marked for upload as every draft is; and
// sending, held for the undo delay with a countdown, or scheduled for later.
//
// Works on the user's database (EmailDatabase::shared(), the one the window shows) through
// an account book. Main thread only; the send itself runs on the thread pool and reports
// back on the main thread, so the model may go away while it runs.
//
// Closing while the countdown runs keeps the message as a draft and sends nothing: the user
// did not see it go, and nothing may leave that could no longer be taken back.
class ComposerModel {
 public:
  enum class Kind { newMessage, reply, replyAll, forward, draft, scheduled };
  enum class State {
    editing,    // the user writes
    counting,   // Send was pressed: held for the undo delay
    sending,    // handed to the SMTP server
    sent,       // gone; the window may close
    scheduled,  // in the scheduled queue; the window may close
    closed,     // closed without sending (kept as a draft when there was anything)
  };
  static constexpr int kDraftPauseMilliseconds = 1500;

  // Throws when the user's database cannot be opened.
  explicit ComposerModel(UserPreferences& preferences);
  ~ComposerModel();
  ComposerModel(const ComposerModel&) = delete;
  ComposerModel& operator=(const ComposerModel&) = delete;

  // ---- Starting (each throws an Error saying why it cannot) ----
  // A new message from `accountId`, else from the default account, with its signature.
  void start_new(const std::string& accountId = {});
  // An answer to the stored message `messageId` (an id prefix is fine). When its body (or a
  // forward's attachments) is not stored yet, the answer starts with its recipients, subject
  // and signature, and the quote follows once the thread pool has downloaded the original:
  // quote() says how far that is, onQuoteChanged tells when it changed.
  void start_answer(const std::string& messageId, AnswerKind kind);
  // A stored draft, saved again under its own id.
  void open_draft(const std::string& draftId);
  // A message of the scheduled queue: sending or scheduling it again replaces the queued one
  // (which stays queued until then).
  void open_scheduled(const std::string& scheduledId);

  Kind kind() const { return kind_; }
  enum class Quote {
    ready,    // in the body (or there is none)
    loading,  // the original is being downloaded
    failed,   // it could not be had: quote_error() says why; the answer goes without it
  };
  Quote quote() const { return quote_; }
  const std::string& quote_error() const { return quoteError_; }
  // Called on the main thread when the quote arrived or failed. The arrived text (and a
  // forward's attachments) has been added at the end of body() by then; the window adds it
  // after what it shows.
  std::function<void(const std::string& arrived)> onQuoteChanged;
  // The message being answered (its stored id), for a reply, reply all or forward.
  const std::optional<std::string>& replying_to() const { return replyingTo_; }

  // ---- Fields ----
  const std::vector<store::EmailAccount>& accounts() const;
  const store::EmailAccount& account() const { return account_; }
  // Another From account: the signature of the old account leaves, the new one's comes in.
  void set_account(const std::string& accountId);
  // "Name <address>" of an account, as the From field shows it.
  static std::string from_text(const store::EmailAccount& account);

  // Recipients as typed: entries separated by commas or semicolons.
  std::string to, cc, bcc;
  std::string subject;
  const std::string& body() const { return body_; }
  // The HTML body, when the message has formatting (an HTML signature, or bold text).
  const std::optional<std::string>& html_body() const { return htmlBody_; }
  void set_body(std::string plain, std::optional<std::string> html = std::nullopt);

  // Address-book entries whose address or name contains the last entry of `typed`, most
  // used first, at most `limit`, each as "Name" <address>.
  std::vector<std::string> completions(std::string_view typed, size_t limit = 8);
  // `typed` with its last entry replaced by `completion` and a separator after it.
  static std::string complete(std::string_view typed, std::string_view completion);

  const std::vector<ComposerAttachment>& attachments() const { return attachments_; }
  // Reads the file and attaches it; throws an Error naming it when it cannot be read.
  void attach_file(const std::string& path);
  void remove_attachment(size_t index);
  // The size the attachments add to the message (base64: four bytes for every three).
  uint64_t attachments_wire_size() const;
  // The largest message the account's provider takes (a generous default for others).
  static uint64_t size_limit(store::EmailServiceType provider);
  // The warning shown while the attachments are over the provider's limit.
  std::optional<std::string> size_warning() const;

  std::vector<store::EmailTemplate> templates();
  // Puts the template's text at the cursor's place in the body (above any quote) and its
  // subject into an empty subject; counts one use of it.
  void apply_template(const std::string& templateId);

  std::vector<store::EmailSignature> signatures() const;
  // The signature of the message now (the account's default at start), if any. A plain one
  // is in body(); an HTML one stays out of body() and html_body() and is put into the
  // message, between its markers, when it is composed or saved, as the command line does.
  const std::optional<store::EmailSignature>& signature() const { return signature_; }
  // The HTML signature rendered for the account (unmarked, unsanitised), for the editor to
  // show; empty for none or a plain one.
  const std::string& signature_html() const { return signatureHtml_; }
  // Replaces the signature in the body with `signatureId`'s, or removes it (empty id).
  void choose_signature(const std::string& signatureId);
  // The editor no longer shows the HTML signature (the user deleted it): none goes out.
  void forget_signature();

  // The message as it would go out now; throws an Error for a bad recipient or none.
  ComposedMessage composed() const;

  // ---- Drafts ----
  // Called on every change the user makes: the draft is saved once the typing pauses.
  void edited();
  // Saves the draft now (when anything changed since the last save); false when that failed.
  bool save_draft();
  bool draft_pending() const;
  const std::string& draft_id() const { return draftId_; }
  // Called before a save or a send to read the editor into the model (set by the window).
  std::function<void()> onCollect;

  // ---- Sending ----
  State state() const { return state_; }
  // Checks the recipients (throws an Error; so does an answer whose quote is still loading)
  // and sends: after the undo delay when
  // `undoSendEnabled` is on and the delay is above zero, else at once.
  void send();
  int remaining_seconds() const { return remaining_; }
  // Takes the held message back: nothing is sent, the draft keeps it, the user writes on.
  void undo();
  // Sends the held message without waiting for the rest of the countdown.
  void send_now();
  // Puts the message into the scheduled queue for `at` (seconds since 1970) and discards
  // the draft. Throws an Error for bad recipients or when it cannot be stored.
  void schedule(double at);
  // The window goes away: a held message is kept as a draft and not sent; changes not yet
  // saved are saved.
  void close();
  // The SMTP server's or the account's refusal of the last send, if any.
  const std::string& error() const { return error_; }
  // Called after every change of state() or remaining_seconds() (main thread).
  std::function<void()> onStateChanged;

 private:
  void start_from(const store::EmailAccount& account, ComposedMessage message, bool isReply);
  void load_quote(const std::string& messageId, AnswerKind kind);
  void add_attachments(std::vector<mail::OutgoingAttachment> attachments);
  // The message with an HTML signature put in as the command line puts it.
  void sign(ComposedMessage& message) const;
  void take_signature_from_draft();
  void refuse_while_quote_loads() const;
  void put_signature(std::optional<store::EmailSignature> signature);
  void collect();
  void set_state(State state);
  void tick();
  void deliver();
  void replace_scheduled();

  UserPreferences& preferences_;
  std::unique_ptr<AccountBook> book_;
  std::unique_ptr<store::ContactStore> contacts_;
  Kind kind_ = Kind::newMessage;
  store::EmailAccount account_;
  std::optional<std::string> replyingTo_;
  std::optional<std::string> inReplyTo_;
  std::vector<std::string> references_;
  std::string body_;
  std::optional<std::string> htmlBody_;
  std::vector<ComposerAttachment> attachments_;
  std::optional<store::EmailSignature> signature_;
  std::string signatureText_;  // the plain form put into the body
  std::string signatureHtml_;  // an HTML signature rendered, kept out of the bodies
  Quote quote_ = Quote::ready;
  std::string quoteError_;
  std::string draftId_;
  std::string scheduledId_;  // the queued message this one replaces
  bool dirty_ = false;
  State state_ = State::editing;
  int remaining_ = 0;
  std::string error_;
  std::unique_ptr<QTimer> draftTimer_;
  std::unique_ptr<QTimer> countdown_;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kestrova::app::desktop
