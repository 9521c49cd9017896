#include "mail/mail_address.h"

#include "mail/outgoing_message.h"
#include "util/text.h"

namespace kestrova::mail {

namespace {

// RFC 5322 §3.2.3 atext, plus any byte of a UTF-8 sequence (RFC 6532 §3.2).
bool is_atext(unsigned char c) {
  if (c >= 0x80) return true;
  if (c >= 'a' && c <= 'z') return true;
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::string_view("!#$%&'*+-/=?^_`{|}~").find(static_cast<char>(c)) !=
         std::string_view::npos;
}

bool is_dot_atom(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  char previous = 0;
  for (char c : text) {
    if (c == '.') {
      if (previous == '.') return false;
    } else if (!is_atext(static_cast<unsigned char>(c))) {
      return false;
    }
    previous = c;
  }
  return true;
}

// RFC 5322 §3.2.4: printable ASCII (and UTF-8) except '"' and '\', which must be escaped.
bool is_quoted_string(std::string_view text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return false;
  for (size_t i = 1; i + 1 < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\\') {
      if (i + 2 >= text.size()) return false;
      const auto escaped = static_cast<unsigned char>(text[++i]);
      if (escaped < 0x20 || escaped == 0x7F) return false;
      continue;
    }
    if (c == '"' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

// RFC 5322 §3.4.1 domain-literal: "[" dtext "]", dtext being printable ASCII but "[", "]", "\".
bool is_domain_literal(std::string_view text) {
  if (text.size() < 3 || text.front() != '[' || text.back() != ']') return false;
  for (char c : text.substr(1, text.size() - 2)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '[' || c == ']' || c == '\\') return false;
  }
  return true;
}

bool is_ascii(std::string_view text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// RFC 5322 §3.2.3 specials: a name holding one of them must be quoted.
bool needs_quoting(std::string_view name) {
  return name.find_first_of("()<>[]:;@\\,.\"") != std::string_view::npos;
}

// RFC 5322 §3.2.5 phrase (with obs-phrase's periods): atoms separated by spaces.
bool is_phrase(std::string_view text) {
  for (char c : text)
    if (c != ' ' && c != '.' && !is_atext(static_cast<unsigned char>(c))) return false;
  return true;
}

}  // namespace

bool is_valid_addr_spec(std::string_view address) {
  if (address.empty() || address.size() > kMaxAddressLength) return false;
  const size_t at = address.rfind('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == address.size()) return false;
  const std::string_view local = address.substr(0, at);
  const std::string_view domain = address.substr(at + 1);
  if (!is_dot_atom(local) && !is_quoted_string(local)) return false;
  return is_dot_atom(domain) || is_domain_literal(domain);
}

std::optional<Mailbox> parse_mailbox(std::string_view text) {
  const std::string trimmed = text::trim(text);
  std::string_view view(trimmed);
  if (view.empty() || view.size() > 4 * kMaxAddressLength) return std::nullopt;
  if (view.back() != '>') {
    if (!is_valid_addr_spec(view)) return std::nullopt;
    return Mailbox{"", std::string(view)};
  }
  const size_t open = view.rfind('<');
  if (open == std::string_view::npos) return std::nullopt;
  const std::string_view address = view.substr(open + 1, view.size() - open - 2);
  if (!is_valid_addr_spec(address)) return std::nullopt;
  std::string name = text::trim(view.substr(0, open));
  const bool quoted = name.size() >= 2 && name.front() == '"' && name.back() == '"';
  if (!quoted && !is_phrase(name)) return std::nullopt;
  if (quoted) {
    std::string unquoted;
    for (size_t i = 1; i + 1 < name.size(); ++i) {
      if (name[i] == '\\' && i + 2 < name.size()) ++i;
      unquoted.push_back(name[i]);
    }
    name = std::move(unquoted);
  }
  return Mailbox{single_line(name), std::string(address)};
}

std::string format_mailbox(std::string_view name, std::string_view address) {
  const std::string bare = single_line(address);
  const std::string shown = text::trim(single_line(name));
  if (shown.empty()) return bare;
  if (!is_ascii(shown)) return encode_mime_header(shown) + " <" + bare + ">";
  if (!needs_quoting(shown)) return shown + " <" + bare + ">";
  std::string quoted = "\"";
  for (char c : shown) {
    if (c == '"' || c == '\\') quoted.push_back('\\');
    quoted.push_back(c);
  }
  return quoted + "\" <" + bare + ">";
}

std::optional<std::string> valid_message_id(std::string_view text) {
  const std::string trimmed = text.size() > 2 * kMaxMessageIdLength ? "" : text::trim(text);
  if (trimmed.size() < 5 || trimmed.size() > kMaxMessageIdLength) return std::nullopt;
  if (trimmed.front() != '<' || trimmed.back() != '>') return std::nullopt;
  const std::string_view inner = std::string_view(trimmed).substr(1, trimmed.size() - 2);
  const size_t at = inner.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == inner.size()) return std::nullopt;
  for (char c : inner) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '<' || c == '>') return std::nullopt;
  }
  return trimmed;
}

std::vector<std::string> message_ids_in(std::string_view text) {
  std::vector<std::string> ids;
  size_t at = 0;
  while ((at = text.find('<', at)) != std::string_view::npos) {
    const size_t end = text.find('>', at);
    if (end == std::string_view::npos) break;
    if (auto id = valid_message_id(text.substr(at, end - at + 1))) ids.push_back(std::move(*id));
    at = end + 1;
  }
  return ids;
}

}  // namespace kestrova::mail
