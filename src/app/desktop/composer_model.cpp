#include "app/desktop/composer_model.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <QTimer>
#include <algorithm>
#include <filesystem>

#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/folder_lookup.h"
#include "app/core/mailbox/message_context.h"
#include "app/core/service/email_scheduled_send_service.h"
#include "app/core/user_preferences.h"
#include "app/core/writing/email_signature_service.h"
#include "app/core/writing/message_composition.h"
#include "app/core/writing/reply_composer.h"
#include "platform/content_type.h"
#include "platform/settings_store.h"
#include "store/contact_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "store/scheduled_message.h"
#include "store/template_store.h"
#include "util/error.h"
#include "util/file.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::app::desktop {

namespace {

constexpr std::string_view kComponent = "Composer";
constexpr uint64_t kMegabyte = 1024 * 1024;

// Recipient entries of a typed field: split at commas and semicolons outside quotes and
// angle brackets ("Doe, Ann" <ann@example.org> is one entry); blank entries dropped.
std::vector<std::string> entries_of(std::string_view typed) {
  std::vector<std::string> out;
  std::string current;
  bool quoted = false, angled = false;
  const auto flush = [&] {
    if (auto entry = text::trim(current); !entry.empty()) out.push_back(std::move(entry));
    current.clear();
  };
  for (size_t i = 0; i < typed.size(); ++i) {
    const char c = typed[i];
    if (c == '\\' && quoted && i + 1 < typed.size()) {
      current += c;
      current += typed[++i];
      continue;
    }
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '<') angled = true;
    if (!quoted && c == '>') angled = false;
    if (!quoted && !angled && (c == ',' || c == ';')) {
      flush();
      continue;
    }
    current += c;
  }
  flush();
  return out;
}

std::string joined(const std::vector<std::string>& entries) {
  std::string out;
  for (const auto& entry : entries) out += (out.empty() ? "" : ", ") + entry;
  return out;
}

std::string joined(const std::vector<store::EmailContact>& contacts) {
  std::string out;
  for (const auto& contact : contacts)
    if (auto text = recipient_text(contact)) out += (out.empty() ? "" : ", ") + *text;
  return out;
}

// Where the last entry of a typed field starts.
size_t last_entry_start(std::string_view typed) {
  bool quoted = false;
  size_t start = 0;
  for (size_t i = 0; i < typed.size(); ++i) {
    if (typed[i] == '"') quoted = !quoted;
    if (!quoted && (typed[i] == ',' || typed[i] == ';')) start = i + 1;
  }
  return start;
}

// Takes the plain form of a signature (and the line breaks that set it apart above it) out
// of a body.
void erase_signature_text(std::string& body, const std::string& signature) {
  if (signature.empty()) return;
  const size_t at = body.find(signature);
  if (at == std::string::npos) return;
  size_t from = at;
  while (from > 0 && body[from - 1] == '\n' && at - from < 2) --from;
  body.erase(from, at + signature.size() - from);
}

// HTML without its line breaks and white space: two bodies that differ only there say the
// same.
std::string layout_free(std::string html) {
  for (size_t at; (at = html.find("<br>")) != std::string::npos;) html.erase(at, 4);
  std::erase_if(html, [](char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; });
  return html;
}

}  // namespace

ComposerModel::ComposerModel(UserPreferences& preferences)
    : preferences_(preferences), book_(std::make_unique<AccountBook>()) {
  draftTimer_ = std::make_unique<QTimer>();
  draftTimer_->setSingleShot(true);
  draftTimer_->setInterval(kDraftPauseMilliseconds);
  QObject::connect(draftTimer_.get(), &QTimer::timeout, [this] { save_draft(); });
  countdown_ = std::make_unique<QTimer>();
  countdown_->setInterval(1000);
  QObject::connect(countdown_.get(), &QTimer::timeout, [this] { tick(); });
}

ComposerModel::~ComposerModel() { *alive_ = false; }

// ---- Starting ----

void ComposerModel::start_new(const std::string& accountId) {
  kind_ = Kind::newMessage;
  start_from(accountId.empty() ? book_->defaultAccount() : book_->find(accountId), {}, false);
}

void ComposerModel::start_answer(const std::string& messageId, AnswerKind kind) {
  auto original = context_for(messageId);
  kind_ = kind == AnswerKind::reply      ? Kind::reply
          : kind == AnswerKind::replyAll ? Kind::replyAll
                                         : Kind::forward;
  replyingTo_ = original->message.id;
  const bool download = answer_needs_download(*original, kind);
  ComposedMessage message =
      download ? answer_headers(*original, kind) : compose_answer(*original, kind);
  add_attachments(std::move(message.attachments));
  message.attachments.clear();
  start_from(original->account, std::move(message), kind != AnswerKind::forward);
  if (download) load_quote(original->message.id, kind);
}

// The original's body (and a forward's attachments) downloaded on the thread pool, as every
// network wait of the window is; the answer is composed there again by the same core code and
// only its quote taken. The user writes meanwhile.
void ComposerModel::load_quote(const std::string& messageId, AnswerKind kind) {
  quote_ = Quote::loading;
  quoteError_.clear();
  std::weak_ptr<bool> alive = alive_;
  QThreadPool::globalInstance()->start([this, alive, messageId, kind] {
    auto answer = std::make_shared<ComposedMessage>();
    std::string error;
    try {
      auto original = context_for(messageId);
      *answer = compose_answer(*original, kind);
    } catch (const std::exception& e) {
      error = e.what();
      log_line("❌", kComponent, "原邮件加载失败: " + escaped_log_value(error));
    }
    QMetaObject::invokeMethod(
        qApp,
        [this, alive, answer, error] {
          if (!alive.lock()) return;
          std::string arrived;
          if (error.empty()) {
            collect();
            arrived = std::move(answer->body);
            body_ += arrived;
            add_attachments(std::move(answer->attachments));
            quote_ = Quote::ready;
            edited();
          } else {
            quoteError_ = error;
            quote_ = Quote::failed;
          }
          if (onQuoteChanged) onQuoteChanged(arrived);
        },
        Qt::QueuedConnection);
  });
}

void ComposerModel::add_attachments(std::vector<mail::OutgoingAttachment> attachments) {
  for (auto& a : attachments)
    attachments_.push_back({a.filename.value_or("attachment"),
                            a.mimeType.value_or("application/octet-stream"),
                            std::move(a.data).value_or("")});
}

void ComposerModel::start_from(const store::EmailAccount& account, ComposedMessage message,
                               bool isReply) {
  account_ = account;
  to = joined(message.to);
  cc = joined(message.cc);
  bcc = joined(message.bcc);
  subject = message.subject;
  body_ = std::move(message.body);
  htmlBody_ = std::move(message.htmlBody);
  inReplyTo_ = message.inReplyTo;
  references_ = message.references;
  put_signature(default_signature(book_->store().database(), preferences_, account_.id, isReply));
  dirty_ = false;
}

void ComposerModel::open_draft(const std::string& draftId) {
  const auto found = find_message(book_->store(), draftId);
  auto draft = book_->store().loadDraft(found.id);
  if (!draft) throw Error(localized_format("draft.not_draft", draftId));
  kind_ = Kind::draft;
  account_ = book_->find(draft->accountId);
  draftId_ = draft->id;
  to = joined(draft->to);
  cc = joined(draft->cc);
  bcc = joined(draft->bcc);
  subject = draft->subject;
  body_ = draft->textBody.value_or("");
  htmlBody_ = draft->htmlBody;
  inReplyTo_ = draft->inReplyTo;
  if (inReplyTo_) references_ = {*inReplyTo_};
  take_signature_from_draft();
  dirty_ = false;
}

void ComposerModel::open_scheduled(const std::string& scheduledId) {
  const auto row = store::ScheduledMessageStore(book_->store().database()).get(scheduledId);
  if (!row) throw Error(localized_format("desktop.scheduled.gone", scheduledId));
  kind_ = Kind::scheduled;
  account_ = book_->find(row->accountId);
  scheduledId_ = row->id;
  to = joined(row->to);
  cc = joined(row->cc);
  bcc = joined(row->bcc);
  subject = row->subject;
  body_ = row->body;
  htmlBody_ = row->htmlBody;
  inReplyTo_ = row->inReplyTo;
  references_ = row->references;
  for (const auto& a : row->attachments) {
    auto data = read_file(a.path);
    if (!data) throw Error(localized_format("send.error.attachment_read", a.filename));
    attachments_.push_back({a.filename, a.mimeType, std::move(*data)});
  }
  dirty_ = false;
}

// ---- Fields ----

const std::vector<store::EmailAccount>& ComposerModel::accounts() const {
  return book_->accounts();
}

std::string ComposerModel::from_text(const store::EmailAccount& account) {
  if (account.displayName.empty()) return account.emailAddress;
  return account.displayName + " <" + account.emailAddress + ">";
}

void ComposerModel::set_account(const std::string& accountId) {
  collect();
  account_ = book_->find(accountId);
  const bool isReply = kind_ == Kind::reply || kind_ == Kind::replyAll;
  put_signature(default_signature(book_->store().database(), preferences_, account_.id, isReply));
  edited();
}

void ComposerModel::set_body(std::string plain, std::optional<std::string> html) {
  body_ = std::move(plain);
  htmlBody_ = std::move(html);
}

std::vector<std::string> ComposerModel::completions(std::string_view typed, size_t limit) {
  const std::string last = text::trim(typed.substr(last_entry_start(typed)));
  if (last.empty()) return {};
  if (!contacts_) contacts_ = std::make_unique<store::ContactStore>(book_->store().database());
  std::vector<std::string> out;
  for (const auto& contact : contacts_->search(last)) {
    if (out.size() >= limit) break;
    if (auto entry = recipient_text({contact.name, contact.email})) out.push_back(*entry);
  }
  return out;
}

std::string ComposerModel::complete(std::string_view typed, std::string_view completion) {
  const size_t start = last_entry_start(typed);
  std::string head = text::trim(typed.substr(0, start));
  return head + (head.empty() ? "" : " ") + std::string(completion) + ", ";
}

void ComposerModel::attach_file(const std::string& path) {
  auto data = read_file(path);
  if (!data) throw Error(localized_format("cli.file.unreadable", path));
  const std::string name = std::filesystem::path(path).filename().string();
  std::string type = platform::guess_mime_type(name, *data);
  attachments_.push_back({name, std::move(type), std::move(*data)});
  edited();
}

void ComposerModel::remove_attachment(size_t index) {
  if (index >= attachments_.size()) return;
  attachments_.erase(attachments_.begin() + static_cast<std::ptrdiff_t>(index));
  edited();
}

uint64_t ComposerModel::attachments_wire_size() const {
  uint64_t bytes = 0;
  for (const auto& a : attachments_) bytes += (a.data.size() + 2) / 3 * 4;
  return bytes;
}

uint64_t ComposerModel::size_limit(store::EmailServiceType provider) {
  using T = store::EmailServiceType;
  switch (provider) {
    case T::gmail:
    case T::yahoo:
    case T::aol:
      return 25 * kMegabyte;
    case T::outlook:
    case T::icloud:
    case T::exchange:
      return 20 * kMegabyte;
    case T::mail163:
    case T::qq:
    case T::tencent:
    case T::aliyun:
      return 50 * kMegabyte;
    case T::custom:
      return 25 * kMegabyte;
  }
  return 25 * kMegabyte;
}

std::optional<std::string> ComposerModel::size_warning() const {
  const uint64_t limit = size_limit(account_.serviceType);
  const uint64_t size = attachments_wire_size();
  if (size <= limit) return std::nullopt;
  return localized_format("desktop.composer.too_large", static_cast<int64_t>(size / kMegabyte + 1),
                          static_cast<int64_t>(limit / kMegabyte));
}

std::vector<store::EmailTemplate> ComposerModel::templates() {
  store::TemplateStore store(book_->store().database());
  return store.templates();
}

void ComposerModel::apply_template(const std::string& templateId) {
  collect();
  store::TemplateStore store(book_->store().database());
  const auto& all = store.templates();
  const auto chosen = std::find_if(
      all.begin(), all.end(), [&](const store::EmailTemplate& t) { return t.id == templateId; });
  if (chosen == all.end()) return;
  if (text::trim(subject).empty()) subject = chosen->subject;
  // Above the quote and the signature, where the user writes.
  auto [head, tail] = EmailSignatureService::splitAtQuote(body_);
  std::string text = chosen->body;
  const std::string trimmedHead = text::trim(head);
  if (!signatureText_.empty() && trimmedHead.starts_with(text::trim(signatureText_)))
    body_ = text + "\n" + body_;
  else
    body_ = (trimmedHead.empty() ? text : trimmedHead + "\n\n" + text) +
            body_.substr(std::min(body_.size(), head.size()));
  if (htmlBody_) htmlBody_.reset();  // the plain text holds the whole message again
  if (!signatureText_.empty() && body_.find(signatureText_) == std::string::npos)
    put_signature(signature_);
  store.record_use(templateId);
  edited();
}

std::vector<store::EmailSignature> ComposerModel::signatures() const {
  return EmailSignatureService(book_->store().database()).signatures(account_.id);
}

void ComposerModel::choose_signature(const std::string& signatureId) {
  collect();
  std::optional<store::EmailSignature> chosen;
  if (!signatureId.empty())
    chosen = EmailSignatureService(book_->store().database()).signature(signatureId);
  put_signature(chosen);
  edited();
}

void ComposerModel::put_signature(std::optional<store::EmailSignature> signature) {
  // The signature put in before leaves first.
  erase_signature_text(body_, signatureText_);
  if (htmlBody_ && EmailSignatureService::containsAnyBlock(*htmlBody_))
    htmlBody_ = EmailSignatureService::removeAllBlocks(*htmlBody_);
  signature_ = std::move(signature);
  signatureText_.clear();
  signatureHtml_.clear();
  if (!signature_) return;
  EmailSignatureService service(book_->store().database());
  if (signature_->isHtml) {
    // Kept apart: an editor would lose its markers and much of its markup.
    signatureHtml_ = service.render(*signature_, account_);
    return;
  }
  signatureText_ = service.plainText(*signature_, account_);
  auto bodies = service.apply(*signature_, account_, body_, htmlBody_, true);
  body_ = std::move(bodies.plain);
  htmlBody_ = std::move(bodies.html);
  // Room above the signature for the user's text, where the cursor starts.
  if (body_.starts_with(text::trim(signatureText_))) body_.insert(0, "\n\n");
}

void ComposerModel::forget_signature() {
  if (!signature_ || !signature_->isHtml) return;
  signature_.reset();
  signatureHtml_.clear();
}

void ComposerModel::sign(ComposedMessage& message) const {
  if (signature_ && signature_->isHtml)
    sign_message(book_->store().database(), *signature_, account_, message);
}

// A draft saved with an HTML signature holds it between markers: the signature is taken out
// of both bodies again and put back in when the draft is saved or sent, so that it never
// passes through the editor.
void ComposerModel::take_signature_from_draft() {
  if (!htmlBody_ || !EmailSignatureService::containsAnyBlock(*htmlBody_)) return;
  EmailSignatureService service(book_->store().database());
  std::optional<store::EmailSignature> found;
  for (const auto& s : service.signatures(account_.id))
    if (s.isHtml && EmailSignatureService::containsBlock(*htmlBody_, s.id)) found = s;
  if (!found) return;
  erase_signature_text(body_, service.plainText(*found, account_));
  // The HTML body made from the plain one when the signature went in carries nothing of its
  // own: the plain body stands for it again.
  const std::string withoutBlock = EmailSignatureService::removeAllBlocks(*htmlBody_);
  const auto remade = service.apply(*found, account_, body_, std::nullopt, false).html;
  if (remade &&
      layout_free(EmailSignatureService::removeAllBlocks(*remade)) == layout_free(withoutBlock))
    htmlBody_.reset();
  else
    htmlBody_ = withoutBlock;
  signature_ = std::move(found);
  signatureHtml_ = service.render(*signature_, account_);
}

ComposedMessage ComposerModel::composed() const {
  ComposedMessage m;
  m.to = entries_of(to);
  m.cc = entries_of(cc);
  m.bcc = entries_of(bcc);
  m.subject = text::trim(subject);
  m.body = body_;
  m.htmlBody = htmlBody_;
  m.inReplyTo = inReplyTo_;
  m.references = references_;
  for (const auto& a : attachments_) m.attachments.push_back({a.data, a.name, a.mimeType});
  validate_recipients(m);
  sign(m);
  return m;
}

// ---- Drafts ----

void ComposerModel::edited() {
  if (state_ != State::editing) return;
  dirty_ = true;
  draftTimer_->start();
}

bool ComposerModel::draft_pending() const { return draftTimer_->isActive(); }

void ComposerModel::collect() {
  if (onCollect) onCollect();
}

bool ComposerModel::save_draft() {
  draftTimer_->stop();
  collect();
  if (!dirty_) return true;
  // Recipients are whatever the user typed so far: an unfinished address is no reason to
  // lose the text, so entries that are not addresses are left out of the draft.
  ComposedMessage m;
  for (auto [field, list] : {std::pair{&to, &m.to}, {&cc, &m.cc}, {&bcc, &m.bcc}})
    for (auto& entry : entries_of(*field))
      if (!contacts_of({entry}).empty()) list->push_back(std::move(entry));
  m.subject = subject;
  m.body = body_;
  m.htmlBody = htmlBody_;
  m.inReplyTo = inReplyTo_;
  try {
    sign(m);
    draftId_ = save_composed_as_draft(account_, m, book_->store(), draftId_);
    dirty_ = false;
    return true;
  } catch (const std::exception& e) {
    log_line("❌", kComponent, "保存草稿失败: " + escaped_log_value(e.what()));
    return false;
  }
}

// ---- Sending ----

void ComposerModel::set_state(State state) {
  state_ = state;
  if (onStateChanged) onStateChanged();
}

void ComposerModel::send() {
  collect();
  refuse_while_quote_loads();
  composed();  // throws for bad recipients before anything else happens
  error_.clear();
  draftTimer_->stop();
  const int64_t delay = preferences_.get(settings::undoSendDelaySeconds);
  if (!preferences_.get(settings::undoSendEnabled) || delay <= 0) return deliver();
  // Held: the draft keeps the message until it is gone, whatever happens to the window.
  save_draft();
  remaining_ = static_cast<int>(delay);
  countdown_->start();
  set_state(State::counting);
}

// An answer sent before its quote arrived would go without it, unnoticed.
void ComposerModel::refuse_while_quote_loads() const {
  if (quote_ == Quote::loading) throw Error(localized("desktop.composer.wait_for_quote"));
}

void ComposerModel::tick() {
  if (state_ != State::counting) return countdown_->stop();
  if (--remaining_ > 0) {
    if (onStateChanged) onStateChanged();
    return;
  }
  deliver();
}

void ComposerModel::undo() {
  if (state_ != State::counting) return;
  countdown_->stop();
  remaining_ = 0;
  set_state(State::editing);
}

void ComposerModel::send_now() {
  if (state_ == State::counting) deliver();
}

void ComposerModel::deliver() {
  countdown_->stop();
  remaining_ = 0;
  ComposedMessage message;
  try {
    message = composed();
  } catch (const std::exception& e) {
    error_ = e.what();
    return set_state(State::editing);
  }
  set_state(State::sending);
  // The send blocks on the network: on the thread pool, with a store of its own. The draft
  // goes once the message is gone; on failure it keeps the message.
  std::weak_ptr<bool> alive = alive_;
  QThreadPool::globalInstance()->start([this, alive, account = account_,
                                        message = std::move(message), draftId = draftId_,
                                        scheduledId = scheduledId_] {
    std::string error;
    try {
      AccountBook book;
      send_composed(account, message, book.store());
      if (!draftId.empty()) discard_draft(book.store(), draftId);
      if (!scheduledId.empty())
        EmailScheduledSendService::cancel(book.store().database(), scheduledId);
    } catch (const std::exception& e) {
      error = e.what();
      log_line("❌", kComponent, "发送失败: " + escaped_log_value(error));
    }
    QMetaObject::invokeMethod(
        qApp,
        [this, alive, error] {
          if (!alive.lock()) return;
          if (error.empty()) {
            draftId_.clear();
            scheduledId_.clear();
            return set_state(State::sent);
          }
          // Kept: the draft holds the message while the user decides what to do.
          error_ = error;
          dirty_ = true;
          state_ = State::editing;
          save_draft();
          set_state(State::editing);
        },
        Qt::QueuedConnection);
  });
}

void ComposerModel::schedule(double at) {
  collect();
  refuse_while_quote_loads();
  ComposedMessage message = composed();
  draftTimer_->stop();
  EmailScheduledSendService::schedule(book_->store().database(), account_.id, message, at);
  replace_scheduled();
  if (!draftId_.empty()) discard_draft(book_->store(), draftId_);
  draftId_.clear();
  set_state(State::scheduled);
}

void ComposerModel::replace_scheduled() {
  if (scheduledId_.empty()) return;
  EmailScheduledSendService::cancel(book_->store().database(), scheduledId_);
  scheduledId_.clear();
}

void ComposerModel::close() {
  switch (state_) {
    case State::counting:
      // Kept, not sent: the draft written when Send was pressed holds it.
      countdown_->stop();
      dirty_ = true;
      state_ = State::editing;
      save_draft();
      log_line("⚠️", kComponent, "窗口在撤销倒计时中关闭，邮件已保存为草稿，未发送");
      break;
    case State::editing:
      save_draft();
      break;
    case State::sending:
    case State::sent:
    case State::scheduled:
    case State::closed:
      break;
  }
  draftTimer_->stop();
  if (state_ == State::editing) state_ = State::closed;
}

}  // namespace kestrova::app::desktop
