// libFuzzer target: each input is an HTML body made readable for the terminal
// (html_to_readable and html_to_readable_text).
//
// Beyond sanitizer reports it aborts when either throws, when valid UTF-8 comes back as
// invalid UTF-8, when a footnote address is empty, when the two functions disagree (the
// text form is the text, then the footnotes "[n] address" after a blank line), or when the
// result is more than twelve times the input: the most a few bytes of markup can give is a
// rule ("<hr>", 24 bytes of "―") or a list item's indentation and marker, each under the
// eight quote marks ("> ") shown at most; deeper nesting shows no more.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "util/html_text.h"
#include "util/text.h"

namespace {

[[noreturn]] void fail(const char* what, std::string_view html) {
  std::fprintf(stderr, "%s\ninput (%zu bytes): %.*s\n", what, html.size(),
               static_cast<int>(html.size()), html.data());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view html(reinterpret_cast<const char*>(data), size);
  kestrova::ReadableHtml readable;
  std::string text;
  try {
    readable = kestrova::html_to_readable(html);
    text = kestrova::html_to_readable_text(html);
  } catch (...) {
    fail("threw", html);
  }
  if (kestrova::text::is_valid_utf8(html)) {
    if (!kestrova::text::is_valid_utf8(readable.text)) fail("invalid UTF-8 in the text", html);
    for (const auto& link : readable.links)
      if (!kestrova::text::is_valid_utf8(link)) fail("invalid UTF-8 in a link", html);
  }
  std::string expected = readable.text;
  if (!readable.links.empty()) expected += "\n";
  for (size_t i = 0; i < readable.links.size(); ++i) {
    if (readable.links[i].empty()) fail("empty footnote address", html);
    expected += "\n[" + std::to_string(i + 1) + "] " + readable.links[i];
  }
  if (text != expected) fail("the text form is not the text and its footnotes", html);
  size_t total = readable.text.size();
  for (const auto& link : readable.links) total += link.size();
  if (total > 64 + size * 12) fail("the readable text grew far beyond the input", html);
  return 0;
}
