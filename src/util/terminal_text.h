#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrova {

// Text that came from mail, a mail server or an AI provider, made safe to print on a
// terminal (or into a pipe that may end on one): nothing in it can move the cursor, clear
// the screen, set the window title, change colours or reorder what is shown.
//
// - C0 controls and DEL become their visible Control Pictures (U+2400 + code, U+2421):
//   ESC shows as "␛", so "ESC [2J" prints as "␛[2J";
// - C1 controls (U+0080..U+009F, CSI and OSC among them) and bytes that are not UTF-8
//   become U+FFFD;
// - bidirectional embeddings, overrides and isolates (U+202A..U+202E, U+2066..U+2069) are
//   dropped: the marks LRM, RLM and ALM stay;
// - `line`: one line. Tab becomes a space; CR, LF, U+2028 and U+2029 become visible, so a
//   Subject holding "\r\nFrom: ..." stays on its own line.
// - `block` (bodies, AI replies, error texts of several lines): tab and LF stay, CR LF
//   becomes LF, U+2028/U+2029 become LF, and a lone CR (which would overwrite the line)
//   becomes visible.
enum class TextShape { line, block };
std::string terminal_safe(std::string_view text, TextShape shape = TextShape::line);

// A serialised JSON document for a terminal: the same JSON value, with C1 controls, DEL,
// the bidirectional controls above and U+2028/U+2029 written as \u escapes (C0 controls
// are escaped by every serialiser already). Bytes that are not UTF-8 become U+FFFD.
std::string terminal_safe_json(std::string_view json);

// A quoted text from a server or provider (an error body) cut to at most `characters`
// user-perceived characters, ending in "…" when it was cut.
std::string quoted_excerpt(std::string_view text, size_t characters = 300);

}  // namespace kestrova
