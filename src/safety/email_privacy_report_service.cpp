#include "safety/email_privacy_report_service.h"

#include <unicode/utf8.h>
#include <uriparser/Uri.h>

#include <algorithm>
#include <array>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "safety/regex_pattern.h"
#include "safety/url_shortener_hosts.h"
#include "store/email_message.h"
#include "util/c_free.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/uuid.h"

namespace kestrova::safety {

namespace {

using Case = RegexPattern::Case;
using Anchoring = RegexPattern::Anchoring;
using Outcome = RegexPattern::Outcome;
using Match = RegexPattern::Match;
constexpr size_t npos = std::string_view::npos;

// ---- the fixed pattern tables ----

// A pattern whose matches all begin with an HTML tag head "<name" followed by "[^>]*?":
// the head finds candidates, the whole pattern is tried anchored at each.
struct TagPatternSource {
  std::string_view head;
  std::string_view whole;
};

constexpr std::array<TagPatternSource, 8> kRemoteTagPatterns{{
    {R"(<img\b)", R"(<img\b[^>]*?\ssrc\s*=\s*['"]?(?:https?:|//)[^'">\s]+)"},
    {R"(<img\b)", R"(<img\b[^>]*?\ssrcset\s*=\s*['"][^'"]+['"])"},
    {R"(<source\b)", R"(<source\b[^>]*?\s(?:srcset|src)\s*=\s*['"][^'"]+['"])"},
    {R"(<input\b)",
     R"(<input\b[^>]*?type\s*=\s*['"]?image['"]?[^>]*?\ssrc\s*=\s*['"]?(?:https?:|//)[^'">\s]+)"},
    {R"(<video\b)", R"(<video\b[^>]*?\sposter\s*=\s*['"]?(?:https?:|//)[^'">\s]+)"},
    {R"(<(?:iframe|embed)\b)",
     R"(<(?:iframe|embed)\b[^>]*?\ssrc\s*=\s*['"]?(?:https?:|//)[^'">\s]+)"},
    {R"(<object\b)", R"(<object\b[^>]*?\sdata\s*=\s*['"]?(?:https?:|//)[^'">\s]+)"},
    {R"(<link\b)", R"(<link\b[^>]*?\shref\s*=\s*['"]?(?:https?:|//)[^'">\s]+)"},
}};

// The CSS background pattern, as its literal start, its part up to the URL's body, and the
// whole.
constexpr std::string_view kBackgroundHead = "background";
constexpr std::string_view kBackgroundPrefix =
    R"(background(?:-image)?\s*:\s*url\(['"]?(?:https?:|//))";
constexpr std::string_view kBackgroundWhole =
    R"(background(?:-image)?\s*:\s*url\(['"]?(?:https?:|//)[^)'"]+['"]?\))";

constexpr TagPatternSource kAnchorPattern{
    R"(<a\b)", R"(<a\b[^>]*?\shref\s*=\s*['"]([^'"]+)['"][^>]*?>([\s\S]*?)</a>)"};

// Hidden text: a style attribute that hides what follows the tag it sits in. Each pattern
// is "<style attribute>[^>]*>([\s\S]{6,200}?)<"; it is kept here as the attribute part
// (through its closing quote) and the text part after the tag's ">", which is how it runs
// (see find_hidden_text).
constexpr std::string_view kWhite =
    R"((?:#ffffff|#fff|white|rgb\(\s*255\s*,\s*255\s*,\s*255\s*\)))";
const std::array<std::string, 4>& hidden_attribute_sources() {
  static const std::array<std::string, 4> sources{
      R"(style\s*=\s*['"][^'"]*display\s*:\s*none[^'"]*['"])",
      R"(style\s*=\s*['"][^'"]*visibility\s*:\s*hidden[^'"]*['"])",
      R"(style\s*=\s*['"][^'"]*font-size\s*:\s*0[^'"]*['"])",
      std::string(R"(style\s*=\s*['"][^'"]*color\s*:\s*)") + std::string(kWhite) +
          R"([^'"]*background[^'"]*)" + std::string(kWhite) + R"([^'"]*['"])"};
  return sources;
}
constexpr std::string_view kHiddenTextTail = R"(([\s\S]{6,200}?)<)";

constexpr std::string_view kAddressPattern = R"([A-Za-z0-9._%+-]+@[A-Za-z0-9.-]+\.[A-Za-z]{2,})";
constexpr std::string_view kDomainPattern =
    R"((?:https?://)?([a-z0-9][a-z0-9\-]*(?:\.[a-z0-9][a-z0-9\-]*)+))";
constexpr std::string_view kBareUrlPattern = R"(https?://[^\s'"<>]+)";

constexpr std::array<std::string_view, 15> kInstructionPhrases{"ignore previous instructions",
                                                               "ignore all previous instructions",
                                                               "ignore prior instructions",
                                                               "disregard previous instructions",
                                                               "you are now",
                                                               "act as",
                                                               "system: ",
                                                               "as an ai language model",
                                                               "developer mode",
                                                               "jailbreak",
                                                               "忽略之前的指令",
                                                               "忘记之前的指令",
                                                               "你现在是",
                                                               "扮演",
                                                               "开发者模式"};

constexpr std::array<std::string_view, 9> kFenceMarkers{
    "<|im_start|>", "<|im_end|>", "<|system|>", "<|user|>", "<|assistant|>",
    "<<SYS>>",      "<</SYS>>",   "[INST]",     "[/INST]"};

constexpr std::array<char32_t, 5> kZeroWidth{0x200B, 0x200C, 0x200D, 0x2060, 0xFEFF};
constexpr int kZeroWidthThreshold = 6;
constexpr size_t kSnippetContext = 20;  // code points on each side of a phrase

// ---- compiled once, shared by every report ----

struct TagPattern {
  std::optional<RegexPattern> head;
  std::optional<RegexPattern> whole;
};

struct HiddenPattern {
  std::optional<RegexPattern> attribute;
};

struct CompiledPatterns {
  std::vector<TagPattern> remoteTags;
  std::optional<RegexPattern> backgroundHead, backgroundPrefix, backgroundWhole;
  TagPattern anchor;
  std::vector<HiddenPattern> hidden;
  std::optional<RegexPattern> hiddenTail;
  std::optional<RegexPattern> address, domain, bareUrl;
};

TagPattern compile_tag(const TagPatternSource& source) {
  return {RegexPattern::compile(source.head, Case::insensitive, Anchoring::anywhere),
          RegexPattern::compile(source.whole, Case::insensitive, Anchoring::atStart)};
}

// Compiled on first use (a function-local static, so thread-safe); a pattern that does not
// compile stays empty and its scan finds nothing.
const CompiledPatterns& patterns() {
  static const CompiledPatterns compiled = [] {
    CompiledPatterns p;
    for (const TagPatternSource& source : kRemoteTagPatterns)
      p.remoteTags.push_back(compile_tag(source));
    p.backgroundHead =
        RegexPattern::compile(kBackgroundHead, Case::insensitive, Anchoring::anywhere);
    p.backgroundPrefix =
        RegexPattern::compile(kBackgroundPrefix, Case::insensitive, Anchoring::atStart);
    p.backgroundWhole =
        RegexPattern::compile(kBackgroundWhole, Case::insensitive, Anchoring::atStart);
    p.anchor = compile_tag(kAnchorPattern);
    for (const std::string& source : hidden_attribute_sources())
      p.hidden.push_back({RegexPattern::compile(source, Case::insensitive, Anchoring::anywhere)});
    p.hiddenTail = RegexPattern::compile(kHiddenTextTail, Case::insensitive, Anchoring::atStart);
    p.address = RegexPattern::compile(kAddressPattern, Case::sensitive, Anchoring::atStart);
    p.domain = RegexPattern::compile(kDomainPattern, Case::sensitive, Anchoring::atStart);
    p.bareUrl = RegexPattern::compile(kBareUrlPattern, Case::sensitive, Anchoring::anywhere);
    return p;
  }();
  return compiled;
}

// ---- scanning ----
//
// PCRE2 retries a failed match at every later start position, and each retry of a pattern
// like "<img\b[^>]*?..." reads on to the tag's end: a body of unterminated "<img " tags
// would cost time quadratic in its length. The scans below therefore choose the start
// positions themselves and skip, after a failed attempt, every start that provably fails
// the same way. The skips never change which matches are found. A match call that stops at
// its limits ends the scan of that pattern; matches found before it are kept.

// Offset of the code point after the one at `offset` (a byte that is not UTF-8 counts as
// one); s.size() + 1 at the end, so a scan loop "while (from <= size)" ends.
size_t next_code_point(std::string_view s, size_t offset) {
  if (offset >= s.size()) return s.size() + 1;
  auto i = static_cast<int32_t>(offset);
  U8_FWD_1(reinterpret_cast<const uint8_t*>(s.data()), i, static_cast<int32_t>(s.size()));
  return static_cast<size_t>(i);
}

// Non-overlapping matches of a tag pattern, in order. If the attempt at a tag head fails,
// every later head before the next ">" fails too: its "[^>]*?" reaches no position the
// earlier head's "[^>]*?" could not also reach, and the rest of the pattern does not depend
// on where the match began.
template <typename OnMatch>
void scan_tag(const TagPattern& pattern, std::string_view subject, OnMatch&& on_match) {
  if (!pattern.head || !pattern.whole) return;
  Match head, whole;
  size_t from = 0;
  while (from <= subject.size()) {
    if (pattern.head->find(subject, from, head) != Outcome::matched) return;
    const size_t start = head.begin();
    const Outcome outcome = pattern.whole->find(subject, start, whole);
    if (outcome == Outcome::stopped) return;
    if (outcome == Outcome::matched) {
      on_match(whole);
      from = whole.end() > start ? whole.end() : next_code_point(subject, start);
      continue;
    }
    const size_t close = subject.find('>', start);
    if (close == npos) return;
    from = close + 1;
  }
}

int count_tag(const TagPattern& pattern, std::string_view html) {
  int count = 0;
  scan_tag(pattern, html, [&](const Match&) { ++count; });
  return count;
}

// The CSS background pattern. Once the URL body of one attempt (from the end of the prefix
// up to the next ")", "'" or '"') failed, any later attempt whose URL body begins inside the
// same stretch ends at the same character and fails as well, so it is not read again.
int count_backgrounds(std::string_view html) {
  const CompiledPatterns& p = patterns();
  if (!p.backgroundHead || !p.backgroundPrefix || !p.backgroundWhole) return 0;
  int count = 0;
  Match head, prefix, whole;
  size_t failed_begin = npos, failed_end = npos;  // a URL body stretch known to fail
  size_t from = 0;
  while (from <= html.size()) {
    if (p.backgroundHead->find(html, from, head) != Outcome::matched) break;
    const size_t start = head.begin();
    from = head.end() > start ? head.end() : next_code_point(html, start);
    const Outcome reached = p.backgroundPrefix->find(html, start, prefix);
    if (reached == Outcome::stopped) break;
    if (reached == Outcome::noMatch) continue;
    const size_t body = prefix.end();
    if (failed_begin != npos && body >= failed_begin && body < failed_end) continue;
    const Outcome outcome = p.backgroundWhole->find(html, start, whole);
    if (outcome == Outcome::stopped) break;
    if (outcome == Outcome::matched) {
      ++count;
      from = std::max(from, whole.end());
      continue;
    }
    const size_t stop = html.find_first_of(")'\"", body);
    failed_begin = body;
    failed_end = stop == npos ? html.size() + 1 : stop;
  }
  return count;
}

int count_remote_resources(std::string_view html) {
  if (html.empty()) return 0;
  if (html.find("http") == npos && html.find("//") == npos) return 0;
  int total = 0;
  for (const TagPattern& pattern : patterns().remoteTags) total += count_tag(pattern, html);
  return total + count_backgrounds(html);
}

// Position of the last "</a>" (any letter case), or npos.
size_t last_anchor_close(std::string_view html) {
  for (size_t at = html.rfind("</"); at != npos; at = at == 0 ? npos : html.rfind("</", at - 1))
    if (at + 3 < html.size() && (html[at + 2] == 'a' || html[at + 2] == 'A') && html[at + 3] == '>')
      return at;
  return npos;
}

// Finds the first hidden text of one attribute pattern. The attribute part ends at a fixed
// closing quote, the tag at the first ">" after it, and the hidden text is read from there;
// so each ">" is tried once however many attributes lead to it, and the stretch up to it
// is found with one forward pointer.
std::optional<std::string> find_hidden_text(const HiddenPattern& pattern, std::string_view html) {
  const CompiledPatterns& p = patterns();
  if (!pattern.attribute || !p.hiddenTail) return std::nullopt;
  Match attribute, text;
  size_t close = npos;         // the last ">" found, at or after the last attribute end
  size_t failed_close = npos;  // a ">" whose hidden-text part is known to fail
  size_t from = 0;
  while (from <= html.size()) {
    if (pattern.attribute->find(html, from, attribute) != Outcome::matched) return std::nullopt;
    from = next_code_point(html, attribute.begin());
    if (close == npos || close < attribute.end()) close = html.find('>', attribute.end());
    if (close == npos) return std::nullopt;
    if (close == failed_close) continue;
    const Outcome outcome = p.hiddenTail->find(html, close + 1, text);
    if (outcome == Outcome::stopped) return std::nullopt;
    if (outcome == Outcome::matched) return std::string(text.group(html, 1));
    failed_close = close;
  }
  return std::nullopt;
}

// The first match of a pattern that starts with a character of `start_class` and first
// reads a run of `run_class` characters: when the attempt at one start fails, every later
// start inside the same run reaches the same end of the run and fails as well, so the scan
// moves past the run. Used for the address and domain patterns, which an unanchored search
// would re-read from every position of a long word.
std::optional<Match> first_match_by_runs(const std::optional<RegexPattern>& pattern,
                                         std::string_view subject, std::string_view start_class,
                                         std::string_view run_class) {
  if (!pattern) return std::nullopt;
  Match match;
  size_t at = 0;
  while (at < subject.size()) {
    at = subject.find_first_of(start_class, at);
    if (at == npos) return std::nullopt;
    const Outcome outcome = pattern->find(subject, at, match);
    if (outcome == Outcome::matched) return match;
    if (outcome == Outcome::stopped) return std::nullopt;
    at = std::min(subject.find_first_not_of(run_class, at), subject.size());
  }
  return std::nullopt;
}

constexpr std::string_view kAddressRun =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._%+-";
constexpr std::string_view kDomainStart = "abcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::string_view kDomainRun = "abcdefghijklmnopqrstuvwxyz0123456789-";

// The domain the domain pattern captures in `lowered`, if any. "http" and "https" are
// letters of a run, so a prefix "https://" in the middle of a word ends that run and the
// domain starts the next one: the captured domain is the one an unanchored search finds.
std::optional<std::string> find_domain(std::string_view lowered) {
  auto match = first_match_by_runs(patterns().domain, lowered, kDomainStart, kDomainRun);
  if (!match) return std::nullopt;
  return std::string(match->group(lowered, 1));
}

// ---- domains and hosts ----

std::string base_domain(std::string_view host) {
  std::vector<std::string_view> labels;
  size_t begin = 0;
  while (begin <= host.size()) {
    size_t dot = host.find('.', begin);
    if (dot == npos) dot = host.size();
    if (dot > begin) labels.push_back(host.substr(begin, dot - begin));
    begin = dot + 1;
  }
  if (labels.size() < 2) return std::string(host);
  return std::string(labels[labels.size() - 2]) + "." + std::string(labels.back());
}

bool all_of(std::string_view s, bool (*accept)(char)) {
  return !s.empty() && std::all_of(s.begin(), s.end(), accept);
}
bool is_decimal(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_decimal(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::vector<std::string_view> split(std::string_view s, char separator, bool drop_empty) {
  std::vector<std::string_view> pieces;
  size_t begin = 0;
  while (true) {
    const size_t at = s.find(separator, begin);
    const std::string_view piece = s.substr(begin, at == npos ? npos : at - begin);
    if (!piece.empty() || !drop_empty) pieces.push_back(piece);
    if (at == npos) return pieces;
    begin = at + 1;
  }
}

// A decimal number from 0 to 255 (leading zeros allowed).
bool is_octet(std::string_view piece) {
  if (!all_of(piece, is_decimal)) return false;
  const size_t first = std::min(piece.find_first_not_of('0'), piece.size());
  const std::string_view digits = piece.substr(first);
  if (digits.size() > 3) return false;
  int value = 0;
  for (char c : digits) value = value * 10 + (c - '0');
  return value <= 255;
}

bool is_ip_address(std::string_view host) {
  const auto quads = split(host, '.', false);
  if (quads.size() == 4 && std::all_of(quads.begin(), quads.end(), is_octet)) return true;
  if (host.find(':') == npos) return false;
  const auto groups = split(host, ':', true);
  return groups.size() >= 3 && std::all_of(groups.begin(), groups.end(),
                                           [](std::string_view g) { return all_of(g, is_hex); });
}

bool is_shortener(const std::string& host) {
  const auto& hosts = url_shortener_hosts();
  return hosts.contains(host) || hosts.contains(base_domain(host));
}

// ---- URLs ----

struct ParsedUrl {
  std::string scheme;  // lower case
  std::string host;    // lower case; an IPv6 literal without its brackets
};

std::string range_text(const UriTextRangeA& range) {
  if (!range.first || !range.afterLast || range.afterLast < range.first) return {};
  return std::string(range.first, range.afterLast);
}

std::optional<ParsedUrl> parse_url(const std::string& text) {
  UriUriA uri;
  const char* error_position = nullptr;
  if (uriParseSingleUriA(&uri, text.c_str(), &error_position) != URI_SUCCESS) return std::nullopt;
  CHandle<UriUriA, &uriFreeUriMembersA> owner(&uri);
  ParsedUrl parsed{text::lower(range_text(uri.scheme)), text::lower(range_text(uri.hostText))};
  return parsed;
}

std::optional<SuspiciousLink::Reason> classify(const std::string& url,
                                               std::string_view display_text) {
  using Reason = SuspiciousLink::Reason;
  const auto parsed = parse_url(url);
  if (!parsed || (parsed->scheme != "http" && parsed->scheme != "https") || parsed->host.empty())
    return std::nullopt;
  const std::string& host = parsed->host;
  if (is_ip_address(host)) return Reason::ipAddress;
  if (host.find("xn--") != npos) return Reason::punycode;
  if (is_shortener(host)) return Reason::urlShortener;
  if (!display_text.empty()) {
    const auto shown = find_domain(text::lower(display_text));
    if (shown && base_domain(*shown) != base_domain(host)) return Reason::displayMismatch;
  }
  if (parsed->scheme == "http") return Reason::insecureScheme;
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> collect_links(std::string_view html,
                                                               std::string_view plain_text) {
  std::vector<std::pair<std::string, std::string>> links;
  // Every anchor match ends with "</a>", so text after the last one cannot take part; cutting
  // it off keeps an unclosed "<a href>" from being read to the end of the body.
  if (const size_t last_close = last_anchor_close(html); last_close != npos) {
    const std::string_view scanned = html.substr(0, last_close + 4);
    scan_tag(patterns().anchor, scanned, [&](const Match& match) {
      links.emplace_back(std::string(match.group(scanned, 1)),
                         std::string(match.group(scanned, 2)));
    });
  }
  if (const auto& bare = patterns().bareUrl) {
    Match match;
    size_t from = 0;
    while (from <= plain_text.size() && bare->find(plain_text, from, match) == Outcome::matched) {
      links.emplace_back(std::string(plain_text.substr(match.begin(), match.end() - match.begin())),
                         std::string());
      from = match.end() > match.begin() ? match.end() : next_code_point(plain_text, match.begin());
    }
  }
  std::set<std::pair<std::string, std::string>> seen;
  std::vector<std::pair<std::string, std::string>> unique;
  for (auto& link : links)
    if (seen.insert(link).second) unique.push_back(std::move(link));
  return unique;
}

std::vector<SuspiciousLink> suspicious_links(std::string_view html, std::string_view plain_text) {
  std::vector<SuspiciousLink> found;
  std::set<std::string> keys;
  for (const auto& [href, display_text] : collect_links(html, plain_text)) {
    const std::string url = text::trim(href);
    const auto reason = classify(url, display_text);
    if (!reason) continue;
    if (!keys.insert(std::string(raw_value(*reason)) + "|" + url).second) continue;
    found.push_back({new_uuid(), url, display_text, *reason});
  }
  return found;
}

// ---- sender ----

std::string domain_of_address(std::string_view address) {
  const size_t at = address.rfind('@');
  if (at == npos) return {};
  return text::lower(address.substr(at + 1));
}

std::string displayed_domain(std::string_view display_name) {
  if (auto address =
          first_match_by_runs(patterns().address, display_name, kAddressRun, kAddressRun))
    return domain_of_address(address->group(display_name, 0));
  return find_domain(text::lower(display_name)).value_or(std::string());
}

bool differs(std::string_view a, std::string_view b) {
  return !a.empty() && !b.empty() && base_domain(a) != base_domain(b);
}

SenderTrustCheck sender_trust(const store::EmailMessage& message) {
  using Status = SenderTrustCheck::Status;
  SenderTrustCheck check;
  const std::string sender = domain_of_address(message.from.email);
  std::string reply_to;
  for (const store::EmailContact& contact : message.replyTo) {
    const std::string domain = domain_of_address(contact.email);
    if (differs(domain, sender)) {
      reply_to = domain;
      break;
    }
  }
  std::string displayed;
  if (message.from.name) {
    displayed = displayed_domain(*message.from.name);
    if (!differs(displayed, sender)) displayed.clear();
  }
  if (reply_to.empty() && displayed.empty()) return check;
  check.senderDomain = sender;
  check.replyToDomain = reply_to;
  check.displayedDomain = displayed;
  check.status = reply_to.empty()    ? Status::displayNameMimicsEmail
                 : displayed.empty() ? Status::replyToDomainMismatch
                                     : Status::both;
  return check;
}

// ---- prompt injection ----

// Byte offset `count` code points before / after `offset`, clamped to the text.
size_t back_code_points(std::string_view s, size_t offset, size_t count) {
  auto i = static_cast<int32_t>(offset);
  for (; count > 0 && i > 0; --count) U8_BACK_1(reinterpret_cast<const uint8_t*>(s.data()), 0, i);
  return static_cast<size_t>(i);
}
size_t forward_code_points(std::string_view s, size_t offset, size_t count) {
  auto i = static_cast<int32_t>(offset);
  const auto length = static_cast<int32_t>(s.size());
  for (; count > 0 && i < length; --count)
    U8_FWD_1(reinterpret_cast<const uint8_t*>(s.data()), i, length);
  return static_cast<size_t>(i);
}

size_t count_zero_width(std::string_view s) {
  size_t count = 0;
  const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
  const auto length = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    if (c >= 0 && std::find(kZeroWidth.begin(), kZeroWidth.end(), static_cast<char32_t>(c)) !=
                      kZeroWidth.end())
      ++count;
  }
  return count;
}

std::vector<PromptInjectionHit> injection_hits(std::string_view html, std::string_view plain_text) {
  using Kind = PromptInjectionHit::Kind;
  std::vector<std::pair<Kind, std::string>> hits;
  const std::string lowered = text::lower(plain_text);
  for (std::string_view phrase : kInstructionPhrases) {
    const size_t at = lowered.find(phrase);
    if (at == npos) continue;
    const size_t begin = back_code_points(lowered, at, kSnippetContext);
    const size_t end = forward_code_points(lowered, at + phrase.size(), kSnippetContext);
    hits.emplace_back(Kind::directInstruction,
                      "…" + text::trim(std::string_view(lowered).substr(begin, end - begin)) + "…");
  }
  for (const HiddenPattern& pattern : patterns().hidden) {
    if (auto hidden = find_hidden_text(pattern, html)) {
      hits.emplace_back(Kind::hiddenText, std::move(*hidden));
      break;
    }
  }
  for (std::string_view marker : kFenceMarkers)
    if (lowered.find(text::lower(marker)) != npos)
      hits.emplace_back(Kind::systemFence, std::string(marker));
  if (count_zero_width(plain_text) >= kZeroWidthThreshold)
    hits.emplace_back(Kind::zeroWidthChars, localized("privacy.injection.snippet.zeroWidth"));

  std::vector<PromptInjectionHit> unique;
  std::set<std::string> keys;
  for (auto& [kind, snippet] : hits)
    if (keys.insert(std::string(raw_value(kind)) + "|" + snippet).second)
      unique.push_back({new_uuid(), kind, std::move(snippet)});
  return unique;
}

}  // namespace

EmailPrivacyReport EmailPrivacyReportService::report(const store::EmailMessage& message) {
  const std::string_view html =
      message.htmlBody ? std::string_view(*message.htmlBody) : std::string_view();
  const std::string plain_text = message.subject + "\n" + message.textBody.value_or(std::string());
  EmailPrivacyReport report;
  report.trackerCount = count_remote_resources(html);
  report.suspiciousLinks = suspicious_links(html, plain_text);
  report.senderTrust = sender_trust(message);
  report.injection = injection_hits(html, plain_text);
  return report;
}

}  // namespace kestrova::safety
