// kestrova-window: the desktop window, a program of its own so that the command line and the
// tool server never load Qt. `kestrova window` starts it.

#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QStatusBar>
#include <QStyleFactory>
#include <QStyleHints>
#include <QTimer>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "app/core/user_preferences.h"
#include "app/core/window_handover.h"
#include "app/desktop/main_window.h"
#include "app/desktop/message_list_model.h"
#include "app/desktop/reading_pane.h"
#include "app/desktop/service_in_window.h"
#include "app/desktop/settings/accounts_page.h"
#include "app/desktop/settings/first_run.h"
#include "platform/cancellation.h"
#include "platform/launch_environment.h"
#include "platform/paths.h"
#include "store/database.h"
#include "util/localization.h"
#include "util/log.h"

namespace {

using namespace kestrova;

// Whether the desktop prefers dark: GNOME's colour scheme, a dark GTK theme, or a dark
// window colour of the platform's own palette.
bool desktop_prefers_dark() {
  const QByteArray gtk = qgetenv("GTK_THEME").toLower();
  if (gtk.contains("dark")) return true;
  QProcess gsettings;
  gsettings.start("gsettings", {"get", "org.gnome.desktop.interface", "color-scheme"});
  if (gsettings.waitForFinished(500) && gsettings.readAllStandardOutput().contains("dark"))
    return true;
  return QApplication::palette().color(QPalette::Window).lightness() < 128;
}

QPalette palette_for(bool dark) {
  QPalette p;
  if (!dark) {
    p.setColor(QPalette::Window, QColor(0xf3, 0xf4, 0xf6));
    p.setColor(QPalette::WindowText, QColor(0x1f, 0x23, 0x28));
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, QColor(0xee, 0xf2, 0xf8));
    p.setColor(QPalette::Text, QColor(0x1f, 0x23, 0x28));
    p.setColor(QPalette::Button, QColor(0xf3, 0xf4, 0xf6));
    p.setColor(QPalette::ButtonText, QColor(0x1f, 0x23, 0x28));
    p.setColor(QPalette::Highlight, QColor(0x2f, 0x6f, 0xd6));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x1a, 0x5f, 0xc8));
    p.setColor(QPalette::Mid, QColor(0x6a, 0x73, 0x7d));
    p.setColor(QPalette::Midlight, QColor(0xe1, 0xe6, 0xee));
    p.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xe8));
    p.setColor(QPalette::ToolTipText, Qt::black);
    return p;
  }
  p.setColor(QPalette::Window, QColor(0x24, 0x26, 0x2b));
  p.setColor(QPalette::WindowText, QColor(0xe3, 0xe5, 0xe8));
  p.setColor(QPalette::Base, QColor(0x1b, 0x1d, 0x21));
  p.setColor(QPalette::AlternateBase, QColor(0x2a, 0x2e, 0x36));
  p.setColor(QPalette::Text, QColor(0xe3, 0xe5, 0xe8));
  p.setColor(QPalette::Button, QColor(0x2d, 0x30, 0x36));
  p.setColor(QPalette::ButtonText, QColor(0xe3, 0xe5, 0xe8));
  p.setColor(QPalette::Highlight, QColor(0x3d, 0x7b, 0xe0));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Link, QColor(0x7a, 0xae, 0xff));
  p.setColor(QPalette::Mid, QColor(0x9a, 0xa0, 0xa8));
  p.setColor(QPalette::PlaceholderText, QColor(0x9a, 0xa0, 0xa8));
  p.setColor(QPalette::Midlight, QColor(0x3a, 0x3f, 0x48));
  p.setColor(QPalette::ToolTipBase, QColor(0x2d, 0x30, 0x36));
  p.setColor(QPalette::ToolTipText, QColor(0xe3, 0xe5, 0xe8));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x84, 0x8a));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x84, 0x8a));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x84, 0x8a));
  return p;
}

double font_scale(app::AppInterfaceFontScale scale) {
  switch (scale) {
    case app::AppInterfaceFontScale::compact:
      return 0.9;
    case app::AppInterfaceFontScale::standard:
      return 1.0;
    case app::AppInterfaceFontScale::comfortable:
      return 1.12;
    case app::AppInterfaceFontScale::large:
      return 1.25;
  }
  return 1.0;
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
                       const QString& file, const QString& size) {
  std::unique_ptr<QWidget> screen;
  if (page) {
    auto accounts = std::make_unique<app::desktop::AccountsPage>(database, preferences);
    if (!address.isEmpty()) {
      accounts->show_add_form();
      auto* field = accounts->findChild<QLineEdit*>("address");
      field->setText(address);
      emit field->textEdited(address);
    }
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
  parser.addOptions(
      {screenshot, size, row, scheme, search, loadImages, openConversation, translated});
  // Accounts and first run.
  QCommandLineOption firstRun("first-run",
                              "Show the first-run welcome even when it was done (--screenshot)");
  QCommandLineOption accountsPage("accounts-page",
                                  "Show the Accounts settings page alone (--screenshot)");
  QCommandLineOption addAccount("add-account",
                                "With --accounts-page: the add form, ADDRESS typed in", "ADDRESS");
  parser.addOptions({firstRun, accountsPage, addAccount});
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
  const auto skin = preferences.get(app::settings::appVisualSkin);
  bool dark = desktop_prefers_dark();
  if (skin == app::AppVisualSkin::midnight || skin == app::AppVisualSkin::sciFi) dark = true;
  if (parser.isSet(scheme)) dark = parser.value(scheme) == "dark";
  QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setPalette(palette_for(dark));
  QFont font = QApplication::font();
  const bool chinese = text_language() == TextLanguage::chinese;
  font.setFamilies(chinese ? QStringList{"Noto Sans CJK SC", "Noto Sans", "DejaVu Sans"}
                           : QStringList{"Noto Sans", "Noto Sans CJK SC", "DejaVu Sans"});
  font.setPointSizeF(10 * font_scale(preferences.get(app::settings::appInterfaceFontScale)));
  QApplication::setFont(font);
  QLocale::setDefault(chinese ? QLocale(QLocale::Chinese, QLocale::China)
                              : QLocale(QLocale::English, QLocale::UnitedStates));

  auto& database = store::EmailDatabase::shared();

  // Accounts and first run: the page alone, or the welcome before the window.
  if (parser.isSet(accountsPage) || (capture && parser.isSet(firstRun)))
    return show_first_screens(parser, database, preferences, parser.isSet(accountsPage),
                              parser.value(addAccount), parser.value(screenshot),
                              parser.value(size));
  if (!capture && (parser.isSet(firstRun) || !preferences.get(app::settings::hasCompletedOnboarding))) {
    app::desktop::FirstRunDialog firstRunDialog(database, preferences);
    firstRunDialog.exec();
    if (firstRunDialog.outcome() == app::desktop::FirstRunDialog::Outcome::demo &&
        firstRunDialog.demo_home())
      open_demo_home(*firstRunDialog.demo_home(), argv);
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
    QApplication::processEvents();
    const QPixmap picture = window.grab();
    if (!picture.save(parser.value(screenshot))) {
      std::fprintf(stderr, "cannot write %s\n", parser.value(screenshot).toLocal8Bit().constData());
      return 1;
    }
    return 0;
  }
  window.show();
  for (const QString& link : parser.positionalArguments()) window.handle_handover("open " + link);

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
