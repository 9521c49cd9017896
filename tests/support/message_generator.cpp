#include "support/message_generator.h"

#include <unicode/ucnv.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "util/base64.h"
#include "util/c_free.h"

namespace kestrova::testing {

namespace {

using ConverterPtr = CHandle<UConverter, &ucnv_close>;
using Attachment = GeneratedMessage::Attachment;

// ---- randomness: splitmix64, one stream per (seed, index) ----

class Rng {
 public:
  Rng(uint64_t seed, int index) : state_(mix(seed ^ mix(static_cast<uint64_t>(index) + 1))) {}
  uint64_t next() { return mix(state_ += 0x9E3779B97F4A7C15ull); }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
  bool chance(int percent) { return below(100) < percent; }
  template <class T>
  const T& pick(const std::vector<T>& items) {
    return items[static_cast<size_t>(below(static_cast<int>(items.size())))];
  }
  std::string bytes(size_t n) {
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(next() & 0xFF);
    return out;
  }

 private:
  static uint64_t mix(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint64_t state_;
};

// ---- content ----

struct Person {
  std::string name, email;
};

const std::vector<Person> kEnglishPeople = {{"Alice Chen", "alice.chen@example.com"},
                                            {"Dr. Jane Smith", "jane.smith@lab.example.org"},
                                            {"Support Team", "support@service.example"},
                                            {"Tom O'Neil", "tom.oneil@example.ie"},
                                            {"", "billing@shop.example.com"}};
const std::vector<Person> kChinesePeople = {{"张伟", "zhang.wei@example.cn"},
                                            {"李娜", "li.na@example.cn"},
                                            {"王芳", "wang.fang@corp.example"},
                                            {"陈静", "chen.jing@example.cn"}};
const std::vector<Person> kEuropeanPeople = {{"Jürgen Müller", "juergen@example.de"},
                                             {"Renée Lefèvre", "renee@example.fr"},
                                             {"José García", "jose@example.es"}};
const std::vector<Person> kRecipients = {{"Kestrova User", "user@kestrova.test"},
                                         {"赵敏", "zhao.min@example.cn"},
                                         {"", "team@kestrova.test"},
                                         {"Émile Dubois", "emile@example.fr"}};

const std::vector<std::string> kEnglishTopics = {
    "Quarterly budget review",
    "Weekly status report",
    "Invoice for your order",
    "Design review notes",
    "Server maintenance window",
    "Lunch on Friday?",
    "Minutes of the planning meeting for the spring release, "
    "with the action items and their owners"};
const std::vector<std::string> kChineseTopics = {"季度预算评审", "项目进度周报", "会议纪要",
                                                 "发票已开具",   "系统维护通知", "周末聚餐安排"};
const std::vector<std::string> kEuropeanTopics = {"Grüße aus Köln", "Réunion de l'équipe",
                                                  "Café mañana", "Über die Präsentation"};

const std::vector<std::string> kEnglishSentences = {
    "Please find the latest figures below.",       "Let me know if anything is unclear.",
    "The meeting has moved to Thursday at 10:00.", "We are still waiting on the final numbers.",
    "Thanks for the quick turnaround on this.",    "The build passed on all platforms this time."};
const std::vector<std::string> kChineseSentences = {"请查收本周的项目进度报告。",
                                                    "预算调整方案已经发给财务部门。",
                                                    "明天上午十点在三楼会议室开会。",
                                                    "如有问题请随时联系我。",
                                                    "系统将于周六晚上进行维护，请提前保存工作。",
                                                    "感谢大家这段时间的辛苦付出！"};
// Characters GBK has and GB 2312 lacks (镕, 喆, 堃, 玥).
const std::vector<std::string> kGbkSentences = {
    "朱镕基同志的讲话稿已经整理好了。", "请把文件转给陶喆和王堃。", "李玥负责下周的客户接待。"};
const std::vector<std::string> kEuropeanSentences = {
    "Das Angebot kostet 1.250 € netto.", "Bitte bestätigen Sie den Termin bis Freitag.",
    "Le rapport “final” est prêt, merci à toute l'équipe.",
    "Nous avons réservé une salle au café de la gare.", "Schöne Grüße und bis bald!"};

// `count` different sentences of `pool` (consecutive ones from a random start).
std::string join_sentences(Rng& rng, const std::vector<std::string>& pool, int count,
                           const char* separator) {
  const size_t start = static_cast<size_t>(rng.below(static_cast<int>(pool.size())));
  std::string out;
  for (int i = 0; i < std::min<int>(count, static_cast<int>(pool.size())); ++i)
    out += (i ? separator : "") + pool[(start + static_cast<size_t>(i)) % pool.size()];
  return out;
}

// One to three paragraphs of one to three sentences from `pool` (a space between them when
// `spaced`), without line breaks.
std::vector<std::string> paragraphs(Rng& rng, const std::vector<std::string>& pool, bool spaced) {
  std::vector<std::string> out;
  const int count = 1 + rng.below(3);
  for (int i = 0; i < count; ++i)
    out.push_back(join_sentences(rng, pool, 1 + rng.below(3), spaced ? " " : ""));
  return out;
}

std::string plain_text(const std::string& greeting, const std::vector<std::string>& paras,
                       const std::string& signature) {
  std::string out = greeting + "\r\n\r\n";
  for (const auto& p : paras) out += p + "\r\n\r\n";
  return out + "-- \r\n" + signature + "\r\n";
}

std::string html_text(const std::vector<std::string>& paras, const std::string& extra = "") {
  std::string out = "<html><head><meta charset=\"utf-8\"></head><body>\r\n";
  for (const auto& p : paras) out += "<p>" + p + "</p>\r\n";
  return out + extra + "</body></html>\r\n";
}

// ---- encodings ----

// UTF-8 text in `charset` through ICU; throws when a character has no mapping there (the
// generator's own texts are chosen to fit).
std::string from_utf8(std::string_view utf8, const char* charset) {
  if (std::string_view(charset) == "utf-8") return std::string(utf8);
  UErrorCode status = U_ZERO_ERROR;
  ConverterPtr converter(ucnv_open(charset, &status));
  ucnv_setFromUCallBack(converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr,
                        &status);
  if (U_FAILURE(status)) throw std::runtime_error(std::string("no ICU converter for ") + charset);
  const icu::UnicodeString text = icu::UnicodeString::fromUTF8(
      icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
  const int32_t length =
      ucnv_fromUChars(converter.get(), nullptr, 0, text.getBuffer(), text.length(), &status);
  if (status != U_BUFFER_OVERFLOW_ERROR && U_FAILURE(status))
    throw std::runtime_error(std::string(utf8) + " does not fit " + charset);
  status = U_ZERO_ERROR;
  std::string out(static_cast<size_t>(length), '\0');
  ucnv_fromUChars(converter.get(), out.data(), length, text.getBuffer(), text.length(), &status);
  if (U_FAILURE(status)) throw std::runtime_error(std::string(utf8) + " does not fit " + charset);
  return out;
}

std::string hex_byte(unsigned char b) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return {'=', kHex[b >> 4], kHex[b & 0x0F]};
}

// RFC 2045 §6.8, in lines of 76 characters (no line break at the end).
std::string base64_body(std::string_view bytes) {
  const std::string encoded = base64::encode(bytes);
  std::string out;
  for (size_t i = 0; i < encoded.size(); i += 76) out += (i ? "\r\n" : "") + encoded.substr(i, 76);
  return out;
}

// RFC 2045 §6.7: CRLF in `bytes` are hard line breaks; lines are kept below 76 characters
// with soft breaks; white space before a line end is encoded.
std::string quoted_printable(std::string_view bytes) {
  std::string out;
  size_t line_start = 0;
  while (true) {
    const size_t eol = bytes.find("\r\n", line_start);
    const std::string_view line = bytes.substr(
        line_start, eol == std::string_view::npos ? std::string_view::npos : eol - line_start);
    size_t width = 0;
    for (size_t i = 0; i < line.size(); ++i) {
      const auto c = static_cast<unsigned char>(line[i]);
      const bool last = i + 1 == line.size();
      std::string token = (c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last)
                              ? std::string(1, static_cast<char>(c))
                              : hex_byte(c);
      if (width + token.size() > 75) {
        out += "=\r\n";
        width = 0;
      }
      out += token;
      width += token.size();
    }
    if (eol == std::string_view::npos) return out;
    out += "\r\n";
    line_start = eol + 2;
  }
}

size_t utf8_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// RFC 2047 encoded words for `utf8` in `charset` ('B' or 'Q'), split at character
// boundaries so that no word exceeds 75 characters, folded onto continuation lines.
std::string encoded_words(std::string_view utf8, const char* charset, char mode) {
  auto word = [&](std::string_view piece) {
    const std::string bytes = from_utf8(piece, charset);
    std::string text;
    if (mode == 'B') {
      text = base64::encode(bytes);
    } else {
      for (unsigned char c : bytes) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '!' || c == '*' || c == '+' || c == '-' ||
                           c == '/';
        text += c == ' ' ? std::string("_")
                : plain  ? std::string(1, static_cast<char>(c))
                         : hex_byte(c);
      }
    }
    return "=?" + std::string(charset) + "?" + mode + "?" + text + "?=";
  };
  std::string out;
  size_t start = 0;
  for (size_t at = 0; at < utf8.size();) {
    const size_t next = at + utf8_length(static_cast<unsigned char>(utf8[at]));
    if (at > start && word(utf8.substr(start, next - start)).size() > 75) {
      out += (out.empty() ? "" : "\r\n ") + word(utf8.substr(start, at - start));
      start = at;
    }
    at = next;
  }
  return out + (out.empty() ? "" : "\r\n ") + word(utf8.substr(start));
}

bool is_ascii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}

// RFC 5322 §2.2.3 folding of an ASCII value after a field name of `name_length`
// characters: a line break goes before the last space that keeps a line within 78.
std::string folded(const std::string& text, size_t name_length) {
  std::string out;
  size_t width = name_length + 2, start = 0;
  while (text.size() - start + width > 78) {
    const size_t space = text.rfind(' ', start + 78 - width);
    if (space == std::string::npos || space <= start) break;
    out += text.substr(start, space - start) + "\r\n";
    start = space;
    width = 0;
  }
  return out + text.substr(start);
}

// A header value for `text`: as is (folded) when ASCII, else encoded words.
std::string header_text(const std::string& text, const char* charset, char mode) {
  return is_ascii(text) ? folded(text, 7) : encoded_words(text, charset, mode);
}

std::string address(const Person& p, const char* charset, char mode) {
  if (p.name.empty()) return p.email;
  if (!is_ascii(p.name)) return encoded_words(p.name, charset, mode) + " <" + p.email + ">";
  const bool quote = p.name.find_first_of(".,:;@") != std::string::npos;
  return (quote ? "\"" + p.name + "\"" : p.name) + " <" + p.email + ">";
}

// RFC 2231 §4 percent encoding of the bytes of `value`.
std::string percent_encoded(std::string_view bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '.' || c == '-' || c == '_';
    out += plain ? std::string(1, static_cast<char>(c)) : "%" + hex_byte(c).substr(1);
  }
  return out;
}

// RFC 2231 §3-4: `name*0*=charset''...; name*1*=...` in sections of about 30 characters,
// never splitting a %XX triplet.
std::string continued_parameter(const std::string& name, std::string_view bytes,
                                const char* charset) {
  const std::string encoded = percent_encoded(bytes);
  std::string out;
  int section = 0;
  for (size_t at = 0; at < encoded.size(); ++section) {
    size_t end = std::min(encoded.size(), at + 30);
    while (end < encoded.size() &&
           (encoded[end - 1] == '%' || (end >= 2 && encoded[end - 2] == '%')))
      ++end;
    out += ";\r\n " + name + "*" + std::to_string(section) +
           "*=" + (section ? "" : std::string(charset) + "''") + encoded.substr(at, end - at);
    at = end;
  }
  return out;
}

// ---- MIME entities ----

struct Entity {
  std::string headers;  // each field ends in CRLF
  std::string body;
  std::string text() const { return headers + "\r\n" + body; }
};

Entity text_entity(const std::string& utf8, const char* subtype, const char* charset,
                   const char* encoding) {
  const std::string bytes = from_utf8(utf8, charset);
  const std::string e(encoding);
  return {"Content-Type: text/" + std::string(subtype) + "; charset=" + charset +
              "\r\nContent-Transfer-Encoding: " + e + "\r\n",
          e == "base64"             ? base64_body(bytes)
          : e == "quoted-printable" ? quoted_printable(bytes)
                                    : bytes};
}

// A base64 part for `a`; `name_params` replaces the default filename parameters.
Entity attachment_entity(const Attachment& a, const std::string& name_params = "") {
  std::string headers = "Content-Type: " + a.mimeType +
                        (a.isInline ? "; name=\"" + a.filename + "\"" : "") + "\r\n" +
                        "Content-Transfer-Encoding: base64\r\n";
  if (!a.contentId.empty()) headers += "Content-ID: <" + a.contentId + ">\r\n";
  headers += std::string("Content-Disposition: ") + (a.isInline ? "inline" : "attachment") +
             (name_params.empty() ? "; filename=\"" + a.filename + "\"" : name_params) + "\r\n";
  return {headers, base64_body(a.data)};
}

Entity multipart(const std::string& subtype, const std::string& boundary,
                 const std::vector<Entity>& parts) {
  std::string body = "This is a multi-part message in MIME format.\r\n";
  for (const auto& p : parts) body += "--" + boundary + "\r\n" + p.text() + "\r\n";
  body += "--" + boundary + "--\r\n";
  return {"Content-Type: multipart/" + subtype + "; boundary=\"" + boundary + "\"\r\n", body};
}

Attachment binary_attachment(Rng& rng, const std::string& filename, const std::string& type,
                             std::string_view magic) {
  return {filename, type,
          std::string(magic) + rng.bytes(static_cast<size_t>(200 + rng.below(3000))), "", false};
}

// ---- dates ----

// One of the three Date header shapes for `date`.
std::string date_header(int64_t date, int shape, int offset_minutes) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  if (shape == 2) offset_minutes = 0;
  const time_t local = static_cast<time_t>(date + offset_minutes * 60);
  std::tm tm{};
  gmtime_r(&local, &tm);
  char clock[32];
  std::snprintf(clock, sizeof clock, "%d %s %d %02d:%02d:%02d", tm.tm_mday, kMonths[tm.tm_mon],
                tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  if (shape == 2) return clock;
  const int magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  char zone[16];
  std::snprintf(zone, sizeof zone, "%c%02d%02d", offset_minutes < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return (shape == 0 ? std::string(kDays[tm.tm_wday]) + ", " : std::string()) + clock + " " + zone;
}

// ---- the message shapes ----

const std::vector<std::string_view> kKinds = {
    "plain-ascii",   "plain-utf8-8bit", "quoted-printable-utf8",
    "alternative",   "nested",          "attachments",
    "rfc2231-names", "gb2312",          "gbk",
    "windows-1252",  "reply",           "no-message-id",
    "html-only"};

size_t kind_of(int index) { return static_cast<size_t>(index) % kKinds.size(); }

bool can_be_replied_to(int index) {
  const std::string_view kind = kKinds[kind_of(index)];
  return kind != "reply" && kind != "no-message-id";
}

// The header fields a shape writes itself, each ending in CRLF.
struct ShapeHeaders {
  std::string from, subject, threading;
};

// Fills everything but `raw`, the recipients, Message-ID and date; returns the top-level
// entity (its headers are the MIME headers of the message).
Entity build(GeneratedMessage& m, Rng& rng, uint64_t seed, int index, int64_t anchor,
             ShapeHeaders& headers) {
  const std::string tag = " #" + std::to_string(index);
  const std::string boundary =
      "=_kestrova_" + std::to_string(seed) + "_" + std::to_string(index) + "_";
  const std::string& kind = m.kind;
  auto from = [&](const Person& p, const char* charset, char mode) {
    m.fromName = p.name;
    m.fromEmail = p.email;
    headers.from = "From: " + address(p, charset, mode) + "\r\n";
  };
  auto subject = [&](const std::string& s, const char* charset, char mode) {
    m.subject = s;
    headers.subject = "Subject: " + header_text(s, charset, mode) + "\r\n";
  };

  if (kind == "plain-ascii" || kind == "no-message-id") {
    const Person& p = rng.pick(kEnglishPeople);
    from(p, "utf-8", 'B');
    subject(rng.pick(kEnglishTopics) + tag, "utf-8", 'B');
    m.text = plain_text("Hi team,", paragraphs(rng, kEnglishSentences, true),
                        p.name.empty() ? "Billing" : p.name);
    return text_entity(m.text, "plain", "us-ascii", "7bit");
  }
  if (kind == "plain-utf8-8bit") {
    const Person& p = rng.pick(kChinesePeople);
    from(p, "utf-8", 'B');
    subject(rng.pick(kChineseTopics) + tag, "utf-8", 'B');
    m.text = plain_text("大家好：", paragraphs(rng, kChineseSentences, false), p.name);
    return text_entity(m.text, "plain", "utf-8", "8bit");
  }
  if (kind == "quoted-printable-utf8") {
    const Person& p = rng.pick(kEuropeanPeople);
    from(p, "utf-8", 'Q');
    subject(rng.pick(kEuropeanTopics) + tag, "utf-8", 'Q');
    // One long line (soft breaks), an "=" and a trailing space inside the text.
    std::vector<std::string> paras = paragraphs(rng, kEuropeanSentences, true);
    paras.push_back(join_sentences(rng, kEuropeanSentences, 4, " ") +
                    " Rabatt=10% für alle, 中文也可以。 ");
    m.text = plain_text("Liebe Kolleginnen und Kollegen,", paras, p.name);
    return text_entity(m.text, "plain", "utf-8", "quoted-printable");
  }
  if (kind == "alternative" || kind == "nested") {
    const Person& p = rng.pick(kChinesePeople);
    from(p, "utf-8", 'B');
    subject(rng.pick(kChineseTopics) + " / " + rng.pick(kEnglishTopics) + tag, "utf-8", 'B');
    const std::vector<std::string> paras = paragraphs(rng, kChineseSentences, false);
    m.text = plain_text("您好，", paras, p.name);
    if (kind == "alternative") {
      m.html = html_text(paras,
                         "<p><a href=\"https://intranet.example.com/report\">报告链接</a></p>\r\n");
      return multipart("alternative", boundary + "alt",
                       {text_entity(m.text, "plain", "utf-8", "8bit"),
                        text_entity(m.html, "html", "utf-8", "base64")});
    }
    Attachment logo = binary_attachment(rng, "logo.png", "image/png", "\x89PNG\r\n\x1A\n");
    logo.contentId = "logo." + std::to_string(index) + "@kestrova.test";
    logo.isInline = true;
    m.html = html_text(paras, "<p><img src=\"cid:" + logo.contentId + "\" alt=\"logo\"></p>\r\n");
    const Attachment agenda = binary_attachment(rng, "agenda-" + std::to_string(index) + ".pdf",
                                                "application/pdf", "%PDF-1.4\n");
    m.attachments = {logo, agenda};
    const Entity related = multipart(
        "related", boundary + "rel",
        {text_entity(m.html, "html", "utf-8", "quoted-printable"), attachment_entity(logo)});
    const Entity alternative =
        multipart("alternative", boundary + "alt",
                  {text_entity(m.text, "plain", "utf-8", "quoted-printable"), related});
    return multipart("mixed", boundary + "mix", {alternative, attachment_entity(agenda)});
  }
  if (kind == "attachments") {
    const Person& p = rng.pick(kEnglishPeople);
    from(p, "utf-8", 'B');
    subject("Files for " + rng.pick(kEnglishTopics) + tag, "utf-8", 'B');
    m.text =
        plain_text("Hello,", {"The files are attached.", rng.pick(kEnglishSentences)}, "Alice");
    std::string csv = "项目,金额\r\n";
    for (int row = 0, rows = 2 + rng.below(5); row < rows; ++row)
      csv += "item-" + std::to_string(row) + "," + std::to_string(rng.below(10000)) + "\r\n";
    m.attachments = {binary_attachment(rng, "report-" + std::to_string(index) + ".pdf",
                                       "application/pdf", "%PDF-1.7\n"),
                     binary_attachment(rng, "photo.jpg", "image/jpeg", "\xFF\xD8\xFF\xE0"),
                     binary_attachment(rng, "archive.zip", "application/zip", "PK\x03\x04"),
                     {"figures.csv", "text/csv", csv, "", false}};
    std::vector<Entity> parts = {text_entity(m.text, "plain", "us-ascii", "7bit")};
    for (const auto& a : m.attachments) parts.push_back(attachment_entity(a));
    return multipart("mixed", boundary, parts);
  }
  if (kind == "rfc2231-names") {
    const Person& p = rng.pick(kChinesePeople);
    from(p, "utf-8", 'B');
    subject("附件：" + rng.pick(kChineseTopics) + tag, "utf-8", 'B');
    m.text = plain_text("请查收附件。", paragraphs(rng, kChineseSentences, false), p.name);
    m.attachments = {
        binary_attachment(rng, "报告 2024 年度.pdf", "application/pdf", "%PDF-1.5\n"),
        binary_attachment(rng, "会议纪要（第3次）.docx",
                          "application/vnd.openxmlformats-officedocument.wordprocessingml.document",
                          "PK\x03\x04"),
        binary_attachment(rng, "Übersicht März.xlsx",
                          "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet",
                          "PK\x03\x04"),
        binary_attachment(rng, "a-rather-long-file-name-split-over-two-sections.txt", "text/plain",
                          "notes\r\n")};
    const auto& a = m.attachments;
    return multipart(
        "mixed", boundary,
        {text_entity(m.text, "plain", "utf-8", "8bit"),
         attachment_entity(a[0], continued_parameter("filename", a[0].filename, "utf-8")),
         attachment_entity(a[1], "; filename*=UTF-8''" + percent_encoded(a[1].filename)),
         // Only an RFC 2047 word in the type's name, as some clients write it.
         {"Content-Type: " + a[2].mimeType + ";\r\n name=\"" +
              encoded_words(a[2].filename, "utf-8", 'Q') +
              "\"\r\nContent-Transfer-Encoding: base64\r\nContent-Disposition: attachment\r\n",
          base64_body(a[2].data)},
         attachment_entity(a[3],
                           ";\r\n filename*0=\"a-rather-long-file-name-\";\r\n "
                           "filename*1=\"split-over-two-sections.txt\"")});
  }
  if (kind == "gb2312" || kind == "gbk") {
    const bool gbk = kind == "gbk";
    const Person& p = rng.pick(kChinesePeople);
    from(p, gbk ? "utf-8" : "gb2312", 'B');
    subject(rng.pick(kChineseTopics) + tag, gbk ? "gbk" : "gb2312", gbk ? 'Q' : 'B');
    m.text = plain_text("各位同事：",
                        paragraphs(rng, gbk ? kGbkSentences : kChineseSentences, false), p.name);
    if (gbk) return text_entity(m.text, "plain", "gbk", "8bit");
    m.attachments = {
        binary_attachment(rng, "预算表.xls", "application/vnd.ms-excel", "\xD0\xCF\x11\xE0")};
    return multipart(
        "mixed", boundary,
        {text_entity(m.text, "plain", "gb2312", "base64"),
         attachment_entity(m.attachments[0],
                           "; filename*=gb2312''" +
                               percent_encoded(from_utf8(m.attachments[0].filename, "gb2312")))});
  }
  if (kind == "windows-1252") {
    const Person& p = rng.pick(kEuropeanPeople);
    from(p, "windows-1252", 'Q');
    subject(rng.pick(kEuropeanTopics) + " – “Entwurf”" + tag, "windows-1252", 'Q');
    m.text = plain_text("Bonjour Renée,", paragraphs(rng, kEuropeanSentences, true), p.name);
    return text_entity(m.text, "plain", "windows-1252", "quoted-printable");
  }
  if (kind == "reply") {
    int root = index - 1 - rng.below(std::min(index, 30));
    while (!can_be_replied_to(root)) --root;
    const GeneratedMessage original = generate_message(seed, root, anchor);
    const Person& p = rng.pick(kRecipients);
    from(p, "utf-8", 'B');
    subject("Re: " + original.subject, "utf-8", 'B');
    m.inReplyTo = original.messageId;
    headers.threading = "In-Reply-To: " + m.inReplyTo + "\r\nReferences: " + m.inReplyTo + "\r\n";
    std::string quoted;
    for (size_t at = 0; at < original.text.size() && quoted.size() < 400;) {
      const size_t eol = original.text.find("\r\n", at);
      if (eol == std::string::npos) break;
      quoted += "> " + original.text.substr(at, eol - at) + "\r\n";
      at = eol + 2;
    }
    if (quoted.empty()) quoted = "> (HTML)\r\n";
    m.text = "Agreed, see my notes below. 同意。\r\n\r\n" +
             (original.fromName.empty() ? original.fromEmail : original.fromName) + " wrote:\r\n" +
             quoted;
    return text_entity(m.text, "plain", "utf-8", "8bit");
  }
  // html-only
  const Person& p = rng.pick(kEnglishPeople);
  from(p, "utf-8", 'B');
  subject("Newsletter: " + rng.pick(kEnglishTopics) + tag, "utf-8", 'B');
  m.html = html_text(paragraphs(rng, kEnglishSentences, true),
                     "<p><img src=\"https://cdn.example.com/banner-" + std::to_string(index) +
                         ".png\" width=\"600\"></p>\r\n");
  return text_entity(m.html, "html", "utf-8", "quoted-printable");
}

}  // namespace

const std::vector<std::string_view>& generated_kinds() { return kKinds; }

GeneratedMessage generate_message(uint64_t seed, int index, int64_t anchor) {
  if (index < 0) throw std::invalid_argument("negative message index");
  Rng rng(seed, index);
  GeneratedMessage m;
  m.kind = std::string(kKinds[kind_of(index)]);
  constexpr int64_t kWindow = 30 * 86400;
  m.date =
      anchor - kWindow + (static_cast<int64_t>(index) * 251) % (kWindow - 3600) + rng.below(200);
  static constexpr int kOffsets[] = {480, 0, -300, 60, 330, -480};
  m.seen = rng.chance(55);
  m.flagged = rng.chance(15);

  ShapeHeaders headers;
  const Entity top = build(m, rng, seed, index, anchor, headers);

  std::string to;
  const int recipients = 1 + rng.below(3);
  for (int i = 0; i < recipients; ++i) {
    const Person& r = kRecipients[static_cast<size_t>(i + index) % kRecipients.size()];
    to += (i ? ",\r\n " : "") + address(r, "utf-8", 'B');
    m.to.push_back(r.email);
  }
  if (m.kind != "no-message-id")
    m.messageId = "<gen." + std::to_string(seed) + "." + std::to_string(index) + "@kestrova.test>";
  std::string raw = headers.from + "To: " + to + "\r\n" + headers.subject;
  raw += "Date: " + date_header(m.date, index % 3, kOffsets[rng.below(6)]) + "\r\n";
  if (!m.messageId.empty()) raw += "Message-ID: " + m.messageId + "\r\n";
  raw += headers.threading;
  raw += "X-Generated-Kind: " + m.kind + "\r\nMIME-Version: 1.0\r\n" + top.text();
  m.raw = std::move(raw);
  return m;
}

std::vector<GeneratedMessage> generate_corpus(uint64_t seed, int count, int64_t anchor) {
  std::vector<GeneratedMessage> corpus;
  corpus.reserve(static_cast<size_t>(std::max(count, 0)));
  for (int i = 0; i < count; ++i) corpus.push_back(generate_message(seed, i, anchor));
  return corpus;
}

}  // namespace kestrova::testing
