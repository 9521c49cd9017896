#include "app/desktop/settings/settings_dialog.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <array>

#include "app/core/user_preferences.h"
#include "app/desktop/settings/agent_page.h"
#include "app/desktop/settings/ai_page.h"
#include "app/desktop/settings/notifications_page.h"
#include "app/desktop/settings/reading_page.h"
#include "app/desktop/settings/safety_page.h"
#include "app/desktop/settings/setting_controls.h"
#include "app/desktop/settings/signatures_page.h"
#include "app/desktop/ui_text.h"

namespace kestrova::app::desktop {

namespace {

constexpr int kIdRole = Qt::UserRole + 1;

// The order of the pages in the list, whoever adds them.
constexpr std::array<std::string_view, 8> kPageOrder{
    "accounts", "ai", "rules", "notifications", "signatures", "safety", "reading", "agent"};

int rank(const QString& id) {
  for (size_t i = 0; i < kPageOrder.size(); ++i)
    if (id.toStdString() == kPageOrder[i]) return static_cast<int>(i);
  return static_cast<int>(kPageOrder.size());
}

}  // namespace

SettingsDialog::SettingsDialog(store::EmailDatabase& database, UserPreferences& preferences,
                               QWidget* parent)
    : QDialog(parent), editor_(std::make_unique<SettingsEditor>(preferences)) {
  setObjectName("settingsDialog");
  setWindowTitle(ui_text("desktop.settings.title"));
  auto* outer = new QVBoxLayout(this);
  auto* row = new QHBoxLayout();
  list_ = new QListWidget(this);
  list_->setObjectName("settingsPages");
  list_->setFixedWidth(190);
  list_->setSpacing(2);
  stack_ = new QStackedWidget(this);
  row->addWidget(list_);
  row->addWidget(stack_, 1);
  outer->addLayout(row, 1);
  refusal_ = new QLabel(this);
  refusal_->setObjectName("settingsRefusal");
  refusal_->setWordWrap(true);
  QPalette p = refusal_->palette();
  p.setColor(QPalette::WindowText, QColor(0xc0, 0x39, 0x2b));
  refusal_->setPalette(p);
  refusal_->hide();
  outer->addWidget(refusal_);
  connect(list_, &QListWidget::currentRowChanged, this, [this](int r) {
    if (r >= 0) stack_->setCurrentWidget(list_->item(r)->data(kIdRole + 1).value<QWidget*>());
  });

  editor_->onChanged = [this](std::string_view key) {
    if (onSettingChanged) onSettingChanged(key);
  };
  editor_->onRefused = [this](const std::string& text) {
    refusal_->setText(QString::fromStdString(text));
    refusal_->setVisible(!text.empty());
  };

  add_page("ai", ui_text("desktop.settings.page.ai"), new AiPage(*editor_, this));
  add_page("notifications", ui_text("desktop.settings.page.notifications"),
           new NotificationsPage(*editor_, this));
  add_page("signatures", ui_text("desktop.settings.page.signatures"),
           new SignaturesPage(database, *editor_, this));
  add_page("safety", ui_text("desktop.settings.page.safety"),
           new SafetyPage(database, *editor_, this));
  add_page("reading", ui_text("desktop.settings.page.reading"), new ReadingPage(*editor_, this));
  add_page("agent", ui_text("desktop.settings.page.agent"), new AgentPage(*editor_, this));
  list_->setCurrentRow(0);
  // Room for the widest page, the rule editor beside its list, on a 1366×768 screen.
  resize(1060, 700);
}

SettingsDialog::~SettingsDialog() = default;

void SettingsDialog::add_page(const QString& id, const QString& title, QWidget* page) {
  for (int i = 0; i < list_->count(); ++i) {
    if (list_->item(i)->data(kIdRole).toString() != id) continue;
    QWidget* old = list_->item(i)->data(kIdRole + 1).value<QWidget*>();
    stack_->removeWidget(old);
    old->deleteLater();
    delete list_->takeItem(i);
    break;
  }
  // Long pages scroll; the page itself keeps its natural width.
  auto* scroll = new QScrollArea(stack_);
  scroll->setObjectName("page_" + id);
  scroll->setWidgetResizable(true);
  scroll->setFrameShape(QFrame::NoFrame);
  page->setParent(scroll);
  scroll->setWidget(page);
  stack_->addWidget(scroll);
  int at = 0;
  while (at < list_->count() && rank(list_->item(at)->data(kIdRole).toString()) <= rank(id)) ++at;
  auto* item = new QListWidgetItem(title);
  item->setData(kIdRole, id);
  item->setData(kIdRole + 1, QVariant::fromValue<QWidget*>(scroll));
  item->setSizeHint(QSize(0, 32));
  list_->insertItem(at, item);
}

bool SettingsDialog::show_page(const QString& id) {
  for (int i = 0; i < list_->count(); ++i)
    if (list_->item(i)->data(kIdRole).toString() == id) {
      list_->setCurrentRow(i);
      return true;
    }
  return false;
}

QString SettingsDialog::current_page() const {
  auto* item = list_->currentItem();
  return item ? item->data(kIdRole).toString() : QString();
}

QWidget* SettingsDialog::page(const QString& id) const {
  for (int i = 0; i < list_->count(); ++i)
    if (list_->item(i)->data(kIdRole).toString() == id)
      return static_cast<QScrollArea*>(list_->item(i)->data(kIdRole + 1).value<QWidget*>())
          ->widget();
  return nullptr;
}

QString SettingsDialog::refusal_text() const { return refusal_->text(); }

}  // namespace kestrova::app::desktop
