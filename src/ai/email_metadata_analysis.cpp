#include "ai/email_metadata_analysis.h"

#include "util/html_text.h"
#include "util/text.h"

namespace kestrova::ai {

namespace {

std::string prompt_content(const store::EmailMessage& message) {
  if (message.textBody && !message.textBody->empty()) return *message.textBody;
  if (message.htmlBody && !message.htmlBody->empty())
    return html_to_readable_text(*message.htmlBody);
  return message.preview;
}

std::string sender_line(const store::EmailContact& from) {
  return from.name && !from.name->empty() ? *from.name + " <" + from.email + ">" : from.email;
}

// From the first "{" to the last "}" (models wrap the object in prose); anything that is not
// an object gives no tags and a normal priority.
MetadataAnalysis parse_metadata(const std::string& reply) {
  const std::string trimmed = text::trim(reply);
  const size_t open = trimmed.find('{'), close = trimmed.rfind('}');
  const std::string json = open != std::string::npos && close != std::string::npos && close > open
                               ? trimmed.substr(open, close - open + 1)
                               : trimmed;
  MetadataAnalysis result;
  const Json value = Json::parse(json, nullptr, false);
  if (!value.is_object()) return result;
  if (auto tags = value.find("tags"); tags != value.end() && tags->is_array())
    for (const auto& tag : *tags)
      if (tag.is_string() && result.tags.size() < 5) result.tags.push_back(tag.get<std::string>());
  std::string priority = "normal";
  if (auto p = value.find("priority"); p != value.end() && p->is_string())
    priority = text::lower(p->get<std::string>());
  using store::EmailPriority;
  result.priority = priority.find("urgent") != std::string::npos ? EmailPriority::urgent
                    : priority.find("high") != std::string::npos ? EmailPriority::high
                    : priority.find("low") != std::string::npos  ? EmailPriority::low
                                                                 : EmailPriority::normal;
  return result;
}

}  // namespace

MetadataAnalysis analyze_message_metadata(const ChatAIService& chat,
                                          const ResolvedAIProfile& target,
                                          const store::EmailMessage& message) {
  const std::string prompt =
      "Analyze this email metadata and return a JSON object with tags and priority.\n\nSubject: " +
      message.subject + "\nFrom: " + sender_line(message.from) +
      "\nPreview: " + text::prefix_characters(prompt_content(message), 300) + "\n" +
      (message.hasAttachments ? "（含附件）" : "") +
      "\n\nReturn ONLY a JSON object like:\n{\"tags\":[\"tag1\",\"tag2\",\"tag3\"],\"priority\":"
      "\"normal\"}\n\nRules:\n- tags: 2-4 short tags in the email's language, describing "
      "category/topic\n- priority: one of \"low\", \"normal\", \"high\", \"urgent\"\n- No extra "
      "text, only the JSON object";
  ChatOptions options;
  options.model = target.model;
  const Json messages = Json::array({{{"role", "user"}, {"content", prompt}}});
  return parse_metadata(chat.send(target.profile, messages, options, target.timeout));
}

}  // namespace kestrova::ai
