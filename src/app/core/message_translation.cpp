#include "app/core/message_translation.h"

#include "ai/ai_configuration.h"
#include "ai/ai_service_error.h"
#include "ai/email_ai_service.h"
#include "ai/email_language_detector.h"
#include "ai/email_translation_cache_service.h"
#include "app/core/mail_ai.h"
#include "app/core/mailbox/message_context.h"
#include "app/core/message_ai_tasks.h"
#include "app/core/user_preferences.h"
#include "platform/settings_store.h"
#include "store/email_store.h"
#include "util/localization.h"
#include "util/text.h"

namespace kestrova::app {

namespace {

using Kind = MessageTranslationError::Kind;

constexpr std::string_view kEnglish = "English";
constexpr std::string_view kChinese = "简体中文";

std::string target_language(const std::string& given, ai::EmailDetectedLanguage source) {
  if (!given.empty()) return given;
  if (text_language() == TextLanguage::english && source != ai::EmailDetectedLanguage::english)
    return std::string(kEnglish);
  return std::string(source == ai::EmailDetectedLanguage::chinese ? kEnglish : kChinese);
}

}  // namespace

MessageTranslation translate_message(MessageContext& c, const std::string& to) {
  if (!ai_may_read(UserPreferences::shared(), &c.account)) {
    try {
      ensure_ai_may_read(UserPreferences::shared(), &c.account);
    } catch (const Error& e) {
      throw MessageTranslationError(Kind::privacy, e.what());
    }
  }
  ensure_body_if_possible(c);
  const auto& m = c.message;
  const std::string source =
      m.htmlBody && !text::trim(*m.htmlBody).empty() ? *m.htmlBody : ai::prompt_content(m);
  if (text::trim(source).empty()) throw MessageTranslationError(Kind::empty, localized("ai.error.empty_body"));
  const auto detected = ai::EmailLanguageDetector::detect(ai::prompt_content(m));
  MessageTranslation result;
  result.language = target_language(to, detected);
  const ai::EmailTranslationCacheService cache(c.book.store().database());
  if (auto cached = cache.lookup(m.id, result.language, source)) {
    result.html = std::move(cached->translatedText);
    result.sourceLanguage = std::move(cached->sourceLanguage);
    result.cached = true;
    return result;
  }

  ai_configuration();  // the one-time migration and default profiles of this process
  const ai::AIConfiguration latest(platform::SettingsStore::shared());
  if (auto issue = latest.configurationIssue(ai::AIScenario::emailTranslate))
    throw MessageTranslationError(Kind::configuration, *issue);
  const auto target = latest.resolveProfile(ai::AIScenario::emailTranslate);
  try {
    result.html = ai::EmailAIService().translateToHTML(source, result.language, target);
  } catch (const ai::AIServiceError& error) {
    throw MessageTranslationError(Kind::provider,
                                  ai::AIConfiguration::userFacingAIErrorMessage(
                                      localized("ai.action.translate"), error, target),
                                  brief_provider_failure("ai.action.translate", error, target));
  }
  if (text::trim(result.html).empty())
    throw MessageTranslationError(Kind::empty, localized("ai.mail.error.empty_response"));
  result.sourceLanguage = std::string(raw_value(detected));
  cache.store(m.id, result.language, source, {result.html, result.sourceLanguage});
  return result;
}

}  // namespace kestrova::app
