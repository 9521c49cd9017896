#include "mail/email_message_conversion.h"

#include <libetpan/libetpan.h>
#include <unicode/calendar.h>
#include <unicode/locid.h>
#include <unicode/smpdtfmt.h>
#include <unicode/timezone.h>

#include <array>
#include <memory>
#include <mutex>

#include "mail/email_content_decoder.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::mail {

namespace {

std::string upper_ascii(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

// 1000-01-01T00:00:00Z.
constexpr double kYear1000 = -30610224000;

// The three header forms, parsed with fixed English names. ICU formatters are not
// thread-safe for parsing, so they live behind one lock.
class HeaderDateFormats {
 public:
  HeaderDateFormats() {
    const icu::Locale posix("en_US_POSIX");
    const std::array<const char*, 3> patterns = {"EEE, d MMM yyyy HH:mm:ss Z",
                                                 "d MMM yyyy HH:mm:ss Z", "d MMM yyyy HH:mm:ss"};
    for (const char* pattern : patterns) {
      UErrorCode status = U_ZERO_ERROR;
      auto format = std::make_unique<icu::SimpleDateFormat>(icu::UnicodeString(pattern), posix,
                                                            status);
      if (U_FAILURE(status)) continue;
      format->setTimeZone(*icu::TimeZone::getGMT());
      format->setLenient(false);
      formats_.push_back(std::move(format));
    }
  }

  std::optional<double> parse(std::string_view text) {
    const icu::UnicodeString value = icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    std::lock_guard lock(mutex_);
    for (auto& format : formats_) {
      icu::ParsePosition position(0);
      const UDate date = format->parse(value, position);
      // The whole text must be read, as a formatter that matches whole strings does.
      // A two-digit year ("2 Jan 24") reads as year 24 here; such obsolete dates are left
      // to the RFC 5322 reading, which knows what they mean.
      if (position.getErrorIndex() < 0 && position.getIndex() == value.length() &&
          date / 1000.0 >= kYear1000)
        return date / 1000.0;
    }
    return std::nullopt;
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<icu::SimpleDateFormat>> formats_;
};

// The form nearly every message has, "Tue, 2 Jan 2024 10:00:00 +0000" (the weekday may be
// left out, and then the zone too), read without ICU: a sync converts a thousand dates in a row,
// and the formatter costs ~10 µs each. Only text that the first two formats read the same way is
// taken: names as written in RFC 5322, a weekday that is the date's own, field values in range,
// years of the Gregorian calendar (ICU's calendar is Julian before 1582), a zone of at most 14
// hours. Everything else gives nothing and goes to ICU.
std::optional<double> parse_common_date(std::string_view text) {
  static constexpr std::array<std::string_view, 7> kWeekdays = {"Sun", "Mon", "Tue", "Wed",
                                                                "Thu", "Fri", "Sat"};
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  size_t at = 0;
  auto literal = [&](std::string_view expected) {
    if (text.substr(at, expected.size()) != expected) return false;
    at += expected.size();
    return true;
  };
  auto number = [&](size_t minDigits, size_t maxDigits) -> std::optional<int> {
    int value = 0;
    size_t digits = 0;
    while (at < text.size() && digits < maxDigits && text[at] >= '0' && text[at] <= '9') {
      value = value * 10 + (text[at++] - '0');
      ++digits;
    }
    if (digits < minDigits) return std::nullopt;
    return value;
  };
  std::optional<int> weekday;
  if (text.size() > 5 && text.substr(3, 2) == ", ")
    for (size_t i = 0; i < kWeekdays.size() && !weekday; ++i)
      if (text.substr(0, 3) == kWeekdays[i]) {
        weekday = static_cast<int>(i);
        at = 5;
      }
  const auto day = number(1, 2);
  if (!day || !literal(" ")) return std::nullopt;
  int month = 0;
  for (size_t i = 0; i < kMonths.size() && month == 0; ++i)
    if (literal(kMonths[i])) month = static_cast<int>(i) + 1;
  if (month == 0 || !literal(" ")) return std::nullopt;
  const auto year = number(4, 4);
  if (!year || !literal(" ")) return std::nullopt;
  const auto hour = number(2, 2);
  if (!hour || !literal(":")) return std::nullopt;
  const auto minute = number(2, 2);
  if (!minute || !literal(":")) return std::nullopt;
  const auto second = number(2, 2);
  if (!second) return std::nullopt;
  // Without a zone the third format reads the time as UTC; with a weekday none of them does.
  char sign = '+';
  std::optional<int> zone = 0;
  if (at != text.size() || weekday) {
    if (!literal(" ") || at >= text.size()) return std::nullopt;
    sign = text[at++];
    if (sign != '+' && sign != '-') return std::nullopt;
    zone = number(4, 4);
    if (!zone || at != text.size()) return std::nullopt;
  }
  const int zoneHours = *zone / 100, zoneMinutes = *zone % 100;
  if (*year < 1600 || *hour > 23 || *minute > 59 || *second > 59 || zoneHours > 14 ||
      zoneMinutes > 59)
    return std::nullopt;
  const bool leap = (*year % 4 == 0 && *year % 100 != 0) || *year % 400 == 0;
  static constexpr std::array<int, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (*day < 1 || *day > kDays[month - 1] + (month == 2 && leap)) return std::nullopt;
  // Days since 1970-01-01 of the proleptic Gregorian date.
  const int y = *year - (month <= 2);
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + *day - 1;
  const int64_t days =
      static_cast<int64_t>(era) * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
  // 1970-01-01 was a Thursday.
  if (weekday && ((days % 7 + 7 + 4) % 7) != *weekday) return std::nullopt;
  const int64_t zoneSeconds = (sign == '-' ? -1 : 1) * (zoneHours * 3600 + zoneMinutes * 60);
  return static_cast<double>(days * 86400 + *hour * 3600 + *minute * 60 + *second - zoneSeconds);
}

HeaderDateFormats& header_date_formats() {
  static HeaderDateFormats formats;
  return formats;
}

// RFC 5322's grammar, obsolete forms included (two-digit years, zone names like "EST").
std::optional<double> parse_rfc5322_date(std::string_view text) {
  size_t index = 0;
  mailimf_date_time* parsed = nullptr;
  if (mailimf_date_time_parse(text.data(), text.size(), &index, &parsed) != MAILIMF_NO_ERROR ||
      !parsed)
    return std::nullopt;
  std::unique_ptr<mailimf_date_time, decltype(&mailimf_date_time_free)> owned(
      parsed, mailimf_date_time_free);
  // Obsolete two- and three-digit years (RFC 5322 §4.3).
  if (parsed->dt_year < 50)
    parsed->dt_year += 2000;
  else if (parsed->dt_year < 1000)
    parsed->dt_year += 1900;
  if (parsed->dt_month < 1 || parsed->dt_month > 12 || parsed->dt_day < 1 ||
      parsed->dt_day > 31 || parsed->dt_hour > 23 || parsed->dt_min > 59 ||
      parsed->dt_sec > 60 || parsed->dt_year < 1 || parsed->dt_year > 9999)
    return std::nullopt;
  // Days from the civil date (proleptic Gregorian), then the zone (±hhmm).
  int y = parsed->dt_year;
  const int m = parsed->dt_month;
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const int yoe = y - era * 400;
  const int doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + parsed->dt_day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const double days = static_cast<double>(era) * 146097 + doe - 719468;
  const int zone = parsed->dt_zone;
  const int zoneSeconds = (zone / 100) * 3600 + (zone % 100) * 60;
  return days * 86400 + parsed->dt_hour * 3600 + parsed->dt_min * 60 + parsed->dt_sec -
         zoneSeconds;
}

std::string strip_trailing_comment(std::string_view text) {
  std::string value = text::trim(text);
  while (!value.empty() && value.back() == ')') {
    const size_t open = value.rfind('(');
    if (open == std::string::npos) break;
    value = text::trim(std::string_view(value).substr(0, open));
  }
  return value;
}

}  // namespace

store::EmailFolderType classify_folder(std::string_view serverName) {
  using store::EmailFolderType;
  const std::string name = upper_ascii(serverName);
  if (name == "INBOX") return EmailFolderType::inbox;
  if (contains(name, "SENT")) return EmailFolderType::sent;
  if (contains(name, "DRAFT")) return EmailFolderType::drafts;
  if (contains(name, "TRASH") || contains(name, "DELETED")) return EmailFolderType::trash;
  if (contains(name, "SPAM") || contains(name, "JUNK")) return EmailFolderType::spam;
  if (contains(name, "ARCHIVE")) return EmailFolderType::archive;
  return EmailFolderType::custom;
}

std::string normalized_thread_id(std::string_view subject,
                                 const std::optional<std::string>& messageId) {
  static constexpr std::array<std::string_view, 17> kPrefixes = {
      "Re:", "RE:", "re:", "Fwd:", "FWD:", "fwd:", "Fw:", "FW:", "fw:", "回复:", "转发:",
      "Re：", "RE：", "Fwd：", "FWD：", "Fw：", "FW："};
  std::string normalized = text::trim(subject);
  for (std::string_view prefix : kPrefixes) {
    if (normalized.starts_with(prefix)) {
      normalized = text::trim(std::string_view(normalized).substr(prefix.size()));
      break;
    }
  }
  normalized = text::lower(normalized);
  if (!normalized.empty()) return normalized;
  if (messageId && !messageId->empty()) return *messageId;
  return new_uuid();
}

bool is_no_reply_address(std::string_view email) {
  static constexpr std::array<std::string_view, 6> kMarkers = {
      "noreply", "no-reply", "donotreply", "do-not-reply", "mailer-daemon", "postmaster"};
  const std::string lowered = text::lower(email);
  for (std::string_view marker : kMarkers)
    if (contains(lowered, marker)) return true;
  const std::string_view local = std::string_view(lowered).substr(0, lowered.rfind('@'));
  return local.starts_with("owner-") || local.ends_with("-request");
}

std::optional<double> parse_header_date(std::string_view text) {
  const std::string value = strip_trailing_comment(text);
  if (value.empty()) return std::nullopt;
  if (auto date = parse_common_date(value)) return date;
  if (auto date = header_date_formats().parse(value)) return date;
  return parse_rfc5322_date(text);
}

store::EmailContact parse_contact(std::string_view text) {
  const std::string value = text::trim(text);
  store::EmailContact contact;
  const size_t open = value.rfind('<');
  const size_t close = value.rfind('>');
  if (open != std::string::npos && close != std::string::npos && close > open) {
    contact.email = text::trim(std::string_view(value).substr(open + 1, close - open - 1));
    std::string name = text::trim(std::string_view(value).substr(0, open));
    if (name.size() >= 2 && name.front() == '"' && name.back() == '"')
      name = name.substr(1, name.size() - 2);
    name = text::trim(EmailContentDecoder::decodeMimeHeader(name));
    if (!name.empty()) contact.name = std::move(name);
  } else {
    contact.email = value;
  }
  return contact;
}

std::vector<store::EmailContact> parse_contact_list(std::string_view text) {
  std::vector<store::EmailContact> contacts;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(", ", start);
    if (end == std::string_view::npos) end = text.size();
    store::EmailContact contact = parse_contact(text.substr(start, end - start));
    if (!contact.email.empty()) contacts.push_back(std::move(contact));
    start = end + 2;
  }
  return contacts;
}

store::EmailMessage message_from_header_record(const ImapHeaderRecord& record,
                                               const std::string& accountId,
                                               const std::string& folderId) {
  store::EmailMessage message;
  message.id = new_uuid();
  message.accountId = accountId;
  message.folderId = folderId;
  message.uid = record.uid;
  message.subject = record.subject ? EmailContentDecoder::decodeMimeHeader(*record.subject) : "";
  if (record.from) message.from = parse_contact(*record.from);
  if (record.to) message.to = parse_contact_list(*record.to);
  const double now = now_seconds();
  message.date = 0;
  if (record.date)
    if (auto date = parse_header_date(*record.date)) message.date = *date;
  message.messageId = record.messageId;
  message.size = record.size;
  message.inReplyTo = record.inReplyTo;
  message.threadId = normalized_thread_id(message.subject, message.messageId);
  message.isRead = record.seen;
  message.isStarred = record.flagged;
  message.isNoReply = is_no_reply_address(message.from.email);
  message.receivedDate = message.date;
  message.syncedAt = now;
  message.updatedAt = now;
  return store::EmailMessage::make(std::move(message));
}

void set_attachments(store::EmailMessage& message,
                     const std::vector<EmailAttachmentMeta>& attachments) {
  message.attachments.clear();
  for (const auto& meta : attachments) {
    store::EmailAttachment a;
    a.id = new_uuid();
    a.filename = meta.filename;
    a.mimeType = meta.mimeType;
    a.size = meta.size;
    a.contentId = meta.contentId;
    a.isInline = meta.isInline;
    a.partPath = meta.partPath;
    a.encoding = meta.encoding;
    a.charset = meta.charset;
    message.attachments.push_back(std::move(a));
    if (!meta.isInline) message.hasAttachments = true;
  }
}

void set_body(store::EmailMessage& message, const EmailBodyContent& content) {
  message.textBody = content.textBody;
  message.htmlBody = content.htmlBody;
  message.containsRemoteResources = content.containsRemoteResources;
  set_attachments(message, content.attachments);
}

}  // namespace kestrova::mail
