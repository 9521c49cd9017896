#include "safety/email_junk_filter_service.h"

#include <array>
#include <exception>

#include "store/database.h"
#include "util/log.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::safety {

namespace {

constexpr std::string_view kTag = "EmailJunkFilterService";

constexpr std::array<std::string_view, 9> kSpamPhrases = {
    "中奖", "发票", "贷款", "返利", "免费领取", "click here", "urgent action", "verify account", "limited offer"};
constexpr std::array<std::string_view, 6> kSubjectSymbols = {"!", "$", "￥", "%", "★", "☆"};
constexpr std::array<std::string_view, 3> kRiskyEndings = {".xyz", ".top", ".click"};

constexpr double kSpamPhraseWeight = 0.9;
constexpr double kManyLinksWeight = 1.1;
constexpr double kSymbolHeavyWeight = 0.9;
constexpr double kRemoteTrackerWeight = 0.6;
constexpr double kRiskyDomainWeight = 0.8;
constexpr double kOutlierFlagWeight = 0.65;

constexpr std::string_view kList = "    SELECT * FROM email_blocked_senders\n    ORDER BY updated_at DESC";
constexpr std::string_view kAdd =
    "    INSERT INTO email_blocked_senders (\n        id, account_id, email, note, created_at, updated_at\n"
    "    ) VALUES (?, ?, ?, ?, ?, ?)\n    ON CONFLICT(account_id, email) DO UPDATE SET\n"
    "        note = excluded.note,\n        updated_at = excluded.updated_at";
constexpr std::string_view kRemove = "DELETE FROM email_blocked_senders WHERE id = ?";
constexpr std::string_view kSelectEntry = "SELECT * FROM email_blocked_senders WHERE account_id = ? AND email = ?";
constexpr std::string_view kMatch =
    "SELECT COUNT(*) FROM email_blocked_senders WHERE account_id = ? AND email IN (?, ?, ?)";

size_t count_of(std::string_view text, std::string_view part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + part.size())) ++n;
  return n;
}

std::string_view body_of(const store::EmailMessage& m) {
  if (m.textBody && !m.textBody->empty()) return *m.textBody;
  return m.htmlBody ? std::string_view(*m.htmlBody) : std::string_view();
}

size_t ascii_digits(std::string_view text) {
  size_t n = 0;
  for (const char c : text)
    if (c >= '0' && c <= '9') ++n;
  return n;
}

bool ends_with(std::string_view text, std::string_view ending) {
  return text.size() >= ending.size() && text.substr(text.size() - ending.size()) == ending;
}

// The part after the last "@", or the whole text without one.
std::string_view domain_of(std::string_view address) {
  const size_t at = address.rfind('@');
  return at == std::string_view::npos ? address : address.substr(at + 1);
}

}  // namespace

EmailJunkFilterService::EmailJunkFilterService(store::EmailDatabase& database, Clock clock)
    : database_(database), clock_(std::move(clock)) {}

double EmailJunkFilterService::now() const { return clock_ ? clock_() : now_seconds(); }

JunkScore EmailJunkFilterService::junkScore(const store::EmailMessage& message) {
  JunkScore out;
  const std::string subject = text::lower(message.subject);
  const std::string_view raw_body = body_of(message);
  const std::string body = text::lower(raw_body);

  size_t phrases = 0;
  for (const auto phrase : kSpamPhrases)
    if (subject.find(phrase) != std::string::npos || body.find(phrase) != std::string::npos) ++phrases;
  if (phrases > 0) {
    out.score += kSpamPhraseWeight * static_cast<double>(phrases);
    out.reasons.emplace_back("spam-words");
  }

  // Splitting on "http" gives more than three parts from three occurrences on.
  if (count_of(raw_body, "http") >= 3) {
    out.score += kManyLinksWeight;
    out.reasons.emplace_back("many-links");
  }

  const size_t subject_length = text::character_count(message.subject);
  size_t symbols = 0;
  for (const auto symbol : kSubjectSymbols) symbols += count_of(message.subject, symbol);
  if (static_cast<double>(symbols) / static_cast<double>(std::max<size_t>(subject_length, 1)) > 0.16) {
    out.score += kSymbolHeavyWeight;
    out.reasons.emplace_back("symbol-heavy-subject");
  }

  if (message.containsRemoteResources && !message.hasAttachments) {
    out.score += kRemoteTrackerWeight;
    out.reasons.emplace_back("remote-tracker");
  }

  const std::string sender = text::lower(text::trim(message.from.email));
  for (const auto ending : kRiskyEndings)
    if (ends_with(sender, ending)) {
      out.score += kRiskyDomainWeight;
      out.reasons.emplace_back("risky-domain");
      break;
    }

  // Isolation outliers: mail that looks unlike what people write to each other.
  const std::string trimmed_body = text::trim(raw_body);
  const size_t at = sender.rfind('@');
  const std::string_view local_part = at == std::string::npos ? std::string_view(sender)
                                                              : std::string_view(sender).substr(0, at);
  const std::string subject_and_body = message.subject + "\n" + std::string(raw_body);
  const std::array<bool, 4> flags = {
      text::character_count(trimmed_body) < 20 && trimmed_body.find("http") != std::string::npos,
      subject_length >= 91,
      text::character_count(local_part) > 28,
      text::character_count(subject_and_body) < 500 && ascii_digits(subject_and_body) >= 19,
  };
  const int set = static_cast<int>(std::count(flags.begin(), flags.end(), true));
  if (set >= 2) {
    out.score += kOutlierFlagWeight * set;
    out.reasons.emplace_back("isolation-outlier");
  }
  return out;
}

JunkDecision EmailJunkFilterService::evaluate(store::EmailMessage& message,
                                              const std::vector<store::EmailFolder>& folders,
                                              const JunkFilterSettings& settings) {
  JunkDecision decision;
  if (settings.blockedSenderFilterEnabled && isBlocked(message.from.email, message.accountId)) {
    decision.score.reasons.emplace_back("blocked-sender");
    decision.score.score = kBlockedScore;
  }
  if (settings.junkFilterEnabled) {
    const JunkScore junk = junkScore(message);
    decision.score.score += junk.score;
    decision.score.reasons.insert(decision.score.reasons.end(), junk.reasons.begin(), junk.reasons.end());
  }
  if (decision.score.score < kThreshold) return decision;

  const bool blocked = !decision.score.reasons.empty() && decision.score.reasons.front() == "blocked-sender";
  const EmailJunkFilterAction action = blocked ? settings.blockedSenderAction : settings.junkFilterAction;
  decision.action = action;
  if (action == EmailJunkFilterAction::moveToSpam) {
    for (const auto& folder : folders)
      if (folder.accountId == message.accountId && folder.type == store::EmailFolderType::spam &&
          !folder.isLocalPseudoFolder()) {
        message.folderId = folder.id;
        decision.spamFolderId = folder.id;
        return decision;
      }
    // Without a spam folder the message cannot leave the inbox; it is marked instead.
  }
  message.isSpam = true;
  return decision;
}

std::vector<BlockedSender> EmailJunkFilterService::list() {
  try {
    return database_.read([](store::Connection& c) {
      std::vector<BlockedSender> out;
      auto s = c.prepare(kList);
      while (s.step())
        if (auto entry = BlockedSender::from_row(s)) out.push_back(std::move(*entry));
      return out;
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kTag, std::string("加载黑名单失败: ") + e.what());
    return {};
  }
}

std::optional<BlockedSender> EmailJunkFilterService::add(std::string_view accountId, std::string_view email,
                                                         const std::optional<std::string>& note) {
  const std::string address = text::lower(text::trim(email));
  if (address.empty()) return std::nullopt;
  const double at = now();
  try {
    return database_.write([&](store::Connection& c) {
      auto insert = c.prepare(kAdd);
      insert.bind(1, new_uuid()).bind(2, accountId).bind(3, address);
      if (note)
        insert.bind(4, *note);
      else
        insert.bind(4, std::nullopt);
      insert.bind(5, at).bind(6, at);
      insert.run();
      auto stored = c.prepare(kSelectEntry);
      stored.bind_all(accountId, address);
      std::optional<BlockedSender> entry;
      if (stored.step()) entry = BlockedSender::from_row(stored);
      return entry;
    });
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kTag, std::string("添加黑名单失败: ") + e.what());
    return std::nullopt;
  }
}

bool EmailJunkFilterService::remove(std::string_view id) {
  try {
    database_.write([&](store::Connection& c) {
      auto s = c.prepare(kRemove);
      s.bind(1, id);
      s.run();
    });
    return true;
  } catch (const std::exception& e) {
    log_line(log_kind::kFailure, kTag, std::string("删除黑名单失败: ") + e.what());
    return false;
  }
}

bool EmailJunkFilterService::isBlocked(std::string_view email, std::string_view accountId) {
  const std::string address = text::lower(text::trim(email));
  if (address.empty()) return false;
  const std::string domain(domain_of(address));
  try {
    return database_.read([&](store::Connection& c) {
      auto s = c.prepare(kMatch);
      s.bind(1, accountId).bind(2, address).bind(3, "@" + domain).bind(4, domain);
      return s.step() && s.integer(0).value_or(0) > 0;
    });
  } catch (const std::exception& e) {
    // Evaluation never fails: an unreadable list blocks nothing.
    log_line(log_kind::kFailure, kTag, std::string("读取黑名单失败: ") + e.what());
    return false;
  }
}

}  // namespace kestrova::safety
