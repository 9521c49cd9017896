// The desktop window on a large generated mailbox, offscreen: start to the first painted
// message list (beside a minimal Qt window's own start, the floor), a `j` keystroke to the
// painted reading pane, a search keystroke to the painted results, scrolling the whole list
// frame by frame, and the resident memory with the folder open. Every "painted" figure ends
// when QWidget::grab() has drawn the widget, which is what a screen would show.
//
//   kestrova-bench-window --db FILE [--mode window|minimal|prepare]
// bench/run_window.sh runs both modes as fresh processes, side by side.

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QScrollBar>
#include <QTest>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/core/user_preferences.h"
#include "app/desktop/mailbox_view.h"
#include "app/desktop/main_window.h"
#include "app/desktop/message_list_model.h"
#include "app/desktop/reading_pane.h"
#include "bench_figures.h"
#include "platform/settings_store.h"
#include "store/database.h"

namespace {

using Clock = std::chrono::steady_clock;
const Clock::time_point kStart = Clock::now();  // as early as static initialisation allows

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

long rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrova;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  std::string db, mode = "window";
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::string(argv[i]) == "--db") db = argv[i + 1];
    if (std::string(argv[i]) == "--mode") mode = argv[i + 1];
  }
  QApplication application(argc, argv);
  if (mode == "minimal") {
    // The floor: a window with a ten-row list and nothing behind it.
    QListWidget list;
    for (int i = 0; i < 10; ++i) list.addItem(QString("Message %1").arg(i));
    list.resize(1280, 800);
    list.show();
    list.grab();
    std::printf("minimal_start_to_painted_ms %.1f\nminimal_rss_mib %.1f\n", ms_since(kStart),
                rss_kib() / 1024.0);
    return 0;
  }
  auto database = store::EmailDatabase::open(db);
  if (mode == "prepare") return 0;  // a file of an older schema is brought up to date, untimed
  platform::SettingsStore settings(std::string(std::getenv("XDG_CONFIG_HOME")) +
                                   "/bench-settings.json");
  app::UserPreferences preferences(settings);
  preferences.set(app::settings::emailMarkAsReadDelaySeconds, int64_t{3600});
  app::desktop::MainWindow window(*database, preferences);
  window.resize(1280, 800);
  window.show();
  QApplication::setActiveWindow(&window);
  window.grab();
  const double start = ms_since(kStart);
  const double startRss = rss_kib() / 1024.0;

  // The biggest folder: its list, then j through its first 300 messages.
  std::string folder = database->read([](store::Connection& c) {
    auto s = c.prepare(
        "SELECT folder_id FROM email_messages GROUP BY folder_id ORDER BY COUNT(*) DESC LIMIT 1");
    s.step();
    return s.text(0).value_or("");
  });
  auto& model = window.list_model();
  auto& list = window.list_view();
  auto t = Clock::now();
  model.show({app::desktop::MailboxSelection::Kind::folder, folder, {}});
  list.grab();
  const double folderOpen = ms_since(t);
  // Messages in the folder (a list of conversations reads its rows a page at a time).
  const int64_t rows = model.list().pager().message_count();
  list.setFocus();
  list.selectionModel()->setCurrentIndex(model.index(0), QItemSelectionModel::ClearAndSelect);
  std::vector<double> keys;
  for (int i = 0; i < 300; ++i) {
    t = Clock::now();
    QTest::keyClick(&list, Qt::Key_J);
    window.reading_pane().grab();
    list.grab();
    keys.push_back(ms_since(t));
  }
  const double folderRss = rss_kib() / 1024.0;

  // Search keystrokes: each character of the query typed into the field, results painted.
  std::vector<double> search;
  int searchPages = 0;  // pages of results read for the keys measured
  window.search_field().setFocus();
  const std::string query = "report";
  for (size_t i = 0; i < query.size(); ++i) {
    t = Clock::now();
    QTest::keyClick(&window.search_field(), query[i]);
    // The search runs once the keys typed are handled: the figure includes that wait.
    while (window.search_pending()) QApplication::processEvents(QEventLoop::WaitForMoreEvents);
    list.grab();
    if (i >= 2) search.push_back(ms_since(t));
    if (i >= 2) searchPages += model.list().pager().pages_read();
  }
  window.search_field().clear();
  model.show({app::desktop::MailboxSelection::Kind::folder, folder, {}});

  // Scrolling the whole folder a screenful at a time.
  std::vector<double> frames;
  QScrollBar* bar = list.verticalScrollBar();
  list.grab();
  const int step = std::max(1, list.viewport()->height());
  for (int value = 0;; value += step) {
    t = Clock::now();
    // At the end of the rows read, the next page, as the view asks for it at its bottom.
    if (value > bar->maximum()) {
      if (!model.canFetchMore({})) break;
      model.fetchMore({});
    }
    bar->setValue(std::min(value, bar->maximum()));
    list.viewport()->grab();
    frames.push_back(ms_since(t));
  }
  const double scrolledRss = rss_kib() / 1024.0;
  std::printf("window_start_to_painted_list_ms %.1f\nwindow_rss_after_start_mib %.1f\n", start,
              startRss);
  std::printf("folder_rows %lld\nfolder_open_to_painted_ms %.1f\n", static_cast<long long>(rows),
              folderOpen);
  std::printf("j_to_painted_pane_ms median %.2f p99 %.2f max %.2f (n=%zu)\n", bench::median(keys),
              bench::percentile(keys, 0.99), bench::percentile(keys, 1.0), keys.size());
  std::printf(
      "search_key_to_painted_ms median %.2f max %.2f (keys 3..%zu of \"%s\", pages read %d)\n",
      bench::median(search), bench::percentile(search, 1.0), query.size(), query.c_str(),
      searchPages);
  std::printf("scroll_frame_ms median %.2f p99 %.2f max %.2f (frames=%zu, pages read %d)\n",
              bench::median(frames), bench::percentile(frames, 0.99),
              bench::percentile(frames, 1.0), frames.size(), model.list().pager().pages_read());
  std::printf("rss_mib folder_open %.1f after_full_scroll %.1f\n", folderRss, scrolledRss);
  return 0;
}
