#include "app/desktop/scheduled_view.h"

#include <QDateTime>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "app/core/service/email_scheduled_send_service.h"
#include "app/core/writing/reply_composer.h"
#include "app/desktop/ui_text.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

namespace {

QString status_text(store::ScheduledMessage::Status status) {
  using S = store::ScheduledMessage::Status;
  switch (status) {
    case S::pending:
      return ui_text("desktop.scheduled.status.pending");
    case S::sending:
      return ui_text("desktop.scheduled.status.sending");
    case S::sent:
      return ui_text("desktop.scheduled.status.sent");
    case S::failed:
      return ui_text("desktop.scheduled.status.failed");
  }
  return {};
}

}  // namespace

void ScheduledList::refresh() {
  rows_ = store::ScheduledMessageStore(database_).all();
  std::erase_if(rows_, [](const store::ScheduledMessage& m) {
    return m.status == store::ScheduledMessage::Status::sent;
  });
}

bool ScheduledList::cancel(const std::string& id) {
  const bool removed = EmailScheduledSendService::cancel(database_, id);
  refresh();
  return removed;
}

ScheduledView::ScheduledView(store::EmailDatabase& database, QWidget* parent)
    : QWidget(parent), list_(database) {
  setObjectName("scheduled");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  table_ = new QTreeWidget(this);
  table_->setObjectName("scheduledTable");
  table_->setRootIsDecorated(false);
  table_->setAlternatingRowColors(true);
  table_->setHeaderLabels({ui_text("desktop.scheduled.when"), ui_text("desktop.scheduled.to"),
                           ui_text("desktop.scheduled.subject"),
                           ui_text("desktop.scheduled.status")});
  table_->header()->setStretchLastSection(false);
  table_->header()->setSectionResizeMode(2, QHeaderView::Stretch);
  layout->addWidget(table_, 1);
  empty_ = new QLabel(ui_text("desktop.scheduled.empty"), this);
  empty_->setAlignment(Qt::AlignCenter);
  empty_->setForegroundRole(QPalette::Mid);
  layout->addWidget(empty_, 1);

  buttons_ = new QWidget(this);
  auto* row = new QHBoxLayout(buttons_);
  row->setContentsMargins(6, 4, 6, 6);
  auto* edit = new QPushButton(ui_text("desktop.scheduled.edit"), buttons_);
  edit->setObjectName("editScheduled");
  auto* cancel = new QPushButton(ui_text("desktop.scheduled.cancel"), buttons_);
  cancel->setObjectName("cancelScheduled");
  row->addWidget(edit);
  row->addStretch(1);
  row->addWidget(cancel);
  layout->addWidget(buttons_);
  connect(edit, &QPushButton::clicked, this, [this] {
    auto* item = table_->currentItem();
    if (item && onEdit) onEdit(item->data(0, Qt::UserRole).toString().toStdString());
  });
  connect(cancel, &QPushButton::clicked, this, [this] { cancel_selected(); });
  connect(table_, &QTreeWidget::itemActivated, edit, &QPushButton::click);
  refresh();
}

void ScheduledView::refresh() {
  const QTreeWidgetItem* current = table_->currentItem();
  const QString currentId = current ? current->data(0, Qt::UserRole).toString() : QString();
  list_.refresh();
  table_->clear();
  const QLocale locale;
  QTreeWidgetItem* again = nullptr;
  for (const auto& row : list_.rows()) {
    QString to;
    for (const auto& contact : row.to)
      to += (to.isEmpty() ? "" : ", ") + QString::fromStdString(contact.email);
    const QDateTime when = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(row.scheduledAt));
    QString status = status_text(row.status);
    if (row.errorMessage) status += ": " + QString::fromStdString(*row.errorMessage);
    auto* item = new QTreeWidgetItem(
        table_,
        {locale.toString(when, QLocale::ShortFormat), to,
         QString::fromStdString(row.subject.empty() ? localized("email.no.subject") : row.subject),
         status});
    const QString id = QString::fromStdString(row.id);
    item->setData(0, Qt::UserRole, id);
    if (id == currentId) again = item;
  }
  for (int c = 0; c < 4; ++c)
    if (c != 2) table_->resizeColumnToContents(c);
  if (!again && table_->topLevelItemCount() > 0) again = table_->topLevelItem(0);
  if (again) table_->setCurrentItem(again);
  const bool empty = list_.rows().empty();
  table_->setVisible(!empty);
  buttons_->setVisible(!empty);
  empty_->setVisible(empty);
}

void ScheduledView::cancel_selected(bool confirmed) {
  auto* item = table_->currentItem();
  if (!item) return;
  if (!confirmed && QMessageBox::question(this, ui_text("desktop.scheduled.cancel"),
                                          QString::fromStdString(localized_format(
                                              "desktop.scheduled.cancel_confirm",
                                              item->text(2).toStdString()))) != QMessageBox::Yes)
    return;
  list_.cancel(item->data(0, Qt::UserRole).toString().toStdString());
  refresh();
  if (onCancelled) onCancelled();
}

}  // namespace kestrova::app::desktop
