#include "app/core/service/email_scheduled_send_service.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "app/core/writing/reply_composer.h"
#include "mail/mail_address.h"
#include "platform/paths.h"
#include "platform/repeating_timer.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/file.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

constexpr std::string_view kComponent = "ScheduledSendService";
using Status = store::ScheduledMessage::Status;

std::vector<std::string> recipients_of(const std::vector<store::EmailContact>& contacts) {
  std::vector<std::string> out;
  for (const auto& contact : contacts)
    if (auto text = recipient_text(contact)) out.push_back(std::move(*text));
  return out;
}

std::string attachment_content(const std::filesystem::path& path) {
  auto content = read_file(path);
  if (!content)
    throw Error(localized_format("send.error.attachment_read", path.filename().string()));
  return std::move(*content);
}

ComposedMessage composed_from(const store::ScheduledMessage& row) {
  ComposedMessage m;
  m.to = recipients_of(row.to);
  m.cc = recipients_of(row.cc);
  m.bcc = recipients_of(row.bcc);
  m.subject = row.subject;
  m.body = row.body;
  m.htmlBody = row.htmlBody;
  m.inReplyTo = row.inReplyTo;
  m.references = row.references;
  for (const auto& a : row.attachments)
    m.attachments.push_back({attachment_content(a.path), a.filename, a.mimeType});
  return m;
}

}  // namespace

std::optional<double> parse_send_time(std::string_view text, double now) {
  const std::string t = text::trim(text);
  if (t.size() >= 3 && t.front() == '+') {
    const char unit = t.back();
    const std::string digits = t.substr(1, t.size() - 2);
    if (digits.empty() || digits.size() > 6 ||
        !std::all_of(digits.begin(), digits.end(), ::isdigit))
      return std::nullopt;
    const double amount = std::stod(digits);
    if (unit == 'm') return now + amount * 60;
    if (unit == 'h') return now + amount * 3600;
    if (unit == 'd') return now + amount * 86400;
    return std::nullopt;
  }
  if (auto iso = parse_iso8601(t)) return iso;
  if (t.size() == 16) return parse_local_datetime(t + ":00");
  return parse_local_datetime(t);
}

EmailScheduledSendService::EmailScheduledSendService(store::EmailDatabase& database,
                                                     store::EmailStore& store,
                                                     store::LocalNotificationPoster notify,
                                                     Sender sender, Clock clock)
    : database_(database),
      store_(store),
      table_(database),
      notify_(std::move(notify)),
      sender_(std::move(sender)),
      clock_(std::move(clock)) {
  if (!sender_)
    sender_ = [this](const store::EmailAccount& account, const ComposedMessage& message) {
      send_composed(account, message, store_);
    };
}

EmailScheduledSendService::~EmailScheduledSendService() = default;

double EmailScheduledSendService::now() const { return clock_ ? clock_() : now_seconds(); }

void EmailScheduledSendService::start() {
  try {
    messages_ = table_.loadPending();
  } catch (const std::exception& e) {
    log_line("❌", kComponent, "加载定时消息失败: " + std::string(e.what()));
  }
  tick();
  timer_ = std::make_unique<platform::RepeatingTimer>(
      std::chrono::seconds(kCheckIntervalSeconds), [this] {
        try {
          messages_ = table_.loadPending();  // rows scheduled by the command line meanwhile
        } catch (const std::exception& e) {
          log_line("❌", kComponent, "加载定时消息失败: " + std::string(e.what()));
        }
        tick();
      });
}

void EmailScheduledSendService::stop() { timer_.reset(); }

void EmailScheduledSendService::tick() {
  const double t = now();
  std::vector<store::ScheduledMessage> due;
  for (const auto& m : messages_)
    if (m.scheduledAt <= t) due.push_back(m);
  std::stable_sort(due.begin(), due.end(),
                   [](const auto& a, const auto& b) { return a.scheduledAt < b.scheduledAt; });
  for (auto& m : due) sendOne(std::move(m));
}

void EmailScheduledSendService::sendOne(store::ScheduledMessage message) {
  const std::string subject =
      message.subject.empty() ? localized("email.no.subject") : message.subject;
  try {
    // Marked before the send starts, so that a second tick does not send it again.
    table_.setStatus(message.id, Status::sending, std::nullopt);
    store_.loadAccounts();
    const auto& accounts = store_.accounts();
    const auto account =
        std::find_if(accounts.begin(), accounts.end(),
                     [&](const store::EmailAccount& a) { return a.id == message.accountId; });
    if (account == accounts.end()) throw Error("Account not found");
    sender_(*account, composed_from(message));
    table_.setStatus(message.id, Status::sent, std::nullopt);
    std::error_code ignored;
    std::filesystem::remove_all(attachmentDirectory(message.id), ignored);
    log_line("✅", kComponent, "定时邮件已发送: " + subject);
    if (notify_)
      notify_({localized("scheduled.send.success.title"),
               localized_format("scheduled.send.success.body", subject)});
  } catch (const std::exception& e) {
    const std::string reason = e.what();
    log_line("❌", kComponent, "定时邮件发送失败: " + reason);
    try {
      table_.setStatus(message.id, Status::failed, reason);
    } catch (const std::exception& inner) {
      log_line("❌", kComponent, "更新定时消息状态失败: " + std::string(inner.what()));
    }
    if (notify_)
      notify_({localized("scheduled.send.failed.title"),
               localized_format("scheduled.send.failed.body", subject, reason)});
  }
  std::erase_if(messages_, [&](const store::ScheduledMessage& m) { return m.id == message.id; });
}

store::ScheduledMessage EmailScheduledSendService::schedule(store::EmailDatabase& database,
                                                            const std::string& accountId,
                                                            const ComposedMessage& message,
                                                            double at) {
  store::ScheduledMessage row;
  row.id = new_uuid();
  row.accountId = accountId;
  row.to = contacts_of(message.to);
  row.cc = contacts_of(message.cc);
  row.bcc = contacts_of(message.bcc);
  row.subject = message.subject;
  row.body = message.body;
  row.htmlBody = message.htmlBody;
  row.inReplyTo = message.inReplyTo;
  row.references = message.references;
  row.scheduledAt = at;
  row.createdAt = now_seconds();

  const auto directory = attachmentDirectory(row.id);
  const auto cleanup = [&] {
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
  };
  try {
    if (!message.attachments.empty()) {
      if (!platform::ensure_private_directory(directory.parent_path()) ||
          !platform::ensure_private_directory(directory))
        throw Error(localized_format("send.error.directory", directory.string()));
      for (size_t i = 0; i < message.attachments.size(); ++i) {
        const auto& attachment = message.attachments[i];
        // Numbered names: the file name is the message's, never a path of the filesystem.
        const auto copy = directory / std::to_string(i);
        if (!attachment.data) continue;
        std::ofstream out(copy, std::ios::binary);
        out.write(attachment.data->data(), static_cast<std::streamsize>(attachment.data->size()));
        if (!out)
          throw Error(localized_format("send.error.attachment_save",
                                       attachment.filename.value_or("attachment")));
        row.attachments.push_back({copy.string(), attachment.filename.value_or("attachment"),
                                   attachment.mimeType.value_or("application/octet-stream")});
      }
    }
    store::ScheduledMessageStore(database).insert(row);
  } catch (const std::exception& e) {
    cleanup();
    log_line("❌", kComponent, "保存定时消息失败: " + std::string(e.what()));
    throw;
  }
  return row;
}

bool EmailScheduledSendService::cancel(store::EmailDatabase& database, std::string_view id) {
  const auto canonical = parse_uuid(id);
  if (!canonical) return false;
  const bool removed = store::ScheduledMessageStore(database).remove(*canonical);
  std::error_code ignored;
  std::filesystem::remove_all(attachmentDirectory(*canonical), ignored);
  return removed;
}

std::filesystem::path EmailScheduledSendService::attachmentDirectory(std::string_view id) {
  // Only a UUID names a directory here: nothing else can reach outside "scheduled".
  return platform::data_home() / "kestrova" / "scheduled" / parse_uuid(id).value_or("invalid");
}

}  // namespace kestrova::app
