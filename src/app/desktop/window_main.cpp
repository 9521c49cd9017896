// kestrova-window: the desktop window, a program of its own so that the command line and the
// tool server never load Qt. `kestrova window` starts it.

#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStatusBar>
#include <QStyleHints>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/core/user_preferences.h"
#include "app/core/window_handover.h"
#include "app/desktop/ai_panel.h"
#include "app/desktop/appearance.h"
#include "app/desktop/composer_window.h"
#include "app/desktop/follow_up_screens.h"
#include "app/desktop/main_window.h"
#include "app/desktop/message_list_model.h"
#include "app/desktop/reading_pane.h"
#include "app/desktop/service_in_window.h"
#include "app/desktop/settings/accounts_page.h"
#include "app/desktop/settings/first_run.h"
#include "app/desktop/settings/settings_dialog.h"
#include "app/desktop/ui_text.h"
#include "platform/cancellation.h"
#include "platform/launch_environment.h"
#include "platform/paths.h"
#include "store/database.h"
#include "util/localization.h"
#include "util/log.h"

namespace {

using namespace kestrova;

bool has_no_accounts(store::EmailDatabase& database) {
  return database.read([](store::Connection& c) {
    auto s = c.prepare("SELECT EXISTS (SELECT 1 FROM email_accounts)");
    return s.step() && s.integer(0).value_or(0) == 0;
  });
}

// The window again, started over on the demo's home: the database and settings of this
// process belong to the user's own home. Returns only when the program cannot be started.
void open_demo_home(const std::filesystem::path& home, char** argv) {
  const auto program = platform::executable_path();
  if (!program) return;
  platform::set_kestrova_home(home);
  execv(program->c_str(), argv);
  std::fprintf(stderr, "cannot start %s\n", program->c_str());
}

// --accounts-page and --first-run: the screen alone, shown, or saved to `file` and ended.
int show_first_screens(const QCommandLineParser&, store::EmailDatabase& database,
                       app::UserPreferences& preferences, bool page, const QString& address,
                       bool edit, const QString& file, const QString& size) {
  std::unique_ptr<QWidget> screen;
  if (page) {
    auto accounts = std::make_unique<app::desktop::AccountsPage>(database, preferences);
    if (!address.isEmpty()) {
      accounts->show_add_form();
      auto* field = accounts->findChild<QLineEdit*>("address");
      field->setText(address);
      emit field->textEdited(address);
    }
    if (edit) accounts->show_edit_form();
    screen = std::move(accounts);
  } else {
    screen = std::make_unique<app::desktop::FirstRunDialog>(database, preferences);
  }
  const QStringList wh = size.split('x');
  screen->resize(wh.value(0).toInt(), wh.value(1).toInt());
  if (file.isEmpty()) {
    screen->show();
    return QApplication::exec();
  }
  screen->setAttribute(Qt::WA_DontShowOnScreen);
  screen->show();
  QApplication::processEvents();
  if (!screen->grab().save(file)) {
    std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
    return 1;
  }
  return 0;
}
}  // namespace

int main(int argc, char** argv) {
  platform::captureLaunchEnvironment();
  set_log_target(LogTarget::File);
  platform::secure_private_directories();
  auto& preferences = app::UserPreferences::shared();
  set_text_language(preferences.get(app::settings::defaultLanguage));

  // The service's work, when the window does it, runs GLib's main loop on a thread of its
  // own: Qt's loop must then not be GLib's (see ServiceInWindow).
  qputenv("QT_NO_GLIB", "1");
  QApplication application(argc, argv);
  QApplication::setApplicationName("Kestrova");
  QApplication::setDesktopFileName("kestrova");
  app::desktop::load_toolkit_translations();
  QCommandLineParser parser;
  parser.addHelpOption();
  QCommandLineOption screenshot("screenshot", "Save a picture of the window to FILE and quit",
                                "FILE");
  QCommandLineOption size("size", "Window size for --screenshot (WIDTHxHEIGHT)", "SIZE",
                          "1280x800");
  QCommandLineOption row("select", "Row of the list to open for --screenshot", "ROW", "0");
  QCommandLineOption scheme("scheme", "light or dark instead of the desktop's choice", "SCHEME");
  QCommandLineOption search("search", "Start with this search", "QUERY");
  QCommandLineOption loadImages("load-images",
                                "Load the open message's remote images (--screenshot)");
  QCommandLineOption openConversation(
      "open-conversation",
      "Open the chosen row's conversation and show its next message (--screenshot)");
  QCommandLineOption translated("translated", "Show the open message translated (--screenshot)");
  // Writing: the composer and the scheduled view for --screenshot.
  QCommandLineOption compose(
      "compose", "Open a composer (new, reply, reply-all, forward) for --screenshot", "KIND");
  QCommandLineOption attach("attach", "Attach FILE in the composer of --compose", "FILE");
  QCommandLineOption scheduledView("scheduled", "Show the scheduled view (--screenshot)");
  parser.addOptions({screenshot, size, row, scheme, search, loadImages, openConversation,
                     translated, compose, attach, scheduledView});
  // Follow-up, snooze and rules screens for --screenshot.
  QCommandLineOption view("view",
                          "Show a view of the store: starred, reply-later, waiting-on, snoozed "
                          "or action-items (--screenshot)",
                          "VIEW");
  QCommandLineOption snoozePicker("snooze-picker",
                                  "Show the snooze picker over the window (--screenshot)");
  QCommandLineOption rulesPage("rules-page",
                               "Picture the Rules settings page on its first rule (--screenshot)");
  parser.addOptions({view, snoozePicker, rulesPage});
  // AI panel: shown, with a scope chosen and a question asked (--screenshot).
  QCommandLineOption aiPanel("ai-panel", "Show the AI panel");
  QCommandLineOption aiScope("ai-scope", "The AI panel's scope: message, thread, folder or account",
                             "SCOPE", "message");
  QCommandLineOption aiAsk("ask", "Ask the AI panel this question (--screenshot)", "QUESTION");
  parser.addOptions({aiPanel, aiScope, aiAsk});
  // Settings: --screenshot takes the settings window open on PAGE instead of the main window.
  QCommandLineOption settingsPage("settings", "Open the settings on PAGE (ai, reading, ...)",
                                  "PAGE");
  parser.addOption(settingsPage);
  // Accounts and first run.
  QCommandLineOption firstRun("first-run",
                              "Show the first-run welcome even when it was done (--screenshot)");
  QCommandLineOption accountsPage("accounts-page",
                                  "Show the Accounts settings page alone (--screenshot)");
  QCommandLineOption addAccount("add-account",
                                "With --accounts-page: the add form, ADDRESS typed in", "ADDRESS");
  QCommandLineOption editAccount("edit-account",
                                 "With --accounts-page: the edit form of the chosen account");
  parser.addOptions({firstRun, accountsPage, addAccount, editAccount});
  parser.addPositionalArgument("link", "kestrova:// links to show");
  parser.process(application);

  // One window per user: a second start hands its links over and ends.
  const bool capture = parser.isSet(screenshot);
  QLocalServer server;
  if (!capture) {
    bool handed = false;
    for (const QString& link : parser.positionalArguments())
      handed = app::hand_over_to_window(("open " + link).toStdString()) || handed;
    if (handed || app::hand_over_to_window("raise")) return 0;
    const QString path = QString::fromStdString(app::window_socket_path().string());
    QLocalServer::removeServer(path);
    server.setSocketOptions(QLocalServer::UserAccessOption);
    server.listen(path);
  }

  // Light or dark as the desktop says, unless a skin or the command line chooses.
  app::desktop::apply_appearance(preferences, parser.isSet(scheme)
                                                  ? std::optional(parser.value(scheme) == "dark")
                                                  : std::nullopt);
  const bool chinese = text_language() == TextLanguage::chinese;
  QLocale::setDefault(chinese ? QLocale(QLocale::Chinese, QLocale::China)
                              : QLocale(QLocale::English, QLocale::UnitedStates));

  auto& database = store::EmailDatabase::shared();
  if (capture && parser.isSet(rulesPage))
    return app::desktop::capture_rules_page(database, preferences, parser.value(size),
                                            parser.value(screenshot));

  // Accounts and first run: the page alone, or the welcome before the window.
  if (parser.isSet(accountsPage) || (capture && parser.isSet(firstRun)))
    return show_first_screens(parser, database, preferences, parser.isSet(accountsPage),
                              parser.value(addAccount), parser.isSet(editAccount),
                              parser.value(screenshot), parser.value(size));
  // The welcome comes again while the mailbox has no account: someone who tried the demo
  // (which lives in a home of its own) or skipped finds the way to their own mail.
  if (!capture &&
      (parser.isSet(firstRun) || !preferences.get(app::settings::hasCompletedOnboarding) ||
       has_no_accounts(database))) {
    while (true) {
      app::desktop::FirstRunDialog firstRunDialog(database, preferences);
      firstRunDialog.exec();
      if (firstRunDialog.language_changed()) {  // the welcome again, in the language chosen
        const bool chineseNow = text_language() == TextLanguage::chinese;
        QLocale::setDefault(chineseNow ? QLocale(QLocale::Chinese, QLocale::China)
                                       : QLocale(QLocale::English, QLocale::UnitedStates));
        app::desktop::load_toolkit_translations();
        continue;
      }
      if (firstRunDialog.outcome() == app::desktop::FirstRunDialog::Outcome::demo &&
          firstRunDialog.demo_home())
        open_demo_home(*firstRunDialog.demo_home(), argv);
      break;
    }
  }

  app::desktop::MainWindow window(database, preferences);
  QObject::connect(&server, &QLocalServer::newConnection, &window, [&] {
    while (QLocalSocket* socket = server.nextPendingConnection()) {
      QObject::connect(socket, &QLocalSocket::readyRead, &window, [socket, &window] {
        while (socket->canReadLine())
          window.handle_handover(QString::fromUtf8(socket->readLine(4096)).trimmed());
      });
      QObject::connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    }
  });
  if (parser.isSet(search)) {
    window.search_field().setText(parser.value(search));
    window.run_pending_search();  // the list the options below choose from
  }

  if (capture) {
    const QStringList wh = parser.value(size).split('x');
    window.resize(wh.value(0).toInt(), wh.value(1).toInt());
    window.setAttribute(Qt::WA_DontShowOnScreen);
    window.show();
    if (parser.isSet(view) && !app::desktop::show_view_named(window, parser.value(view))) {
      std::fprintf(stderr, "no view %s\n", parser.value(view).toLocal8Bit().constData());
      return 2;
    }
    int wanted = parser.value(row).toInt();
    if (parser.isSet(openConversation) && window.list_model().open(wanted)) ++wanted;
    window.list_view().setFocus();
    window.list_view().selectionModel()->setCurrentIndex(window.list_model().index(wanted, 0),
                                                         QItemSelectionModel::ClearAndSelect);
    window.list_view().scrollTo(window.list_model().index(wanted, 0));
    if (parser.isSet(loadImages)) window.reading_pane().load_images_once();
    if (parser.isSet(translated)) {
      // From the translation cache or the profile; waits for the answer at most a minute.
      window.reading_pane().translate();
      QElapsedTimer waited;
      waited.start();
      while (window.reading_pane().translator().state() ==
                 app::desktop::MessageTranslator::State::working &&
             waited.elapsed() < 60000)
        QApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    if (parser.isSet(aiPanel) || parser.isSet(aiAsk)) {
      // Waits for the whole answer at most a minute.
      auto& panel = window.ai_panel();
      panel.show();
      auto* scopes = panel.findChild<QComboBox*>("aiScope");
      const QStringList names{"message", "thread", "folder", "account"};
      if (scopes && names.contains(parser.value(aiScope)))
        scopes->setCurrentIndex(static_cast<int>(names.indexOf(parser.value(aiScope))));
      if (parser.isSet(aiAsk)) {
        panel.ask(parser.value(aiAsk));
        QElapsedTimer waited;
        waited.start();
        while (panel.model().answering() && waited.elapsed() < 60000)
          QApplication::processEvents(QEventLoop::AllEvents, 50);
      }
      QApplication::processEvents();
    }
    QApplication::processEvents();
    if (parser.isSet(view) && parser.value(view) == "action-items")
      app::desktop::open_action_item(window, parser.value(row).toInt());
    QWidget* shown = &window;
    if (parser.isSet(compose)) {
      const QString kind = parser.value(compose);
      const auto id = window.current_message_id();
      auto* composer = window.open_composer([&](app::desktop::ComposerModel& m) {
        if (kind == "new" || !id) return m.start_new();
        m.start_answer(*id, kind == "reply-all" ? app::AnswerKind::replyAll
                            : kind == "forward" ? app::AnswerKind::forward
                                                : app::AnswerKind::reply);
      });
      if (!composer) {
        std::fprintf(stderr, "%s\n", window.toast_text().toLocal8Bit().constData());
        return 1;
      }
      if (parser.isSet(attach)) composer->attach_files(parser.values(attach));
      composer->setAttribute(Qt::WA_DontShowOnScreen);
      composer->resize(860, 720);
      shown = composer;
    }
    if (parser.isSet(scheduledView)) window.show_scheduled();
    if (parser.isSet(settingsPage)) shown = window.open_settings(parser.value(settingsPage));
    QApplication::processEvents();
    const QPixmap picture =
        parser.isSet(snoozePicker) ? app::desktop::grab_with_snooze_picker(window) : shown->grab();
    if (!picture.save(parser.value(screenshot))) {
      std::fprintf(stderr, "cannot write %s\n", parser.value(screenshot).toLocal8Bit().constData());
      return 1;
    }
    return 0;
  }
  window.show();
  for (const QString& link : parser.positionalArguments()) window.handle_handover("open " + link);
  if (parser.isSet(settingsPage)) window.open_settings(parser.value(settingsPage));

  // No `kestrova run` running: the window does its work while it is open, and looks again
  // now and then while another process holds the service lock.
  app::desktop::ServiceInWindow service;
  auto* serviceNote = new QLabel(&window);
  serviceNote->setObjectName("serviceNote");
  window.statusBar()->addPermanentWidget(serviceNote);
  auto show_service = [&] {
    using State = app::desktop::ServiceInWindow::State;
    switch (service.take_if_free()) {
      case State::windowWorks:
        serviceNote->setText(QString::fromStdString(localized("desktop.service.window")));
        serviceNote->setToolTip(QString::fromStdString(localized("desktop.service.window_tip")));
        break;
      case State::serviceWorks:
        serviceNote->setText(QString::fromStdString(
            service.holder() ? localized_format("desktop.service.elsewhere",
                                                static_cast<int64_t>(*service.holder()))
                             : localized("desktop.service.elsewhere_unknown")));
        serviceNote->setToolTip({});
        break;
      case State::off:
        serviceNote->clear();
        break;
    }
  };
  show_service();
  QTimer retry;
  QObject::connect(&retry, &QTimer::timeout, &window, [&] {
    if (service.state() != app::desktop::ServiceInWindow::State::windowWorks) show_service();
  });
  retry.start(app::desktop::ServiceInWindow::kRetryMilliseconds);

  const int status = QApplication::exec();
  // The process is ending: network waits of the work give up at once.
  platform::CancellationToken::process().cancel();
  service.stop();
  return status;
}
