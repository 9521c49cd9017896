#include "app/desktop/scheduled_view.h"

#include <QDateTime>
#include <QDialogButtonBox>
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

ScheduledDialog::ScheduledDialog(store::EmailDatabase& database, QWidget* parent)
    : QDialog(parent), list_(database) {
  setObjectName("scheduled");
  setWindowTitle(ui_text("desktop.scheduled.title"));
  auto* layout = new QVBoxLayout(this);
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
  layout->addWidget(empty_);

  auto* buttons = new QDialogButtonBox(this);
  auto* edit = buttons->addButton(ui_text("desktop.scheduled.edit"), QDialogButtonBox::ActionRole);
  edit->setObjectName("editScheduled");
  auto* cancel =
      buttons->addButton(ui_text("desktop.scheduled.cancel"), QDialogButtonBox::DestructiveRole);
  cancel->setObjectName("cancelScheduled");
  buttons->addButton(QDialogButtonBox::Close);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(edit, &QPushButton::clicked, this, [this] {
    auto* item = table_->currentItem();
    if (!item || !onEdit) return;
    onEdit(item->data(0, Qt::UserRole).toString().toStdString());
    accept();
  });
  connect(cancel, &QPushButton::clicked, this, [this] { cancel_selected(); });
  connect(table_, &QTreeWidget::itemActivated, edit, &QPushButton::click);
  layout->addWidget(buttons);
  resize(760, 380);
  refresh();
}

void ScheduledDialog::refresh() {
  list_.refresh();
  table_->clear();
  const QLocale locale;
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
    item->setData(0, Qt::UserRole, QString::fromStdString(row.id));
  }
  for (int c = 0; c < 4; ++c)
    if (c != 2) table_->resizeColumnToContents(c);
  if (table_->topLevelItemCount() > 0) table_->setCurrentItem(table_->topLevelItem(0));
  table_->setVisible(!list_.rows().empty());
  empty_->setVisible(list_.rows().empty());
}

void ScheduledDialog::cancel_selected(bool confirmed) {
  auto* item = table_->currentItem();
  if (!item) return;
  if (!confirmed && QMessageBox::question(this, ui_text("desktop.scheduled.cancel"),
                                          QString::fromStdString(localized_format(
                                              "desktop.scheduled.cancel_confirm",
                                              item->text(2).toStdString()))) != QMessageBox::Yes)
    return;
  list_.cancel(item->data(0, Qt::UserRole).toString().toStdString());
  refresh();
}

}  // namespace kestrova::app::desktop
