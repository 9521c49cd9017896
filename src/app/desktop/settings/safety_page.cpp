#include "app/desktop/settings/safety_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/core/blocked_senders.h"
#include "app/core/user_preferences.h"
#include "app/desktop/settings/setting_controls.h"
#include "app/desktop/ui_text.h"
#include "safety/email_junk_filter_service.h"
#include "store/email_store.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

namespace {

std::vector<std::pair<Json, QString>> junk_actions() {
  std::vector<std::pair<Json, QString>> choices;
  for (const auto& [value, raw] : EnumRawValues<EmailJunkFilterAction>::cases)
    choices.emplace_back(Json(std::string(raw)),
                         ui_text("desktop.settings.junk_action." + std::string(raw)));
  return choices;
}

}  // namespace

SafetyPage::SafetyPage(store::EmailDatabase& database, SettingsEditor& editor, QWidget* parent)
    : QWidget(parent),
      editor_(editor),
      junk_(std::make_unique<safety::EmailJunkFilterService>(database)) {
  store::EmailStore mail(database, editor.preferences().defaults());
  mail.loadAccounts();
  accounts_ = mail.accounts();

  auto* page = new QVBoxLayout(this);
  page->addWidget(section_title(ui_text("desktop.settings.safety.junk"), this));
  page->addWidget(setting_check(editor, settings::emailJunkFilterEnabled.key,
                                "desktop.settings.safety.junk_on", this));
  auto* actions = new QFormLayout();
  actions->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
  actions->addRow(
      ui_text("desktop.settings.safety.junk_action"),
      setting_choice(editor, settings::emailJunkFilterAction.key, junk_actions(), this));
  page->addLayout(actions);

  page->addWidget(section_title(ui_text("desktop.settings.safety.blocked"), this));
  page->addWidget(setting_check(editor, settings::emailBlockedSenderFilterEnabled.key,
                                "desktop.settings.safety.blocked_on", this));
  auto* blockedAction = new QFormLayout();
  blockedAction->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
  blockedAction->addRow(
      ui_text("desktop.settings.safety.blocked_action"),
      setting_choice(editor, settings::emailBlockedSenderAction.key, junk_actions(), this));
  page->addLayout(blockedAction);

  list_ = new QTreeWidget(this);
  list_->setObjectName("blockedSenders");
  list_->setRootIsDecorated(false);
  list_->setHeaderLabels({ui_text("desktop.settings.safety.column_address"),
                          ui_text("desktop.settings.safety.column_account"),
                          ui_text("desktop.settings.safety.column_note")});
  list_->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  list_->setMinimumHeight(160);
  page->addWidget(list_);

  auto* row = new QHBoxLayout();
  address_ = new QLineEdit(this);
  address_->setObjectName("blockAddress");
  address_->setPlaceholderText(ui_text("desktop.settings.address_placeholder"));
  account_ = new QComboBox(this);
  account_->setObjectName("blockAccount");
  account_->addItem(ui_text("desktop.settings.safety.all_accounts"));
  for (const auto& a : accounts_) account_->addItem(QString::fromStdString(a.emailAddress));
  note_ = new QLineEdit(this);
  note_->setPlaceholderText(ui_text("desktop.settings.safety.note_placeholder"));
  auto* add = new QPushButton(ui_text("desktop.settings.safety.block"), this);
  add->setObjectName("blockButton");
  auto* remove = new QPushButton(ui_text("desktop.settings.safety.unblock"), this);
  row->addWidget(address_, 2);
  row->addWidget(account_, 1);
  row->addWidget(note_, 1);
  row->addWidget(add);
  row->addWidget(remove);
  page->addLayout(row);
  connect(add, &QPushButton::clicked, this, [this] { block(); });
  connect(address_, &QLineEdit::returnPressed, this, [this] { block(); });
  connect(remove, &QPushButton::clicked, this, [this] {
    if (auto* item = list_->currentItem()) unblock(list_->indexOfTopLevelItem(item));
  });
  page->addStretch(1);
  fill();
}

SafetyPage::~SafetyPage() = default;

bool SafetyPage::block() {
  std::vector<store::EmailAccount> chosen;
  const int index = account_->currentIndex();
  if (index <= 0)
    chosen = accounts_;
  else
    chosen.push_back(accounts_[static_cast<size_t>(index - 1)]);
  const std::string note = note_->text().trimmed().toStdString();
  try {
    block_sender(*junk_, chosen, address_->text().toStdString(),
                 note.empty() ? std::nullopt : std::optional(note));
  } catch (const std::exception& e) {
    editor_.refuse(e.what());
    return false;
  }
  editor_.refuse({});
  address_->clear();
  note_->clear();
  fill();
  return true;
}

void SafetyPage::unblock(int row) {
  if (row < 0 || row >= static_cast<int>(shownIds_.size())) return;
  if (!junk_->remove(shownIds_[static_cast<size_t>(row)]))
    editor_.refuse(
        localized_format("cli.block.remove_failed", shownIds_[static_cast<size_t>(row)]));
  fill();
}

void SafetyPage::fill() {
  list_->clear();
  shownIds_.clear();
  for (const auto& entry : junk_->list()) {
    QString account = QString::fromStdString(entry.accountId);
    for (const auto& a : accounts_)
      if (a.id == entry.accountId) account = QString::fromStdString(a.emailAddress);
    new QTreeWidgetItem(list_, {QString::fromStdString(entry.email), account,
                                QString::fromStdString(entry.note.value_or(""))});
    shownIds_.push_back(entry.id);
  }
}

}  // namespace kestrova::app::desktop
