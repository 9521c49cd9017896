#include "app/desktop/html_sanitizer.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "util/html_text.h"

namespace kestrova::app::desktop {

namespace {

using Names = std::unordered_set<std::string_view>;

// Elements kept as they are (with their allowed attributes).
const Names kAllowedElements{
    "a",      "abbr",   "b",    "big",   "blockquote", "body",       "br",      "caption",
    "center", "cite",   "code", "dd",    "del",        "div",        "dl",      "dt",
    "em",     "font",   "h1",   "h2",    "h3",         "h4",         "h5",      "h6",
    "hr",     "html",   "i",    "img",   "ins",        "kbd",        "li",      "ol",
    "p",      "pre",    "q",    "s",     "samp",       "small",      "span",    "strike",
    "strong", "sub",    "sup",  "table", "tbody",      "td",         "tfoot",   "th",
    "thead",  "tr",     "tt",   "u",     "ul",         "var",        "section", "article",
    "header", "footer", "main", "nav",   "figure",     "figcaption", "address"};

// Elements dropped together with everything inside them.
const Names kDroppedWithContent{"script",   "style",   "iframe",   "frame",    "frameset", "object",
                                "embed",    "applet",  "noscript", "template", "head",     "title",
                                "textarea", "select",  "svg",      "math",     "canvas",   "audio",
                                "video",    "noembed", "noframes", "xml",      "option"};

// Elements whose content is raw text up to their end tag.
const Names kRawText{"script",   "style",   "textarea", "title",  "xmp",
                     "noscript", "noembed", "noframes", "iframe", "template"};

// Void elements: written without an end tag (the allowed ones), or never holding content
// (the rest).
const Names kVoid{"br", "hr", "img"};
const Names kVoidDropped{"embed", "source", "track", "param", "link", "meta",
                         "base",  "input",  "area",  "col",   "wbr",  "keygen"};

// Attributes any allowed element may keep.
const Names kGlobalAttributes{"style",  "align", "dir",    "title",   "lang",
                              "valign", "width", "height", "bgcolor", "color"};

const std::unordered_map<std::string_view, Names>& element_attributes() {
  static const std::unordered_map<std::string_view, Names> map{
      {"a", {"href", "name"}},
      {"img", {"src", "alt", "border"}},
      {"table", {"border", "cellpadding", "cellspacing"}},
      {"td", {"colspan", "rowspan", "nowrap"}},
      {"th", {"colspan", "rowspan", "nowrap"}},
      {"font", {"size", "face"}},
      {"ol", {"start", "type"}},
      {"ul", {"type"}},
      {"li", {"value"}},
  };
  return map;
}

// Style properties the view draws.
const Names kStyleProperties{
    "color",         "background-color", "font-weight",    "font-style",
    "font-size",     "font-family",      "text-align",     "text-decoration",
    "text-indent",   "vertical-align",   "white-space",    "margin",
    "margin-top",    "margin-bottom",    "margin-left",    "margin-right",
    "padding",       "padding-top",      "padding-bottom", "padding-left",
    "padding-right", "border",           "border-width",   "border-style",
    "border-color",  "border-collapse",  "width",          "line-height"};

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f'; }

std::string trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && is_space(s[b])) ++b;
  while (e > b && is_space(s[e - 1])) --e;
  return std::string(s.substr(b, e - b));
}

// Decodes numeric references and the few named ones that matter for the checks (an
// attribute value such as "java&#115;cript:" must be seen as what the browser would see).
std::string decode_references(std::string_view s) {
  static const std::unordered_map<std::string_view, std::string_view> named{
      {"amp", "&"},         {"lt", "<"},    {"gt", ">"},   {"quot", "\""},   {"apos", "'"},
      {"nbsp", "\xC2\xA0"}, {"colon", ":"}, {"tab", "\t"}, {"newline", "\n"}};
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '&') {
      out += s[i];
      continue;
    }
    size_t j = i + 1;
    if (j < s.size() && s[j] == '#') {
      ++j;
      const bool hex = j < s.size() && (s[j] == 'x' || s[j] == 'X');
      if (hex) ++j;
      uint32_t cp = 0;
      size_t digits = 0;
      while (j < s.size() && digits < 8 &&
             (hex ? std::isxdigit(static_cast<unsigned char>(s[j]))
                  : std::isdigit(static_cast<unsigned char>(s[j])))) {
        const char c = s[j];
        cp = cp * (hex ? 16 : 10) +
             static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                       ? c - '0'
                                       : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
        ++j;
        ++digits;
      }
      if (digits == 0) {
        out += '&';
        continue;
      }
      if (j < s.size() && s[j] == ';') ++j;
      append_utf8(out, cp);
      i = j - 1;
      continue;
    }
    size_t k = j;
    while (k < s.size() && k - j < 10 && std::isalpha(static_cast<unsigned char>(s[k]))) ++k;
    auto it = named.find(lower(s.substr(j, k - j)));
    if (it == named.end()) {
      out += '&';
      continue;
    }
    out += it->second;
    i = (k < s.size() && s[k] == ';') ? k : k - 1;
  }
  return out;
}

// The scheme of a URL as a browser reads it, lower-cased: control characters and spaces at
// either end and tabs and line breaks inside do not count; the scheme is a letter followed
// by letters, digits, "+", "-" or ".", up to the first ":". Anything else before the ":"
// (a control character, a space) makes the address relative, and so not one that is kept;
// the browser would not read "ht\x01tp:" as "http:" either. Empty for a relative reference.
std::string scheme_of(std::string_view url) {
  const auto outer = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!url.empty() && outer(url.front())) url.remove_prefix(1);
  while (!url.empty() && outer(url.back())) url.remove_suffix(1);
  std::string before_colon;
  for (char c : url.substr(0, url.find(':')))
    if (c != '\t' && c != '\n' && c != '\r') before_colon += c;
  if (url.find(':') == std::string_view::npos || before_colon.empty() ||
      !std::isalpha(static_cast<unsigned char>(before_colon[0])))
    return {};
  const std::string scheme = lower(before_colon);
  if (scheme.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789+-.") != std::string::npos)
    return {};
  return scheme;
}

struct Attribute {
  std::string name;
  std::string value;  // references decoded
};

struct Tag {
  std::string name;  // lower case
  bool end = false;
  bool selfClosing = false;
  std::vector<Attribute> attributes;
};

// Reads a tag starting at html[pos] == '<'; on success `pos` is past its '>'.
std::optional<Tag> read_tag(std::string_view html, size_t& pos) {
  size_t i = pos + 1;
  Tag tag;
  if (i < html.size() && html[i] == '/') {
    tag.end = true;
    ++i;
  }
  if (i >= html.size() || !std::isalpha(static_cast<unsigned char>(html[i]))) return std::nullopt;
  size_t start = i;
  while (i < html.size() && !is_space(html[i]) && html[i] != '>' && html[i] != '/') ++i;
  tag.name = lower(html.substr(start, i - start));
  while (i < html.size()) {
    while (i < html.size() && (is_space(html[i]) || html[i] == '/')) {
      if (html[i] == '/' && i + 1 < html.size() && html[i + 1] == '>') tag.selfClosing = true;
      ++i;
    }
    if (i >= html.size()) break;
    if (html[i] == '>') {
      pos = i + 1;
      return tag;
    }
    start = i;
    while (i < html.size() && !is_space(html[i]) && html[i] != '>' && html[i] != '=' &&
           html[i] != '/')
      ++i;
    if (i == start) {  // a stray character such as a lone quote
      ++i;
      continue;
    }
    Attribute attribute{lower(html.substr(start, i - start)), {}};
    while (i < html.size() && is_space(html[i])) ++i;
    if (i < html.size() && html[i] == '=') {
      ++i;
      while (i < html.size() && is_space(html[i])) ++i;
      if (i < html.size() && (html[i] == '"' || html[i] == '\'')) {
        const char quote = html[i++];
        const size_t close = html.find(quote, i);
        const size_t end = close == std::string_view::npos ? html.size() : close;
        attribute.value = decode_references(html.substr(i, end - i));
        i = close == std::string_view::npos ? html.size() : close + 1;
      } else {
        start = i;
        while (i < html.size() && !is_space(html[i]) && html[i] != '>') ++i;
        attribute.value = decode_references(html.substr(start, i - start));
      }
    }
    tag.attributes.push_back(std::move(attribute));
  }
  return std::nullopt;  // unterminated: the rest is text
}

std::string clean_style(std::string_view style) {
  std::string out;
  size_t i = 0;
  while (i < style.size()) {
    size_t end = style.find(';', i);
    if (end == std::string_view::npos) end = style.size();
    const std::string_view declaration = style.substr(i, end - i);
    i = end + 1;
    const size_t colon = declaration.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string property = lower(trim(declaration.substr(0, colon)));
    std::string value = trim(declaration.substr(colon + 1));
    const std::string lowered = lower(value);
    if (!kStyleProperties.contains(property)) {
      // A background given as a plain colour is kept as one.
      if (property != "background" || lowered.find(' ') != std::string::npos) continue;
      if (lowered.find('(') != std::string::npos && lowered.rfind("rgb", 0) != 0) continue;
    }
    if (lowered.find("url(") != std::string::npos ||
        lowered.find("expression") != std::string::npos ||
        lowered.find('\\') != std::string::npos ||
        lowered.find("javascript") != std::string::npos || lowered.find('@') != std::string::npos ||
        lowered.find('<') != std::string::npos)
      continue;
    if (!out.empty()) out += "; ";
    out += (property == "background" ? std::string("background-color") : property) + ": " + value;
  }
  return out;
}

class Writer {
 public:
  Writer(const HtmlSanitizer::Options& options, HtmlSanitizer::Result& result)
      : options_(options), result_(result) {}

  void text(std::string_view t) {
    if (dropDepth_ > 0) return;
    // Text is passed through with its references; only stray angle brackets are escaped.
    for (char c : t) {
      if (c == '<')
        result_.html += "&lt;";
      else if (c == '>')
        result_.html += "&gt;";
      else
        result_.html += c;
    }
  }

  void start(const Tag& tag) {
    if (kDroppedWithContent.contains(tag.name)) {
      if (!tag.selfClosing && !kVoidDropped.contains(tag.name)) {
        ++dropDepth_;
        dropStack_.push_back(tag.name);
      }
      return;
    }
    if (dropDepth_ > 0 || !kAllowedElements.contains(tag.name)) return;
    std::string out = "<" + tag.name;
    bool keep = true;
    for (const auto& a : tag.attributes) {
      if (!allowed_attribute(tag.name, a.name)) continue;
      std::string value = a.value;
      if (a.name == "style") {
        value = clean_style(value);
        if (value.empty()) continue;
      } else if (a.name == "href") {
        const std::string scheme = scheme_of(value);
        if (scheme != "http" && scheme != "https" && scheme != "mailto") continue;
      } else if (a.name == "src") {
        pixel_ = tag.name == "img" && is_tracking_pixel(tag);
        keep = image_source(value);
        if (!keep) break;
      }
      out += " " + a.name + "=\"" + escape_html(value) + "\"";
    }
    if (!keep) {
      image_placeholder(tag);
      return;
    }
    if (tag.name == "img" && std::none_of(tag.attributes.begin(), tag.attributes.end(),
                                          [](const Attribute& a) { return a.name == "src"; }))
      return;
    out += ">";
    result_.html += out;
    if (!kVoid.contains(tag.name)) open_.push_back(tag.name);
  }

  void end(const Tag& tag) {
    if (dropDepth_ > 0) {
      auto it = std::find(dropStack_.rbegin(), dropStack_.rend(), tag.name);
      if (it != dropStack_.rend()) {
        const auto keep = static_cast<size_t>(std::distance(it, dropStack_.rend())) - 1;
        dropDepth_ -= static_cast<int>(dropStack_.size() - keep);
        dropStack_.resize(keep);
      }
      return;
    }
    if (!kAllowedElements.contains(tag.name) || kVoid.contains(tag.name)) return;
    auto it = std::find(open_.rbegin(), open_.rend(), tag.name);
    if (it == open_.rend()) return;  // an end tag without its start
    const auto keep = static_cast<size_t>(std::distance(it, open_.rend())) - 1;
    while (open_.size() > keep) {
      result_.html += "</" + open_.back() + ">";
      open_.pop_back();
    }
  }

  void finish() {
    while (!open_.empty()) {
      result_.html += "</" + open_.back() + ">";
      open_.pop_back();
    }
  }

 private:
  static bool allowed_attribute(const std::string& element, const std::string& name) {
    if (kGlobalAttributes.contains(name)) return true;
    auto it = element_attributes().find(element);
    return it != element_attributes().end() && it->second.contains(name);
  }

  // Whether an image source stays; counts what is left out.
  bool image_source(const std::string& src) {
    const std::string scheme = scheme_of(src);
    if (scheme == "cid") return true;
    if (scheme == "data") return lower(src).rfind("data:image/", 0) == 0;
    if (scheme != "http" && scheme != "https") return false;  // file:, relative, javascript:...
    if (options_.trackerHosts.contains(HtmlSanitizer::host_of(src)) || pixel_) {
      ++result_.droppedTrackers;
      return false;
    }
    if (options_.remoteImages == HtmlSanitizer::RemoteImages::block) {
      ++result_.blockedRemoteImages;
      return false;
    }
    return true;
  }

  void image_placeholder(const Tag& tag) {
    for (const auto& a : tag.attributes)
      if (a.name == "alt" && !trim(a.value).empty())
        result_.html +=
            "<span style=\"color: #888888\">[" + escape_html(trim(a.value)) + "]</span>";
  }

  // An image of at most one pixel, or one hidden by its style, is there to report that the
  // mail was opened.
  static bool is_tracking_pixel(const Tag& tag) {
    for (const auto& a : tag.attributes) {
      if ((a.name == "width" || a.name == "height") && !trim(a.value).empty() &&
          std::atoi(trim(a.value).c_str()) <= 1)
        return true;
      if (a.name == "style") {
        std::string style;
        for (char c : lower(a.value))
          if (!is_space(c)) style += c;
        if (style.find("display:none") != std::string::npos ||
            style.find("visibility:hidden") != std::string::npos)
          return true;
      }
    }
    return false;
  }

  const HtmlSanitizer::Options& options_;
  HtmlSanitizer::Result& result_;
  bool pixel_ = false;
  std::vector<std::string> open_;
  std::vector<std::string> dropStack_;
  int dropDepth_ = 0;
};

}  // namespace

HtmlSanitizer::Result HtmlSanitizer::sanitize(std::string_view html, const Options& options) {
  Result result;
  result.html.reserve(html.size());
  Writer writer(options, result);
  size_t i = 0;
  while (i < html.size()) {
    const size_t lt = html.find('<', i);
    if (lt == std::string_view::npos) {
      writer.text(html.substr(i));
      break;
    }
    writer.text(html.substr(i, lt - i));
    i = lt;
    if (html.substr(i, 4) == "<!--") {
      const size_t close = html.find("-->", i + 4);
      i = close == std::string_view::npos ? html.size() : close + 3;
      continue;
    }
    if (i + 1 < html.size() && (html[i + 1] == '!' || html[i + 1] == '?')) {
      const size_t close = html.find('>', i);
      i = close == std::string_view::npos ? html.size() : close + 1;
      continue;
    }
    size_t pos = i;
    auto tag = read_tag(html, pos);
    if (!tag) {
      writer.text("<");
      ++i;
      continue;
    }
    i = pos;
    if (tag->end) {
      writer.end(*tag);
      continue;
    }
    writer.start(*tag);
    if (kRawText.contains(tag->name) && !tag->selfClosing) {
      // Everything up to the matching end tag is text of the element, never markup.
      const std::string close = "</" + tag->name;
      size_t at = i;
      for (;;) {
        at = html.find("</", at);
        if (at == std::string_view::npos || lower(html.substr(at, close.size())) == close) break;
        at += 2;
      }
      if (!kDroppedWithContent.contains(tag->name))
        writer.text(html.substr(i, (at == std::string_view::npos ? html.size() : at) - i));
      if (at == std::string_view::npos) {
        i = html.size();
        writer.end(*tag);
        break;
      }
      i = at;
    }
  }
  writer.finish();
  return result;
}

std::string HtmlSanitizer::host_of(std::string_view url) {
  const size_t scheme = url.find("://");
  if (scheme == std::string_view::npos) return {};
  std::string_view rest = url.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const size_t at = rest.rfind('@'); at != std::string_view::npos) rest = rest.substr(at + 1);
  if (!rest.empty() && rest.front() == '[') return lower(rest.substr(0, rest.find(']') + 1));
  return lower(rest.substr(0, rest.find(':')));
}

std::string HtmlSanitizer::plain_text_html(std::string_view text, bool compactBlankLines) {
  std::string out = "<div style=\"white-space: pre-wrap\">";
  bool previousBlank = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    start = end + 1;
    const bool blank = trim(line).empty();
    if (blank && previousBlank && compactBlankLines) continue;
    previousBlank = blank;
    int depth = 0;
    for (size_t i = 0; i < line.size() && (line[i] == '>' || line[i] == ' '); ++i)
      if (line[i] == '>') ++depth;
    std::string escaped;
    // Web addresses become links; the rest is escaped text.
    size_t i = 0;
    while (i < line.size()) {
      size_t found = std::string_view::npos;
      for (std::string_view prefix : {"https://", "http://"}) {
        const size_t at = line.find(prefix, i);
        if (at < found) found = at;
      }
      if (found == std::string_view::npos) {
        escaped += escape_html(line.substr(i));
        break;
      }
      escaped += escape_html(line.substr(i, found - i));
      size_t stop = found;
      while (stop < line.size() && !is_space(line[stop]) && line[stop] != '<' &&
             line[stop] != '>' && line[stop] != '"')
        ++stop;
      while (stop > found &&
             std::string_view(".,;:!?)").find(line[stop - 1]) != std::string_view::npos)
        --stop;
      const std::string url(line.substr(found, stop - found));
      escaped += "<a href=\"" + escape_html(url) + "\">" + escape_html(url) + "</a>";
      i = stop;
    }
    if (depth > 0) {
      static constexpr std::array<std::string_view, 3> colours{"#5a7fb5", "#5e9a6a", "#a0705a"};
      out += "<span style=\"color: " + std::string(colours[(depth - 1) % colours.size()]) + "\">" +
             escaped + "</span>";
    } else {
      out += escaped;
    }
    if (start <= text.size()) out += "<br>";
  }
  out += "</div>";
  return out;
}

}  // namespace kestrova::app::desktop
