#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kestrova::mail {

// Charset conversion of message text to UTF-8 (ICU converters) and the repair of text that
// came out garbled. Every function is thread-safe and returns valid UTF-8.
//
// Charset names are trimmed, stripped of quotes and compared lower-cased. "gb2312" decodes
// as GB 2312 (EUC-CN), "gbk" and "cp936" as GB 18030 (a superset that also covers the GBK
// extensions), "iso-8859-1"/"latin1" and "us-ascii" as Windows-1252 (what senders labelled
// so actually write), "ks_c_5601-1987" as Windows-949; any other name is resolved by ICU as
// an IANA (or ICU alias) name. Bytes that are not valid in the charset become U+FFFD.

// The bytes as text in `charset`; nothing when ICU knows no charset of that name (or the
// name is empty). No repair is applied.
std::optional<std::string> convert_charset(std::string_view bytes, std::string_view charset);

// How readable a text looks: the mean weight of its first 512 code points, from -2 (all
// replacement characters or control codes) to 1 (all plain letters, digits, spaces and
// common punctuation). Weights per code point:
//   1    ASCII letters, digits and white space; CJK ideographs of the basic block; kana;
//        Hangul syllables; CJK and full-width punctuation
//   0.8  ASCII punctuation
//   0.6  other letters (accented Latin, Cyrillic, Greek, ...)
//   0.3  rare ideographs (extension blocks), half-width katakana, other symbols and emoji
//  -0.5  Latin-1 symbols U+00A0-U+00BF, "×", "÷" (what UTF-8 read as Latin-1 is full of)
//  -1    a basic-block ideograph between two ASCII letters ("r鉹u": Latin text read as GBK),
//        private-use and unassigned code points
//  -2    U+FFFD, C0 controls other than tab/CR/LF, C1 controls U+0080-U+009F
// The empty text scores 1.
double readability_score(std::string_view utf8);

// Whether `utf8` shows signs of a wrong decoding: a replacement character, a C1 control, or
// a run of three or more code points that are Latin-1 bytes 0x80-0xFF (U+0080-U+00FF, and the
// letters and signs Windows-1252 puts at 0x80-0x9F such as "€" and "“"): GBK or UTF-8 bytes
// read as Latin-1 give such runs, genuine Western text has its accented letters one or two
// at a time.
bool looks_garbled(std::string_view utf8);

// The garbled-text repair: when `utf8` looks garbled and every code point is a Latin-1 byte
// (as above), it is turned back into those bytes and decoded again as UTF-8, GB 18030 (GB 2312
// and GBK included) and Big5, in that order; the first candidate that scores strictly
// higher than `utf8` and than every earlier candidate replaces it. Otherwise `utf8` is
// returned unchanged (invalid UTF-8 input is first made valid with U+FFFD).
std::string repair_garbled_text(std::string_view utf8);

// Bytes in the named charset as UTF-8 text, then repaired:
//  - a known charset: converted; when that gives replacement characters, the bytes are also
//    tried as UTF-8, GB 18030 and Big5 and the best-scoring reading (strictly higher than
//    the declared one) wins; then repair_garbled_text;
//  - no charset: UTF-8 when the bytes are valid UTF-8, else the best-scoring of GB 18030,
//    Big5 and Windows-1252 (ties keep the earlier); "us-ascii" likewise, with Windows-1252
//    first (8-bit bytes under that label are mostly UTF-8 or Windows-1252);
//  - an unknown charset: UTF-8 with U+FFFD for invalid bytes, then repair_garbled_text.
std::string decode_charset_text(std::string_view bytes, std::string_view charset);

}  // namespace kestrova::mail
