#include "app/desktop/snooze_picker.h"

#include <QDateTime>
#include <QDateTimeEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QLocale>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/desktop/follow_up.h"
#include "app/desktop/ui_text.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

namespace {

QDateTime local(double at) { return QDateTime::fromSecsSinceEpoch(static_cast<qint64>(at)); }

// "Tue 08:00" within a week, the short date beyond.
QString when_text(double at, double now) {
  const QDateTime t = local(at);
  const QLocale locale;
  if (at - now < 6 * 86400)
    return locale.toString(t, "ddd " + locale.timeFormat(QLocale::ShortFormat));
  return locale.toString(t, "ddd ") + locale.toString(t, QLocale::ShortFormat);
}

}  // namespace

SnoozePicker::SnoozePicker(QWidget* parent, const QString& title, double now,
                           std::optional<double> current, const QString& removeText)
    : QDialog(parent), now_(now) {
  setObjectName("snoozePicker");
  setWindowTitle(title);
  auto* layout = new QVBoxLayout(this);
  QString headingText = title;
  if (headingText.endsWith(QChar(0x2026))) headingText.chop(1);  // the menu's "…"
  setWindowTitle(headingText);
  auto* heading = new QLabel(headingText, this);
  QFont font = heading->font();
  font.setBold(true);
  font.setPointSizeF(font.pointSizeF() * 1.1);
  heading->setFont(font);
  layout->addWidget(heading);
  if (current) {
    auto* now_label =
        new QLabel(QString::fromStdString(localized_format(
                       "desktop.followup.current",
                       QLocale().toString(local(*current), QLocale::ShortFormat).toStdString())),
                   this);
    now_label->setObjectName("currentMark");
    layout->addWidget(now_label);
  }

  list_ = new QListWidget(this);
  list_->setObjectName("choices");
  for (const auto& choice : follow_up_time_choices(now)) {
    auto* item = new QListWidgetItem(list_);
    const QString name = ui_text(choice.titleKey);
    item->setText(choice.time ? name + "\t" + when_text(*choice.time, now) : name);
    item->setData(Qt::UserRole, choice.time ? QVariant(*choice.time) : QVariant());
    item->setSizeHint(QSize(0, fontMetrics().height() + 14));
  }
  list_->setCurrentRow(0);
  list_->setFixedHeight(list_->count() * (fontMetrics().height() + 14) + 6);
  layout->addWidget(list_);

  // A date and time of one's own: tomorrow morning to begin with.
  auto* customRow = new QHBoxLayout();
  custom_ = new QDateTimeEdit(this);
  custom_->setObjectName("customTime");
  custom_->setCalendarPopup(true);
  custom_->setMinimumDateTime(local(now));
  const auto choices = follow_up_time_choices(now);
  custom_->setDateTime(local(choices.size() > 2 && choices[2].time ? *choices[2].time : now));
  custom_->setDisplayFormat(QLocale().dateTimeFormat(QLocale::ShortFormat));
  customButton_ = new QPushButton(ui_text("desktop.followup.set"), this);
  customRow->addWidget(custom_, 1);
  customRow->addWidget(customButton_);
  layout->addLayout(customRow);
  custom_->setEnabled(false);
  customButton_->setEnabled(false);

  auto* buttons = new QHBoxLayout();
  if (current) {
    auto* remove = new QPushButton(removeText, this);
    remove->setObjectName("removeMark");
    connect(remove, &QPushButton::clicked, this, [this] { take_remove(); });
    buttons->addWidget(remove);
  }
  buttons->addStretch(1);
  auto* cancel = new QPushButton(ui_text("desktop.cancel"), this);
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
  buttons->addWidget(cancel);
  layout->addLayout(buttons);

  connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
    const bool custom = row >= 0 && !list_->item(row)->data(Qt::UserRole).isValid();
    custom_->setEnabled(custom);
    customButton_->setEnabled(custom);
  });
  connect(list_, &QListWidget::itemActivated, this,
          [this](QListWidgetItem* item) { take_row(list_->row(item)); });
  connect(customButton_, &QPushButton::clicked, this,
          [this] { take_custom(static_cast<double>(custom_->dateTime().toSecsSinceEpoch())); });
  setMinimumWidth(340);
}

void SnoozePicker::take_row(int row) {
  if (row < 0 || row >= list_->count()) return;
  const QVariant time = list_->item(row)->data(Qt::UserRole);
  if (!time.isValid()) {  // the custom entry: its field takes over
    list_->setCurrentRow(row);
    custom_->setFocus();
    return;
  }
  chosen_ = time.toDouble();
  removes_ = false;
  accept();
}

void SnoozePicker::take_custom(double at) {
  if (at <= now_) return;
  chosen_ = at;
  removes_ = false;
  accept();
}

void SnoozePicker::take_remove() {
  chosen_.reset();
  removes_ = true;
  accept();
}

}  // namespace kestrova::app::desktop
