#include "app/core/writing/reply_composer.h"

#include <ctime>
#include <set>

#include "app/core/writing/email_signature_service.h"
#include "mail/mail_address.h"
#include "mail/outgoing_message.h"
#include "util/localization.h"
#include "util/text.h"

namespace kestrova::app {

namespace {

// Header values taken from a received message are cut to this many characters: enough
// for any real subject, and a hostile one cannot make a header line of a megabyte.
constexpr size_t kHeaderTextLimit = 500;
// References keeps the first msg-id of the thread and the latest ones (RFC 5322 §3.6.4
// lets a long list be shortened).
constexpr size_t kReferencesLimit = 20;

std::string header_text(std::string_view text) {
  return text::trim(mail::single_line(text::prefix_characters(text, kHeaderTextLimit)));
}

bool starts_with_ci(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && text::equals_ci(text.substr(0, prefix.size()), prefix);
}

std::string contact_line(const store::EmailContact& contact) {
  const std::string address = header_text(contact.email);
  if (!contact.name || text::trim(*contact.name).empty()) return address;
  return header_text(*contact.name) + " <" + address + ">";
}

std::string contacts_line(const std::vector<store::EmailContact>& contacts) {
  std::string out;
  for (const auto& contact : contacts) out += (out.empty() ? "" : ", ") + contact_line(contact);
  return out;
}

std::string local_date(double seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  localtime_r(&t, &local);
  char buffer[32];
  return std::string(buffer, strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M", &local));
}

std::string quote_lines(std::string_view text) {
  std::string out;
  size_t at = 0;
  while (at <= text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(at, end - at);
    if (line.ends_with('\r')) line.remove_suffix(1);
    out += line.empty() ? ">\n" : "> " + std::string(line) + "\n";
    at = end + 1;
  }
  while (out.ends_with(">\n") && out.size() > 2 && out[out.size() - 3] == '\n')
    out.resize(out.size() - 2);
  return out;
}

// Adds each contact not yet in `seen` (and not one of the user's own) to `list`.
void add_recipients(std::vector<std::string>& list,
                    const std::vector<store::EmailContact>& contacts, std::set<std::string>& seen) {
  for (const auto& contact : contacts) {
    auto recipient = recipient_text(contact);
    if (!recipient || !seen.insert(text::lower(contact.email)).second) continue;
    list.push_back(std::move(*recipient));
  }
}

}  // namespace

std::string reply_subject(std::string_view subject) {
  const std::string clean = header_text(subject);
  if (starts_with_ci(clean, "re:")) return clean;
  return "Re: " + clean;
}

std::string forward_subject(std::string_view subject) {
  const std::string clean = header_text(subject);
  if (starts_with_ci(clean, "fwd:") || starts_with_ci(clean, "fw:")) return clean;
  return "Fwd: " + clean;
}

std::optional<std::string> recipient_text(const store::EmailContact& contact) {
  const std::string address = text::trim(contact.email);
  if (!mail::is_valid_addr_spec(address)) return std::nullopt;
  const std::string name = contact.name ? header_text(*contact.name) : "";
  if (name.empty()) return address;
  std::string quoted_name = "\"";
  for (char c : name) {
    if (c == '"' || c == '\\') quoted_name.push_back('\\');
    quoted_name.push_back(c);
  }
  return quoted_name + "\" <" + address + ">";
}

std::vector<store::EmailContact> contacts_of(const std::vector<std::string>& entries) {
  std::vector<store::EmailContact> out;
  for (const auto& entry : entries)
    if (auto mailbox = mail::parse_mailbox(entry))
      out.push_back(
          {mailbox->name.empty() ? std::nullopt : std::optional(mailbox->name), mailbox->address});
  return out;
}

std::string quotable_text(const store::EmailMessage& message) {
  std::string text;
  if (message.textBody && !text::trim(*message.textBody).empty())
    text = *message.textBody;
  else if (message.htmlBody)
    text = EmailSignatureService::htmlToPlainText(*message.htmlBody);
  else
    text = message.preview;
  if (text.size() > kQuoteLimit) {
    size_t cut = kQuoteLimit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
      --cut;  // UTF-8 boundary
    text.resize(cut);
  }
  return text;
}

ComposedMessage compose_reply(const store::EmailMessage& original,
                              const std::vector<std::string>& ownAddresses, bool all) {
  std::set<std::string> seen;
  for (const auto& own : ownAddresses) seen.insert(text::lower(own));
  const bool fromMe = seen.contains(text::lower(original.from.email));

  ComposedMessage reply;
  if (fromMe)
    add_recipients(reply.to, original.to, seen);
  else if (!original.replyTo.empty())
    add_recipients(reply.to, original.replyTo, seen);
  else
    add_recipients(reply.to, {original.from}, seen);
  if (all) {
    add_recipients(reply.to.empty() ? reply.to : reply.cc, original.to, seen);
    add_recipients(reply.cc, original.cc, seen);
  }
  reply.subject = reply_subject(original.subject);

  const std::string attribution =
      localized_format("reply.attribution", local_date(original.date), contact_line(original.from));
  reply.body = "\n\n" + attribution + "\n" + quote_lines(quotable_text(original));

  if (original.messageId) {
    if (auto id = mail::valid_message_id(*original.messageId)) {
      reply.inReplyTo = *id;
      std::vector<std::string> chain;
      if (original.inReplyTo) chain = mail::message_ids_in(*original.inReplyTo);
      chain.push_back(*id);
      if (chain.size() > kReferencesLimit) {
        std::vector<std::string> shortened{chain.front()};
        shortened.insert(shortened.end(), chain.end() - (kReferencesLimit - 1), chain.end());
        chain = std::move(shortened);
      }
      reply.references = std::move(chain);
    }
  }
  return reply;
}

ComposedMessage compose_forward(const store::EmailMessage& original) {
  ComposedMessage forward;
  forward.subject = forward_subject(original.subject);
  std::string block = "\n\n" + localized("forward.header") + "\n";
  block += "From: " + contact_line(original.from) + "\n";
  block += "Date: " + local_date(original.date) + "\n";
  block += "Subject: " + header_text(original.subject) + "\n";
  if (!original.to.empty()) block += "To: " + contacts_line(original.to) + "\n";
  if (!original.cc.empty()) block += "Cc: " + contacts_line(original.cc) + "\n";
  forward.body = block + "\n" + quotable_text(original);
  return forward;
}

void put_text_above_quote(ComposedMessage& message, std::string_view text) {
  message.body = text::trim(text) + message.body;
}

}  // namespace kestrova::app
