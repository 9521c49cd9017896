#include "app/desktop/settings/notifications_page.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <algorithm>

#include "app/core/user_preferences.h"
#include "app/desktop/settings/setting_controls.h"
#include "app/desktop/ui_text.h"
#include "util/text.h"

namespace kestrova::app::desktop {

NotificationsPage::NotificationsPage(SettingsEditor& editor, QWidget* parent)
    : QWidget(parent), editor_(editor) {
  auto* page = new QVBoxLayout(this);
  page->addWidget(section_title(ui_text("desktop.settings.notify.new_mail"), this));
  for (auto [key, text] :
       {std::pair{settings::emailNotificationsEnabled.key, "desktop.settings.notify.enabled"},
        {settings::emailNotifyVIPOnly.key, "desktop.settings.notify.vip_only"},
        {settings::emailNotifySoundEnabled.key, "desktop.settings.notify.sound"},
        {settings::emailNotifyPreviewEnabled.key, "desktop.settings.notify.preview"},
        {settings::emailNotifyBadgeEnabled.key, "desktop.settings.notify.badge"}})
    page->addWidget(setting_check(editor, key, text, this));

  page->addWidget(section_title(ui_text("desktop.settings.notify.vip"), this));
  page->addWidget(hint_label(ui_text("desktop.settings.notify.vip_hint"), this));
  vips_ = new QListWidget(this);
  vips_->setObjectName("vipSenders");
  vips_->setMaximumHeight(140);
  page->addWidget(vips_);
  auto* row = new QHBoxLayout();
  vipField_ = new QLineEdit(this);
  vipField_->setObjectName("vipField");
  vipField_->setPlaceholderText(ui_text("desktop.settings.address_placeholder"));
  auto* add = new QPushButton(ui_text("desktop.settings.add"), this);
  auto* remove = new QPushButton(ui_text("desktop.settings.remove"), this);
  row->addWidget(vipField_, 1);
  row->addWidget(add);
  row->addWidget(remove);
  page->addLayout(row);
  connect(add, &QPushButton::clicked, this, [this] { add_vip(); });
  connect(vipField_, &QLineEdit::returnPressed, this, [this] { add_vip(); });
  connect(remove, &QPushButton::clicked, this, [this] { remove_vip(vips_->currentRow()); });
  fill_vips();

  page->addWidget(section_title(ui_text("desktop.settings.notify.quiet"), this));
  page->addWidget(setting_check(editor, settings::emailDoNotDisturbEnabled.key,
                                "desktop.settings.notify.quiet_on", this));
  auto* hours = new QFormLayout();
  hours->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
  auto* from = setting_number(editor, settings::emailDoNotDisturbFrom.key, this);
  auto* to = setting_number(editor, settings::emailDoNotDisturbTo.key, this);
  for (QSpinBox* box : {from, to}) {
    box->setRange(0, 23);
    box->setSuffix(ui_text("desktop.settings.hour_suffix"));
  }
  hours->addRow(ui_text("desktop.settings.notify.quiet_from"), from);
  hours->addRow(ui_text("desktop.settings.notify.quiet_to"), to);
  page->addLayout(hours);

  page->addWidget(section_title(ui_text("desktop.settings.notify.follow_up"), this));
  page->addWidget(setting_check(editor, settings::followUpNotifyEnabled.key,
                                "desktop.settings.notify.follow_up_due", this));
  page->addWidget(setting_check(editor, settings::followUpAutoWaitingOnReply.key,
                                "desktop.settings.notify.follow_up_auto", this));
  auto* days = new QFormLayout();
  days->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
  auto* waiting = setting_number(editor, settings::followUpWaitingDays.key, this);
  waiting->setMinimum(1);
  waiting->setSuffix(ui_text("desktop.settings.days_suffix"));
  days->addRow(ui_text("desktop.settings.notify.follow_up_days"), waiting);
  page->addLayout(days);
  page->addStretch(1);
}

bool NotificationsPage::add_vip() {
  const std::string address = text::lower(text::trim(vipField_->text().toStdString()));
  if (address.empty()) return false;
  auto addresses = editor_.preferences().get(settings::emailVIPSenders);
  if (std::find(addresses.begin(), addresses.end(), address) != addresses.end()) return false;
  addresses.push_back(address);
  store_vips(std::move(addresses));
  vipField_->clear();
  return true;
}

void NotificationsPage::remove_vip(int row) {
  auto addresses = editor_.preferences().get(settings::emailVIPSenders);
  if (row < 0 || row >= static_cast<int>(addresses.size())) return;
  addresses.erase(addresses.begin() + row);
  store_vips(std::move(addresses));
}

void NotificationsPage::store_vips(std::vector<std::string> addresses) {
  editor_.set(settings::emailVIPSenders.key, Json(std::move(addresses)));
  fill_vips();
}

void NotificationsPage::fill_vips() {
  vips_->clear();
  for (const auto& address : editor_.preferences().get(settings::emailVIPSenders))
    vips_->addItem(QString::fromStdString(address));
}

}  // namespace kestrova::app::desktop
