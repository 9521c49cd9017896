#include "ai/email_ai_service.h"

#include <exception>
#include <utility>

#include "util/html_text.h"
#include "util/json.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/text.h"

namespace kestrova::ai {

namespace {

using store::EmailPriority;

constexpr std::string_view kComponent = "EmailAIService";

bool contains(std::string_view haystack, std::string_view needle) {
  return haystack.find(needle) != std::string_view::npos;
}

// "urgent" is tested first and as a substring, so "not urgent" still counts as urgent:
// a model that mentions urgency at all is taken at its word.
EmailPriority priority_in(std::string_view answer) {
  const std::string lowered = text::lower(answer);
  if (contains(lowered, "urgent")) return EmailPriority::urgent;
  if (contains(lowered, "high")) return EmailPriority::high;
  if (contains(lowered, "low")) return EmailPriority::low;
  return EmailPriority::normal;
}

// The text from the first `open` to the last `close`, both included; nothing when either is
// missing or they are out of order.
std::optional<std::string> enclosed(std::string_view reply, char open, char close) {
  const size_t first = reply.find(open);
  const size_t last = reply.rfind(close);
  if (first == std::string_view::npos || last == std::string_view::npos || last < first)
    return std::nullopt;
  return std::string(reply.substr(first, last - first + 1));
}

std::vector<std::string> first_strings(const Json& array, size_t limit) {
  std::vector<std::string> out;
  if (!array.is_array()) return out;
  for (const Json& item : array) {
    if (out.size() == limit) break;
    if (item.is_string()) out.push_back(item.get<std::string>());
  }
  return out;
}

// A tag is a word or a short phrase. A longer piece, or one over several lines, is prose the
// model wrote instead of the list it was asked for, and is no tag.
constexpr size_t kMaxTagCharacters = 40;
std::vector<std::string> plausible_tags(std::vector<std::string> pieces) {
  std::erase_if(pieces, [](const std::string& tag) {
    return tag.empty() || tag.find('\n') != std::string::npos ||
           text::character_count(tag) > kMaxTagCharacters;
  });
  return pieces;
}

// The interface language is the language of the AI's answers too: an English interface
// asks for English at the end of the prompt (the Chinese one sends the prompts as they are).
std::string in_answer_language(std::string prompt) {
  if (text_language() == TextLanguage::english) prompt += "\n\n" + localized("ai.answer_language");
  return prompt;
}

std::optional<Json> parsed(const std::string& text) {
  Json value = Json::parse(text, nullptr, false);
  if (value.is_discarded()) return std::nullopt;
  return value;
}

// The pieces of `reply` between `separator`s, trimmed, blank ones dropped.
std::vector<std::string> trimmed_pieces(std::string_view reply, char separator) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= reply.size()) {
    size_t end = reply.find(separator, start);
    if (end == std::string_view::npos) end = reply.size();
    std::string piece = text::trim(reply.substr(start, end - start));
    if (!piece.empty()) out.push_back(std::move(piece));
    start = end + 1;
  }
  return out;
}

// Lines of `reply` without a leading "-" or "•" list marker.
std::vector<std::string> suggestion_lines(std::string_view reply) {
  std::vector<std::string> out;
  for (std::string line : trimmed_pieces(reply, '\n')) {
    for (std::string_view marker : {"-", "•"}) {
      if (line.starts_with(marker)) {
        line = text::trim(std::string_view(line).substr(marker.size()));
        break;
      }
    }
    if (!line.empty()) out.push_back(std::move(line));
  }
  return out;
}

std::string without_quotes(std::string text) {
  if (text.size() >= 2 && ((text.front() == '"' && text.back() == '"') ||
                           (text.front() == '\'' && text.back() == '\'')))
    return text.substr(1, text.size() - 2);
  return text;
}

std::string without_fence(std::string text, std::initializer_list<std::string_view> openers) {
  for (std::string_view opener : openers) {
    if (text.starts_with(opener)) {
      text.erase(0, opener.size());
      break;
    }
  }
  if (text.ends_with("```")) text.erase(text.size() - 3);
  return text::trim(text);
}

// Removes every tag named `name` (opening, closing or self-closing, any letter case and
// attributes), leaving what is between them.
std::string without_tag(std::string html, std::string_view name) {
  std::string lowered = text::lower(html);
  for (const std::string& prefix : {"<" + std::string(name), "</" + std::string(name)}) {
    size_t at = 0;
    while ((at = lowered.find(prefix, at)) != std::string::npos) {
      const size_t after = at + prefix.size();
      const char next = after < lowered.size() ? lowered[after] : '>';
      if (next != '>' && next != ' ' && next != '/' && next != '\t' && next != '\n' &&
          next != '\r') {
        at = after;
        continue;
      }
      const size_t close = lowered.find('>', after);
      const size_t end = close == std::string::npos ? lowered.size() : close + 1;
      html.erase(at, end - at);
      lowered.erase(at, end - at);
    }
  }
  return html;
}

// A body fragment: the DOCTYPE, <html> and <body> tags go, and the whole <head> with them.
std::string body_fragment(std::string html) {
  std::string lowered = text::lower(html);
  const size_t head = lowered.find("<head");
  if (head != std::string::npos) {
    const size_t closing = lowered.find("</head>", head);
    const size_t end = closing == std::string::npos ? head : closing + 7;
    html.erase(head, end - head);
  }
  html = without_tag(std::move(html), "!doctype");
  html = without_tag(std::move(html), "html");
  html = without_tag(std::move(html), "body");
  return text::trim(html);
}

std::string polish_prompt(PolishMode mode, std::string_view body) {
  std::string prompt;
  bool english = true;
  switch (mode) {
    case PolishMode::translateToEnglish:
      prompt =
          "Please translate the following email body into English and rewrite it into a "
          "professional, native English email format. Requirements:"
          "\n1. Translate accurately, keeping the original meaning"
          "\n2. Use business English and polite, professional language"
          "\n3. Add a proper greeting (e.g. \"Dear\", \"Hello\") and closing (e.g. \"Best "
          "regards\", \"Sincerely\")"
          "\n4. Organise the content into clear paragraphs"
          "\n5. Follow common English email conventions"
          "\n\nOriginal text:\n";
      break;
    case PolishMode::englishEmail:
      prompt =
          "Please rewrite the following email body into a professional, native English email "
          "format. Requirements:"
          "\n1. Keep the original meaning unchanged"
          "\n2. Use business English and polite, professional language"
          "\n3. Add a proper greeting (e.g. \"Dear\", \"Hello\") and closing (e.g. \"Best "
          "regards\", \"Sincerely\")"
          "\n4. Organise the content into clear paragraphs"
          "\n5. Follow common English email conventions"
          "\n6. If the original text is short, add appropriate professional closing phrases"
          "\n\nOriginal text:\n";
      break;
    case PolishMode::translateToChinese:
      english = false;
      prompt =
          "请将以下邮件正文翻译成中文，并改写为正式、商务化的中文邮件格式。要求："
          "\n1. 准确翻译原文，保持原意"
          "\n2. 使用正式、得体的商务用语"
          "\n3. 段落清晰，层次分明"
          "\n4. 符合中文商务邮件的规范"
          "\n5. 适当使用商务礼貌用语（如“顺祝商祺”“此致敬礼”）"
          "\n6. 排版整洁"
          "\n\n原始正文：\n";
      break;
    case PolishMode::chineseFormal:
      english = false;
      prompt =
          "请将以下邮件正文改写为更正式、商务化的中文邮件格式。要求："
          "\n1. 保持原意不变"
          "\n2. 使用正式、得体的商务用语"
          "\n3. 段落清晰，层次分明"
          "\n4. 符合中文商务邮件的规范"
          "\n5. 如果原文较短，适当添加商务礼貌用语"
          "\n6. 排版整洁"
          "\n\n原始正文：\n";
      break;
  }
  prompt += body;
  prompt += english
                ? "\n\nPlease return only the rewritten email body, without any explanations or "
                  "notes."
                : "\n\n请直接返回改写后的正文，不要添加任何解释或说明。";
  return prompt;
}

}  // namespace

std::string prompt_content(const store::EmailMessage& message) {
  if (message.textBody && !text::trim(*message.textBody).empty()) return *message.textBody;
  if (message.htmlBody && !text::trim(*message.htmlBody).empty())
    return html_to_readable_text(*message.htmlBody);
  return message.preview;
}

std::string sender_line(const store::EmailContact& contact) {
  if (contact.name && !text::trim(*contact.name).empty())
    return *contact.name + " <" + contact.email + ">";
  return contact.email;
}

EmailAIService::EmailAIService(std::shared_ptr<const ChatAIService> chat)
    : chat_(std::move(chat)) {}

std::string EmailAIService::ask(const std::string& prompt, const ResolvedAIProfile& target) const {
  const Json messages = Json::array({{{"role", "user"}, {"content", prompt}}});
  ChatOptions options;
  options.model = target.model;
  return text::trim(chat_->send(target.profile, messages, options, target.timeout));
}

EmailMetadataAnalysis EmailAIService::analyzeMetadata(const store::EmailMessage& m,
                                                      const ResolvedAIProfile& target) const {
  const std::string prompt =
      "Analyze this email metadata and return a JSON object with tags and priority.\n\n"
      "Subject: " +
      m.subject + "\nFrom: " + sender_line(m.from) +
      "\nPreview: " + text::prefix_characters(prompt_content(m), 300) + "\n" +
      (m.hasAttachments ? "（含附件）" : "") +
      "\n\nReturn ONLY a JSON object like:\n"
      "{\"tags\":[\"tag1\",\"tag2\",\"tag3\"],\"priority\":\"normal\"}\n\n"
      "Rules:\n"
      "- tags: 2-4 short tags in the email's language, describing category/topic\n"
      "- priority: one of \"low\", \"normal\", \"high\", \"urgent\"\n"
      "- No extra text, only the JSON object";
  const std::string reply = ask(prompt, target);
  EmailMetadataAnalysis result;
  const auto object = parsed(enclosed(reply, '{', '}').value_or(reply));
  if (!object || !object->is_object()) return result;
  if (const auto tags = object->find("tags"); tags != object->end())
    result.tags = plausible_tags(first_strings(*tags, 5));
  if (const auto priority = object->find("priority");
      priority != object->end() && priority->is_string())
    result.priority = priority_in(priority->get<std::string>());
  return result;
}

std::vector<std::string> EmailAIService::extractActionItems(const store::EmailMessage& m,
                                                            const ResolvedAIProfile& target) const {
  const std::string prompt =
      "Extract action items from this email. Action items include:\n"
      "- Tasks the recipient needs to do\n"
      "- Deadlines or dates to remember\n"
      "- Questions that need answering\n"
      "- Requests that need a response\n\n"
      "Subject: " +
      m.subject + "\nFrom: " + sender_line(m.from) + "\nContent:\n" +
      text::prefix_characters(prompt_content(m), 2000) +
      "\n\nReturn ONLY a JSON array of action item strings (max 5 items).\n"
      "If no action items, return [].\n"
      "Example: [\"Reply to budget proposal by Friday\",\"Review attached contract\","
      "\"Schedule meeting with team\"]";
  const auto array = enclosed(ask(in_answer_language(prompt), target), '[', ']');
  if (!array) return {};
  // Only a list of strings counts; anything else in it makes the answer unreadable.
  const auto value = parsed(*array);
  if (!value || !value->is_array()) return {};
  for (const Json& item : *value)
    if (!item.is_string()) return {};
  return first_strings(*value, 5);
}

std::vector<std::string> EmailAIService::generateTags(const store::EmailMessage& m,
                                                      const ResolvedAIProfile& target) const {
  const std::string prompt =
      "分析以下邮件内容，为其生成3-5个标签。标签应该简洁、有意义，能够帮助分类和检索。\n\n"
      "邮件主题：" +
      m.subject + "\n发件人：" + sender_line(m.from) + "\n邮件内容：" + prompt_content(m) +
      "\n\n请只返回标签，用逗号分隔，不要其他解释。\n例如：工作,紧急,发票,待处理";
  std::string reply = ask(in_answer_language(prompt), target);
  // Full-width commas and enumeration commas separate as well as ASCII ones.
  for (std::string_view separator : {"，", "、"})
    for (size_t at; (at = reply.find(separator)) != std::string::npos;)
      reply.replace(at, separator.size(), ",");
  return plausible_tags(trimmed_pieces(reply, ','));
}

EmailPriority EmailAIService::detectPriority(const store::EmailMessage& m,
                                             const ResolvedAIProfile& target) const {
  const std::string prompt =
      "分析以下邮件，判断其优先级（low/normal/high/urgent）。\n\n邮件主题：" + m.subject +
      "\n发件人：" + sender_line(m.from) + "\n邮件内容：" + prompt_content(m) +
      "\n\n请只返回优先级（low/normal/high/urgent），不要其他解释。";
  return priority_in(ask(prompt, target));
}

std::string EmailAIService::generateSummary(const store::EmailMessage& m,
                                            const ResolvedAIProfile& target) const {
  const std::string prompt = "为以下邮件生成一个简洁的摘要（50-100字）。\n\n邮件主题：" +
                             m.subject + "\n发件人：" + sender_line(m.from) + "\n邮件内容：\n" +
                             prompt_content(m) + "\n\n请生成摘要，突出关键信息和行动项。";
  return ask(in_answer_language(prompt), target);
}

std::vector<std::string> EmailAIService::suggestActions(const store::EmailMessage& m,
                                                        const ResolvedAIProfile& target) const {
  const std::string prompt = "分析以下邮件，生成2-3个建议的行动项。\n\n邮件主题：" + m.subject +
                             "\n发件人：" + sender_line(m.from) + "\n邮件内容：" +
                             prompt_content(m) + "\n\n请生成简洁的行动建议，每行一个。";
  return suggestion_lines(ask(in_answer_language(prompt), target));
}

bool EmailAIService::checkDuplicate(const store::EmailMessage& m,
                                    const std::vector<std::string>& recentSubjects,
                                    const ResolvedAIProfile& target) const {
  std::string subjects;
  for (const auto& subject : recentSubjects) subjects += (subjects.empty() ? "" : "\n") + subject;
  const std::string prompt =
      "判断以下邮件是否与最近收到的邮件重复或高度相似。\n\n当前邮件：\n主题：" + m.subject +
      "\n发件人：" + sender_line(m.from) + "\n内容：" + prompt_content(m) +
      "\n\n最近邮件主题列表：\n" + subjects + "\n\n请只返回\"是\"或\"否\"，不要其他解释。";
  try {
    return contains(text::lower(ask(prompt, target)), "是");
  } catch (const std::exception& e) {
    log_line(log_kind::kWarning, kComponent, "重复判断失败: " + std::string(e.what()));
    return false;
  }
}

std::string EmailAIService::generateAutoReply(const store::EmailMessage& m,
                                              const std::optional<std::string>& templateText,
                                              const ResolvedAIProfile& target) const {
  const std::string prompt =
      "请为以下邮件生成一封礼貌、专业的自动回复。\n\n原邮件主题：" + m.subject + "\n发件人：" +
      sender_line(m.from) + "\n邮件内容：\n" +
      text::prefix_characters(prompt_content(m), kAutoReplyPromptCharacters) +
      "\n\n回复模板（如果适用）：\n" + templateText.value_or("标准自动回复") +
      "\n\n请生成一封简洁、专业的自动回复邮件正文。";
  return ask(in_answer_language(prompt), target);
}

std::string EmailAIService::polish(std::string_view body, PolishMode mode,
                                   const ResolvedAIProfile& target) const {
  if (text::trim(body).empty()) throw EmailAIError(localized("ai.error.empty_body"));
  return without_quotes(ask(polish_prompt(mode, body), target));
}

std::string EmailAIService::translateToHTML(std::string_view content,
                                            std::string_view targetLanguage,
                                            const ResolvedAIProfile& target) const {
  const std::string system =
      "你是一名专业的邮件翻译助手。请把用户提供的邮件内容翻译成「" + std::string(targetLanguage) +
      "」，并以 HTML 格式输出。\n\n"
      "【严格要求】\n"
      "1. 只翻译可见的文字，不要改写、润色、增加或删减任何内容。\n"
      "2. 保留所有 HTML 标签和属性（如 href、src、alt），只翻译标签之间的文字。\n"
      "3. 如果输入是纯文本，请输出 HTML：换行用 <br> 表示，网址用链接包裹。\n"
      "4. 网址、邮箱地址、代码和专有名词保持原样，不要翻译。\n"
      "5. 只输出翻译后的 HTML，不要任何前言或说明。\n"
      "6. 不要使用 Markdown，不要使用代码块标记。";
  const Json messages = Json::array({{{"role", "system"}, {"content", system}},
                                     {{"role", "user"}, {"content", std::string(content)}}});
  ChatOptions options;
  options.model = target.model;
  const std::string reply =
      text::trim(chat_->send(target.profile, messages, options, target.timeout));
  return without_fence(reply, {"```"});
}

std::string EmailAIService::optimizeLayout(std::string_view html, std::string_view plainText,
                                           const ResolvedAIProfile& target) const {
  if (text::trim(html).empty()) throw EmailAIError(localized("ai.error.empty_mail_body"));
  const std::string prompt =
      "请优化以下邮件HTML的排版布局，使其更加美观易读。要求：\n"
      "1. **保持内容完整**：不要删除或改写任何文字、链接和图片。\n"
      "2. **使用语义化标签**：标题用 h1-h6，段落用 p，列表用 ul/ol，引用用 blockquote，"
      "强调用 strong/em。\n"
      "3. **清理冗余格式**：去掉用于布局的表格、内联 style 属性和 &nbsp; 实体。\n"
      "4. **格式化特殊内容**：引用、代码和链接要清晰可辨。\n"
      "5. **尊重现有样式**：不要添加与下列内置样式冲突的样式。\n\n"
      "软件内置浏览器会自动添加以下CSS样式：\n"
      "- 字体：系统字体（-apple-system、PingFang SC 等）\n"
      "- 基础字号 16px，行高 1.6\n"
      "- 文字颜色 #1d1d1f\n"
      "- 链接颜色 #007AFF\n"
      "- 标题字重 600\n"
      "- 图片圆角 8px\n"
      "- 代码背景 #f5f5f7\n"
      "- 表格边框 #e5e5e5"
      "\n\n原始HTML：\n" +
      std::string(html) + "\n\n纯文本内容（供参考）：\n" + std::string(plainText) +
      "\n\n请直接返回优化后的HTML代码，只需要 <body> 标签内的内容，不要包含 "
      "<!DOCTYPE>、<html>、<head> 等标签。\n不要添加任何解释说明，直接返回HTML代码。";
  return body_fragment(without_fence(ask(prompt, target), {"```html", "```"}));
}

}  // namespace kestrova::ai
