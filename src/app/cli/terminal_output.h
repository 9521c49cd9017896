#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrova::app {

// How the command line writes for a person on a terminal versus a script in a pipe.

// Standard output is a terminal.
bool output_is_terminal();
// Colour and bold: on a terminal, unless NO_COLOR is set (https://no-color.org).
bool colour_enabled();
// Columns of the terminal on standard output; 0 (no limit) when it is not a terminal.
size_t output_columns();

enum class TextStyle { Bold, Dim, Yellow };
// `text` in `style` when colour is enabled, else as it is.
std::string styled(std::string_view text, TextStyle style);

// Dates in the local time zone: "2026-12-07 14:03" in full; listings show "12-07 14:03"
// for this year and "2025-11-30" for older ones.
std::string local_date_text(double seconds);
std::string listing_date_text(double seconds);
// "532 B", "12 KB", "3.4 MB".
std::string size_text(int64_t bytes);

// Long output: through $PAGER (default "less -FRX") when standard output is a terminal,
// else straight to standard output.
void show_paged(const std::string& text);

// Destructive commands ask first: on a terminal the question is put ("[y/N]"); elsewhere
// `yes` (--yes) must have been given, else the command stops with a usage error.
void confirm_or_stop(const std::string& question, bool yes);

}  // namespace kestrova::app
