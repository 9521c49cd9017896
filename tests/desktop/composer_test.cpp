// Writing mail from the window against the loopback servers: a reply held for the undo
// delay and then sent threaded, a message taken back (by Undo, or by closing the composer
// during the countdown) that never leaves, a message scheduled for later that the
// scheduled-send service sends at its time, and drafts saved while the user types. The
// SMTP server's spool is the judge of what went out.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>
#include <QTextEdit>
#include <QTreeWidget>
#include <fstream>

#include "app/core/service/email_scheduled_send_service.h"
#include "app/core/user_preferences.h"
#include "app/core/writing/draft_upload.h"
#include "app/desktop/composer_window.h"
#include "app/desktop/mailbox_view.h"
#include "app/desktop/main_window.h"
#include "app/desktop/reading_pane.h"
#include "app/desktop/scheduled_view.h"
#include "e2e/cli_fixture.h"
#include "mail/email_content_decoder.h"
#include "platform/email_credential_store.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/scheduled_message.h"
#include "store/template_store.h"
#include "util/localization.h"
#include "util/time.h"

namespace kestrova::app::desktop {
namespace {

const std::string kOriginal =
    "From: Bob <bob@example.net>\r\n"
    "To: USER, Carol <carol@example.net>\r\n"
    "Subject: Plans\r\n"
    "Date: Tue, 2 Jan 2024 10:00:00 +0000\r\n"
    "Message-ID: <orig1@example.net>\r\n"
    "In-Reply-To: <root@example.net>\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n\r\n"
    "Shall we meet?\r\n";

std::string decoded(const std::string& data) {
  std::string text = mail::EmailContentDecoder::decode(data).textBody.value_or("");
  std::erase(text, '\r');
  return text;
}

// The window over the user's database (the test's temporary home, which the shared stores
// open on first use), with one account on the loopback servers added and synchronised by the
// command line, as a user would.
class ComposerTest : public testing::CliTest {
 protected:
  void SetUp() override {
    // This process reads the same credential file as the command line it runs.
    setenv("KESTROVA_CREDENTIAL_STORE", "file", 1);
    std::string raw = kOriginal;
    raw.replace(raw.find("USER"), 4, user_);
    servers_.deliver(user_, "INBOX", raw);
    add_account();
    auto synced = run({"sync"});
    ASSERT_EQ(synced.exit_code, 0) << synced.err;
    original_ = db_.read([](store::Connection& c) {
      auto s = c.prepare("SELECT id FROM email_messages WHERE subject = 'Plans'");
      return s.step() ? s.text(0).value_or("") : std::string();
    });
    ASSERT_FALSE(original_.empty());
    preferences_.set(settings::undoSendEnabled, true);
    preferences_.set(settings::undoSendDelaySeconds, int64_t{2});
    window_ = std::make_unique<MainWindow>(db_, preferences_);
    window_->show();
    QApplication::setActiveWindow(window_.get());
  }

  std::vector<testing::MailServers::ReceivedMail> sent() const {
    return servers_.received_from(user_);
  }
  // Waits (bounded) for `n` messages in the SMTP spool.
  bool arrived(size_t n) {
    return QTest::qWaitFor([&] { return sent().size() >= n; }, 60000);
  }
  // An answer's quote comes from the server after the composer opened.
  static bool quote_in(ComposerModel& model) {
    return QTest::qWaitFor([&] { return model.quote() != ComposerModel::Quote::loading; }, 60000);
  }
  ComposerWindow* open_new() {
    auto* composer = window_->open_composer([](ComposerModel& m) { m.start_new(); });
    EXPECT_NE(composer, nullptr) << window_->toast_text().toStdString();
    return composer;
  }
  int64_t drafts_holding(const std::string& text) {
    return db_.read([&](store::Connection& c) {
      auto s =
          c.prepare("SELECT COUNT(*) FROM email_messages WHERE is_draft = 1 AND text_body LIKE ?");
      s.bind(1, "%" + text + "%");
      s.step();
      return s.integer(0).value_or(0);
    });
  }

  // The original as if only its envelope had been synchronised: its body is on the server.
  void forget_original_body() {
    db_.write([&](store::Connection& c) {
      c.prepare(
           "UPDATE email_messages SET is_body_loaded = 0, text_body = NULL, html_body = NULL "
           "WHERE id = ?")
          .bind_all(original_)
          .run();
    });
  }
  void save_password(const std::string& password) {
    store::EmailStore store(db_, platform::SettingsStore::shared());
    store.loadAccounts();
    const auto& account = store.accounts().front();
    platform::EmailCredentialStore::shared().save(
        password, account.passwordKeychainIdentifier.value_or(account.id));
  }

  store::EmailDatabase& db_ = store::EmailDatabase::shared();
  UserPreferences& preferences_ = UserPreferences::shared();
  std::unique_ptr<MainWindow> window_;
  std::string original_;
};

TEST_F(ComposerTest, ReplyFromTheWindowLeavesAfterTheCountdownThreadedAndSigned) {
  auto result = run({"signature", "add", "--name", "Work", "--content", "-- \n{{name}}"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  ASSERT_TRUE(window_->open_message(original_));
  window_->list_view().setFocus();
  QTest::keyClick(&window_->list_view(), Qt::Key_R);  // the reply action's key
  auto* composer = window_->findChild<ComposerWindow*>();
  ASSERT_NE(composer, nullptr) << window_->toast_text().toStdString();
  EXPECT_EQ(composer->replying_to(), original_);
  EXPECT_EQ(composer->recipients_text(), "\"Bob\" <bob@example.net>");
  EXPECT_EQ(composer->subject_field().text(), "Re: Plans");
  QTest::keyClicks(&composer->body_editor(), "Sounds good");
  ASSERT_TRUE(quote_in(composer->model()));
  // The quote waits behind its button, and goes out all the same.
  EXPECT_TRUE(composer->quote_hidden());
  EXPECT_EQ(composer->body_editor().toPlainText().indexOf("Shall we meet?"), -1);

  composer->send();
  EXPECT_EQ(composer->model().state(), ComposerModel::State::counting);
  EXPECT_NE(composer->countdown_text().toStdString().find("2"), std::string::npos)
      << composer->countdown_text().toStdString();
  EXPECT_TRUE(sent().empty());  // held
  ASSERT_TRUE(arrived(1));

  const auto mails = sent();
  ASSERT_EQ(mails.size(), 1u);
  const std::string& reply = mails[0].data;
  EXPECT_NE(reply.find("Subject: Re: Plans\r\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("In-Reply-To: <orig1@example.net>\r\n"), std::string::npos) << reply;
  EXPECT_NE(reply.find("References: <root@example.net> <orig1@example.net>\r\n"),
            std::string::npos);
  EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"bob@example.net"});
  const std::string body = decoded(reply);
  const size_t text = body.find("Sounds good"), signature = body.find("-- \nTester"),
               quote = body.find("> Shall we meet?");
  ASSERT_NE(quote, std::string::npos) << body;
  EXPECT_LT(text, signature) << body;
  EXPECT_LT(signature, quote) << body;
  // The window closed and the draft it kept during the countdown went with the message.
  EXPECT_TRUE(QTest::qWaitFor([&] { return !window_->findChild<ComposerWindow*>(); }, 10000));
  EXPECT_EQ(drafts_holding("Sounds good"), 0);
}

TEST_F(ComposerTest, AReplyOpensAtOnceAndItsQuoteFollowsFromTheServerOrTheFailureShows) {
  forget_original_body();
  struct Case {
    const char* what;
    std::string password;
    bool arrives;
  };
  const Case cases[] = {{"the server refuses the account", "wrong", false},
                        {"the server sends the body", servers_.password, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    save_password(c.password);
    auto* composer = window_->open_composer(
        [&](ComposerModel& m) { m.start_answer(original_, AnswerKind::reply); });
    ASSERT_NE(composer, nullptr) << window_->toast_text().toStdString();
    // Open before anything came from the server: the headers, and the quote on its way.
    EXPECT_EQ(composer->subject_field().text(), "Re: Plans");
    EXPECT_TRUE(composer->quote_loading());
    QTest::keyClicks(&composer->body_editor(), "typed meanwhile");
    composer->to_field().setText("bob@example.net");
    composer->send();  // refused until the quote is in
    EXPECT_EQ(composer->model().state(), ComposerModel::State::editing);
    EXPECT_EQ(composer->error_text().toStdString(), localized("desktop.composer.wait_for_quote"));

    ASSERT_TRUE(QTest::qWaitFor([&] { return !composer->quote_loading(); }, 60000));
    EXPECT_EQ(composer->body_editor().toPlainText().toStdString().rfind("typed meanwhile", 0), 0u);
    const std::string body = (composer->model().save_draft(), composer->model().body());
    if (c.arrives) {
      EXPECT_TRUE(composer->error_text().isEmpty()) << composer->error_text().toStdString();
      EXPECT_TRUE(composer->quote_hidden());
      EXPECT_LT(body.find("typed meanwhile"), body.find("> Shall we meet?")) << body;
    } else {
      EXPECT_FALSE(composer->model().quote_error().empty());
      EXPECT_EQ(composer->error_text().toStdString(),
                localized_format("desktop.composer.quote_failed", composer->model().quote_error()));
      EXPECT_FALSE(composer->quote_hidden());
      EXPECT_EQ(body.find("Shall we meet?"), std::string::npos) << body;
    }
    composer->close();
    QApplication::processEvents();
  }
  EXPECT_TRUE(sent().empty());
}

TEST_F(ComposerTest, AnHtmlSignatureLeavesTheWindowAsTheCommandLineSendsIt) {
  preferences_.set(settings::undoSendEnabled, false);
  preferences_.set(settings::emailAutoSignatureOnReplyEnabled, true);
  auto added = run({"signature", "add", "--name", "Card", "--html", "--default", "--content",
                    "<br><table>\n<tr><td><b>{{name}}</b></td></tr>\n"
                    "<tr><td>{{phone}}</td></tr>\n</table>"});
  ASSERT_EQ(added.exit_code, 0) << added.err;
  // The same reply, once from the command line and once from the window.
  auto cli = run({"reply", original_, "--body", "Sounds good", "--now"});
  ASSERT_EQ(cli.exit_code, 0) << cli.err;
  ASSERT_TRUE(arrived(1));
  auto* composer = window_->open_composer(
      [&](ComposerModel& m) { m.start_answer(original_, AnswerKind::reply); });
  ASSERT_NE(composer, nullptr);
  // The editor shows the signature's formatting; the text read back leaves it out.
  EXPECT_TRUE(composer->body_editor().toPlainText().contains("Tester"))
      << composer->body_editor().toHtml().toStdString();
  QTest::keyClicks(&composer->body_editor(), "Sounds good");
  composer->send();
  ASSERT_TRUE(arrived(2));

  const auto mails = sent();
  const auto fromCli = mail::EmailContentDecoder::decode(mails[0].data);
  const auto fromWindow = mail::EmailContentDecoder::decode(mails[1].data);
  ASSERT_TRUE(fromWindow.htmlBody);
  std::string html = *fromWindow.htmlBody;
  std::erase(html, '\r');
  const std::string id = db_.read([](store::Connection& c) {
    auto s = c.prepare("SELECT id FROM email_signatures WHERE name = 'Card'");
    return s.step() ? s.text(0).value_or("") : std::string();
  });
  const std::string expected = "Sounds good<br><br><!-- kestrova-signature:" + id +
                               " --><br><table>\n<tr><td><b>Tester</b></td></tr>\n\n</table>"
                               "<!-- /kestrova-signature:" +
                               id + " --><br><br>";
  EXPECT_EQ(html.rfind(expected, 0), 0u) << html;
  EXPECT_NE(html.find("&gt; Shall we meet?"), std::string::npos) << html;
  EXPECT_EQ(fromWindow.htmlBody, fromCli.htmlBody);
  EXPECT_EQ(fromWindow.textBody, fromCli.textBody);
  EXPECT_EQ(decoded(mails[1].data).rfind("Sounds good\n\nTester\n\n", 0), 0u)
      << decoded(mails[1].data);

  // Kept as a draft and opened again: one signature, still apart from the user's text.
  auto* draft = open_new();
  ASSERT_NE(draft, nullptr);
  QTest::keyClicks(&draft->body_editor(), "Draft words");
  ASSERT_TRUE(draft->model().save_draft());
  const std::string draftId = draft->model().draft_id();
  draft->close();
  QApplication::processEvents();
  ComposerModel again(preferences_);
  again.open_draft(draftId);
  ASSERT_TRUE(again.signature());
  EXPECT_EQ(again.signature()->name, "Card");
  EXPECT_EQ(again.body(), "Draft words");
  EXPECT_FALSE(again.html_body());

  // Deleted in the editor with the rest of the text: no signature goes out.
  auto* cleared = open_new();
  ASSERT_NE(cleared, nullptr);
  cleared->body_editor().selectAll();
  QTest::keyClick(&cleared->body_editor(), Qt::Key_Delete);
  QTest::keyClicks(&cleared->body_editor(), "No card");
  ASSERT_TRUE(cleared->model().save_draft());
  EXPECT_FALSE(cleared->model().signature());
  EXPECT_EQ(drafts_holding("Tester"), 1);  // the earlier draft only
}

TEST_F(ComposerTest, MailTakenBackByUndoOrByClosingNeverLeavesAndStaysADraft) {
  preferences_.set(settings::undoSendDelaySeconds, int64_t{30});
  // Closed during the countdown: kept as a draft, not sent.
  auto* closed = open_new();
  ASSERT_NE(closed, nullptr);
  closed->to_field().setText("ann@example.net");
  closed->subject_field().setText("closed");
  QTest::keyClicks(&closed->body_editor(), "closed during the countdown");
  closed->send();
  ASSERT_EQ(closed->model().state(), ComposerModel::State::counting);
  closed->close();
  QApplication::processEvents();
  EXPECT_EQ(drafts_holding("closed during the countdown"), 1);

  // Undone: the composer is back with its text, which the drafts keep too.
  auto* composer = open_new();
  ASSERT_NE(composer, nullptr);
  composer->to_field().setText("ann@example.net");
  composer->subject_field().setText("undone");
  QTest::keyClicks(&composer->body_editor(), "take this back");
  composer->send();
  ASSERT_EQ(composer->model().state(), ComposerModel::State::counting);
  composer->undo();
  EXPECT_EQ(composer->model().state(), ComposerModel::State::editing);
  EXPECT_TRUE(composer->countdown_text().isEmpty());
  EXPECT_EQ(composer->body_editor().toPlainText().toStdString().rfind("take this back", 0), 0u);
  EXPECT_EQ(drafts_holding("take this back"), 1);

  // Then sent at once with another subject: the only message that ever reaches the server.
  composer->subject_field().setText("after undo");
  composer->send();
  composer->model().send_now();
  ASSERT_TRUE(arrived(1));
  const auto mails = sent();
  ASSERT_EQ(mails.size(), 1u);
  EXPECT_NE(mails[0].data.find("Subject: after undo\r\n"), std::string::npos) << mails[0].data;
  EXPECT_TRUE(QTest::qWaitFor([&] { return drafts_holding("take this back") == 0; }, 10000));
  EXPECT_EQ(drafts_holding("closed during the countdown"), 1);
}

TEST_F(ComposerTest, ScheduledMailWaitsInTheQueueCanBeEditedAndTheServiceSendsItAtItsTime) {
  const testing::TempDir files;
  const auto file = files.path() / "plan.txt";
  std::ofstream(file) << "the plan";
  auto* composer = open_new();
  ASSERT_NE(composer, nullptr);
  composer->to_field().setText("dave@example.net");
  composer->subject_field().setText("Later");
  QTest::keyClicks(&composer->body_editor(), "see attached");
  composer->attach_files({QString::fromStdString(file.string())});
  ASSERT_EQ(composer->attachment_list().count(), 1);
  const double at = now_seconds() + 3600;
  composer->schedule_at(at);
  ASSERT_EQ(composer->model().state(), ComposerModel::State::scheduled);

  // The mailbox tree's Scheduled entry counts it and shows the queue in the window's middle.
  MailboxSelection queue;
  queue.kind = MailboxSelection::Kind::scheduled;
  EXPECT_EQ(window_->unread_shown(queue), 1);
  window_->show_scheduled();
  ScheduledView& view = window_->scheduled_view();
  ASSERT_TRUE(view.isVisible());
  ASSERT_EQ(view.table().topLevelItemCount(), 1);
  EXPECT_EQ(view.table().topLevelItem(0)->text(2), "Later");
  // Edit: the composer opens with it; scheduled again, it replaces the queued one.
  std::string edited;
  view.onEdit = [&](const std::string& id) { edited = id; };
  view.findChild<QPushButton*>("editScheduled")->click();
  ASSERT_FALSE(edited.empty());
  auto* again = window_->open_composer([&](ComposerModel& m) { m.open_scheduled(edited); });
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->attachment_list().count(), 1);
  again->subject_field().setText("Later, edited");
  again->schedule_at(at);
  const auto rows = store::ScheduledMessageStore(db_).loadPending();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].subject, "Later, edited");
  EXPECT_EQ(rows[0].scheduledAt, at);
  EXPECT_TRUE(sent().empty());

  // The service's check, an hour and a minute later.
  store::EmailStore store(db_, platform::SettingsStore::shared());
  EmailScheduledSendService service(db_, store, {}, {}, [&] { return at + 60; });
  service.start();
  service.stop();
  ASSERT_TRUE(arrived(1));
  const auto mails = sent();
  EXPECT_NE(mails[0].data.find("Subject: Later, edited\r\n"), std::string::npos);
  EXPECT_NE(mails[0].data.find("filename=\"plan.txt\""), std::string::npos) << mails[0].data;
  EXPECT_EQ(mails[0].rcpt_to, std::vector<std::string>{"dave@example.net"});
  window_->refresh_from_database();
  EXPECT_EQ(view.table().topLevelItemCount(), 0);
  EXPECT_EQ(window_->unread_shown(queue), 0);
}

TEST_F(ComposerTest, DraftsAreSavedOnceTypingPausesUnderOneIdAndMarkedForUpload) {
  auto* composer = open_new();
  ASSERT_NE(composer, nullptr);
  composer->to_field().setText("erin@example.net, half-typed@");
  QTest::keyClicks(&composer->body_editor(), "first words");
  EXPECT_TRUE(composer->model().draft_pending());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !composer->model().draft_pending(); }, 10000));
  const std::string id = composer->model().draft_id();
  ASSERT_FALSE(id.empty());
  EXPECT_EQ(drafts_holding("first words"), 1);
  EXPECT_GE(pending_draft_uploads(db_), 1u);

  QTest::keyClicks(&composer->body_editor(), ", then more");
  ASSERT_TRUE(QTest::qWaitFor([&] { return !composer->model().draft_pending(); }, 10000));
  EXPECT_EQ(composer->model().draft_id(), id);
  store::EmailStore store(db_, platform::SettingsStore::shared());
  const auto draft = store.loadDraft(id);
  ASSERT_TRUE(draft);
  EXPECT_EQ(draft->textBody.value_or("").rfind("first words, then more", 0), 0u);
  // The unfinished address is no reason to lose the text: it is left out of the draft.
  ASSERT_EQ(draft->to.size(), 1u);
  EXPECT_EQ(draft->to[0].email, "erin@example.net");
  EXPECT_EQ(drafts_holding("first words"), 1);

  // Opened again later, it is the same draft that changes.
  composer->close();
  QApplication::processEvents();
  auto* again = window_->open_composer([&](ComposerModel& m) { m.open_draft(id); });
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->body_editor().toPlainText().toStdString().rfind("first words, then more", 0),
            0u);
  again->body_editor().moveCursor(QTextCursor::End);
  QTest::keyClicks(&again->body_editor(), " and the end");
  again->close();
  EXPECT_EQ(drafts_holding("and the end"), 1);
  EXPECT_EQ(drafts_holding("first words"), 1);
}

TEST_F(ComposerTest, ARefusedSendIsShownAndTheMessageStaysInTheComposerAndTheDrafts) {
  preferences_.set(settings::undoSendEnabled, false);
  save_password("wrong");
  auto* composer = open_new();
  ASSERT_NE(composer, nullptr);
  composer->to_field().setText("ann@example.net");
  composer->subject_field().setText("refused");
  QTest::keyClicks(&composer->body_editor(), "words worth keeping");
  composer->send();
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return composer->model().state() == ComposerModel::State::editing; }, 60000));
  EXPECT_FALSE(composer->error_text().isEmpty());
  EXPECT_FALSE(composer->model().error().empty());
  EXPECT_EQ(composer->body_editor().toPlainText().toStdString().rfind("words worth keeping", 0),
            0u);
  EXPECT_EQ(drafts_holding("words worth keeping"), 1);
  EXPECT_TRUE(sent().empty());
}

TEST_F(ComposerTest, SignaturesSwapTemplatesGoAboveTheQuoteAndKnownAddressesComplete) {
  ASSERT_EQ(run({"signature", "add", "--name", "Work", "--content", "-- \nWork line"}).exit_code,
            0);
  ASSERT_EQ(run({"signature", "add", "--name", "Home", "--content", "-- \nHome line"}).exit_code,
            0);
  ComposerModel model(preferences_);
  model.start_answer(original_, AnswerKind::reply);
  ASSERT_TRUE(quote_in(model));
  ASSERT_TRUE(model.signature());
  const std::string first = model.signature()->name;
  const std::string other = first == "Work" ? "Home" : "Work";
  std::string otherId;
  for (const auto& s : model.signatures())
    if (s.name == other) otherId = s.id;
  model.choose_signature(otherId);
  EXPECT_EQ(model.body().find(first + " line"), std::string::npos) << model.body();
  const size_t signature = model.body().find(other + " line");
  const size_t quote = model.body().find("> Shall we meet?");
  ASSERT_NE(signature, std::string::npos) << model.body();
  EXPECT_LT(signature, quote);
  model.choose_signature("");
  EXPECT_EQ(model.body().find(" line"), std::string::npos) << model.body();

  // A template's text goes where the user writes, above the quote; the subject stays.
  const auto templates = model.templates();
  ASSERT_FALSE(templates.empty());
  const auto& chosen = templates.front();
  model.apply_template(chosen.id);
  const size_t text = model.body().find(chosen.body);
  ASSERT_NE(text, std::string::npos) << model.body();
  EXPECT_LT(text, model.body().find("> Shall we meet?"));
  EXPECT_EQ(model.subject, "Re: Plans");
  store::TemplateStore stored(db_);
  for (const auto& t : stored.templates()) {
    if (t.id == chosen.id) {
      EXPECT_EQ(t.usageCount, chosen.usageCount + 1);
    }
  }

  // Sent from the model alone (no window); known addresses complete, in any letter case,
  // entry by entry.
  model.to = "bob@example.net";
  model.set_body("hello");
  preferences_.set(settings::undoSendEnabled, false);
  model.send();
  ASSERT_TRUE(arrived(1));
  ASSERT_TRUE(QTest::qWaitFor([&] { return model.state() == ComposerModel::State::sent; }, 10000));
  ComposerModel next(preferences_);
  next.start_new();
  const auto offered = next.completions("carol@example.net, BO");
  ASSERT_FALSE(offered.empty());
  EXPECT_NE(offered.front().find("bob@example.net"), std::string::npos) << offered.front();
}

TEST_F(ComposerTest, LargeAttachmentsWarnAndACancelledScheduledMessageLeavesNothingBehind) {
  const testing::TempDir files;
  // 19 MB travel as about 25.3 MB in base64: over the 25 MB a server of unknown kind takes.
  const auto big = files.path() / "big.bin", small = files.path() / "small.txt";
  std::ofstream(small) << "small";
  std::ofstream(big).close();
  std::filesystem::resize_file(big, 19 * 1024 * 1024);
  ComposerModel model(preferences_);
  model.start_new();
  model.attach_file(small.string());
  EXPECT_FALSE(model.size_warning());
  model.attach_file(big.string());
  ASSERT_TRUE(model.size_warning());
  EXPECT_NE(model.size_warning()->find("25"), std::string::npos) << *model.size_warning();
  model.remove_attachment(1);
  EXPECT_FALSE(model.size_warning());

  model.to = "ann@example.net";
  model.subject = "to be cancelled";
  model.schedule(now_seconds() + 86400);
  const auto rows = store::ScheduledMessageStore(db_).all();
  ASSERT_EQ(rows.size(), 1u);
  const auto copies = EmailScheduledSendService::attachmentDirectory(rows[0].id);
  EXPECT_TRUE(std::filesystem::exists(copies));
  MailboxSelection queue;
  queue.kind = MailboxSelection::Kind::scheduled;
  window_->refresh_from_database();
  EXPECT_EQ(window_->unread_shown(queue), 1);
  window_->show_scheduled();
  ScheduledView& view = window_->scheduled_view();
  ASSERT_EQ(view.table().topLevelItemCount(), 1);
  EXPECT_FALSE(window_->reading_pane().isVisible());  // the table takes its room
  view.cancel_selected(true);
  EXPECT_EQ(view.table().topLevelItemCount(), 0);
  EXPECT_EQ(window_->unread_shown(queue), 0);
  ASSERT_TRUE(window_->show_mailbox(MailboxSelection{}));
  EXPECT_TRUE(window_->reading_pane().isVisible());
  EXPECT_TRUE(store::ScheduledMessageStore(db_).all().empty());
  EXPECT_FALSE(std::filesystem::exists(copies));
}

TEST(ComposerCompletion, ChosenAddressReplacesOnlyTheEntryBeingTyped) {
  const struct {
    const char* typed;
    const char* chosen;
    const char* expected;
  } cases[] = {
      {"an", "\"Ann\" <ann@x.org>", "\"Ann\" <ann@x.org>, "},
      {"bob@y.org, an", "\"Ann\" <ann@x.org>", "bob@y.org, \"Ann\" <ann@x.org>, "},
      {"bob@y.org; an", "ann@x.org", "bob@y.org; ann@x.org, "},
      // A comma inside a quoted name does not end the entry.
      {"\"Doe, J\" <j@z.org>, \"Sm", "\"Smith\" <s@x.org>",
       "\"Doe, J\" <j@z.org>, \"Smith\" <s@x.org>, "},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ComposerModel::complete(c.typed, c.chosen), c.expected) << c.typed;
}

}  // namespace
}  // namespace kestrova::app::desktop
