#include "app/core/writing/email_signature_service.h"

#include <array>
#include <ctime>

#include "safety/regex_pattern.h"
#include "util/html_text.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

using safety::RegexPattern;
using store::EmailAccount;
using store::EmailSignature;

constexpr std::array<SignatureVariableInfo, 11> kVariables = {{
    {SignatureVariable::name, "name", "{{name}}", "姓名"},
    {SignatureVariable::email, "email", "{{email}}", "邮箱地址"},
    {SignatureVariable::company, "company", "{{company}}", "公司名称"},
    {SignatureVariable::phone, "phone", "{{phone}}", "电话号码"},
    {SignatureVariable::title, "title", "{{title}}", "职位/头衔"},
    {SignatureVariable::position, "position", "{{position}}", "职位（同title）"},
    {SignatureVariable::website, "website", "{{website}}", "网站地址"},
    {SignatureVariable::address, "address", "{{address}}", "公司地址"},
    {SignatureVariable::date, "date", "{{date}}", "日期"},
    {SignatureVariable::time, "time", "{{time}}", "时间"},
    {SignatureVariable::datetime, "datetime", "{{datetime}}", "日期时间"},
}};

// The placeholders whose values only the user knows (indexes into kVariables).
constexpr std::array<size_t, 6> kUserFields = {2, 3, 4, 5, 6, 7};

// Where the quoted part of a reply or forward starts; the English forward header is the one
// `kestrova forward` writes in English (forward.header).
constexpr std::array<std::string_view, 9> kQuoteMarkers = {
    "\n\n---------- 转发邮件 ----------",
    "\n\n---------- Forwarded message ----------",
    "\n\n--- 转发邮件 ---",
    "\n\n--- 原始邮件 ---",
    "\n\n在 ",
    "\n\nOn ",
    "\n\nFrom:",
    "\n\n发件人:",
    "\n\n> "};

constexpr std::string_view kOpenMarker = "<!-- kestrova-signature:";
constexpr std::string_view kCloseMarker = "<!-- /kestrova-signature:";
constexpr std::string_view kMarkerEnd = " -->";

RegexPattern compile(std::string_view pattern,
                     RegexPattern::Case letter_case = RegexPattern::Case::sensitive) {
  // The patterns are fixed texts of this file: one that does not compile is a bug.
  return *RegexPattern::compile(pattern, letter_case, RegexPattern::Anchoring::anywhere);
}

// Every non-overlapping match replaced by `replacement`. A call stopped by a limit ends the
// replacing; the text after it stays as it was.
std::string replace_all(std::string_view subject, const RegexPattern& pattern,
                        std::string_view replacement) {
  std::string out;
  size_t copied = 0, offset = 0;
  RegexPattern::Match match;
  while (offset <= subject.size() &&
         pattern.find(subject, offset, match) == RegexPattern::Outcome::matched) {
    out.append(subject, copied, match.begin() - copied);
    out += replacement;
    copied = match.end();
    offset = match.end() > match.begin() ? match.end() : match.end() + 1;
  }
  out.append(subject.substr(copied));
  return out;
}

std::string replace_text(std::string_view subject, std::string_view from, std::string_view to) {
  std::string out;
  size_t at = 0;
  for (size_t found; (found = subject.find(from, at)) != std::string_view::npos;
       at = found + from.size()) {
    out.append(subject, at, found - at);
    out += to;
  }
  out.append(subject.substr(at));
  return out;
}

std::string regex_escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

// Row, cell and division patterns of each user field, compiled once.
struct FieldPatterns {
  std::string placeholder;
  std::array<RegexPattern, 3> containers;
};

const std::vector<FieldPatterns>& field_patterns() {
  static const std::vector<FieldPatterns> patterns = [] {
    std::vector<FieldPatterns> out;
    for (size_t index : kUserFields) {
      const std::string p(kVariables[index].placeholder);
      const std::string e = regex_escape(p);
      out.push_back(
          {p,
           {compile("<tr[^>]*>.*?" + e + ".*?</tr>"), compile("<td[^>]*>.*?" + e + ".*?</td>"),
            compile("<div[^>]*>.*?" + e + ".*?</div>")}});
    }
    return out;
  }();
  return patterns;
}

std::string local_time(double seconds, const char* format) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  localtime_r(&t, &local);
  char buffer[64];
  const size_t n = strftime(buffer, sizeof buffer, format, &local);
  return std::string(buffer, n);
}

bool is_blank(std::string_view text) { return text::trim(text).empty(); }

// `text` without the lines that contain `placeholder` (their line breaks go with them).
std::string without_lines_holding(std::string_view text, std::string_view placeholder) {
  std::string out;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    end = end == std::string_view::npos ? text.size() : end + 1;
    const std::string_view line = text.substr(start, end - start);
    if (line.find(placeholder) == std::string_view::npos) out.append(line);
    start = end;
  }
  return out;
}

// Plain text shown as HTML: "&", "<", ">" escaped, then each newline a <br>.
std::string escape_with_breaks(std::string_view text) {
  std::string out = replace_text(text, "&", "&amp;");
  out = replace_text(out, "<", "&lt;");
  out = replace_text(out, ">", "&gt;");
  return replace_text(out, "\n", "<br>");
}

std::string marker_id(std::string_view id) { return parse_uuid(id).value_or(std::string(id)); }

std::string open_marker(std::string_view id) {
  return std::string(kOpenMarker) + marker_id(id) + std::string(kMarkerEnd);
}
std::string close_marker(std::string_view id) {
  return std::string(kCloseMarker) + marker_id(id) + std::string(kMarkerEnd);
}

}  // namespace

std::span<const SignatureVariableInfo> signature_variables() { return kVariables; }

EmailSignatureService::EmailSignatureService(store::EmailDatabase& database, Clock clock)
    : store_(database), clock_(std::move(clock)) {}

double EmailSignatureService::now() const { return clock_ ? clock_() : now_seconds(); }

std::vector<EmailSignature> EmailSignatureService::signatures(std::string_view accountId) const {
  return store_.list(accountId);
}
std::optional<EmailSignature> EmailSignatureService::defaultSignature(
    std::string_view accountId) const {
  return store_.defaultSignature(accountId);
}
std::optional<EmailSignature> EmailSignatureService::signature(std::string_view id) const {
  return store_.get(id);
}
void EmailSignatureService::save(const EmailSignature& signature) const { store_.save(signature); }
void EmailSignatureService::remove(std::string_view id) const { store_.remove(id); }
void EmailSignatureService::setDefault(std::string_view accountId, std::string_view id) const {
  store_.setDefault(accountId, id, now());
}

std::string EmailSignatureService::render(const EmailSignature& signature,
                                          const EmailAccount& account) const {
  const auto value = [&](const std::string& text) {
    return signature.isHtml ? escapeHtml(text) : text;
  };
  const double t = now();
  std::string out = replace_text(signature.content, "{{name}}", value(account.displayName));
  out = replace_text(out, "{{email}}", value(account.emailAddress));
  out = replace_text(out, "{{date}}", local_time(t, "%Y-%m-%d"));
  out = replace_text(out, "{{time}}", local_time(t, "%H:%M"));
  out = replace_text(out, "{{datetime}}", local_time(t, "%Y-%m-%d %H:%M"));
  for (const auto& field : field_patterns()) {
    if (out.find(field.placeholder) == std::string::npos) continue;
    if (!signature.isHtml) {
      out = without_lines_holding(out, field.placeholder);  // no "W: " line left behind
      continue;
    }
    for (const auto& container : field.containers) out = replace_all(out, container, "");
    out = replace_text(out, field.placeholder, "");
  }
  return out;
}

std::string EmailSignatureService::plainText(const EmailSignature& signature,
                                             const EmailAccount& account) const {
  const std::string rendered = render(signature, account);
  return signature.isHtml ? htmlToPlainText(rendered) : rendered;
}

EmailSignatureService::Bodies EmailSignatureService::apply(const EmailSignature& signature,
                                                           const EmailAccount& account,
                                                           std::string plain,
                                                           std::optional<std::string> html,
                                                           bool updatePlain) const {
  if (signature.isHtml) {
    const std::string block =
        open_marker(signature.id) + render(signature, account) + close_marker(signature.id);
    if (html) {
      if (!containsAnyBlock(*html)) *html += (is_blank(*html) ? "" : "<br><br>") + block;
    } else {
      auto [head, tail] = splitAtQuote(plain);
      std::string made = escape_with_breaks(head);
      if (!is_blank(head)) made += "<br><br>";
      made += block;
      if (!is_blank(tail)) made += "<br><br>" + escape_with_breaks(tail);
      html = std::move(made);
    }
    if (!updatePlain) return {std::move(plain), std::move(html)};
  }

  const std::string s = plainText(signature, account);
  if (is_blank(s) || plain.find(s) != std::string::npos) return {std::move(plain), std::move(html)};
  auto [head, tail] = splitAtQuote(plain);
  std::string signed_plain;
  if (!tail.empty())
    signed_plain = head + (is_blank(head) ? "" : "\n\n") + s + "\n\n" + text::trim(tail);
  else
    signed_plain = plain + "\n\n" + s;
  if (!signature.isHtml && html)
    *html += (is_blank(*html) ? "" : "<br><br>") + escape_with_breaks(s);
  return {std::move(signed_plain), std::move(html)};
}

bool EmailSignatureService::containsBlock(std::string_view html, std::string_view signatureId) {
  return html.find(open_marker(signatureId)) != std::string_view::npos;
}

bool EmailSignatureService::containsAnyBlock(std::string_view html) {
  static const RegexPattern pattern = compile("<!-- kestrova-signature:[^>]+ -->");
  RegexPattern::Match match;
  return pattern.find(html, 0, match) == RegexPattern::Outcome::matched;
}

std::optional<std::string> EmailSignatureService::extractBlock(std::string_view html,
                                                               std::string_view signatureId) {
  const std::string open = open_marker(signatureId);
  const size_t start = html.find(open);
  if (start == std::string_view::npos) return std::nullopt;
  const size_t content = start + open.size();
  const size_t end = html.find(close_marker(signatureId), content);
  if (end == std::string_view::npos) return std::nullopt;
  return std::string(html.substr(content, end - content));
}

std::string EmailSignatureService::removeAllBlocks(std::string_view html) {
  static const RegexPattern pattern =
      compile("<!-- kestrova-signature:[^>]+ -->[\\s\\S]*?<!-- /kestrova-signature:[^>]+ -->");
  return text::trim(replace_all(html, pattern, ""));
}

std::pair<std::string, std::string> EmailSignatureService::splitAtQuote(std::string_view body) {
  for (std::string_view marker : kQuoteMarkers)
    if (const size_t at = body.find(marker); at != std::string_view::npos)
      return {std::string(body.substr(0, at)), std::string(body.substr(at))};
  size_t line_start = 0;
  while (line_start <= body.size()) {
    size_t line_end = body.find('\n', line_start);
    if (line_end == std::string_view::npos) line_end = body.size();
    const std::string line = text::trim(body.substr(line_start, line_end - line_start));
    if (line.starts_with('>') || line.starts_with('|')) {
      // The head without the line break before the tail: head and tail join with "\n".
      const std::string_view head =
          line_start > 0 ? body.substr(0, line_start - 1) : std::string_view();
      return {std::string(head), std::string(body.substr(line_start))};
    }
    line_start = line_end + 1;
  }
  return {std::string(body), ""};
}

std::string EmailSignatureService::htmlToPlainText(std::string_view html) {
  using Case = RegexPattern::Case;
  static const std::array<std::pair<RegexPattern, std::string_view>, 6> kSteps = {{
      {compile("<br\\s*/?>", Case::insensitive), "\n"},
      {compile("</p\\s*>", Case::insensitive), "\n"},
      {compile("</div\\s*>", Case::insensitive), "\n"},
      {compile("</tr\\s*>", Case::insensitive), "\n"},
      {compile("</td\\s*>", Case::insensitive), " "},
      {compile("<[^>]+>"), ""},
  }};
  std::string out(html);
  for (const auto& [pattern, replacement] : kSteps) out = replace_all(out, pattern, replacement);
  for (const auto& [entity, character] :
       std::array<std::pair<std::string_view, std::string_view>, 6>{{{"&nbsp;", " "},
                                                                     {"&amp;", "&"},
                                                                     {"&lt;", "<"},
                                                                     {"&gt;", ">"},
                                                                     {"&quot;", "\""},
                                                                     {"&#39;", "'"}}})
    out = replace_text(out, entity, character);
  std::string joined;
  size_t at = 0;
  while (at <= out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    const std::string line = text::trim(std::string_view(out).substr(at, end - at));
    if (!line.empty()) joined += (joined.empty() ? "" : "\n") + line;
    at = end + 1;
  }
  return joined;
}

std::string EmailSignatureService::fillValues(std::string_view content,
                                              const SignatureFieldValues& values, bool isHtml) {
  std::string out(content);
  for (size_t index : kUserFields) {
    const auto& variable = kVariables[index];
    const auto it = values.find(std::string(variable.key));
    if (it == values.end() || is_blank(it->second)) continue;
    out = replace_text(out, variable.placeholder, isHtml ? escapeHtml(it->second) : it->second);
  }
  return out;
}

std::string EmailSignatureService::preview(std::string_view content) {
  return replace_text(replace_text(content, "{{name}}", localized("signature.preview.name")),
                      "{{email}}", localized("signature.preview.email"));
}

std::string EmailSignatureService::escapeHtml(std::string_view text) { return escape_html(text); }

}  // namespace kestrova::app
