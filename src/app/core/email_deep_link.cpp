#include "app/core/email_deep_link.h"

#include <vector>

#include "app/core/service/notification_center.h"
#include "platform/main_queue.h"
#include "util/log.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

// ASCII only, whatever the C locale says about bytes of multi-byte characters.
bool ascii_alpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool ascii_alnum(unsigned char c) { return ascii_alpha(c) || (c >= '0' && c <= '9'); }

bool path_allowed(unsigned char c) {
  if (ascii_alnum(c)) return true;
  switch (c) {
    case '!': case '$': case '&': case '\'': case '(': case ')': case '*': case '+':
    case ',': case '-': case '.': case '/': case ':': case '=': case '@': case '_': case '~':
      return true;
    default:
      return false;
  }
}

// Characters that may stand unescaped anywhere in a URL reference (RFC 3986 reserved and
// unreserved characters plus "%"). A text with anything else is not a URL.
bool url_character(unsigned char c) {
  if (ascii_alnum(c)) return true;
  static constexpr std::string_view kAllowed = "-._~:/?#[]@!$&'()*+,;=%";
  return kAllowed.find(static_cast<char>(c)) != std::string_view::npos;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string strip_slashes(std::string_view path) {
  size_t begin = 0, end = path.size();
  while (begin < end && path[begin] == '/') ++begin;
  while (end > begin && path[end - 1] == '/') --end;
  return std::string(path.substr(begin, end - begin));
}

struct UrlParts {
  std::string scheme, host, path, query;
  bool has_query = false;
};

// RFC 3986 §3: scheme ":" ["//" authority] path ["?" query] ["#" fragment].
std::optional<UrlParts> split_url(std::string_view url) {
  for (unsigned char c : url)
    if (!url_character(c)) return std::nullopt;
  const size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  UrlParts parts;
  parts.scheme = std::string(url.substr(0, colon));
  if (!ascii_alpha(static_cast<unsigned char>(parts.scheme[0]))) return std::nullopt;
  for (unsigned char c : parts.scheme)
    if (!ascii_alnum(c) && c != '+' && c != '-' && c != '.') return std::nullopt;
  std::string_view rest = url.substr(colon + 1);
  if (size_t hash = rest.find('#'); hash != std::string_view::npos) rest = rest.substr(0, hash);
  if (size_t q = rest.find('?'); q != std::string_view::npos) {
    parts.query = std::string(rest.substr(q + 1));
    parts.has_query = true;
    rest = rest.substr(0, q);
  }
  if (rest.starts_with("//")) {
    rest.remove_prefix(2);
    size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);
    if (size_t at = authority.rfind('@'); at != std::string_view::npos)
      authority = authority.substr(at + 1);
    if (size_t port = authority.rfind(':'); port != std::string_view::npos &&
                                              authority.find(']') == std::string_view::npos)
      authority = authority.substr(0, port);
    parts.host = std::string(authority);
  }
  parts.path = std::string(rest);
  return parts;
}

// The chat flag: the first query item named "chat" decides; only the value "true" sets it.
bool chat_flag(const UrlParts& parts) {
  if (!parts.has_query) return false;
  std::string_view query = parts.query;
  while (true) {
    size_t amp = query.find('&');
    std::string_view item = query.substr(0, amp);
    size_t eq = item.find('=');
    std::string name = percent_decode(item.substr(0, eq)).value_or(std::string(item.substr(0, eq)));
    if (name == "chat") {
      if (eq == std::string_view::npos) return false;
      auto value = percent_decode(item.substr(eq + 1));
      return value && *value == "true";
    }
    if (amp == std::string_view::npos) return false;
    query = query.substr(amp + 1);
  }
}

std::string canonical(std::string_view uuid) { return parse_uuid(uuid).value_or(std::string(uuid)); }

// The parser strips slashes at both ends of the path before decoding, so a thread id that
// begins or ends with "/" keeps those slashes only when they are escaped.
std::string encode_thread_id(std::string_view id) {
  size_t begin = 0, end = id.size();
  while (begin < end && id[begin] == '/') ++begin;
  while (end > begin && id[end - 1] == '/') --end;
  std::string out;
  for (size_t i = 0; i < begin; ++i) out += "%2F";
  out += percent_encode_path(id.substr(begin, end - begin));
  for (size_t i = end; i < id.size(); ++i) out += "%2F";
  return out;
}

}  // namespace

std::string percent_encode_path(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (path_allowed(c)) {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(kHex[c >> 4]);
      out.push_back(kHex[c & 0x0F]);
    }
  }
  return out;
}

std::optional<std::string> percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out.push_back(text[i]);
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int hi = hex_value(text[i + 1]), lo = hex_value(text[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  if (!text::is_valid_utf8(out)) return std::nullopt;
  return out;
}

EmailDeepLink EmailDeepLink::message(std::string_view uuid) { return {Kind::message, canonical(uuid), false}; }
EmailDeepLink EmailDeepLink::thread(std::string_view thread_id) { return {Kind::thread, std::string(thread_id), false}; }
EmailDeepLink EmailDeepLink::draft(std::string_view uuid) { return {Kind::draft, canonical(uuid), false}; }
EmailDeepLink EmailDeepLink::account(std::string_view uuid) { return {Kind::account, canonical(uuid), false}; }
EmailDeepLink EmailDeepLink::email(std::string_view uuid, bool chat) { return {Kind::email, canonical(uuid), chat}; }
EmailDeepLink EmailDeepLink::reply(std::string_view uuid, bool chat) { return {Kind::reply, canonical(uuid), chat}; }
EmailDeepLink EmailDeepLink::drafts() { return {Kind::drafts, {}, false}; }

std::optional<EmailDeepLink> EmailDeepLink::parse(std::string_view url) {
  auto parts = split_url(url);
  if (!parts || text::lower(parts->scheme) != "kestrova") return std::nullopt;
  const std::string host = text::lower(parts->host);
  const std::string stripped = strip_slashes(parts->path);
  const std::string argument = percent_decode(stripped).value_or(stripped);
  const bool chat = chat_flag(*parts);
  auto uuid = parse_uuid(argument);
  if (host == "message" && uuid) return message(*uuid);
  if (host == "thread" && !argument.empty()) return thread(argument);
  if (host == "drafts") return drafts();
  if (host == "draft" && uuid) return draft(*uuid);
  if (host == "account" && uuid) return account(*uuid);
  if (host == "email" && uuid) return email(*uuid, chat);
  if (host == "reply" && uuid) return reply(*uuid, chat);
  return std::nullopt;
}

std::string EmailDeepLink::build() const {
  switch (kind) {
    case Kind::message:
      return "kestrova://message/" + id;
    case Kind::thread:
      return "kestrova://thread/" + encode_thread_id(id);
    case Kind::draft:
      return "kestrova://draft/" + id;
    case Kind::account:
      return "kestrova://account/" + id;
    case Kind::email:
      return "kestrova://email/" + id + (chat ? "?chat=true" : "");
    case Kind::reply:
      return "kestrova://reply/" + id + (chat ? "?chat=true" : "");
    case Kind::drafts:
      return "kestrova://drafts";
  }
  return {};
}

std::string_view case_name(EmailDeepLink::Kind kind) {
  using Kind = EmailDeepLink::Kind;
  switch (kind) {
    case Kind::message:
      return "message";
    case Kind::thread:
      return "thread";
    case Kind::draft:
      return "draft";
    case Kind::account:
      return "account";
    case Kind::email:
      return "email";
    case Kind::reply:
      return "reply";
    case Kind::drafts:
      return "drafts";
  }
  return "drafts";
}

Json EmailDeepLink::to_json() const {
  Json out{{"case", case_name(kind)}, {"caseNumber", static_cast<int>(kind)}};
  if (kind != Kind::drafts) out["id"] = id;
  if (kind == Kind::email || kind == Kind::reply) out["chat"] = chat;
  return out;
}

std::optional<EmailDeepLink> open_deep_link(std::string_view url) {
  auto link = EmailDeepLink::parse(url);
  if (!link) return std::nullopt;
  log_line(log_kind::kLink, "AppDelegate", "深链打开: " + std::string(url));
  // Bringing a window to the front belongs to the interface that routes the notification.
  platform::MainQueue::post([payload = link->to_json()] {
    NotificationCenter::shared().post(notification_name::kEmailDeepLinkOpened, payload);
  });
  return link;
}

}  // namespace kestrova::app
