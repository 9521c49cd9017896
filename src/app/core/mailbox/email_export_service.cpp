#include "app/core/mailbox/email_export_service.h"

#include <fcntl.h>
#include <unicode/datefmt.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "app/core/mailbox/message_context.h"
#include "mail/email_message_conversion.h"
#include "mail/email_service.h"
#include "mail/outgoing_message.h"
#include "store/downloaded_body.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

std::string address_form(const store::EmailContact& contact) {
  if (contact.name && !contact.name->empty())
    return "\"" + *contact.name + "\" <" + contact.email + ">";
  return contact.email;
}

std::string address_list(const std::vector<store::EmailContact>& contacts) {
  std::string out;
  for (const auto& contact : contacts) out += (out.empty() ? "" : ", ") + address_form(contact);
  return out;
}

// Full date style and medium time style in the user's locale.
std::string readable_date(double seconds) {
  std::unique_ptr<icu::DateFormat> format(icu::DateFormat::createDateTimeInstance(
      icu::DateFormat::kFull, icu::DateFormat::kMedium, icu::Locale::getDefault()));
  if (!format) return mail::format_message_date(seconds);
  icu::UnicodeString formatted;
  format->format(seconds * 1000.0, formatted);
  std::string out;
  formatted.toUTF8String(out);
  return out;
}

[[noreturn]] void fail(const std::string& reason) {
  log_line("⚠️", "EmailExportService", "导出失败: " + reason);
  throw Error(localized_format("cli.export.failed", reason));
}

}  // namespace

std::string_view EmailExportService::extension(ExportFormat format) {
  switch (format) {
    case ExportFormat::eml:
      return ".eml";
    case ExportFormat::text:
      return ".txt";
  }
  return ".eml";
}

std::string EmailExportService::buildText(const store::EmailMessage& m) {
  std::string out;
  const auto field = [&out](std::string_view key, const std::string& value) {
    out += localized(key) + ": " + value + "\n";
  };
  field("export.from", mail::single_line(address_form(m.from)));
  field("export.to", mail::single_line(address_list(m.to)));
  if (!m.cc.empty()) field("export.cc", mail::single_line(address_list(m.cc)));
  field("export.subject", mail::single_line(m.subject));
  field("export.date", readable_date(m.date));
  out += "---\n\n";
  out += m.textBody ? *m.textBody : m.preview;
  return out;
}

std::string EmailExportService::suggestedFileName(const store::EmailMessage& message,
                                                  ExportFormat format) {
  std::string name = message.subject;
  for (char& c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || c == ':' || byte < 0x20 || byte == 0x7F) c = '_';
  }
  for (char& c : name) {
    if (c != '.') break;
    c = '_';
  }
  if (name.size() > kMaxFileStem) {
    size_t cut = kMaxFileStem;
    // Back to the start of a UTF-8 character.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  if (name.empty()) name = "message";
  return name + std::string(extension(format));
}

std::string EmailExportService::content(MessageContext& context, ExportFormat format) {
  if (format == ExportFormat::eml) return original_source(context);
  if (!context.message.isBodyLoaded) {
    // From the source read without marking the message read, as the .eml is.
    auto& m = context.message;
    mail::set_body(m, mail::EmailService::decodeRawMessage(original_source(context)));
    m.isBodyLoaded = true;
    store::save_downloaded_bodies(context.book.store().database(), {m}, false);
  }
  return buildText(context.message);
}

void EmailExportService::exportTo(MessageContext& context, ExportFormat format,
                                  const std::filesystem::path& destination, bool overwrite) {
  write(content(context, format), destination, overwrite);
}

void EmailExportService::write(const std::string& content, const std::filesystem::path& destination,
                               bool overwrite) {
  std::filesystem::path temporary = destination;
  temporary += ".part-" + new_uuid().substr(0, 8);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) fail(destination.string() + ": " + std::strerror(errno));
  size_t written = 0;
  while (written < content.size()) {
    const ssize_t n = ::write(fd, content.data() + written, content.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  const bool complete = written == content.size() && ::fsync(fd) == 0;
  ::close(fd);
  if (!complete) {
    ::unlink(temporary.c_str());
    fail(destination.string() + ": " + std::strerror(errno));
  }
  // link() refuses an existing target, so without `overwrite` nothing is ever replaced, not
  // even a file that appeared after we looked.
  const int placed = overwrite ? ::rename(temporary.c_str(), destination.c_str())
                               : ::link(temporary.c_str(), destination.c_str());
  const int error = errno;
  if (!overwrite || placed != 0) ::unlink(temporary.c_str());
  if (placed != 0) {
    if (error == EEXIST) throw Error(localized_format("cli.export.exists", destination.string()));
    fail(destination.string() + ": " + std::strerror(error));
  }
}

}  // namespace kestrova::app
