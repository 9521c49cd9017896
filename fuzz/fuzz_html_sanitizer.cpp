// libFuzzer target: each input is an HTML body made safe for the window's reading pane
// (HtmlSanitizer::sanitize), with remote images blocked and allowed and one tracker host
// named, and the same bytes as a plain-text body (HtmlSanitizer::plain_text_html).
//
// The output is read back with a strict reader of its own: every "<" must open a tag written
// the way the sanitiser writes them (lower-case name, attributes as name="value" with the
// value escaped), and no ">" may stand outside a tag. Beyond sanitizer reports it aborts
// when that reading fails, when an element that runs code, loads a page, a style sheet or a
// form survives (script, style, iframe, frame, object, embed, form, input, link, meta, base,
// svg, ...), when an event handler or an attribute off the list appears, when a link is not
// a web or mail address, when an image source is anything but cid:, data:image/ or (only
// when remote images are allowed, and never from the tracker host) a web address, when an
// inline style holds a property off the list or anything that can load or run, when the counts of
// left-out images are negative or an image is counted while remote images are allowed and not a
// tracker, when sanitising the output again (remote images allowed) changes it, or when the output
// is far larger than the input.

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "app/desktop/html_sanitizer.h"

namespace {

using kestrova::app::desktop::HtmlSanitizer;

constexpr std::string_view kTrackerHost = "track.example";

[[noreturn]] void fail(const char* what, std::string_view detail, std::string_view input,
                       std::string_view output) {
  std::fprintf(stderr, "%s: %.*s\ninput (%zu bytes): %.*s\noutput: %.*s\n", what,
               static_cast<int>(detail.size()), detail.data(), input.size(),
               static_cast<int>(input.size()), input.data(), static_cast<int>(output.size()),
               output.data());
  std::abort();
}

bool one_of(std::string_view name, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

std::string lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// What a browser reads from a value the sanitiser wrote (it escapes only these four).
std::string unescape(std::string_view value) {
  std::string out;
  for (size_t i = 0; i < value.size();) {
    bool replaced = false;
    for (auto [reference, ch] : {std::pair<std::string_view, char>{"&amp;", '&'},
                                 {"&lt;", '<'},
                                 {"&gt;", '>'},
                                 {"&quot;", '"'}}) {
      if (value.substr(i, reference.size()) == reference) {
        out += ch;
        i += reference.size();
        replaced = true;
        break;
      }
    }
    if (!replaced) out += value[i++];
  }
  return out;
}

// The scheme as a browser's URL parser reads it: control characters and spaces at either end
// are dropped, tabs and line breaks anywhere; then letters, digits, "+", "-" and "." after
// a first letter, up to ":". Empty for a relative address.
std::string scheme_of(std::string_view url) {
  while (!url.empty() && static_cast<unsigned char>(url.front()) <= 0x20) url.remove_prefix(1);
  while (!url.empty() && static_cast<unsigned char>(url.back()) <= 0x20) url.remove_suffix(1);
  std::string scheme;
  for (char c : url) {
    if (c == '\t' || c == '\n' || c == '\r') continue;
    if (c == ':') return scheme.empty() ? std::string() : lower(scheme);
    const bool letter = std::isalpha(static_cast<unsigned char>(c));
    if (!letter && (scheme.empty() || !(std::isdigit(static_cast<unsigned char>(c)) || c == '+' ||
                                        c == '-' || c == '.')))
      return {};
    scheme += c;
  }
  return {};
}

struct Checker {
  std::string_view input;
  std::string_view output;
  bool remoteAllowed;

  [[noreturn]] void fail(const char* what, std::string_view detail) const {
    ::fail(what, detail, input, output);
  }

  void attribute(std::string_view element, std::string_view name, const std::string& value) const {
    if (name.starts_with("on")) fail("an event handler survived", name);
    if (!one_of(name,
                {"style",  "align",       "dir",         "title",   "lang",    "valign", "width",
                 "height", "bgcolor",     "color",       "href",    "name",    "src",    "alt",
                 "border", "cellpadding", "cellspacing", "colspan", "rowspan", "nowrap", "size",
                 "face",   "start",       "type",        "value"}))
      fail("an attribute off the list survived", name);
    if (name == "href") {
      if (element != "a") fail("an address on another element than a link", element);
      const std::string scheme = scheme_of(value);
      if (scheme != "http" && scheme != "https" && scheme != "mailto")
        fail("a link that is not a web or mail address", value);
    } else if (name == "src") {
      if (element != "img") fail("a source on another element than an image", element);
      const std::string scheme = scheme_of(value);
      const bool embedded = scheme == "cid" || lower(value).starts_with("data:image/");
      const bool remote = scheme == "http" || scheme == "https";
      if (!embedded && !(remote && remoteAllowed)) fail("an image source that loads", value);
      if (remote && HtmlSanitizer::host_of(value) == kTrackerHost)
        fail("an image of the tracker host", value);
    } else if (name == "style") {
      const std::string l = lower(value);
      for (std::string_view bad : {"url(", "expression", "javascript", "\\", "@", "<"})
        if (l.find(bad) != std::string::npos) fail("an inline style that can load or run", value);
      // Declarations as the sanitiser writes them, "property: value" joined by "; ", each a
      // property the view draws (so never behavior or -moz-binding; a value holds no ";", so
      // such a word inside one cannot start a declaration).
      for (size_t at = 0; at < l.size();) {
        const size_t colon = l.find(": ", at);
        if (colon == std::string::npos) fail("a declaration without \": \"", l.substr(at));
        const std::string property = l.substr(at, colon - at);
        if (!one_of(property,
                    {"color",         "background-color", "font-weight",    "font-style",
                     "font-size",     "font-family",      "text-align",     "text-decoration",
                     "text-indent",   "vertical-align",   "white-space",    "margin",
                     "margin-top",    "margin-bottom",    "margin-left",    "margin-right",
                     "padding",       "padding-top",      "padding-bottom", "padding-left",
                     "padding-right", "border",           "border-width",   "border-style",
                     "border-color",  "border-collapse",  "width",          "line-height"}))
          fail("a style property off the list", property);
        const size_t next = l.find("; ", colon);
        at = next == std::string::npos ? l.size() : next + 2;
      }
    }
  }

  // Reads the output tag by tag.
  void read() const {
    size_t i = 0;
    auto name_char = [](char c) {
      return std::islower(static_cast<unsigned char>(c)) ||
             std::isdigit(static_cast<unsigned char>(c));
    };
    while (i < output.size()) {
      if (output[i] == '>') fail("a \">\" outside a tag", output.substr(i, 40));
      if (output[i] != '<') {
        ++i;
        continue;
      }
      const size_t start = i++;
      const bool end = i < output.size() && output[i] == '/';
      if (end) ++i;
      const size_t name_start = i;
      while (i < output.size() && name_char(output[i])) ++i;
      const std::string_view name = output.substr(name_start, i - name_start);
      if (name.empty()) fail("a \"<\" that opens no tag", output.substr(start, 40));
      if (one_of(name,
                 {"script",    "style",  "iframe", "frame",    "frameset", "object", "embed",
                  "applet",    "form",   "input",  "button",   "textarea", "select", "option",
                  "link",      "meta",   "base",   "svg",      "math",     "canvas", "audio",
                  "video",     "source", "track",  "noscript", "template", "xml",    "xmp",
                  "plaintext", "head",   "title",  "isindex",  "marquee",  "portal", "dialog"}))
        fail("a forbidden element survived", name);
      while (i < output.size() && output[i] == ' ' && !end) {
        ++i;
        const size_t attribute_start = i;
        while (i < output.size() && (name_char(output[i]) || output[i] == '-')) ++i;
        const std::string_view attribute = output.substr(attribute_start, i - attribute_start);
        if (attribute.empty() || output.substr(i, 2) != "=\"")
          fail("an attribute not written as name=\"value\"", output.substr(start, 60));
        i += 2;
        const size_t close = output.find('"', i);
        if (close == std::string::npos)
          fail("an unterminated attribute value", output.substr(start, 60));
        const std::string_view raw = output.substr(i, close - i);
        if (raw.find_first_of("<>") != std::string_view::npos)
          fail("an angle bracket inside an attribute value", raw);
        this->attribute(name, attribute, unescape(raw));
        i = close + 1;
      }
      if (i >= output.size() || output[i] != '>')
        fail("a tag that does not end in \">\"", output.substr(start, 60));
      ++i;
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view html(reinterpret_cast<const char*>(data), size);
  for (const auto images :
       {HtmlSanitizer::RemoteImages::block, HtmlSanitizer::RemoteImages::allow}) {
    HtmlSanitizer::Options options;
    options.remoteImages = images;
    options.trackerHosts.insert(std::string(kTrackerHost));
    const bool allowed = images == HtmlSanitizer::RemoteImages::allow;
    HtmlSanitizer::Result result;
    try {
      result = HtmlSanitizer::sanitize(html, options);
    } catch (...) {
      fail("threw", "", html, "");
    }
    const Checker checker{html, result.html, allowed};
    checker.read();
    if (result.blockedRemoteImages < 0 || result.droppedTrackers < 0 ||
        (allowed && result.blockedRemoteImages != 0))
      fail("wrong counts of left-out images", std::to_string(result.blockedRemoteImages), html,
           result.html);
    // Each byte of the input yields a few bytes at most: "<" becomes "&lt;", an unclosed
    // element gets its end tag, an image left out its grey alternative text.
    if (result.html.size() > 64 + 8 * size)
      fail("the output grew far beyond the input", std::to_string(result.html.size()), html,
           result.html);
    // With remote images allowed the most markup survives; what it keeps must pass unchanged.
    if (allowed) {
      const HtmlSanitizer::Result again = HtmlSanitizer::sanitize(result.html, options);
      if (again.html != result.html)
        fail("sanitising the output changed it", again.html, html, result.html);
    }
  }

  const std::string plain = HtmlSanitizer::plain_text_html(html, size % 2 == 0);
  const Checker checker{html, plain, false};
  checker.read();
  return 0;
}
