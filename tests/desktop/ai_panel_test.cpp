// The AI side panel and the composer's AI bar against the loopback AI providers, over the
// user's own database and settings as the window's core finds them: questions streamed in
// and continued, the message's insights refreshed and stored, refusals shown before
// anything is sent, and suggestions that reach the editor only when accepted.

#include "app/desktop/ai_panel.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QThread>
#include <QToolButton>
#include <chrono>

#include "ai/ai_test_server.h"
#include "support/loopback.h"
#include "app/core/message_ai_tasks.h"
#include "app/core/user_preferences.h"
#include "app/desktop/composer_assistant.h"
#include "app/desktop/follow_up_items.h"
#include "app/desktop/main_window.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/text.h"
#include "util/uuid.h"
#include "wait_for.h"

namespace kestrova::app::desktop {
namespace {

using testing::wait_for;

testing::ProcessResult kestrova(std::vector<std::string> args) {
  return testing::run_process(KESTROVA_BINARY, args, "");
}

Json messages_sent(const Json& request) {
  return Json::parse(request["body"].get<std::string>())["messages"];
}

// An inbox of three invoices in an account of the user's database, another account's inbox
// (whose mail no question about the first may carry), and a default AI profile of the test's
// own at the loopback provider.
class AiPanelTest : public ::testing::Test {
 protected:
  AiPanelTest() {
    store::EmailStore mail(store::EmailDatabase::shared(), platform::SettingsStore::shared());
    // An account with an inbox holding a message per subject, each "<subject> by Friday.".
    auto add = [&](store::EmailAccount& account, const std::string& address,
                   const std::vector<std::string>& subjects) {
      account.id = new_uuid();
      account.emailAddress = address;
      mail.saveAccount(account);
      const auto inbox = store::EmailFolder::make({.id = new_uuid(),
                                                   .accountId = account.id,
                                                   .name = "INBOX",
                                                   .type = store::EmailFolderType::inbox});
      mail.saveFolder(inbox);
      std::vector<std::string> ids;
      for (const auto& subject : subjects) {
        store::EmailMessage m;
        m.id = new_uuid();
        m.accountId = account.id;
        m.folderId = inbox.id;
        m.subject = subject;
        m.from = {"Ann", "ann@example.com"};
        m.textBody = m.preview = "Please pay " + text::lower(subject) + " by Friday.";
        m.isBodyLoaded = true;
        m.date = m.updatedAt = 1700000000 + static_cast<double>(ids.size());
        ids.push_back(m.id);
        mail.saveMessage(store::EmailMessage::make(std::move(m)));
      }
      return ids;
    };
    ids_ = add(account_, "me@example.com", {"Invoice 40", "Invoice 41", "Invoice 42"});
    store::EmailAccount other;
    add(other, "other@example.org", {"Secret merger"});
    profile_ = "Panel " + new_uuid();
    EXPECT_EQ(kestrova({"ai", "profile", "add", "--protocol", "openai", "--name", profile_,
                        "--endpoint", server_.base("ok") + "/v1", "--default"})
                  .exit_code,
              0);
  }
  ~AiPanelTest() override { UserPreferences::shared().set(settings::emailSuperPrivacyMode, false); }

  void use(const std::string& behaviour, const std::string& model = "") {
    std::vector<std::string> args{"ai",     "profile",    "edit",
                                  profile_, "--endpoint", server_.base(behaviour) + "/v1"};
    if (!model.empty()) args.insert(args.end(), {"--model", model});
    ASSERT_EQ(kestrova(args).exit_code, 0);
  }

  testing::AITestServer server_;
  // The window's own settings object: the one core's refusals read.
  UserPreferences& preferences_ = UserPreferences::shared();
  store::EmailAccount account_;
  std::vector<std::string> ids_;
  std::string profile_;
};

TEST_F(AiPanelTest, FolderQuestionStreamsAsMarkdownAndFollowUpsCarryTheConversation) {
  // The streamed answer is "Hello from " + the model: a model name with Markdown, a link and
  // a remote image shows what the panel makes of untrusted text arriving a few bytes at a time.
  use("split",
      "**bold** [bank](https://evil.example/login) ![pixel](http://tracker.example/p.png)");
  AiPanel panel(store::EmailDatabase::shared(), preferences_);
  panel.show_message(ids_[0]);
  panel.findChild<QComboBox*>("aiScope")->setCurrentIndex(2);  // the folder
  EXPECT_FALSE(panel.shows_setup());
  EXPECT_TRUE(panel.notice_text().isEmpty());

  panel.ask("Which invoices are open?");
  EXPECT_TRUE(panel.model().answering());
  ASSERT_TRUE(wait_for([&] { return !panel.model().answering(); }));
  QApplication::processEvents();
  const QString shown = panel.conversation_text();
  EXPECT_TRUE(shown.contains("Which invoices are open?")) << shown.toStdString();
  EXPECT_TRUE(shown.contains("Hello from bold bank <https://evil.example/login>"))
      << shown.toStdString();
  EXPECT_TRUE(shown.contains("[图片 http://tracker.example/p.png]")) << shown.toStdString();
  bool bold = false, image = false;
  for (auto block = panel.conversation_document()->begin(); block.isValid(); block = block.next())
    for (auto it = block.begin(); !it.atEnd(); ++it) {
      bold |=
          it.fragment().text() == "bold" && it.fragment().charFormat().fontWeight() >= QFont::Bold;
      image |= it.fragment().charFormat().isImageFormat();
    }
  EXPECT_TRUE(bold);
  EXPECT_FALSE(image);

  const Json first = messages_sent(server_.last());
  ASSERT_EQ(first.size(), 3u);  // system, the folder as context, the question
  const std::string context = first[1]["content"];
  EXPECT_EQ(context.rfind("【文件夹 上下文】\nFolder: INBOX", 0), 0u) << context;
  for (const char* subject : {"Invoice 40", "Invoice 41", "Invoice 42"})
    EXPECT_NE(context.find(subject), std::string::npos) << subject;

  // Another message of the same folder keeps the conversation; the follow-up sends it.
  panel.show_message(ids_[1]);
  panel.ask("And the oldest?");
  ASSERT_TRUE(wait_for([&] { return !panel.model().answering(); }));
  const Json second = messages_sent(server_.last());
  ASSERT_EQ(second.size(), 5u);
  EXPECT_EQ(second[2], (Json{{"role", "user"}, {"content", "Which invoices are open?"}}));
  EXPECT_EQ(second[3]["role"], "assistant");
  EXPECT_EQ(second[3]["content"].get<std::string>().rfind("Hello from **bold**", 0), 0u);
  EXPECT_EQ(second[4], (Json{{"role", "user"}, {"content", "And the oldest?"}}));

  // A never-ending answer stops on request; what came stays, out of the history.
  use("trickle");
  panel.ask("Summarise everything");
  ASSERT_TRUE(wait_for([&] { return panel.model().turns().back().answer.size() > 0; }));
  ASSERT_TRUE(panel.stop_button().isVisibleTo(&panel));
  panel.stop_button().click();
  EXPECT_FALSE(panel.model().answering());
  EXPECT_TRUE(panel.model().turns().back().stopped);
  EXPECT_EQ(panel.model().history().size(), 4u);
  ASSERT_TRUE(wait_for([&] { return panel.conversation_text().contains("（已停止）"); }));

  // A message of another folder is another scope: a new conversation.
  panel.findChild<QComboBox*>("aiScope")->setCurrentIndex(0);
  EXPECT_TRUE(panel.model().turns().empty());
}

TEST_F(AiPanelTest, EachScopeSendsItsOwnContextAndStartsItsOwnConversation) {
  AiPanel panel(store::EmailDatabase::shared(), preferences_);
  panel.show_message(ids_[1]);
  auto* scopes = panel.findChild<QComboBox*>("aiScope");
  struct Case {
    int index;
    std::string context;  // the start of the scope's context message
    std::string contains, lacks;
  };
  // From the message scope the panel starts in, each case switches to another.
  const Case cases[] = {
      {3, "【账户 上下文】\nAccount: me@example.com", "Invoice 42", "Folder:"},
      {2, "【文件夹 上下文】\nFolder: INBOX\nAccount: me@example.com", "Invoice 40", "Body:"},
      {1, "【会话 上下文】\nSubject: Invoice 41", "Please pay invoice 41", "Invoice 42"},
      {0, "【邮件 上下文】\nSubject: Invoice 41\nFrom: Ann <ann@example.com>",
       "Body:\nPlease pay invoice 41", "Invoice 40"},
  };

  for (const auto& c : cases) {
    SCOPED_TRACE(c.index);
    panel.ask("Earlier question");
    ASSERT_TRUE(wait_for([&] { return !panel.model().answering(); }));
    scopes->setCurrentIndex(c.index);
    EXPECT_TRUE(panel.model().turns().empty());  // a new scope, a new conversation
    panel.ask("What is due?");
    ASSERT_TRUE(wait_for([&] { return !panel.model().answering(); }));
    const Json sent = messages_sent(server_.last());
    ASSERT_EQ(sent.size(), 3u) << sent.dump();  // nothing of the other scope's conversation
    const std::string context = sent[1]["content"];
    EXPECT_EQ(context.rfind(c.context, 0), 0u) << context;
    EXPECT_NE(context.find(c.contains), std::string::npos) << context;
    EXPECT_EQ(context.find(c.lacks), std::string::npos) << context;
    EXPECT_EQ(sent.dump().find("Secret merger"), std::string::npos) << context;
    panel.findChild<QPushButton*>("aiNewConversation")->click();
  }
}

TEST_F(AiPanelTest, AStoppedAnswerKeepsItsPiecesAndProviderFailuresShowNoRawReply) {
  AiPanel panel(store::EmailDatabase::shared(), preferences_);
  panel.show_message(ids_[0]);
  // Stopped while the provider still streams: what came stays, and the stopped question
  // is neither asked again nor sent with the next one.
  use("trickle");
  panel.ask("Summarise everything");
  ASSERT_TRUE(wait_for([&] { return panel.model().turns().back().answer.size() > 2; }));
  panel.stop_button().click();
  const QString partial = panel.model().turns().back().answer;
  const size_t asked = server_.requests().size();
  use("canned");
  server_.reply_with({"Nothing is due."});
  panel.ask("What is due?");
  ASSERT_TRUE(wait_for([&] { return !panel.model().answering(); }));
  ASSERT_EQ(panel.model().turns().size(), 2u);
  EXPECT_EQ(panel.model().turns()[0].answer, partial);
  EXPECT_TRUE(panel.model().turns()[0].stopped);
  EXPECT_EQ(server_.requests().size(), asked + 1);
  const Json sent = messages_sent(server_.last());
  EXPECT_EQ(sent.dump().find("Summarise everything"), std::string::npos) << sent.dump();

  // Failures of the provider: the status, the provider's own short words and the profile to
  // check; never a page of the reply itself.
  struct Failure {
    const char* behaviour;
    QString shown;
  };
  const Failure failures[] = {
      {"status500", "请求失败 (状态码: 500): upstream exploded。"},
      {"hostile500", "请求失败 (状态码: 500)。"},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.behaviour);
    use(f.behaviour);
    panel.ask("What is due now?");
    ASSERT_TRUE(wait_for([&] { return !panel.model().answering(); }));
    const QString error = panel.model().turns().back().error;
    EXPECT_TRUE(error.contains(f.shown)) << error.toStdString();
    EXPECT_TRUE(error.contains(QString::fromStdString(profile_))) << error.toStdString();
    EXPECT_TRUE(wait_for([&] { return panel.conversation_text().contains(error); }));
    EXPECT_FALSE(panel.conversation_text().contains("xxxxxxxx"));
    EXPECT_FALSE(panel.conversation_text().contains("owned"));
    // The same for a refreshed insight.
    panel.model().refresh(MessageInsight::summary);
    ASSERT_TRUE(wait_for([&] { return !panel.model().refreshing(MessageInsight::summary); }));
    EXPECT_TRUE(panel.model().insight_error().contains(f.shown))
        << panel.model().insight_error().toStdString();
  }
}

// A provider that does not answer is named before anything is asked of it, and the warning
// goes once it answers; questions stay allowed meanwhile.
TEST_F(AiPanelTest, AProviderThatDoesNotAnswerIsSaidBeforeTheQuestion) {
  const std::string silent = "http://127.0.0.1:" + std::to_string(testing::closed_loopback_port());
  ASSERT_EQ(kestrova({"ai", "profile", "edit", profile_, "--endpoint", silent}).exit_code, 0);
  AiPanel panel(store::EmailDatabase::shared(), preferences_);
  panel.show();
  panel.show_message(ids_[0]);
  ASSERT_TRUE(wait_for([&] { return !panel.notice_text().isEmpty(); }));
  EXPECT_TRUE(panel.notice_text().startsWith(QString::fromStdString(profile_ + " 在 " + silent)))
      << panel.notice_text().toStdString();
  EXPECT_TRUE(panel.findChild<QPushButton*>("aiAsk")->isEnabled());

  use("canned");
  server_.reply_with({"Nothing is due."});
  panel.ask("What is due?");
  ASSERT_TRUE(wait_for([&] { return panel.model().turns().back().complete; }));
  EXPECT_TRUE(wait_for([&] { return panel.notice_text().isEmpty(); }));
}

TEST(AnswerViewTest, UntrustedMarkdownLoadsNothingAndShowsWhereLinksGo) {
  struct Case {
    QString markdown, shown;
  };
  const Case cases[] = {
      {"[your bank](https://evil.example/x)", "your bank <https://evil.example/x>"},
      {"<https://plain.example/>", "https://plain.example/"},
      {"![logo](http://tracker.example/p.png)", "[图片 http://tracker.example/p.png]"},
      {"<img src=\"http://tracker.example/q.png\"> <script>alert(1)</script> **x**",
       "<img src=\"http://tracker.example/q.png\"> <script>alert(1)</script> x"},
  };
  for (const auto& c : cases) {
    AnswerView view;
    QTextCursor cursor(view.document());
    insert_answer(cursor, c.markdown);
    EXPECT_EQ(view.toPlainText().trimmed(), c.shown) << c.markdown.toStdString();
    EXPECT_FALSE(
        view.loadResource(QTextDocument::ImageResource, QUrl("http://tracker.example/p.png"))
            .isValid());
  }
}

TEST_F(AiPanelTest, TheWindowTogglesThePanelWithCtrlIAndTellsItTheOpenMessage) {
  MainWindow window(store::EmailDatabase::shared(), preferences_);
  QAction* toggle = window.action("aiPanel");
  ASSERT_TRUE(toggle);
  EXPECT_EQ(toggle->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_I));
  EXPECT_TRUE(window.ai_panel().isHidden());
  toggle->trigger();
  EXPECT_FALSE(window.ai_panel().isHidden());
  ASSERT_TRUE(window.open_message(ids_[2]));
  EXPECT_EQ(window.ai_panel().model().message_id(), ids_[2]);
  toggle->trigger();
  EXPECT_TRUE(window.ai_panel().isHidden());
}

TEST_F(AiPanelTest, RefusalsAndAMissingProfileShowBeforeAnythingIsSent) {
  auto& shared = UserPreferences::shared();
  int settingsOpened = 0;
  struct Case {
    const char* what;
    std::function<void()> before;
    bool setup;          // the "no AI service" page instead of the conversation
    std::string notice;  // the start of the text shown (setup: the profile's issue)
  };
  const Case cases[] = {
      {"super-privacy mode", [&] { shared.set(settings::emailSuperPrivacyMode, true); }, false,
       "超级隐私模式已开启，AI 问答功能不可用。请在设置中关闭后再试。"},
      {"the account's privacy mode",
       [&] {
         shared.set(settings::emailSuperPrivacyMode, false);
         account_.isPrivacyModeEnabled = true;
         store::EmailStore(store::EmailDatabase::shared(), platform::SettingsStore::shared())
             .saveAccount(account_);
       },
       false, "该邮箱账户已开启隐私模式，邮件内容不会发送给 AI 服务。"},
      {"a default profile without its key",
       [&] {
         account_.isPrivacyModeEnabled = false;
         store::EmailStore(store::EmailDatabase::shared(), platform::SettingsStore::shared())
             .saveAccount(account_);
         ASSERT_EQ(kestrova({"ai", "profile", "add", "--protocol", "openai", "--name",
                             "Keyless " + new_uuid(), "--endpoint", "https://api.openai.com/v1",
                             "--default"})
                       .exit_code,
                   0);
       },
       true, "AI 场景「邮件智能分析」当前使用的服务「Keyless"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.before();
    AiPanel panel(store::EmailDatabase::shared(), preferences_);
    panel.onOpenSettings = [&] { ++settingsOpened; };
    panel.show_message(ids_[0]);
    EXPECT_EQ(panel.shows_setup(), c.setup);
    if (c.setup) {
      auto* text = panel.findChild<QLabel*>("aiSetupText");
      EXPECT_EQ(text->text().toStdString().rfind(c.notice, 0), 0u) << text->text().toStdString();
      panel.findChild<QPushButton*>("aiOpenSettings")->click();
      EXPECT_EQ(settingsOpened, 1);
    } else {
      EXPECT_EQ(panel.notice_text().toStdString(), c.notice);
      EXPECT_FALSE(panel.findChild<QPushButton*>("aiAsk")->isEnabled());
    }
    // Asked anyway (the field was filled before the switch): refused, nothing sent.
    EXPECT_FALSE(panel.model().ask("What is due?"));
    EXPECT_FALSE(panel.model().answering());
    panel.model().refresh(MessageInsight::summary);
    ASSERT_TRUE(wait_for([&] { return !panel.model().refreshing(MessageInsight::summary); }));
    EXPECT_FALSE(panel.model().insight_error().isEmpty());
  }
  EXPECT_TRUE(server_.requests().empty());
}

TEST_F(AiPanelTest, InsightsRefreshFromTheProviderAndAreStored) {
  use("canned");
  AiPanel panel(store::EmailDatabase::shared(), preferences_);
  panel.show_message(ids_[2]);
  EXPECT_FALSE(panel.model().insights().summary);
  struct Case {
    MessageInsight insight;
    std::string reply;
    const char* label;  // the panel's field
    QString shown;
  };
  const Case cases[] = {
      {MessageInsight::summary, "Pay invoice 42 by Friday.", "aiSummaryValue",
       "Pay invoice 42 by Friday."},
      {MessageInsight::priority, "HIGH", "aiPriorityValue", "高"},
      {MessageInsight::tags, "finance, invoice", "aiTagsValue", "finance, invoice"},
      {MessageInsight::actionItems, "Sure: [\"Pay invoice 42\"]", "aiActionItem",
       "☐ Pay invoice 42"},
  };
  for (const auto& c : cases) {
    server_.reply_with({c.reply});
    panel.model().refresh(c.insight);
    ASSERT_TRUE(wait_for([&] { return !panel.model().refreshing(c.insight); })) << c.label;
    EXPECT_TRUE(panel.model().insight_error().isEmpty())
        << panel.model().insight_error().toStdString();
    EXPECT_EQ(panel.findChild<QLabel*>(c.label)->text(), c.shown) << c.label;
  }
  // Stored beside the message: a panel opened afresh shows them without asking.
  AiPanel again(store::EmailDatabase::shared(), preferences_);
  again.show_message(ids_[2]);
  const auto& insights = again.model().insights();
  EXPECT_EQ(insights.summary, QString("Pay invoice 42 by Friday."));
  EXPECT_EQ(insights.priority, store::EmailPriority::high);
  EXPECT_EQ(insights.tags, (QStringList{"finance", "invoice"}));
  EXPECT_EQ(insights.actionItems, QStringList{"Pay invoice 42"});
  EXPECT_EQ(server_.requests().size(), 4u);
}

TEST_F(AiPanelTest, ActionItemsGoIntoTheUsersListOnceWhereTheViewAndTheCommandLineSeeThem) {
  use("canned");
  server_.reply_with({"[\"Pay invoice 41\", \"File the receipt\", \"Tell Ann\"]"});
  AiPanel panel(store::EmailDatabase::shared(), preferences_);
  int told = 0;
  panel.onActionItemsKept = [&] { ++told; };
  panel.show_message(ids_[1]);
  panel.model().refresh(MessageInsight::actionItems);
  ASSERT_TRUE(wait_for([&] { return !panel.model().refreshing(MessageInsight::actionItems); }));
  auto adds = panel.findChildren<QToolButton*>("aiAddAction");
  ASSERT_EQ(adds.size(), 3);
  // One, then all (the one already there is not added again), then all once more.
  adds[1]->click();
  EXPECT_EQ(panel.model().insights().actionItemKept, (std::vector<bool>{false, true, false}));
  auto* all = panel.findChild<QPushButton*>("aiAddAllActions");
  ASSERT_TRUE(all && all->isEnabled());
  all->click();
  EXPECT_EQ(panel.model().keep_action_items(), 0);
  EXPECT_EQ(told, 2);
  all = panel.findChild<QPushButton*>("aiAddAllActions");
  EXPECT_FALSE(all->isEnabled());
  for (auto* add : panel.findChildren<QToolButton*>("aiAddAction")) EXPECT_FALSE(add->isEnabled());

  // The action-items view and the command line list the three, once each.
  ActionItemsModel view(store::EmailDatabase::shared(), nullptr);
  QStringList titles;
  for (int row = 0; row < view.rowCount(); ++row)
    if (view.row_at(row)->messageId == ids_[1]) titles << QString::fromStdString(view.row_at(row)->title);
  titles.sort();
  EXPECT_EQ(titles, (QStringList{"File the receipt", "Pay invoice 41", "Tell Ann"}));
  const auto listed = kestrova({"actions", "list", "--message", ids_[1], "--json"});
  ASSERT_EQ(listed.exit_code, 0) << listed.err;
  EXPECT_EQ(Json::parse(listed.out).size(), 3u) << listed.out;
  // A panel opened afresh knows they are kept.
  AiPanel again(store::EmailDatabase::shared(), preferences_);
  again.show_message(ids_[1]);
  EXPECT_EQ(again.model().insights().actionItemKept, (std::vector<bool>{true, true, true}));
}

TEST_F(AiPanelTest, ComposerSuggestionsReachTheEditorOnlyWhenAccepted) {
  use("canned");
  using State = ComposerAssistant::State;
  QTextEdit editor;
  editor.setPlainText("pls pay the invoice\n\n> quoted text");
  ComposerAssistant bar(editor, ids_[0]);
  auto wait = [&] { return wait_for([&] { return bar.state() != State::working; }); };

  // Polish: the suggestion waits; Accept replaces the body, one undo takes it back.
  server_.reply_with({"\"Dear Ann,\n\nPlease pay the invoice.\n\nBest regards\""});
  bar.findChild<QPushButton*>("assistantPolish")->click();
  ASSERT_TRUE(wait());
  ASSERT_EQ(bar.state(), State::suggestion) << bar.error().toStdString();
  EXPECT_EQ(bar.suggestion(), "Dear Ann,\n\nPlease pay the invoice.\n\nBest regards");
  EXPECT_EQ(editor.toPlainText(), "pls pay the invoice\n\n> quoted text");
  const std::string prompt = messages_sent(server_.last())[0]["content"];
  EXPECT_EQ(prompt.rfind("Please rewrite the following email body into a professional", 0), 0u);
  EXPECT_NE(prompt.find("pls pay the invoice"), std::string::npos);
  bar.findChild<QPushButton*>("assistantAccept")->click();
  EXPECT_EQ(editor.toPlainText(), "Dear Ann,\n\nPlease pay the invoice.\n\nBest regards");
  editor.undo();
  EXPECT_EQ(editor.toPlainText(), "pls pay the invoice\n\n> quoted text");

  // Translate a selection, then discard: the editor keeps its text.
  QTextCursor cursor = editor.textCursor();
  cursor.setPosition(0);
  cursor.setPosition(19, QTextCursor::KeepAnchor);
  editor.setTextCursor(cursor);
  server_.reply_with({"请支付发票。"});
  bar.findChild<QComboBox*>("assistantLanguage")->setCurrentIndex(1);
  bar.findChild<QPushButton*>("assistantTranslate")->click();
  ASSERT_TRUE(wait());
  EXPECT_EQ(bar.suggestion(), "请支付发票。");
  const std::string translation = messages_sent(server_.last())[0]["content"];
  EXPECT_EQ(translation.rfind("请将以下邮件正文翻译成中文", 0), 0u);
  EXPECT_EQ(translation.find("quoted text"), std::string::npos);  // the selection only
  bar.findChild<QPushButton*>("assistantDiscard")->click();
  EXPECT_EQ(bar.state(), State::idle);
  EXPECT_EQ(editor.toPlainText(), "pls pay the invoice\n\n> quoted text");

  // The same, accepted: only the selection is replaced. A drafted reply goes in on top.
  bar.findChild<QPushButton*>("assistantTranslate")->click();
  ASSERT_TRUE(wait());
  bar.accept();
  EXPECT_EQ(editor.toPlainText(), "请支付发票。\n\n> quoted text");
  server_.reply_with({"Thank you, Ann. I will pay it today."});
  bar.findChild<QPushButton*>("assistantDraft")->click();
  ASSERT_TRUE(wait());
  EXPECT_NE(messages_sent(server_.last())[0]["content"].get<std::string>().find("Invoice 40"),
            std::string::npos);
  bar.accept();
  EXPECT_EQ(editor.toPlainText(),
            "Thank you, Ann. I will pay it today.\n\n请支付发票。\n\n> quoted text");

  // Under super-privacy mode the refusal shows and nothing is sent; no reply, no draft button.
  const size_t sent = server_.requests().size();
  UserPreferences::shared().set(settings::emailSuperPrivacyMode, true);
  bar.request(ComposerAssistant::Task::polish);
  ASSERT_TRUE(wait());
  EXPECT_EQ(bar.state(), State::failed);
  EXPECT_FALSE(bar.error().isEmpty());
  EXPECT_EQ(server_.requests().size(), sent);
  ComposerAssistant fresh(editor, std::nullopt);
  EXPECT_TRUE(fresh.findChild<QPushButton*>("assistantDraft")->isHidden());
}

}  // namespace
}  // namespace kestrova::app::desktop
