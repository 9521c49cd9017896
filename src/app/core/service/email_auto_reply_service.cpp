#include "app/core/service/email_auto_reply_service.h"

#include <algorithm>

#include "ai/email_ai_service.h"
#include "app/core/mail_ai.h"
#include "app/core/writing/reply_composer.h"
#include "app/core/user_preferences.h"
#include "mail/email_message_conversion.h"
#include "mail/email_service.h"
#include "mail/outgoing_message.h"
#include "platform/settings_store.h"
#include "safety/email_privacy_report_service.h"
#include "store/email_store.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::app {

namespace {

constexpr std::string_view kComponent = "EmailAutoReplyScheduler";
// Dates written by other machines may run this far behind ours.
constexpr double kClockSkewSeconds = 600;
constexpr int kInboxWindow = 200;  // newest messages of each inbox looked at per pass

}  // namespace

EmailAutoReplyService::EmailAutoReplyService(store::EmailStore& store, UserPreferences& preferences,
                                             Sender sender, AutomaticCheck isAutomatic, Clock clock)
    : store_(store),
      preferences_(preferences),
      sender_(std::move(sender)),
      isAutomatic_(std::move(isAutomatic)),
      clock_(std::move(clock)),
      log_(store.database()) {
  if (!sender_)
    sender_ = [this](const store::EmailAccount& account, const ComposedMessage& message) {
      send_composed(account, message, store_);
    };
  if (!isAutomatic_)
    isAutomatic_ = [this](const store::EmailAccount& account, const store::EmailMessage& message) {
      const auto folder = message.folderId ? store_.folder(*message.folderId) : std::nullopt;
      if (!folder || !message.uid) return false;
      auto& service = mail::EmailService::shared();
      return service.isAutomaticMessage(account, service.storedPassword(account), message,
                                        {*folder});
    };
}

double EmailAutoReplyService::now() const { return clock_ ? clock_() : now_seconds(); }

void EmailAutoReplyService::start() {
  startedAt_ = now();
  process("startup");
}

void EmailAutoReplyService::setEnabled(UserPreferences& preferences, bool enabled, double now) {
  preferences.set(settings::emailAutoReplyEnabled, enabled);
  if (enabled) platform::SettingsStore::shared().set(kEnabledAtKey, now);
}

bool EmailAutoReplyService::answerable(const store::EmailMessage& m, double since) const {
  if (m.isSpam || m.isDeleted || m.isDraft || m.isNoReply) return false;
  if (processedMessageIds_.contains(m.id) || baseline_->contains(m.id)) return false;
  if (m.receivedDate.value_or(m.date) < since - kClockSkewSeconds) return false;
  const std::string sender = text::lower(text::trim(m.from.email));
  if (sender.empty() || ownAddresses_.contains(sender)) return false;
  return !mail::is_no_reply_address(sender);
}

bool EmailAutoReplyService::repliedRecently(const std::string& sender, double at) {
  const auto last = log_.lastReplyAt(sender);
  return last && at - *last < kReplyPeriod;
}

std::set<std::string> EmailAutoReplyService::storedInboxMessages() {
  std::set<std::string> ids;
  store_.loadAccounts();
  store_.loadFolders();
  for (const auto& account : store_.accounts())
    for (const auto& folder : store_.foldersOf(account.id))
      if (folder.type == store::EmailFolderType::inbox && !folder.isLocalPseudoFolder())
        for (const auto& message : store_.loadMessages(folder, kInboxWindow, 0))
          ids.insert(message.id);
  return ids;
}

void EmailAutoReplyService::process(std::string_view reason) {
  if (!preferences_.get(settings::emailAutoReplyEnabled)) {
    baseline_.reset();
    return;
  }
  if (!baseline_) baseline_ = storedInboxMessages();
  if (preferences_.get(settings::emailSuperPrivacyMode)) {
    log_line("🔒", kComponent, "超级隐私模式已启用，跳过自动回复");
    return;
  }
  log_line("📬", kComponent, "检查自动回复: " + std::string(reason));
  const double enabledAt = platform::SettingsStore::shared().real(kEnabledAtKey).value_or(0);
  const double since = std::max(startedAt_, enabledAt);
  const std::string body = preferences_.get(settings::emailAutoReplyTemplate);

  store_.loadAccounts();
  store_.loadFolders();
  ownAddresses_.clear();
  for (const auto& account : store_.accounts())
    ownAddresses_.insert(text::lower(text::trim(account.emailAddress)));

  for (const auto& account : store_.accounts()) {
    for (const auto& folder : store_.foldersOf(account.id)) {
      if (folder.type != store::EmailFolderType::inbox || folder.isLocalPseudoFolder()) continue;
      for (const auto& message : store_.loadMessages(folder, kInboxWindow, 0)) {
        if (!answerable(message, since)) continue;
        const std::string sender = text::lower(text::trim(message.from.email));
        try {
          if (repliedRecently(sender, now()) || isAutomatic_(account, message)) {
            processedMessageIds_.insert(message.id);
            continue;
          }
          ComposedMessage reply = compose_reply(message, {}, false);
          reply.to.clear();
          if (auto to = recipient_text(message.from)) reply.to.push_back(std::move(*to));
          if (reply.to.empty()) {
            processedMessageIds_.insert(message.id);
            continue;
          }
          reply.cc.clear();
          // "Re: " and the start of the subject as received, on one line: a reply never
          // carries much of what the sender wrote.
          reply.subject = "Re: " + mail::single_line(text::prefix_characters(message.subject,
                                                                             kSubjectCharacters));
          reply.body = replyBody(account, message, body);
          reply.autoSubmitted = "auto-replied";
          sender_(account, reply);
          processedMessageIds_.insert(message.id);
          log_.recordReply(sender, now());
          log_line("✅", kComponent, "已自动回复邮件: " + message.subject);
        } catch (const std::exception& e) {
          log_line("❌", kComponent, "自动回复失败: " + std::string(e.what()));
        }
      }
    }
  }
}

bool EmailAutoReplyService::copiesIncomingText(std::string_view reply, std::string_view incoming) {
  // Collapsed white space and lower case, so that re-wrapping does not hide a copy.
  const auto normal = [](std::string_view value) {
    std::string out;
    for (char c : text::lower(value)) {
      const bool space = c == ' ' || c == '\t' || c == '\r' || c == '\n';
      if (space && (out.empty() || out.back() == ' ')) continue;
      out.push_back(space ? ' ' : c);
    }
    return out;
  };
  const std::string r = normal(reply), in = normal(incoming);
  // Any copied run longer than kMaxCopiedBytes holds one of these aligned pieces whole.
  constexpr size_t kStep = kMaxCopiedBytes / 3, kPiece = 2 * kStep;
  for (size_t at = 0; at + kPiece <= in.size(); at += kStep)
    if (r.find(std::string_view(in).substr(at, kPiece)) != std::string::npos) return true;
  return false;
}

std::optional<std::string> EmailAutoReplyService::aiRefusal(
    const store::EmailMessage& message) const {
  if (preferences_.get(settings::emailAutoReplyAIKnownSendersOnly) &&
      !log_.userHasWrittenTo(message.from.email))
    return std::string("发件人不是曾经写信给过的联系人");
  if (!safety::EmailPrivacyReportService::report(message).injection.empty())
    return std::string("邮件含有可疑的提示注入内容");
  return std::nullopt;
}

std::string EmailAutoReplyService::replyBody(const store::EmailAccount& account,
                                             const store::EmailMessage& message,
                                             const std::string& templateText) const {
  // The template alone unless an AI service is configured and may read this account's mail.
  if (!ai_may_read(preferences_, &account) ||
      ai_configuration().configurationIssue(ai::AIScenario::emailReply))
    return templateText;
  if (auto refusal = aiRefusal(message)) {
    log_line("⚠️", kComponent, "不使用 AI 自动回复，使用模板: " + *refusal);
    return templateText;
  }
  try {
    const auto target = ai_configuration().resolveProfile(ai::AIScenario::emailReply);
    const auto given =
        text::trim(templateText).empty() ? std::nullopt : std::optional<std::string>(templateText);
    std::string drafted = ai::EmailAIService().generateAutoReply(message, given, target);
    if (copiesIncomingText(drafted, message.subject + "\n" + ai::prompt_content(message))) {
      log_line("⚠️", kComponent, "AI 自动回复引用了过多原文，使用模板");
      return templateText;
    }
    if (!text::trim(drafted).empty()) return drafted;
  } catch (const std::exception& e) {
    log_line("⚠️", kComponent, "AI 自动回复生成失败，使用模板: " + std::string(e.what()));
  }
  return templateText;
}

}  // namespace kestrova::app
