#include "app/desktop/settings/signatures_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTextBrowser>
#include <QVBoxLayout>

#include "app/core/user_preferences.h"
#include "app/core/writing/email_signature_service.h"
#include "app/core/writing/email_signature_templates.h"
#include "app/desktop/settings/setting_controls.h"
#include "app/desktop/ui_text.h"
#include "store/email_store.h"
#include "util/localization.h"
#include "util/text.h"
#include "util/time.h"
#include "util/uuid.h"

namespace kestrova::app::desktop {

namespace {
QString q(const std::string& s) { return QString::fromStdString(s); }
}  // namespace

SignaturesPage::SignaturesPage(store::EmailDatabase& database, SettingsEditor& editor,
                               QWidget* parent)
    : QWidget(parent),
      editor_(editor),
      service_(std::make_unique<EmailSignatureService>(database)) {
  store::EmailStore mail(database, editor.preferences().defaults());
  mail.loadAccounts();
  accounts_ = mail.accounts();

  auto* page = new QVBoxLayout(this);
  page->addWidget(setting_check(editor, settings::emailAutoSignatureOnReplyEnabled.key,
                                "desktop.settings.signatures.on_reply", this));
  auto* top = new QFormLayout();
  account_ = new QComboBox(this);
  account_->setObjectName("signatureAccount");
  for (const auto& a : accounts_) account_->addItem(q(a.emailAddress));
  top->addRow(ui_text("desktop.settings.signatures.account"), account_);
  page->addLayout(top);
  if (accounts_.empty()) page->addWidget(hint_label(ui_text("cli.accounts.none"), this));

  auto* row = new QHBoxLayout();
  auto* left = new QVBoxLayout();
  list_ = new QListWidget(this);
  list_->setObjectName("signatures");
  list_->setMinimumWidth(200);
  left->addWidget(list_, 1);
  auto* newBlank = new QPushButton(ui_text("desktop.settings.signatures.new"), this);
  design_ = new QComboBox(this);
  design_->setObjectName("signatureDesign");
  for (const auto& d : email_signature_templates()) {
    design_->addItem(q(display_name(d)), q(std::string(d.id)));
    design_->setItemData(design_->count() - 1, q(display_description(d)), Qt::ToolTipRole);
  }
  auto* fromDesign = new QPushButton(ui_text("desktop.settings.signatures.from_design"), this);
  left->addWidget(newBlank);
  auto* designRow = new QHBoxLayout();
  designRow->addWidget(design_, 1);
  designRow->addWidget(fromDesign);
  left->addLayout(designRow);
  row->addLayout(left, 2);

  auto* right = new QVBoxLayout();
  auto* form = new QFormLayout();
  name_ = new QLineEdit(this);
  name_->setObjectName("signatureName");
  html_ = new QCheckBox(ui_text("desktop.settings.signatures.html"), this);
  form->addRow(ui_text("desktop.settings.signatures.name"), name_);
  form->addRow(QString(), html_);
  right->addLayout(form);
  content_ = new QPlainTextEdit(this);
  content_->setObjectName("signatureContent");
  content_->setMinimumHeight(120);
  right->addWidget(content_, 1);
  right->addWidget(new QLabel(ui_text("desktop.settings.signatures.preview"), this));
  preview_ = new QTextBrowser(this);
  preview_->setOpenLinks(false);
  preview_->setMinimumHeight(110);
  right->addWidget(preview_, 1);
  auto* buttons = new QHBoxLayout();
  auto* save = new QPushButton(ui_text("desktop.settings.save"), this);
  auto* makeDefault = new QPushButton(ui_text("desktop.settings.signatures.make_default"), this);
  auto* remove = new QPushButton(ui_text("desktop.settings.remove"), this);
  buttons->addWidget(save);
  buttons->addWidget(makeDefault);
  buttons->addStretch(1);
  buttons->addWidget(remove);
  right->addLayout(buttons);
  row->addLayout(right, 3);
  page->addLayout(row, 1);

  connect(account_, &QComboBox::currentIndexChanged, this, [this](int i) { choose_account(i); });
  connect(list_, &QListWidget::currentRowChanged, this, [this](int r) {
    if (r < 0) return;
    shown_ = list_->item(r)->data(Qt::UserRole).toString().toStdString();
    show_signature();
  });
  connect(newBlank, &QPushButton::clicked, this, [this] { add_signature({}); });
  connect(fromDesign, &QPushButton::clicked, this,
          [this] { add_signature(design_->currentData().toString().toStdString()); });
  connect(save, &QPushButton::clicked, this, [this] { save_signature(); });
  connect(makeDefault, &QPushButton::clicked, this, [this] { make_default(); });
  connect(remove, &QPushButton::clicked, this, [this] { remove_signature(); });
  connect(content_, &QPlainTextEdit::textChanged, this, [this] { show_preview(); });
  connect(html_, &QCheckBox::toggled, this, [this] { show_preview(); });
  choose_account(0);
}

SignaturesPage::~SignaturesPage() = default;

void SignaturesPage::choose_account(int index) {
  if (index < 0 || index >= static_cast<int>(accounts_.size())) return;
  if (account_->currentIndex() != index) account_->setCurrentIndex(index);
  shown_.clear();
  fill();
}

std::vector<store::EmailSignature> SignaturesPage::signatures() const {
  const int index = account_->currentIndex();
  if (index < 0 || index >= static_cast<int>(accounts_.size())) return {};
  return service_->signatures(accounts_[static_cast<size_t>(index)].id);
}

void SignaturesPage::fill() {
  const auto all = signatures();
  if (shown_.empty() && !all.empty()) shown_ = all.front().id;
  QSignalBlocker block(list_);
  list_->clear();
  for (const auto& s : all) {
    auto* item = new QListWidgetItem(q((s.isDefault ? "★ " : "") + s.name), list_);
    item->setData(Qt::UserRole, q(s.id));
    if (s.id == shown_) list_->setCurrentItem(item);
  }
  show_signature();
}

void SignaturesPage::show_signature() {
  const auto s = shown_.empty() ? std::nullopt : service_->signature(shown_);
  name_->setText(s ? q(s->name) : QString());
  html_->setChecked(s && s->isHtml);
  content_->setPlainText(s ? q(s->content) : QString());
  for (QWidget* w : std::initializer_list<QWidget*>{name_, html_, content_})
    w->setEnabled(s.has_value());
  show_preview();
}

void SignaturesPage::show_preview() {
  const int index = account_->currentIndex();
  if (index < 0 || index >= static_cast<int>(accounts_.size())) {
    preview_->clear();
    return;
  }
  store::EmailSignature s;
  s.content = content_->toPlainText().toStdString();
  s.isHtml = html_->isChecked();
  const std::string rendered = service_->render(s, accounts_[static_cast<size_t>(index)]);
  if (s.isHtml)
    preview_->setHtml(q(rendered));
  else
    preview_->setPlainText(q(rendered));
}

bool SignaturesPage::add_signature(const std::string& templateId) {
  const int index = account_->currentIndex();
  auto refuse = [this](const std::string& text) {
    editor_.refuse(text);
    return false;
  };
  if (index < 0 || index >= static_cast<int>(accounts_.size()))
    return refuse(localized("cli.accounts.none"));
  const auto& account = accounts_[static_cast<size_t>(index)];
  store::EmailSignature s;
  s.id = new_uuid();
  s.accountId = account.id;
  if (!templateId.empty()) {
    const auto* design = find_signature_template(templateId);
    if (!design) return refuse(localized_format("cli.signature.unknown_template", templateId));
    s.isHtml = design->isHtml;
    // The design's own placeholders stay: lines whose value is never filled in are dropped
    // when the signature is rendered.
    s.content = std::string(design->content);
    s.name = display_name(*design);
  } else {
    s.name = localized("desktop.settings.signatures.new_name");
    s.content = "--\n{{name}}\n{{email}}";
  }
  s.createdAt = s.updatedAt = now_seconds();
  s.isDefault = service_->signatures(account.id).empty();
  try {
    service_->save(s);
    if (s.isDefault) service_->setDefault(account.id, s.id);
  } catch (const std::exception& e) {
    return refuse(e.what());
  }
  editor_.refuse({});
  shown_ = s.id;
  fill();
  return true;
}

bool SignaturesPage::save_signature() {
  auto s = shown_.empty() ? std::nullopt : service_->signature(shown_);
  if (!s) return false;
  auto refuse = [this](const std::string& text) {
    editor_.refuse(text);
    return false;
  };
  const std::string name = text::trim(name_->text().toStdString());
  const std::string content = content_->toPlainText().toStdString();
  // The command line's refusals, in its words.
  if (name.empty()) return refuse(localized("cli.signature.name_needed"));
  if (text::trim(content).empty()) return refuse(localized("cli.signature.content_needed"));
  s->name = name;
  s->content = content;
  s->isHtml = html_->isChecked();
  s->updatedAt = now_seconds();
  try {
    service_->save(*s);
  } catch (const std::exception& e) {
    return refuse(e.what());
  }
  editor_.refuse({});
  fill();
  return true;
}

void SignaturesPage::remove_signature() {
  if (shown_.empty()) return;
  service_->remove(shown_);
  shown_.clear();
  fill();
}

void SignaturesPage::make_default() {
  const int index = account_->currentIndex();
  if (shown_.empty() || index < 0) return;
  service_->setDefault(accounts_[static_cast<size_t>(index)].id, shown_);
  fill();
}

}  // namespace kestrova::app::desktop
