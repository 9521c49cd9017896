#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova {

// Appends the UTF-8 form of the code point; surrogates, 0 and values past U+10FFFF become
// U+FFFD.
void append_utf8(std::string& out, uint32_t cp);

// Text made safe inside HTML, in element content and in double-quoted attribute values:
// & < > " become character references.
std::string escape_html(std::string_view text);

// HTML mail made readable on a terminal: paragraphs, headings, line breaks, lists ("• " and
// "1. "), quotes ("> "), table rows and preformatted text keep their shape; style, script,
// head and hidden elements are dropped; each web or mail link whose text is not its own
// address gets a footnote number, "text [1]", with the address listed under the text.
// Character references are decoded. Tolerates any malformed input (never throws).
struct ReadableHtml {
  std::string text;                // without the footnotes
  std::vector<std::string> links;  // footnote n is links[n - 1]
};
ReadableHtml html_to_readable(std::string_view html);

// The text followed, when there are links, by a blank line and "[n] address" lines.
std::string html_to_readable_text(std::string_view html);

}  // namespace kestrova
