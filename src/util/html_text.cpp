#include "util/html_text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

namespace kestrova {

namespace {

std::string lower_ascii(std::string_view s) {
  std::string out(s);
  for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return out;
}

bool is_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r' || ch == '\f'; }

// Quote marks and list indentation show at most this many levels: deeper nesting still
// counts (so end tags match up), but every line would otherwise carry a prefix as long as
// the nesting, and a page of unclosed lists or quotes would grow with its square.
constexpr size_t kShownDepth = 8;

// The longest reference handled, "&" to ";" inclusive ("&#x10FFFF;" and the named ones).
constexpr size_t kLongestReference = 11;

// The named references mail actually uses; others stay as written.
constexpr std::array<std::pair<std::string_view, uint32_t>, 32> kNamedReferences{{
    {"amp", '&'},      {"lt", '<'},       {"gt", '>'},       {"quot", '"'},     {"apos", '\''},
    {"nbsp", ' '},     {"copy", 0xA9},    {"reg", 0xAE},     {"trade", 0x2122}, {"hellip", 0x2026},
    {"mdash", 0x2014}, {"ndash", 0x2013}, {"lsquo", 0x2018}, {"rsquo", 0x2019}, {"ldquo", 0x201C},
    {"rdquo", 0x201D}, {"laquo", 0xAB},   {"raquo", 0xBB},   {"bull", 0x2022},  {"middot", 0xB7},
    {"euro", 0x20AC},  {"pound", 0xA3},   {"yen", 0xA5},     {"cent", 0xA2},    {"deg", 0xB0},
    {"times", 0xD7},   {"ensp", ' '},     {"emsp", ' '},     {"thinsp", ' '},   {"zwnj", 0x200C},
    {"zwj", 0x200D},   {"shy", 0xAD},
}};

// Decodes character references in `raw` (text or an attribute value).
std::string decode_references(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size();) {
    if (raw[i] != '&') {
      out += raw[i++];
      continue;
    }
    // Looked for only as far as a reference can reach, so a run of "&" stays linear.
    const size_t semicolon = raw.substr(0, i + kLongestReference).find(';', i + 1);
    if (semicolon == std::string_view::npos) {
      out += raw[i++];
      continue;
    }
    const std::string_view name = raw.substr(i + 1, semicolon - i - 1);
    std::optional<uint32_t> cp;
    if (name.size() > 1 && name[0] == '#') {
      const bool hex = name[1] == 'x' || name[1] == 'X';
      const std::string_view digits = name.substr(hex ? 2 : 1);
      uint32_t value = 0;
      bool valid = !digits.empty();
      for (char d : digits) {
        const int v = std::isdigit(static_cast<unsigned char>(d)) ? d - '0'
                      : hex && std::isxdigit(static_cast<unsigned char>(d))
                          ? std::tolower(static_cast<unsigned char>(d)) - 'a' + 10
                          : -1;
        if (v < 0 || value > 0x10FFFF) valid = false;
        if (!valid) break;
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(v);
      }
      if (valid) cp = value;
    } else {
      for (const auto& [entity, value] : kNamedReferences)
        if (entity == name) cp = value;
    }
    if (!cp) {
      out += raw[i++];
      continue;
    }
    if (*cp == 0xA0) *cp = ' ';
    if (*cp != 0xAD) append_utf8(out, *cp);  // a soft hyphen only marks where a word may break
    i = semicolon + 1;
  }
  return out;
}

struct Tag {
  std::string name;  // lower case, without "/"
  bool closing = false;
  bool self_closing = false;
  std::vector<std::pair<std::string, std::string>> attributes;  // names lower case

  std::string attribute(std::string_view wanted) const {
    for (const auto& [name, value] : attributes)
      if (name == wanted) return value;
    return {};
  }
};

// Parses the tag between `<` and `>` (exclusive).
Tag parse_tag(std::string_view inside) {
  Tag tag;
  size_t i = 0;
  if (i < inside.size() && inside[i] == '/') {
    tag.closing = true;
    ++i;
  }
  const size_t name_start = i;
  while (i < inside.size() && !is_space(inside[i]) && inside[i] != '/') ++i;
  tag.name = lower_ascii(inside.substr(name_start, i - name_start));
  while (i < inside.size()) {
    while (i < inside.size() && (is_space(inside[i]) || inside[i] == '/')) {
      if (inside[i] == '/' && i + 1 == inside.size()) tag.self_closing = true;
      ++i;
    }
    const size_t attribute_start = i;
    while (i < inside.size() && !is_space(inside[i]) && inside[i] != '=' && inside[i] != '/') ++i;
    if (i == attribute_start) break;
    std::string name = lower_ascii(inside.substr(attribute_start, i - attribute_start));
    while (i < inside.size() && is_space(inside[i])) ++i;
    std::string value;
    if (i < inside.size() && inside[i] == '=') {
      ++i;
      while (i < inside.size() && is_space(inside[i])) ++i;
      if (i < inside.size() && (inside[i] == '"' || inside[i] == '\'')) {
        const char quote = inside[i++];
        const size_t end = std::min(inside.find(quote, i), inside.size());
        value = decode_references(inside.substr(i, end - i));
        i = end + 1;
      } else {
        const size_t start = i;
        while (i < inside.size() && !is_space(inside[i])) ++i;
        value = decode_references(inside.substr(start, i - start));
      }
    }
    tag.attributes.emplace_back(std::move(name), std::move(value));
  }
  return tag;
}

bool one_of(std::string_view name, std::initializer_list<std::string_view> names) {
  return std::ranges::find(names, name) != names.end();
}

// Elements whose content is never shown.
bool is_dropped(std::string_view name) {
  return one_of(name,
                {"style", "script", "head", "title", "template", "noscript", "svg", "object"});
}

// Elements that end a paragraph (a blank line around them) or at least a line.
bool is_paragraph(std::string_view name) {
  return one_of(name, {"p", "h1", "h2", "h3", "h4", "h5", "h6", "blockquote", "pre", "table", "ul",
                       "ol", "dl", "figure", "address"});
}
bool is_line(std::string_view name) {
  return one_of(name, {"div",    "tr",    "li",    "section", "article",    "header", "footer",
                       "center", "dt",    "dd",    "form",    "main",       "nav",    "aside",
                       "tbody",  "thead", "tfoot", "caption", "figcaption", "hr",     "body"});
}
bool is_void(std::string_view name) {
  return one_of(name, {"br", "hr", "img", "meta", "link", "input", "area", "base", "col", "wbr",
                       "source", "track", "embed", "param"});
}

bool is_hidden(const Tag& tag) {
  std::string style = lower_ascii(tag.attribute("style"));
  std::erase_if(style, [](char ch) { return is_space(ch); });
  return style.find("display:none") != std::string::npos || tag.attribute("hidden") != "" ||
         std::ranges::any_of(tag.attributes, [](const auto& a) { return a.first == "hidden"; });
}

class Renderer {
 public:
  ReadableHtml render(std::string_view html) {
    size_t i = 0;
    while (i < html.size()) {
      if (html[i] != '<') {
        const size_t end = std::min(html.find('<', i), html.size());
        text(html.substr(i, end - i));
        i = end;
        continue;
      }
      if (html.substr(i, 4) == "<!--") {
        const size_t end = html.find("-->", i + 4);
        i = end == std::string_view::npos ? html.size() : end + 3;
        continue;
      }
      if (i + 1 < html.size() && (html[i + 1] == '!' || html[i + 1] == '?')) {
        const size_t end = html.find('>', i);
        i = end == std::string_view::npos ? html.size() : end + 1;
        continue;
      }
      if (i + 1 >= html.size() ||
          !(std::isalpha(static_cast<unsigned char>(html[i + 1])) || html[i + 1] == '/')) {
        text(html.substr(i, 1));  // a lone "<" is text
        ++i;
        continue;
      }
      const size_t end = find_tag_end(html, i + 1);
      const Tag tag = parse_tag(html.substr(i + 1, end - i - 1));
      i = end == html.size() ? end : end + 1;
      if (!tag.closing && is_dropped(tag.name) && !tag.self_closing) {
        i = skip_element(html, i, tag.name);
        continue;
      }
      element(tag);
    }
    result_.text = finish();
    return std::move(result_);
  }

 private:
  // The ">" that ends a tag, outside quoted attribute values.
  static size_t find_tag_end(std::string_view html, size_t from) {
    char quote = 0;
    for (size_t i = from; i < html.size(); ++i) {
      if (quote) {
        if (html[i] == quote) quote = 0;
      } else if (html[i] == '"' || html[i] == '\'') {
        quote = html[i];
      } else if (html[i] == '>') {
        return i;
      }
    }
    return html.size();
  }

  // Past the end tag of `name` (nested ones of the same name included), or the end.
  static size_t skip_element(std::string_view html, size_t from, const std::string& name) {
    int depth = 1;
    size_t i = from;
    while (i < html.size()) {
      const size_t lt = html.find('<', i);
      if (lt == std::string_view::npos) return html.size();
      const size_t end = find_tag_end(html, lt + 1);
      const Tag tag = parse_tag(html.substr(lt + 1, end - lt - 1));
      i = end == html.size() ? end : end + 1;
      if (tag.name != name || tag.self_closing) continue;
      depth += tag.closing ? -1 : 1;
      if (depth == 0) return i;
    }
    return html.size();
  }

  void element(const Tag& tag) {
    const std::string& name = tag.name;
    if (hidden_depth_ > 0) {
      if (name == hidden_name_ && !is_void(name)) hidden_depth_ += tag.closing ? -1 : 1;
      return;
    }
    if (!tag.closing && !is_void(name) && !tag.self_closing && is_hidden(tag)) {
      hidden_name_ = name;
      hidden_depth_ = 1;
      return;
    }
    if (name == "br") return line_break(1);
    if (name == "hr") {
      line_break(1);
      word("――――――――");
      return line_break(1);
    }
    if (name == "img") {
      if (const std::string alt = tag.attribute("alt"); !alt.empty() && !tag.closing) {
        text("[");
        text(alt);
        text("]");
      }
      return;
    }
    if (name == "a") return link(tag);
    if (name == "td" || name == "th") {
      if (!tag.closing && !at_line_start()) pending_space_ = true, cell_gap_ = true;
      return;
    }
    if (name == "pre") pre_depth_ += tag.closing ? (pre_depth_ > 0 ? -1 : 0) : 1;
    if (name == "blockquote") {
      line_break(2);
      quote_depth_ += tag.closing ? (quote_depth_ > 0 ? -1 : 0) : 1;
      return;
    }
    if (name == "ul" || name == "ol") {
      if (tag.closing) {
        if (!lists_.empty()) lists_.pop_back();
      } else {
        lists_.push_back(name == "ol" ? 1 : 0);
      }
      return line_break(lists_.empty() || (tag.closing && lists_.empty()) ? 2 : 1);
    }
    if (name == "li" && !tag.closing) {
      line_break(1);
      const size_t depth = std::clamp<size_t>(lists_.size(), 1, kShownDepth);
      std::string marker(2 * (depth - 1), ' ');
      if (!lists_.empty() && lists_.back() > 0)
        marker += std::to_string(lists_.back()++) + ". ";
      else
        marker += "• ";
      word(marker);
      return;
    }
    if (is_paragraph(name)) return line_break(2);
    if (is_line(name)) return line_break(1);
  }

  void link(const Tag& tag) {
    if (!tag.closing) {
      open_links_.push_back({tag.attribute("href"), out_.size()});
      return;
    }
    if (open_links_.empty()) return;
    auto [href, start] = std::move(open_links_.back());
    open_links_.pop_back();
    const std::string lower = lower_ascii(href);
    const bool web = lower.starts_with("http://") || lower.starts_with("https://");
    const bool mail = lower.starts_with("mailto:");
    if (!web && !mail) return;
    // The link's own text, to leave out footnotes that only repeat it. Read no further than
    // the address is long: a longer text cannot repeat it, and many links left open around
    // a long text would otherwise each copy all of it.
    std::string shown;
    for (size_t k = std::min(start, out_.size()); k < out_.size() && shown.size() <= href.size();
         ++k)
      if (!is_space(out_[k])) shown += out_[k];
    const std::string target = mail ? href.substr(7) : href;
    if (shown == target || shown == href || (web && shown == href.substr(href.find("//") + 2)))
      return;
    const auto [known, added] = link_numbers_.try_emplace(href, result_.links.size() + 1);
    const size_t number = known->second;
    if (added) result_.links.push_back(href);
    if (shown.empty()) pending_space_ = pending_space_ || !at_line_start();
    word("[" + std::to_string(number) + "]", !shown.empty());
  }

  void text(std::string_view raw) {
    if (hidden_depth_ > 0) return;
    const std::string decoded = decode_references(raw);
    if (pre_depth_ > 0) {
      for (char ch : decoded) {
        if (ch == '\r') continue;
        if (ch == '\n') {
          pending_breaks_ = std::max(pending_breaks_, 1);
          flush_breaks(true);
        } else {
          word(std::string(1, ch));
        }
      }
      return;
    }
    size_t i = 0;
    while (i < decoded.size()) {
      if (is_space(decoded[i])) {
        pending_space_ = true;
        while (i < decoded.size() && is_space(decoded[i])) ++i;
        continue;
      }
      size_t end = i;
      while (end < decoded.size() && !is_space(decoded[end])) ++end;
      word(decoded.substr(i, end - i));
      i = end;
    }
  }

  // Appends `piece`, after the pending line breaks or space; `glued` joins it to the word
  // before it (a footnote mark after the link text).
  void word(const std::string& piece, bool glued = false) {
    flush_breaks(false);
    if (at_line_start()) {
      for (int q = 0; q < std::min<int>(quote_depth_, kShownDepth); ++q) out_ += "> ";
    } else if (pending_space_ && !glued) {
      out_ += cell_gap_ ? "  " : " ";
    }
    pending_space_ = cell_gap_ = false;
    out_ += piece;
  }

  void line_break(int count) {
    if (hidden_depth_ > 0) return;
    pending_breaks_ = std::max(pending_breaks_, count);
    pending_space_ = false;
  }

  // Writes the pending breaks; at the start of the text only a forced (preformatted) one.
  void flush_breaks(bool forced) {
    if (pending_breaks_ == 0) return;
    if (out_.empty() && !forced) {
      pending_breaks_ = 0;
      return;
    }
    trim_line_end();
    for (int n = 0; n < pending_breaks_; ++n) out_ += '\n';
    pending_breaks_ = 0;
    pending_space_ = cell_gap_ = false;
  }

  bool at_line_start() const { return out_.empty() || out_.back() == '\n'; }

  void trim_line_end() {
    while (!out_.empty() && out_.back() == ' ') out_.pop_back();
  }

  // Trailing spaces cut, runs of blank lines reduced to one, no blank lines at either end.
  std::string finish() {
    std::string tidy;
    int blank_run = 0;
    size_t start = 0;
    while (start <= out_.size()) {
      size_t end = out_.find('\n', start);
      if (end == std::string::npos) end = out_.size();
      std::string line = out_.substr(start, end - start);
      while (!line.empty() && line.back() == ' ') line.pop_back();
      const bool blank = line.find_first_not_of("> ") == std::string::npos;
      if (blank) {
        ++blank_run;
      } else {
        if (!tidy.empty()) tidy += blank_run > 0 ? "\n\n" : "\n";
        tidy += line;
        blank_run = 0;
      }
      start = end + 1;
    }
    return tidy;
  }

  ReadableHtml result_;
  std::string out_;
  int pending_breaks_ = 0;
  bool pending_space_ = false;
  bool cell_gap_ = false;
  int pre_depth_ = 0;
  int quote_depth_ = 0;
  std::vector<int> lists_;  // 0 for a bullet list, else the next number
  std::vector<std::pair<std::string, size_t>> open_links_;
  std::unordered_map<std::string, size_t> link_numbers_;  // footnote number of each address
  std::string hidden_name_;
  int hidden_depth_ = 0;
};

}  // namespace

void append_utf8(std::string& out, uint32_t cp) {
  if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = 0xFFFD;
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

ReadableHtml html_to_readable(std::string_view html) { return Renderer().render(html); }

std::string html_to_readable_text(std::string_view html) {
  const ReadableHtml readable = html_to_readable(html);
  std::string out = readable.text;
  if (!readable.links.empty()) out += "\n";
  for (size_t i = 0; i < readable.links.size(); ++i)
    out += "\n[" + std::to_string(i + 1) + "] " + readable.links[i];
  return out;
}

std::string escape_html(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

}  // namespace kestrova
