#include "ai/email_ai_service.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "ai/email_language_detector.h"
#include "ai_test_server.h"
#include "util/localization.h"

namespace kestrova::ai {
namespace {

using store::EmailPriority;
using testing::AITestServer;

ResolvedAIProfile target(const AITestServer& server,
                         AIProtocolType protocol = AIProtocolType::openAI,
                         const std::string& path = "/v1") {
  ResolvedAIProfile t{AIServiceProfile::forProtocol(protocol), "m1", 10};
  t.profile.endpoint = server.base("canned") + path;
  t.profile.apiKey = "sk-test";
  t.profile.defaultModel = "m1";
  return t;
}

store::EmailMessage message() {
  store::EmailMessage m;
  m.subject = "Invoice 42";
  m.from = {"Ann", "ann@example.com"};
  m.htmlBody = "<p>Pay &amp; reply</p>";
  m.hasAttachments = true;
  return m;
}

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += item + "|";
  return out;
}

// Each task sends exactly one user message with its prompt, and reads the awkward answers
// models give: prose around JSON, too many tags, "LOW", "not urgent", fences, blank text.
TEST(EmailAIServiceTest, EachTaskSendsItsPromptAndSurvivesAwkwardReplies) {
  const EmailAIService service;
  const auto m = message();
  struct Case {
    std::string reply;
    std::function<std::string(const ResolvedAIProfile&)> run;
    std::string promptStart, promptEnd, expected;
  } cases[] = {
      {"Sure! {\"tags\":[\"a\",\"b\",\"c\",\"d\",\"e\",\"f\",\"g\"],\"priority\":\"LOW\"} Done.",
       [&](auto& t) {
         auto r = service.analyzeMetadata(m, t);
         return joined(r.tags) + std::string(raw_value(r.priority));
       },
       "Analyze this email metadata and return a JSON object with tags and priority.\n\n"
       "Subject: Invoice 42\nFrom: Ann <ann@example.com>\nPreview: Pay & reply\n（含附件）\n\n"
       "Return ONLY",
       "- No extra text, only the JSON object", "a|b|c|d|e|low"},
      {"{\"tags\":\"x\"}",
       [&](auto& t) {
         auto r = service.analyzeMetadata(m, t);
         return joined(r.tags) + std::string(raw_value(r.priority));
       },
       "Analyze", "object", "normal"},
      {"This is not urgent, just normal.",
       [&](auto& t) { return std::string(raw_value(service.detectPriority(m, t))); },
       "分析以下邮件，判断其优先级（low/normal/high/urgent）。\n\n邮件主题：Invoice 42\n"
       "发件人：Ann <ann@example.com>\n邮件内容：Pay & reply",
       "\n\n请只返回优先级（low/normal/high/urgent），不要其他解释。", "urgent"},
      {" 工作 , 发票,, 待处理 \n", [&](auto& t) { return joined(service.generateTags(m, t)); },
       "分析以下邮件内容，为其生成3-5个标签。", "例如：工作,紧急,发票,待处理", "工作|发票|待处理|"},
      // Prose instead of the list asked for gives no tag, not one long one.
      {"工作，发票、待处理", [&](auto& t) { return joined(service.generateTags(m, t)); }, "分析",
       "待处理", "工作|发票|待处理|"},
      {"This message is about an invoice from Ann that has to be paid by Friday.",
       [&](auto& t) { return joined(service.generateTags(m, t)); }, "分析", "待处理", ""},
      {"{\"tags\":[\"The message concerns an overdue invoice sent by Ann\",\"invoice\"]}",
       [&](auto& t) {
         auto r = service.analyzeMetadata(m, t);
         return joined(r.tags) + std::string(raw_value(r.priority));
       },
       "Analyze", "object", "invoice|normal"},
      {"No brackets here", [&](auto& t) { return joined(service.extractActionItems(m, t)); },
       "Extract action items from this email.", "\"Schedule meeting with team\"]", ""},
      {"Items: [\"a\",\"b\",\"c\",\"d\",\"e\",\"f\"] ok",
       [&](auto& t) { return joined(service.extractActionItems(m, t)); }, "Extract", "]",
       "a|b|c|d|e|"},
      {"[\"Pay\", 3]", [&](auto& t) { return joined(service.extractActionItems(m, t)); }, "Extract",
       "]", ""},
      {"- Pay\n\n• Reply \n Call", [&](auto& t) { return joined(service.suggestActions(m, t)); },
       "分析以下邮件，生成2-3个建议的行动项。", "每行一个。", "Pay|Reply|Call|"},
      {"   \n\t", [&](auto& t) { return service.generateSummary(m, t); },
       "为以下邮件生成一个简洁的摘要（50-100字）。", "突出关键信息和行动项。", ""},
      {"是的",
       [&](auto& t) {
         return std::to_string(service.checkDuplicate(m, {"A", "B"}, t));
       },
       "判断以下邮件", "最近邮件主题列表：\nA\nB\n\n请只返回\"是\"或\"否\"，不要其他解释。", "1"},
      {"Auto", [&](auto& t) { return service.generateAutoReply(m, std::nullopt, t); },
       "请为以下邮件生成一封礼貌、专业的自动回复。",
       "标准自动回复\n\n请生成一封简洁、专业的自动回复邮件正文。", "Auto"},
      {"\"Dear Ann,\"", [&](auto& t) { return service.polish("hi", PolishMode::englishEmail, t); },
       "Please rewrite the following email body into a professional, native English email format.",
       "\n\nOriginal text:\nhi\n\nPlease return only the rewritten email body, without any "
       "explanations or notes.",
       "Dear Ann,"},
      {"'您好'", [&](auto& t) { return service.polish("hi", PolishMode::translateToChinese, t); },
       "请将以下邮件正文翻译成中文",
       "\n\n原始正文：\nhi\n\n请直接返回改写后的正文，不要添加任何解释或说明。", "您好"},
      {"```html\n<!DOCTYPE html><html><head><title>x</title></head><BODY class=a><p>Hi</p></body>"
       "</html>\n```",
       [&](auto& t) { return service.optimizeLayout("<p>Hi</p>", "Hi", t); },
       "请优化以下邮件HTML的排版布局，使其更加美观易读。要求：",
       "不要添加任何解释说明，直接返回HTML代码。", "<p>Hi</p>"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.promptStart);
    AITestServer server;
    server.reply_with({c.reply});
    EXPECT_EQ(c.run(target(server)), c.expected);
    const Json messages = Json::parse(server.last()["body"].get<std::string>())["messages"];
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0]["role"], "user");
    const std::string prompt = messages[0]["content"];
    EXPECT_TRUE(prompt.starts_with(c.promptStart)) << prompt;
    EXPECT_TRUE(prompt.ends_with(c.promptEnd)) << prompt;
  }

  // In English the prompts that write text for the user ask for English answers.
  set_text_language("en");
  for (const auto& run : std::vector<std::function<void(const ResolvedAIProfile&)>>{
           [&](auto& t) { service.generateSummary(m, t); },
           [&](auto& t) { service.generateTags(m, t); },
           [&](auto& t) { service.extractActionItems(m, t); },
           [&](auto& t) { service.suggestActions(m, t); },
           [&](auto& t) { service.generateAutoReply(m, std::nullopt, t); }}) {
    AITestServer server;
    server.reply_with({"ok"});
    run(target(server));
    const Json messages = Json::parse(server.last()["body"].get<std::string>())["messages"];
    EXPECT_TRUE(
        messages[0]["content"].get<std::string>().ends_with("\n\nWrite your answer in English."));
  }
  set_text_language("zh-Hans");

  // Blank input fails before anything is sent.
  AITestServer server;
  EXPECT_THROW(service.polish(" \n", PolishMode::chineseFormal, target(server)), EmailAIError);
  EXPECT_THROW(service.optimizeLayout("", "", target(server)), EmailAIError);
  EXPECT_TRUE(server.requests().empty());
}

// The HTML translation is the one task with a system message; Anthropic takes that only as
// the top-level "system" field and refuses a "system" role.
TEST(EmailAIServiceTest, HtmlTranslationSendsItsSystemMessageToEveryDialect) {
  const EmailAIService service;
  for (auto [protocol, path] :
       {std::pair{AIProtocolType::openAI, "/v1"}, std::pair{AIProtocolType::claude, "/v1"}}) {
    AITestServer server;
    server.reply_with({"```\n<p>Hallo</p>\n```"});
    EXPECT_EQ(service.translateToHTML("<p>Hello</p>", "德语", target(server, protocol, path)),
              "<p>Hallo</p>");
    const Json body = Json::parse(server.last()["body"].get<std::string>());
    const Json system =
        protocol == AIProtocolType::claude ? body["system"] : body["messages"][0]["content"];
    EXPECT_TRUE(system.get<std::string>().starts_with(
        "你是一名专业的邮件翻译助手。请把用户提供的邮件内容翻译成「德语」，并以 HTML 格式输出。"));
    EXPECT_EQ(body["messages"].back(), Json({{"role", "user"}, {"content", "<p>Hello</p>"}}));
  }
}

// Script counting at its thresholds; links do not count.
TEST(EmailAIServiceTest, LanguageDetectionThresholds) {
  using L = EmailDetectedLanguage;
  const std::pair<std::string, L> cases[] = {
      {"abcde 中文", L::unknown},
      {"abcdefghijklmnopqrstuvwx", L::english},
      {"abcdefghijklmnopqrstuvw", L::unknown},
      {"안녕하세", L::korean},
      {"ひらが", L::japanese},
      {"这是一封中文邮件", L::chinese},
      {"https://example.com/averyveryverylongenglishlookingpath", L::unknown},
      {"这是中文 https://example.com/averyveryverylongenglishlookingpath", L::unknown},
      {"", L::unknown},
  };
  for (const auto& [text, expected] : cases)
    EXPECT_EQ(EmailLanguageDetector::detect(text), expected) << text;
}

}  // namespace
}  // namespace kestrova::ai
