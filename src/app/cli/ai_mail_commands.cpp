// `kestrova ai summary|tags|priority|actions|translate|layout ID` and `kestrova ai polish`:
// the per-message AI tasks from the command line. Each refuses before anything is sent when
// super-privacy mode or the message's account privacy mode is on, resolves the profile of
// its scenario, and stores what it learnt beside the message (summary, tags, priority,
// action items) so that listings and the tool server see it. Translations are answered
// from the translation cache when the same body was translated into the same language
// (app/core's translate_message, which the window uses too).

#include <CLI/CLI.hpp>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "ai/ai_service_error.h"
#include "ai/email_ai_service.h"
#include "ai/email_language_detector.h"
#include "ai/email_rule_ai_service.h"
#include "ai/email_translation_cache_service.h"
#include "app/cli/command_line.h"
#include "app/core/mail_ai.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/id_prefix.h"
#include "app/core/mailbox/message_context.h"
#include "app/core/message_ai_tasks.h"
#include "app/core/message_translation.h"
#include "app/core/user_preferences.h"
#include "rules/email_rule_engine.h"
#include "rules/email_rule_service.h"
#include "store/database.h"
#include "store/email_action_store.h"
#include "store/email_store.h"
#include "util/error.h"
#include "util/file.h"
#include "util/html_text.h"
#include "util/json.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/terminal_text.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app {

namespace {

using ai::AIScenario;
using ai::EmailAIService;
using ai::ResolvedAIProfile;

struct MessageTask {
  std::string id;
  bool json = false, verbose = false;
};

// The message, checked against the privacy settings and the scenario's configuration
// before anything is downloaded or sent, with its body loaded when it can be (from the
// kept original, else the server); when it cannot (no UID, offline) the stored text, else
// the preview, is what the AI reads.
struct Readable {
  std::unique_ptr<MessageContext> context;
  std::optional<ResolvedAIProfile> target;
};

Readable readable_message(const MessageTask& o, std::optional<AIScenario> scenario) {
  if (o.verbose) use_command_log(true);
  Readable r{context_for(o.id), std::nullopt};
  ensure_ai_may_read(UserPreferences::shared(), &r.context->account);
  if (scenario) r.target = usable_ai_target(*scenario);
  ensure_body_if_possible(*r.context);
  return r;
}

// Runs `task`; an AI failure is reported with what to do about it. `action` is the
// localisation key of the task's name.
template <class F>
auto asking(std::string_view action, const ResolvedAIProfile& target, F&& task) {
  try {
    return task();
  } catch (const ai::AIServiceError& error) {
    std::cerr << terminal_safe(ai::AIConfiguration::userFacingAIErrorMessage(localized(action),
                                                                             error, target),
                               TextShape::block)
              << "\n";
    throw CommandFailure{1};
  }
}

// A text answer; a blank one is reported rather than printed or stored as the result.
std::string non_blank(std::string answer) {
  if (text::trim(answer).empty()) throw Error(localized("ai.mail.error.empty_response"));
  return answer;
}

void print(const MessageTask& o, const Json& value, const std::string& plain) {
  if (o.json)
    std::cout << terminal_safe_json(value.dump(2)) << "\n";
  else if (!plain.empty())
    std::cout << terminal_safe(plain, TextShape::block) << (plain.ends_with('\n') ? "" : "\n");
}

std::string lines(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += item + "\n";
  return out;
}

// Runs `task` on the message `o.id`; a provider's failure is reported with what to do
// about it, other refusals (privacy, configuration) as errors.
template <class F>
void on_message(const MessageTask& o, F&& task) {
  if (o.verbose) use_command_log(true);
  auto c = context_for(o.id);
  try {
    task(*c);
  } catch (const MessageAIError& error) {
    if (error.kind() != MessageAIError::Kind::provider) throw;
    std::cerr << terminal_safe(error.what(), TextShape::block) << "\n";
    throw CommandFailure{1};
  }
}

void summary(const MessageTask& o) {
  on_message(o, [&](MessageContext& c) {
    refresh_insight(c, MessageInsight::summary);
    const std::string text = c.message.aiSummary.value_or("");
    print(o, {{"id", c.message.id}, {"summary", text}}, text);
  });
}

void tags(const MessageTask& o) {
  on_message(o, [&](MessageContext& c) {
    refresh_insight(c, MessageInsight::tags);
    const auto& found = c.message.aiTags;
    print(o, {{"id", c.message.id}, {"tags", found}}, lines(found));
  });
}

void priority(const MessageTask& o) {
  on_message(o, [&](MessageContext& c) {
    refresh_insight(c, MessageInsight::priority);
    const std::string raw(raw_value(c.message.aiPriority.value_or(store::EmailPriority::normal)));
    print(o, {{"id", c.message.id}, {"priority", raw}}, raw);
  });
}

void actions(const MessageTask& o, bool save) {
  on_message(o, [&](MessageContext& c) {
    refresh_insight(c, MessageInsight::actionItems);
    const auto& items = c.message.aiActionItems;
    const int added = save ? save_action_items(c) : 0;
    Json value{{"id", c.message.id}, {"actionItems", items}};
    if (save) value["saved"] = added;
    print(o, value, lines(items));
    if (save && !o.json) std::cerr << localized_format("ai.mail.actions.saved", added) << "\n";
  });
}

void translate(const MessageTask& o, const std::string& to, bool html) {
  if (o.verbose) use_command_log(true);
  auto c = context_for(o.id);
  MessageTranslation translation;
  try {
    translation = translate_message(*c, to);
  } catch (const MessageTranslationError& error) {
    if (error.kind() != MessageTranslationError::Kind::provider) throw;
    std::cerr << terminal_safe(error.what(), TextShape::block) << "\n";
    throw CommandFailure{1};
  }
  const std::string shown = html ? translation.html : html_to_readable_text(translation.html);
  print(
      o,
      {{"id", c->message.id},
       {"targetLanguage", translation.language},
       {"sourceLanguage", translation.sourceLanguage ? Json(*translation.sourceLanguage) : Json()},
       {"cached", translation.cached},
       {html ? "html" : "text", shown}},
      shown);
}

void layout(const MessageTask& o) {
  auto r = readable_message(o, AIScenario::emailAnalysis);
  auto& c = r.context;
  const auto& target = *r.target;
  const auto& m = c->message;
  const std::string html = m.htmlBody.value_or(m.textBody.value_or(""));
  const std::string fragment = asking("ai.action.layout", target, [&] {
    return non_blank(EmailAIService().optimizeLayout(html, ai::prompt_content(m), target));
  });
  print(o, {{"id", m.id}, {"html", fragment}}, fragment);
}

struct PolishTask {
  std::string mode, file = "-";
  bool json = false, verbose = false;
};

void polish(const PolishTask& o) {
  if (o.verbose) use_command_log(true);
  const ai::PolishMode mode = o.mode == "chinese-formal"  ? ai::PolishMode::chineseFormal
                              : o.mode == "english-email" ? ai::PolishMode::englishEmail
                              : o.mode == "to-chinese"    ? ai::PolishMode::translateToChinese
                                                          : ai::PolishMode::translateToEnglish;
  std::string body;
  if (o.file == "-") {
    body.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    auto read = read_file(o.file);
    if (!read) throw Error(localized_format("cli.file.unreadable", o.file));
    body = std::move(*read);
  }
  std::string text;
  try {
    text = polish_text(body, mode);
  } catch (const MessageAIError& error) {
    if (error.kind() != MessageAIError::Kind::provider) throw;
    std::cerr << terminal_safe(error.what(), TextShape::block) << "\n";
    throw CommandFailure{1};
  }
  print({"", o.json, false}, {{"mode", o.mode}, {"text", text}}, text);
}

// Script rules drafted by the AI are stored switched off: there is no script engine to run
// them, and a rule without conditions would otherwise match every message.
ResolvedAIProfile rule_target() {
  const auto profile = ai_configuration().defaultProfile();
  if (!profile) throw Error(ai_configuration().aiServiceStatusHint().value_or(""));
  return {*profile, profile->defaultModel, profile->timeout};
}

void save_script_rule(rules::EmailRule rule, const std::string& code) {
  AccountBook book;
  rule.luaCode = code;
  rule.isEnabled = false;
  rule.updatedAt = now_seconds();
  rules::EmailRuleService(book.store().database()).save(rule);
  std::cout << terminal_safe(code, TextShape::block) << (code.ends_with('\n') ? "" : "\n");
  std::cerr << localized_format("ai.rule.saved", rule.name, short_id(rule.id)) << "\n";
}

void draft_rule(const std::string& description, const std::string& account,
                const std::string& name) {
  AccountBook book;
  rules::EmailRule rule;
  rule.id = new_uuid();
  rule.accountId = book.find(account).id;
  rule.name = name.empty() ? text::prefix_characters(text::trim(description), 40) : name;
  rule.createdAt = now_seconds();
  const auto target = rule_target();
  const std::string template_text(rules::EmailRuleEngine::rule_template());
  save_script_rule(rule, asking("ai.action.rule_create", target, [&] {
                     return ai::EmailRuleAIService().draftRule(description, template_text, target);
                   }));
}

void revise_rule(const std::string& reference, const std::string& request) {
  AccountBook book;
  const std::string id = book.store().database().read([&](store::Connection& c) {
    return resolve_id(c, "email_rules", reference, "cli.noun.rule");
  });
  auto rule = rules::EmailRuleService(book.store().database()).rule(id);
  if (!rule) throw Error(localized_format("cli.rules.not_found", reference));
  const std::string code =
      rule->luaCode && !text::trim(*rule->luaCode).empty() ? *rule->luaCode : "-- 未找到规则函数";
  const auto target = rule_target();
  save_script_rule(*rule, asking("ai.action.rule_edit", target, [&] {
    return ai::EmailRuleAIService().reviseRule(rule->name, code, request, target);
  }));
}

}  // namespace

void add_ai_mail_commands(CLI::App& aiCommand) {
  auto message_command = [&](const char* name, const char* help, std::shared_ptr<MessageTask> o) {
    auto* command = aiCommand.add_subcommand(name, help);
    command->add_option("ID", o->id, "Message id (or an unambiguous prefix)")->required();
    command->add_flag("--json", o->json, "Print JSON");
    command->add_flag("-v,--verbose", o->verbose, "Print the diagnostic log on standard error");
    return command;
  };
  {
    auto o = std::make_shared<MessageTask>();
    message_command("summary", "Summarise a message", o)->callback([o] { summary(*o); });
  }
  {
    auto o = std::make_shared<MessageTask>();
    message_command("tags", "Suggest tags for a message and store them", o)->callback([o] {
      tags(*o);
    });
  }
  {
    auto o = std::make_shared<MessageTask>();
    message_command("priority", "Judge a message's priority and store it", o)->callback([o] {
      priority(*o);
    });
  }
  {
    auto o = std::make_shared<MessageTask>();
    auto save = std::make_shared<bool>(false);
    auto* command = message_command("actions", "Extract the action items of a message", o);
    command->add_flag("--save", *save, "Add them to the action items");
    command->callback([o, save] { actions(*o, *save); });
  }
  {
    auto o = std::make_shared<MessageTask>();
    auto to = std::make_shared<std::string>();
    auto html = std::make_shared<bool>(false);
    auto* command = message_command("translate",
                                    "Translate a message (answered from the "
                                    "cache when translated before)",
                                    o);
    command->add_option("--to", *to,
                        "Target language name, for example English or Japanese (default: the "
                        "interface language; English and Chinese swap for mail already in it)");
    command->add_flag("--html", *html, "Print the translation as HTML");
    command->callback([o, to, html] { translate(*o, *to, *html); });
  }
  {
    auto o = std::make_shared<MessageTask>();
    message_command("layout", "Lay a message's HTML out anew (prints the body fragment)", o)
        ->callback([o] { layout(*o); });
  }
  {
    auto o = std::make_shared<PolishTask>();
    auto* command =
        aiCommand.add_subcommand("polish", "Rewrite a body formally or translate it into a mail");
    command->add_option("--mode", o->mode, "chinese-formal, english-email, to-chinese, to-english")
        ->required()
        ->check(CLI::IsMember({"chinese-formal", "english-email", "to-chinese", "to-english"}));
    command->add_option("FILE", o->file, "The body text (default: standard input, also \"-\")");
    command->add_flag("--json", o->json, "Print JSON");
    command->add_flag("-v,--verbose", o->verbose, "Print the diagnostic log on standard error");
    command->callback([o] { polish(*o); });
  }
  {
    struct Draft {
      std::string description, account, name;
    };
    auto o = std::make_shared<Draft>();
    auto* command = aiCommand.add_subcommand(
        "rule-draft", "Have the AI write a script rule from a description (stored switched off)");
    command->add_option("DESCRIPTION", o->description, "What the rule should do")->required();
    command->add_option("--account", o->account, "Account id or address")->required();
    command->add_option("--name", o->name, "Rule name (default: the description)");
    command->callback([o] { draft_rule(o->description, o->account, o->name); });
  }
  {
    auto reference = std::make_shared<std::string>();
    auto request = std::make_shared<std::string>();
    auto* command =
        aiCommand.add_subcommand("rule-revise", "Have the AI change a rule's script as asked");
    command->add_option("RULE", *reference, "Rule id (or an unambiguous prefix)")->required();
    command->add_option("REQUEST", *request, "The change wanted")->required();
    command->callback([reference, request] { revise_rule(*reference, *request); });
  }
}

}  // namespace kestrova::app
