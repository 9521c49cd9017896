#include "app/desktop/follow_up_screens.h"

#include <QApplication>
#include <QListWidget>
#include <QPainter>
#include <cstdio>

#include "app/desktop/follow_up.h"
#include "app/desktop/follow_up_items.h"
#include "app/desktop/mailbox_view.h"
#include "app/desktop/main_window.h"
#include "app/desktop/settings/rules_page.h"
#include "app/desktop/snooze_picker.h"
#include "util/localization.h"
#include "util/time.h"

namespace kestrova::app::desktop {

bool show_view_named(MainWindow& window, const QString& name) {
  using Kind = MailboxSelection::Kind;
  MailboxSelection selection;
  if (name == "starred")
    selection.kind = Kind::starred;
  else if (name == "reply-later")
    selection.kind = Kind::replyLater;
  else if (name == "waiting-on")
    selection.kind = Kind::waitingOn;
  else if (name == "snoozed")
    selection.kind = Kind::snoozed;
  else if (name == "action-items")
    selection.kind = Kind::actionItems;
  else
    return false;
  return window.show_mailbox(selection);
}

void open_action_item(MainWindow& window, int row) {
  ActionItemsView& items = window.action_items_view();
  if (row < 0 || row >= items.items().rowCount()) return;
  items.setCurrentIndex(items.items().index(row));
  items.setFocus();
  if (items.onOpen) items.onOpen(items.items().row_at(row)->messageId);
  QApplication::processEvents();
}

QPixmap grab_with_snooze_picker(MainWindow& window) {
  QPixmap picture = window.grab();
  SnoozePicker picker(&window, QString::fromStdString(localized("desktop.action.snooze")),
                      now_seconds(), std::nullopt, {});
  picker.setAttribute(Qt::WA_DontShowOnScreen);
  picker.show();
  picker.choices().setCurrentRow(2);
  picker.adjustSize();
  QApplication::processEvents();
  const QPixmap dialog = picker.grab();
  QPainter p(&picture);
  p.fillRect(picture.rect(), QColor(0, 0, 0, 70));
  const QPoint at((picture.width() - dialog.width()) / 2, (picture.height() - dialog.height()) / 3);
  p.setPen(QPen(window.palette().color(QPalette::Mid), 1));
  p.drawRect(QRect(at, dialog.size()).adjusted(-1, -1, 0, 0));
  p.drawPixmap(at, dialog);
  p.end();
  return picture;
}

int capture_rules_page(store::EmailDatabase& database, UserPreferences& preferences,
                       const QString& size, const QString& file) {
  RulesPage page(database, preferences, nullptr);
  const QStringList wh = size.split('x');
  page.resize(wh.value(0).toInt(), wh.value(1).toInt());
  page.setAttribute(Qt::WA_DontShowOnScreen);
  page.show();
  if (!page.rule_ids().empty()) page.select_rule(0);
  page.update_preview();
  QApplication::processEvents();
  if (!page.grab().save(file)) {
    std::fprintf(stderr, "cannot write %s\n", file.toLocal8Bit().constData());
    return 1;
  }
  return 0;
}

}  // namespace kestrova::app::desktop
