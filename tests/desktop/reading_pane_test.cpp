// The reading pane's attachments and translation over the user's own database, as the
// window's core finds it, with the loopback AI providers standing in for a real one.

#include "app/desktop/reading_pane.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QThread>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "ai/ai_test_server.h"
#include "app/core/user_preferences.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/file.h"
#include "util/uuid.h"
#include "wait_for.h"

namespace kestrova::app::desktop {
namespace {

using testing::wait_for;

unsigned mode_of(const std::filesystem::path& path) {
  struct stat s {};
  return ::stat(path.c_str(), &s) == 0 ? s.st_mode & 0777 : 0;
}

// One English message of a local account in the user's database, with a stored PDF.
class ReadingPaneTest : public ::testing::Test {
 protected:
  ReadingPaneTest() : settings_(settingsDir_.path() / "settings.json"), preferences_(settings_) {
    auto& db = store::EmailDatabase::shared();
    store::EmailStore mail(db, platform::SettingsStore::shared());
    store::EmailAccount a;
    a.id = new_uuid();
    a.emailAddress = "me@example.com";
    mail.saveAccount(a);
    const auto inbox = store::EmailFolder::make({.id = new_uuid(),
                                                 .accountId = a.id,
                                                 .name = "INBOX",
                                                 .type = store::EmailFolderType::inbox});
    mail.saveFolder(inbox);
    pdf_ = files_.path() / "invoice.pdf";
    std::ofstream(pdf_, std::ios::binary) << "%PDF-1.4\n% invoice 42\n";
    store::EmailMessage m;
    m.id = id_ = new_uuid();
    m.accountId = a.id;
    m.folderId = inbox.id;
    m.subject = "Invoice 42";
    m.from = {"Ann", "ann@example.com"};
    m.textBody = "Please pay invoice 42 by Friday and send the receipt to accounting.";
    m.htmlBody = "<p>Please pay invoice 42 by Friday.</p>";
    m.isBodyLoaded = true;
    m.hasAttachments = true;
    m.attachments.push_back({.id = new_uuid(),
                             .filename = "invoice.pdf",
                             .mimeType = "application/pdf",
                             .size = 23,
                             .localPath = pdf_.string()});
    m.date = m.updatedAt = 1700000000;
    mail.saveMessage(store::EmailMessage::make(std::move(m)));
    pane_ = std::make_unique<ReadingPane>(db, preferences_);
    pane_->onStatus = [this](const QString& text) { status_ = text; };
    pane_->show_message(id_);
  }

  testing::TempDir settingsDir_, files_;
  platform::SettingsStore settings_;
  UserPreferences preferences_;
  std::filesystem::path pdf_;
  std::string id_;
  QString status_;
  std::unique_ptr<ReadingPane> pane_;
};

TEST_F(ReadingPaneTest, AttachmentsOpenAsPrivateCopiesAndSaveWhereAsked) {
  ASSERT_TRUE(pane_->message());
  QUrl opened;
  pane_->openFile = [&](const QUrl& url) {
    opened = url;
    return true;
  };
  pane_->open_attachment("INVOICE.PDF");  // names match as the command line's do
  ASSERT_TRUE(wait_for([&] { return !opened.isEmpty(); })) << status_.toStdString();
  const std::filesystem::path copy = opened.toLocalFile().toStdString();
  EXPECT_EQ(copy.filename(), "invoice.pdf");
  EXPECT_EQ(read_file(copy.string()), read_file(pdf_.string()));
  EXPECT_EQ(mode_of(copy), 0600u);
  EXPECT_EQ(mode_of(copy.parent_path()), 0700u);
  EXPECT_EQ(mode_of(copy.parent_path().parent_path()), 0700u);

  struct Case {
    QString name, target;
    std::string status;  // the start of what the status bar says
  };
  const std::string saved = (files_.path() / "saved.pdf").string();
  const Case cases[] = {
      {"invoice.pdf", QString::fromStdString(saved), "已保存到 " + saved},
      {"missing.pdf", QString::fromStdString(saved + ".2"), "无法取得附件 missing.pdf："},
  };
  for (const auto& c : cases) {
    status_.clear();
    pane_->save_attachment_as(c.name, c.target);
    ASSERT_TRUE(wait_for([&] { return !status_.isEmpty(); })) << c.status;
    EXPECT_EQ(status_.toStdString().rfind(c.status, 0), 0u) << status_.toStdString();
  }
  EXPECT_EQ(read_file(saved), read_file(pdf_.string()));
  EXPECT_EQ(mode_of(saved), 0600u);
  EXPECT_FALSE(std::filesystem::exists(saved + ".2"));

  pane_.reset();  // the private copies go with the pane
  EXPECT_FALSE(std::filesystem::exists(copy.parent_path().parent_path()));
}

TEST_F(ReadingPaneTest, TranslationOnRequestWithClearRefusalsAndAWayBack) {
  testing::AITestServer server;
  using State = MessageTranslator::State;
  using Failure = MessageTranslator::Failure;
  const auto& translator = pane_->translator();
  auto run_cli = [](std::vector<std::string> args, const std::string& input = "") {
    return testing::run_process(KESTROVA_BINARY, args, input);
  };
  auto& shared = UserPreferences::shared();

  struct Case {
    const char* what;
    std::function<void()> before;
    State state;
    std::optional<Failure> failure;
    std::string bar;  // the start of the translation bar's text
  };
  const Case cases[] = {
      {"super-privacy mode", [&] { shared.set(settings::emailSuperPrivacyMode, true); },
       State::failed, Failure::privacy, "未翻译，邮件内容未发送：超级隐私模式已开启"},
      {"a profile without its key",
       [&] {
         shared.set(settings::emailSuperPrivacyMode, false);
         ASSERT_EQ(run_cli({"ai", "profile", "add", "--protocol", "openai", "--name", "Cloud",
                            "--endpoint", "https://api.openai.com/v1", "--default"})
                       .exit_code,
                   0);
       },
       State::failed, Failure::configuration,
       "未翻译：翻译所用的 AI 配置还不可用，邮件内容未发送。AI "
       "场景「邮件翻译」当前使用的服务「Cloud」还没有填写 API Key"},
      {"a failing provider",
       [&] {
         ASSERT_EQ(run_cli({"ai", "profile", "add", "--protocol", "openai", "--name", "Local",
                            "--endpoint", server.base("hostile500") + "/v1", "--api-key-stdin",
                            "--default"},
                           "sk-local\n")
                       .exit_code,
                   0);
       },
       State::failed, Failure::provider, "翻译失败："},
      {"a working provider",
       [&] {
         server.reply_with({"<p>请在周五前支付发票 42。</p><script>alert(1)</script>"});
         ASSERT_EQ(run_cli({"ai", "profile", "edit", "Local", "--endpoint",
                            server.base("canned") + "/v1"})
                       .exit_code,
                   0);
       },
       State::translated, std::nullopt, "已翻译为简体中文。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.before();
    pane_->translate();
    EXPECT_EQ(translator.state(), State::working);
    EXPECT_EQ(pane_->translation_text().toStdString(), "正在翻译…");
    ASSERT_TRUE(wait_for([&] { return translator.state() != State::working; }));
    EXPECT_EQ(translator.state(), c.state);
    EXPECT_EQ(translator.failure(), c.failure);
    EXPECT_EQ(pane_->translation_text().toStdString().rfind(c.bar, 0), 0u)
        << pane_->translation_text().toStdString();
    // A refusal shows its status, never the page that came with it.
    EXPECT_FALSE(pane_->translation_text().contains("owned"));
    EXPECT_FALSE(pane_->translation_text().contains("xxxxxxxx"));
  }
  // Only the last two reached the provider: refusals send nothing.
  EXPECT_EQ(server.requests().size(), 2u);

  // The translation stands in for the body, made safe; "show original" goes back, and
  // asking again shows it without another request.
  EXPECT_NE(pane_->body_html().indexOf("请在周五前支付发票"), -1);
  EXPECT_EQ(pane_->body_html().indexOf("alert"), -1);
  pane_->show_original();
  EXPECT_EQ(translator.state(), State::original);
  EXPECT_TRUE(pane_->translation_text().isEmpty());
  EXPECT_NE(pane_->body_html().indexOf("Please pay invoice 42"), -1);
  pane_->translate();
  EXPECT_EQ(translator.state(), State::translated);

  // Another pane (the window opened again) is answered from the translation cache.
  ReadingPane again(store::EmailDatabase::shared(), preferences_);
  again.show_message(id_);
  again.translate();
  ASSERT_TRUE(wait_for([&] { return again.translator().state() != State::working; }));
  EXPECT_TRUE(again.translator().cached());
  EXPECT_EQ(again.translation_text().toStdString(), "已翻译为简体中文（来自翻译缓存）。");
  EXPECT_EQ(server.requests().size(), 2u);
}

}  // namespace
}  // namespace kestrova::app::desktop
