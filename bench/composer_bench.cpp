// The composer, offscreen, on the user's database (XDG_DATA_HOME): the reply key to a
// painted composer with its editor focused, Ctrl+N to the same for a new message, and
// keystrokes typed above a 200 KB quote, each to the painted editor. Beside each, in the same
// run, the floor: an empty window with a text editor shown and painted, and the same keys
// typed into a bare QTextEdit holding the same text.
//
//   kestrova-bench-composer [--rounds N]
// bench/run_composer.sh makes the mailbox and runs it.

#include <QApplication>
#include <QListView>
#include <QMainWindow>
#include <QTest>
#include <QTextEdit>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "app/core/mailbox/message_context.h"
#include "app/core/user_preferences.h"
#include "app/desktop/composer_window.h"
#include "app/desktop/main_window.h"
#include "app/desktop/message_list_model.h"
#include "bench_figures.h"
#include "platform/settings_store.h"
#include "store/database.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

// A quote of about `bytes` bytes, in lines as mail has them.
std::string long_text(size_t bytes) {
  std::string text;
  for (int i = 0; text.size() < bytes; ++i)
    text += "Line " + std::to_string(i) +
            " of the long report: the figures of the quarter, the plans for the next one, and "
            "the people who will carry them out.\n";
  return text;
}

// Keys typed into `editor` at its start, each measured to the painted viewport.
std::vector<double> type_into(QTextEdit& editor, int keys) {
  editor.setFocus();
  QTextCursor cursor(editor.document());
  cursor.movePosition(QTextCursor::Start);
  editor.setTextCursor(cursor);
  std::vector<double> times;
  for (int i = 0; i < keys; ++i) {
    const auto t = Clock::now();
    QTest::keyClick(&editor, static_cast<char>('a' + i % 26));
    editor.viewport()->grab();
    times.push_back(ms_since(t));
  }
  return times;
}

void report(const char* name, const std::vector<double>& times, const std::vector<double>& floor) {
  std::printf("%s median %.2f p99 %.2f (n=%zu) | floor median %.2f p99 %.2f | ratio %.2f\n", name,
              kestrova::bench::median(times), kestrova::bench::percentile(times, 0.99),
              times.size(), kestrova::bench::median(floor),
              kestrova::bench::percentile(floor, 0.99),
              kestrova::bench::median(times) / kestrova::bench::median(floor));
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrova;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  int rounds = 30;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::string(argv[i]) == "--rounds") rounds = std::stoi(argv[i + 1]);
  QApplication application(argc, argv);
  auto& database = store::EmailDatabase::shared();
  auto& preferences = app::UserPreferences::shared();
  preferences.set(app::settings::emailMarkAsReadDelaySeconds, int64_t{3600});

  app::desktop::MainWindow window(database, preferences);
  window.resize(1280, 800);
  window.show();
  QApplication::setActiveWindow(&window);
  window.grab();
  auto& list = window.list_view();

  // The floor of opening: a window with an editor, shown, focused and painted.
  std::vector<double> floorOpen;
  for (int i = 0; i < rounds; ++i) {
    const auto t = Clock::now();
    auto* bare = new QMainWindow(&window);
    bare->setWindowFlag(Qt::Window);
    auto* editor = new QTextEdit(bare);
    bare->setCentralWidget(editor);
    bare->resize(780, 680);
    bare->show();
    editor->setFocus();
    bare->grab();
    floorOpen.push_back(ms_since(t));
    delete bare;
  }

  // The same reply as the command line prepares it (`kestrova reply`): the core's composition
  // and signature, without a window.
  std::vector<double> prepared;
  for (int i = 0; i < rounds; ++i) {
    const std::string id = window.list_model().summary(i % 20)->id;
    const auto t = Clock::now();
    auto original = app::context_for(id);
    auto message = app::compose_answer(*original, app::AnswerKind::reply);
    if (auto signature = app::default_signature(database, preferences, original->account.id, true))
      app::sign_message(database, *signature, original->account, message);
    prepared.push_back(ms_since(t));
  }

  // The reply key on the list: a different message each round (their bodies are stored).
  const auto opened = [&](auto press) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
      window.activateWindow();
      QApplication::setActiveWindow(&window);
      if (!QTest::qWaitForWindowActive(&window)) std::fprintf(stderr, "the window is not active\n");
      list.setFocus();
      list.selectionModel()->setCurrentIndex(window.list_model().index(i % 20),
                                             QItemSelectionModel::ClearAndSelect);
      QApplication::processEvents();
      const auto t = Clock::now();
      press();
      auto* composer = window.findChild<app::desktop::ComposerWindow*>();
      if (!composer) {
        window.action("reply")->trigger();
        std::fprintf(stderr, "no composer in round %d (%d after trigger, current %s): %s\n", i,
                     window.findChild<app::desktop::ComposerWindow*>() != nullptr,
                     window.current_message_id().value_or("none").c_str(),
                     window.toast_text().toLocal8Bit().constData());
        std::exit(1);
      }
      composer->grab();
      times.push_back(ms_since(t));
      if (composer->focusWidget() != &composer->body_editor())
        std::fprintf(stderr, "the editor has no focus\n");
      delete composer;
    }
    return times;
  };
  const auto replies = opened([&] { QTest::keyClick(&list, Qt::Key_R); });
  report("reply_key_to_painted_composer_ms", replies, floorOpen);
  report("reply_key_to_painted_composer_ms (against the command line's preparation)", replies,
         prepared);
  report("new_key_to_painted_composer_ms",
         opened([&] { QTest::keyClick(&list, Qt::Key_N, Qt::ControlModifier); }), floorOpen);

  // Typing above a 200 KB quote: a reply to a message whose body is that long.
  const std::string id = window.current_message_id().value_or("");
  database.write([&](store::Connection& c) {
    auto s = c.prepare("UPDATE email_messages SET text_body = ?, html_body = NULL WHERE id = ?");
    s.bind_all(long_text(200 * 1024), id);
    s.step();
  });
  auto* composer = window.open_composer(
      [&](app::desktop::ComposerModel& m) { m.start_answer(id, app::AnswerKind::reply); });
  if (!composer) return 1;
  composer->grab();
  // As it opens: the quote waits behind its button, the editor holds the user's part.
  const int start = composer->body_editor().toPlainText().size();
  const auto typed = type_into(composer->body_editor(), 200);
  if (composer->body_editor().toPlainText().size() != start + 200)
    std::fprintf(stderr, "the keys did not reach the editor\n");
  composer->show_quote();
  const auto typedWithQuote = type_into(composer->body_editor(), 200);
  std::printf("quote_bytes %lld\n",
              static_cast<long long>(composer->body_editor().toPlainText().toUtf8().size()));
  QTextEdit bare;
  bare.setPlainText(composer->body_editor().toPlainText());
  bare.resize(composer->body_editor().size());
  bare.show();
  bare.grab();
  const auto floor = type_into(bare, 200);
  report("key_to_painted_editor_200kb_quote_folded_ms", typed, floor);
  report("key_to_painted_editor_200kb_quote_shown_ms", typedWithQuote, floor);
  composer->model().onCollect = nullptr;
  delete composer;
  return 0;
}
