#include "app/desktop/settings/rules_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/core/service/rule_server_move.h"
#include "app/desktop/ui_text.h"
#include "rules/email_rule_service.h"
#include "store/database.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app::desktop {

namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

// Mail in the trash and spam stays out of reach unless the rule names those folders, as
// for `kestrova rules apply`.
const rules::RuleApplicationStyle kStyle = rules::RuleApplicationStyle::commandLine();

// A yes / no / either choice: index 0 places no constraint (or does nothing).
std::optional<bool> tri_state(const QComboBox* box) {
  if (box->currentIndex() <= 0) return std::nullopt;
  return box->currentIndex() == 1;
}
void set_tri_state(QComboBox* box, std::optional<bool> value) {
  box->setCurrentIndex(value ? (*value ? 1 : 2) : 0);
}
QComboBox* tri_state_box(QWidget* parent, const char* name, std::string_view none,
                         std::string_view yes, std::string_view no) {
  auto* box = new QComboBox(parent);
  box->setObjectName(name);
  box->addItems({ui_text(none), ui_text(yes), ui_text(no)});
  return box;
}

std::optional<std::string> text_condition(const QLineEdit* edit) {
  std::string value = text::trim(edit->text().toStdString());
  if (value.empty()) return std::nullopt;
  return value;
}

std::optional<std::string> folder_choice(const QComboBox* box) {
  const QString id = box->currentData().toString();
  if (id.isEmpty()) return std::nullopt;
  return id.toStdString();
}
void set_folder_choice(QComboBox* box, const std::optional<std::string>& id) {
  const int index = id ? box->findData(q(*id)) : 0;
  box->setCurrentIndex(index < 0 ? 0 : index);
}

}  // namespace

RulesPage::RulesPage(store::EmailDatabase& database, UserPreferences&, QWidget* parent)
    : QWidget(parent),
      database_(database),
      service_(std::make_unique<rules::EmailRuleService>(
          database,
          [&database](rules::PendingRuleServerMove move) {
            start_rule_server_move(database, std::move(move));
          })),
      editing_(std::make_unique<rules::EmailRule>()) {
  setObjectName("rulesPage");
  confirm = [this](const QString& question) {
    return QMessageBox::question(this, ui_text("desktop.rules.title"), question) ==
           QMessageBox::Yes;
  };
  build();
  database_.read([&](store::Connection& c) {
    auto s = c.prepare(
        "SELECT id, display_name, email_address FROM email_accounts "
        "ORDER BY is_default DESC, created_at DESC");
    while (s.step()) {
      const std::string name = s.text(1).value_or(""), address = s.text(2).value_or("");
      account_->addItem(name.empty() ? q(address) : q(name + " <" + address + ">"),
                        q(s.text(0).value_or("")));
    }
  });
  if (account_->count() > 0) show_account(account_->itemData(0).toString().toStdString());
}

RulesPage::~RulesPage() = default;

void RulesPage::build() {
  auto* layout = new QVBoxLayout(this);
  auto* top = new QHBoxLayout();
  top->addWidget(new QLabel(ui_text("desktop.rules.account"), this));
  account_ = new QComboBox(this);
  account_->setObjectName("account");
  top->addWidget(account_, 1);
  layout->addLayout(top);

  auto* splitter = new QSplitter(this);
  layout->addWidget(splitter, 1);

  // The rules, in the order they run.
  auto* left = new QWidget(splitter);
  auto* leftLayout = new QVBoxLayout(left);
  leftLayout->setContentsMargins(0, 0, 0, 0);
  auto* order = new QLabel(ui_text("desktop.rules.order_hint"), left);
  order->setWordWrap(true);
  leftLayout->addWidget(order);
  list_ = new QListWidget(left);
  list_->setObjectName("rules");
  leftLayout->addWidget(list_, 1);
  auto* buttons = new QHBoxLayout();
  auto* add = new QPushButton(ui_text("desktop.rules.new"), left);
  add->setObjectName("newRule");
  up_ = new QPushButton("↑", left);
  up_->setToolTip(ui_text("desktop.rules.up"));
  down_ = new QPushButton("↓", left);
  down_->setToolTip(ui_text("desktop.rules.down"));
  remove_ = new QPushButton(ui_text("desktop.rules.delete"), left);
  remove_->setObjectName("deleteRule");
  // The arrows as narrow as their sign, so that the list leaves the editor its room.
  for (auto* arrow : {up_, down_})
    arrow->setFixedWidth(arrow->fontMetrics().horizontalAdvance(arrow->text()) + 24);
  for (auto* b : {add, up_, down_, remove_}) buttons->addWidget(b);
  leftLayout->addLayout(buttons);

  // The editor and its preview.
  auto* right = new QWidget(splitter);
  auto* rightLayout = new QVBoxLayout(right);
  rightLayout->setContentsMargins(0, 0, 0, 0);
  auto* nameRow = new QFormLayout();
  name_ = new QLineEdit(right);
  name_->setObjectName("name");
  nameRow->addRow(ui_text("desktop.rules.name"), name_);
  rightLayout->addLayout(nameRow);

  auto* editors = new QHBoxLayout();
  auto* conditions = new QGroupBox(ui_text("desktop.rules.conditions"), right);
  auto* conditionForm = new QFormLayout(conditions);
  from_ = new QLineEdit(conditions);
  from_->setObjectName("fromContains");
  subject_ = new QLineEdit(conditions);
  subject_->setObjectName("subjectContains");
  body_ = new QLineEdit(conditions);
  body_->setObjectName("bodyContains");
  attachments_ = tri_state_box(conditions, "hasAttachments", "desktop.rules.either",
                               "rules.condition.hasAttachments", "rules.condition.noAttachments");
  read_ = tri_state_box(conditions, "isRead", "desktop.rules.either", "rules.condition.read",
                        "rules.condition.unread");
  inFolder_ = new QComboBox(conditions);
  inFolder_->setObjectName("folderId");
  conditionForm->addRow(ui_text("desktop.rules.from"), from_);
  conditionForm->addRow(ui_text("desktop.rules.subject"), subject_);
  conditionForm->addRow(ui_text("desktop.rules.body"), body_);
  conditionForm->addRow(ui_text("desktop.rules.attachments"), attachments_);
  conditionForm->addRow(ui_text("desktop.rules.read_state"), read_);
  conditionForm->addRow(ui_text("desktop.rules.in_folder"), inFolder_);
  editors->addWidget(conditions);

  auto* actions = new QGroupBox(ui_text("desktop.rules.actions"), right);
  auto* actionForm = new QFormLayout(actions);
  markRead_ = tri_state_box(actions, "markAsRead", "desktop.rules.leave", "rules.action.markRead",
                            "rules.action.markUnread");
  important_ = new QCheckBox(ui_text("desktop.rules.important"), actions);
  important_->setObjectName("markAsImportant");
  // Short beside the other actions (the page must fit the settings window); the whole
  // sentence as its tooltip.
  spam_ = new QCheckBox(ui_text("desktop.rules.spam_short"), actions);
  spam_->setToolTip(ui_text("desktop.rules.spam"));
  spam_->setObjectName("markAsSpam");
  moveTo_ = new QComboBox(actions);
  moveTo_->setObjectName("moveToFolder");
  tags_ = new QLineEdit(actions);
  tags_->setObjectName("addTags");
  tags_->setPlaceholderText(ui_text("desktop.rules.tags_hint"));
  delete_ = new QCheckBox(ui_text("desktop.rules.delete_message"), actions);
  delete_->setObjectName("delete");
  actionForm->addRow(ui_text("desktop.rules.read_state"), markRead_);
  actionForm->addRow(QString(), important_);
  actionForm->addRow(QString(), spam_);
  actionForm->addRow(ui_text("desktop.rules.move_to"), moveTo_);
  actionForm->addRow(ui_text("desktop.rules.tags"), tags_);
  actionForm->addRow(QString(), delete_);
  editors->addWidget(actions);
  rightLayout->addLayout(editors);

  summary_ = new QLabel(right);
  summary_->setObjectName("summary");
  summary_->setWordWrap(true);
  summary_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  rightLayout->addWidget(summary_);

  auto* saveButton = new QPushButton(ui_text("desktop.rules.save"), right);
  saveButton->setObjectName("saveRule");
  saveButton->setDefault(true);
  auto* apply = new QPushButton(ui_text("desktop.rules.apply"), right);
  apply->setObjectName("applyRule");
  auto* saveRow = new QHBoxLayout();
  status_ = new QLabel(right);
  status_->setObjectName("status");
  status_->setWordWrap(true);
  saveRow->addWidget(status_, 1);
  saveRow->addWidget(apply);
  saveRow->addWidget(saveButton);
  rightLayout->addLayout(saveRow);

  previewTitle_ = new QLabel(right);
  previewTitle_->setObjectName("previewTitle");
  QFont bold = previewTitle_->font();
  bold.setBold(true);
  previewTitle_->setFont(bold);
  rightLayout->addWidget(previewTitle_);
  preview_ = new QTreeWidget(right);
  preview_->setObjectName("preview");
  preview_->setRootIsDecorated(false);
  preview_->setUniformRowHeights(true);
  preview_->setHeaderLabels({ui_text("desktop.rules.col_date"), ui_text("desktop.rules.col_from"),
                             ui_text("desktop.rules.col_subject")});
  preview_->header()->setStretchLastSection(true);
  preview_->setColumnWidth(0, 130);
  preview_->setColumnWidth(1, 180);
  rightLayout->addWidget(preview_, 1);
  splitter->setStretchFactor(0, 0);
  splitter->setStretchFactor(1, 1);
  splitter->setSizes({260, 640});

  previewTimer_ = new QTimer(this);
  previewTimer_->setSingleShot(true);
  connect(previewTimer_, &QTimer::timeout, this, [this] { update_preview(); });

  connect(account_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (!filling_ && index >= 0) show_account(account_->itemData(index).toString().toStdString());
  });
  connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
    if (!filling_) select_rule(row);
  });
  connect(list_, &QListWidget::itemChanged, this, [this](QListWidgetItem* item) {
    if (!filling_) set_enabled(list_->row(item), item->checkState() == Qt::Checked);
  });
  connect(add, &QPushButton::clicked, this, [this] { new_rule(); });
  connect(up_, &QPushButton::clicked, this, [this] { move_rule(list_->currentRow(), -1); });
  connect(down_, &QPushButton::clicked, this, [this] { move_rule(list_->currentRow(), 1); });
  connect(remove_, &QPushButton::clicked, this, [this] { delete_rule(list_->currentRow()); });
  connect(saveButton, &QPushButton::clicked, this, [this] { save(); });
  connect(apply, &QPushButton::clicked, this, [this] { apply_to_existing(); });
  for (auto* edit : {name_, from_, subject_, body_, tags_})
    connect(edit, &QLineEdit::textChanged, this, [this] { edited(); });
  for (auto* box : {attachments_, read_, inFolder_, markRead_, moveTo_})
    connect(box, &QComboBox::currentIndexChanged, this, [this] { edited(); });
  for (auto* check : {important_, spam_, delete_})
    connect(check, &QCheckBox::toggled, this, [this] { edited(); });
}

void RulesPage::fill_folders() {
  const auto folders = database_.read([&](store::Connection& c) {
    std::vector<std::pair<std::string, std::string>> out;
    auto s = c.prepare(
        "SELECT id, name FROM email_folders WHERE account_id = ? AND path NOT IN (?, ?) "
        "ORDER BY CASE type WHEN 'inbox' THEN 0 WHEN 'drafts' THEN 1 WHEN 'sent' THEN 2 "
        "WHEN 'archive' THEN 3 WHEN 'spam' THEN 4 WHEN 'trash' THEN 5 ELSE 6 END, name");
    s.bind_all(accountId_, "__LocalSent__", "__LocalDrafts__");
    while (s.step()) out.emplace_back(s.text(0).value_or(""), s.text(1).value_or(""));
    return out;
  });
  inFolder_->clear();
  moveTo_->clear();
  inFolder_->addItem(ui_text("desktop.rules.any_folder"), QString());
  moveTo_->addItem(ui_text("desktop.rules.no_move"), QString());
  for (const auto& [id, name] : folders) {
    inFolder_->addItem(q(name), q(id));
    moveTo_->addItem(q(name), q(id));
  }
}

void RulesPage::show_account(const std::string& accountId) {
  accountId_ = accountId;
  filling_ = true;
  const int index = account_->findData(q(accountId));
  if (index >= 0) account_->setCurrentIndex(index);
  fill_folders();
  filling_ = false;
  new_rule();
  reload();
  // An account with rules opens on its first one, not on an empty rule whose preview
  // would list every message.
  if (!ruleIds_.empty()) select_rule(0);
}

void RulesPage::reload() {
  const std::string keep = editing_->id;
  const auto stored = service_->rulesOf(accountId_);
  filling_ = true;
  list_->clear();
  ruleIds_.clear();
  int current = -1;
  for (const auto& rule : stored) {
    const std::string firstLine = rules::summary(rule);
    auto* item = new QListWidgetItem(list_);
    QString text = q(rule.name);
    if (!rule.isDecodable) text += "  ⚠ " + ui_text("desktop.rules.undecodable");
    item->setText(text);
    item->setToolTip(q(firstLine));
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(rule.isEnabled ? Qt::Checked : Qt::Unchecked);
    if (rule.id == keep) current = static_cast<int>(ruleIds_.size());
    ruleIds_.push_back(rule.id);
  }
  list_->setCurrentRow(current);
  filling_ = false;
  const bool chosen = current >= 0;
  up_->setEnabled(chosen && current > 0);
  down_->setEnabled(chosen && current + 1 < static_cast<int>(ruleIds_.size()));
  remove_->setEnabled(chosen);
}

void RulesPage::new_rule() {
  rules::EmailRule rule;
  rule.accountId = accountId_;
  show_rule(rule);
  filling_ = true;
  list_->setCurrentRow(-1);
  filling_ = false;
  up_->setEnabled(false);
  down_->setEnabled(false);
  remove_->setEnabled(false);
  name_->setFocus();
}

void RulesPage::select_rule(int row) {
  if (row < 0 || row >= static_cast<int>(ruleIds_.size())) return;
  const auto rule = service_->rule(ruleIds_[static_cast<size_t>(row)]);
  if (!rule) return reload();
  show_rule(*rule);
  filling_ = true;
  list_->setCurrentRow(row);
  filling_ = false;
  up_->setEnabled(row > 0);
  down_->setEnabled(row + 1 < static_cast<int>(ruleIds_.size()));
  remove_->setEnabled(true);
}

void RulesPage::show_rule(const rules::EmailRule& rule) {
  *editing_ = rule;
  filling_ = true;
  name_->setText(q(rule.name));
  const auto& c = rule.conditions;
  from_->setText(q(c.fromContains.value_or("")));
  subject_->setText(q(c.subjectContains.value_or("")));
  body_->setText(q(c.bodyContains.value_or("")));
  set_tri_state(attachments_, c.hasAttachments);
  set_tri_state(read_, c.isRead);
  set_folder_choice(inFolder_, c.folderId);
  const auto& a = rule.actions;
  set_tri_state(markRead_, a.markAsRead);
  important_->setChecked(a.markAsImportant.value_or(false));
  spam_->setChecked(a.markAsSpam.value_or(false));
  set_folder_choice(moveTo_, a.moveToFolder);
  QStringList tags;
  for (const auto& tag : a.addTags.value_or(std::vector<std::string>{})) tags << q(tag);
  tags_->setText(tags.join(", "));
  delete_->setChecked(a.deleteMessage.value_or(false));
  filling_ = false;
  status_->clear();
  edited();
}

rules::EmailRule RulesPage::edited_rule() const {
  rules::EmailRule rule = *editing_;
  rule.accountId = accountId_;
  rule.name = text::trim(name_->text().toStdString());
  rule.conditions = {};
  rule.conditions.fromContains = text_condition(from_);
  rule.conditions.subjectContains = text_condition(subject_);
  rule.conditions.bodyContains = text_condition(body_);
  rule.conditions.hasAttachments = tri_state(attachments_);
  rule.conditions.isRead = tri_state(read_);
  rule.conditions.folderId = folder_choice(inFolder_);
  rule.actions = {};
  rule.actions.markAsRead = tri_state(markRead_);
  if (important_->isChecked()) rule.actions.markAsImportant = true;
  if (spam_->isChecked()) rule.actions.markAsSpam = true;
  rule.actions.moveToFolder = folder_choice(moveTo_);
  std::vector<std::string> tags;
  for (const QString& tag : tags_->text().split(',')) {
    std::string trimmed = text::trim(tag.toStdString());
    if (!trimmed.empty() && std::find(tags.begin(), tags.end(), trimmed) == tags.end())
      tags.push_back(std::move(trimmed));
  }
  if (!tags.empty()) rule.actions.addTags = std::move(tags);
  if (delete_->isChecked()) rule.actions.deleteMessage = true;
  // What the editor shows is what the rule means: it can be read back.
  rule.isDecodable = true;
  return rule;
}

void RulesPage::edited() {
  if (filling_) return;
  rules::EmailRule rule = edited_rule();
  if (rule.name.empty()) rule.name = localized("desktop.rules.unnamed");
  const std::string text = rules::summary(rule);
  summary_->setText(q(text.substr(text.find('\n') + 1)));
  previewTimer_->start(kPreviewPauseMilliseconds);
}

void RulesPage::update_preview() {
  previewTimer_->stop();
  if (accountId_.empty()) return;
  const auto preview = service_->preview(edited_rule());
  previewCount_ = static_cast<int>(preview.items.size());
  preview_->clear();
  QList<QTreeWidgetItem*> rows;
  const QLocale locale;
  for (const auto& item : preview.items) {
    if (rows.size() >= kPreviewRows) break;
    const QString date =
        item.date ? locale.toString(QDateTime::fromSecsSinceEpoch(static_cast<qint64>(*item.date)),
                                    QLocale::ShortFormat)
                  : QString();
    auto* row = new QTreeWidgetItem({date, q(item.from), q(item.subject)});
    row->setData(0, Qt::UserRole, q(item.id));
    rows << row;
  }
  preview_->addTopLevelItems(rows);
  std::string title = localized_format("desktop.rules.preview_count", previewCount_);
  if (previewCount_ > kPreviewRows)
    title += " " + localized_format("desktop.rules.preview_shown", kPreviewRows);
  previewTitle_->setText(q(title));
}

QStringList RulesPage::preview_subjects() const {
  QStringList out;
  for (int i = 0; i < preview_->topLevelItemCount(); ++i) out << preview_->topLevelItem(i)->text(2);
  return out;
}

QString RulesPage::status_text() const { return status_->text(); }

bool RulesPage::save() {
  rules::EmailRule rule = edited_rule();
  if (rule.name.empty()) {
    status_->setText(ui_text("cli.rules.name_empty"));
    name_->setFocus();
    return false;
  }
  const double now = now_seconds();
  if (rule.id.empty()) {
    rule.id = new_uuid();
    rule.createdAt = now;
    rule.isEnabled = true;
  }
  rule.updatedAt = now;
  try {
    service_->save(rule);
  } catch (const std::exception& e) {
    status_->setText(q(e.what()));
    return false;
  }
  *editing_ = rule;
  reload();
  status_->setText(q(localized_format("desktop.rules.saved", rule.name)));
  return true;
}

std::optional<size_t> RulesPage::apply_to_existing() {
  // A stored rule whose text could not be read shows empty fields: applied as shown, empty
  // conditions would mean every message. Saving what the editor shows comes first.
  if (!editing_->isDecodable) {
    status_->setText(ui_text("desktop.rules.save_first"));
    return std::nullopt;
  }
  rules::EmailRule rule = edited_rule();
  if (rule.name.empty()) rule.name = localized("desktop.rules.unnamed");
  try {
    const auto dry = service_->apply(rule, rules::kMaxRuleScan, true, kStyle);
    if (dry.changedCount == 0) {
      status_->setText(q(localized_format("desktop.rules.nothing_to_change", dry.matchedCount)));
      return size_t{0};
    }
    if (!confirm(q(localized_format("desktop.rules.confirm_apply", rule.name,
                                    static_cast<int64_t>(dry.changedCount)))))
      return std::nullopt;
    const auto result = service_->apply(rule, rules::kMaxRuleScan, false, kStyle);
    status_->setText(
        q(localized_format("desktop.rules.applied", static_cast<int64_t>(result.changedCount))));
    update_preview();
    return result.changedCount;
  } catch (const std::exception& e) {
    status_->setText(q(e.what()));
    return std::nullopt;
  }
}

void RulesPage::set_enabled(int row, bool enabled) {
  if (row < 0 || row >= static_cast<int>(ruleIds_.size())) return;
  service_->setEnabled(ruleIds_[static_cast<size_t>(row)], enabled);
  if (editing_->id == ruleIds_[static_cast<size_t>(row)]) editing_->isEnabled = enabled;
  reload();
}

void RulesPage::move_rule(int row, int delta) {
  const int other = row + delta;
  const int count = static_cast<int>(ruleIds_.size());
  if (row < 0 || row >= count || other < 0 || other >= count) return;
  auto a = service_->rule(ruleIds_[static_cast<size_t>(row)]);
  auto b = service_->rule(ruleIds_[static_cast<size_t>(other)]);
  if (!a || !b) return reload();
  // Rules run newest first: trading creation times trades places. Equal times are first
  // set apart so that the trade changes the order.
  if (a->createdAt == b->createdAt) b->createdAt += delta < 0 ? 0.001 : -0.001;
  std::swap(a->createdAt, b->createdAt);
  const double now = now_seconds();
  a->updatedAt = b->updatedAt = now;
  database_.write([&](store::Connection&) {
    service_->save(*a);
    service_->save(*b);
  });
  reload();
  select_rule(other);
}

void RulesPage::delete_rule(int row) {
  if (row < 0 || row >= static_cast<int>(ruleIds_.size())) return;
  const auto rule = service_->rule(ruleIds_[static_cast<size_t>(row)]);
  if (!rule) return reload();
  if (!confirm(q(localized_format("desktop.rules.confirm_delete", rule->name)))) return;
  service_->remove(rule->id);
  status_->setText(q(localized_format("cli.rules.removed", rule->name)));
  new_rule();
  reload();
}

}  // namespace kestrova::app::desktop
