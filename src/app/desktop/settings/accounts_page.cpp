#include "app/desktop/settings/accounts_page.h"

#include <QAbstractTextDocumentLayout>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTextEdit>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

#include "app/core/mailbox/account_book.h"
#include "app/core/mailbox/account_setup.h"
#include "app/core/user_preferences.h"
#include "app/desktop/ui_text.h"
#include "mail/email_provider_catalog.h"
#include "store/database.h"
#include "store/email_enums.h"
#include "store/email_store.h"
#include "util/localization.h"
#include "util/time.h"

namespace kestrova::app::desktop {

namespace {

using store::EmailEncryption;
using store::EmailServiceType;

QString q(const std::string& text) { return QString::fromStdString(text); }

QString provider_name(EmailServiceType type) {
  const auto& brand = mail::EmailProviderCatalog::brand(type);
  if (auto key = mail::EmailProviderCatalog::nameKey(type)) return q(localized(*key));
  return q(brand.displayName);
}

// Who the browser sign-in goes through.
std::string browser_provider_name(EmailServiceType type) {
  return type == EmailServiceType::gmail ? "Google" : "Microsoft";
}

constexpr EmailEncryption kEncryptions[] = {EmailEncryption::ssl, EmailEncryption::startTLS,
                                            EmailEncryption::none};

QComboBox* encryption_box(QWidget* parent) {
  auto* box = new QComboBox(parent);
  box->addItem(ui_text("desktop.accounts.encryption.ssl"));
  box->addItem(ui_text("desktop.accounts.encryption.starttls"));
  box->addItem(ui_text("desktop.accounts.encryption.none"));
  return box;
}

int encryption_index(EmailEncryption encryption) {
  for (int i = 0; i < 3; ++i)
    if (kEncryptions[i] == encryption) return i;
  return 0;
}

QString server_line(const std::string& host, int port, EmailEncryption encryption) {
  const char* keys[] = {"desktop.accounts.encryption.ssl", "desktop.accounts.encryption.starttls",
                        "desktop.accounts.encryption.none"};
  return q(host) + ":" + QString::number(port) + " · " +
         ui_text(keys[encryption_index(encryption)]);
}

// The larger bold type of a page's or an account's title.
QFont heading_font(QFont font) {
  font.setPointSizeF(font.pointSizeF() * 1.25);
  font.setBold(true);
  return font;
}

QLabel* heading(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setFont(heading_font(label->font()));
  return label;
}

}  // namespace

// Read-only text for the details column: it wraps inside a long address or host name when
// the column is narrower (a label would only break between words and widen the page), is
// as tall as its lines, and copies exactly what it shows.
class WrappingText : public QTextEdit {
 public:
  explicit WrappingText(QWidget* parent) : QTextEdit(parent) {
    setReadOnly(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    viewport()->setAutoFillBackground(false);
    setStyleSheet("background: transparent;");
    document()->setDocumentMargin(0);
    connect(
        document()->documentLayout(), &QAbstractTextDocumentLayout::documentSizeChanged, this,
        [this](const QSizeF& size) { setFixedHeight(static_cast<int>(std::ceil(size.height()))); });
  }
  void show_text(const QString& text) { setPlainText(text); }
  QSize minimumSizeHint() const override { return {40, height()}; }
  QSize sizeHint() const override { return {200, height()}; }
};

// A wrapping label as tall as its text at the width it was given. A form row asks a label
// for its height at a guessed width (several lines for one sentence); this one answers for
// its real width once it has one.
class FittingLabel : public QLabel {
 public:
  explicit FittingLabel(QWidget* parent) : QLabel(parent) { setWordWrap(true); }
  QSize sizeHint() const override {
    const QSize guess = QLabel::sizeHint();
    return width() > 0 ? QSize(guess.width(), heightForWidth(width())) : guess;
  }
  QSize minimumSizeHint() const override {
    return {QLabel::minimumSizeHint().width(), sizeHint().height()};
  }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QLabel::resizeEvent(event);
    if (height() != heightForWidth(width())) updateGeometry();
  }
};

// ---- ConnectionStagesView ----

ConnectionStagesView::ConnectionStagesView(QWidget* parent) : QWidget(parent) {
  rows_ = new QVBoxLayout(this);
  rows_->setContentsMargins(0, 0, 0, 0);
  rows_->setSpacing(4);
  setObjectName("connectionStages");
}

void ConnectionStagesView::show_stages(const std::vector<StageView>& stages,
                                       const QString& summary) {
  while (QLayoutItem* item = rows_->takeAt(0)) {
    delete item->widget();
    delete item;
  }
  for (size_t i = 0; i < stages.size(); ++i) {
    const StageView& stage = stages[i];
    auto* row = new QWidget(this);
    row->setObjectName(QString("stage%1").arg(i));
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    const char* mark = "○";
    QString detail = stage.detail;
    QString colour = palette().color(QPalette::Mid).name();
    switch (stage.state) {
      case StageView::State::waiting:
        detail = ui_text("desktop.accounts.stage.waiting");
        break;
      case StageView::State::testing:
        mark = "◐";
        detail = ui_text("desktop.accounts.stage.testing");
        break;
      case StageView::State::passed:
        mark = "✓";
        colour = "#1a7f37";
        break;
      case StageView::State::failed:
        mark = "✗";
        colour = "#c62828";
        break;
    }
    auto* markLabel = new QLabel(mark, row);
    markLabel->setStyleSheet("color: " + colour + "; font-weight: bold;");
    markLabel->setAlignment(Qt::AlignTop);
    markLabel->setFixedWidth(18);
    auto* text =
        new QLabel("<b>" + stage.name.toHtmlEscaped() + "</b><br>" + detail.toHtmlEscaped(), row);
    text->setObjectName("stageText");
    text->setWordWrap(true);
    text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    line->addWidget(markLabel);
    line->addWidget(text, 1);
    if (stage.refusedFingerprint && onTrust) {
      auto* trust = new QPushButton(ui_text("desktop.accounts.trust_certificate"), row);
      trust->setObjectName("trustRefused");
      const bool imap = i == 0;
      const QString fingerprint = q(*stage.refusedFingerprint);
      connect(trust, &QPushButton::clicked, this,
              [this, imap, fingerprint] { onTrust(imap, fingerprint); });
      line->addWidget(trust, 0, Qt::AlignTop);
    }
    rows_->addWidget(row);
  }
  if (!summary.isEmpty()) {
    auto* label = wrapped_label(summary, this);
    label->setObjectName("stageSummary");
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    rows_->addWidget(label);
  }
}

// ---- AccountForm ----

AccountForm::AccountForm(AccountBook& book, UserPreferences& preferences, QWidget* parent)
    : QWidget(parent), draft_(std::make_unique<AccountDraft>(book, preferences)) {
  auto* layout = new QVBoxLayout(this);
  title_ = heading({}, this);
  title_->setObjectName("formTitle");
  intro_ = wrapped_label({}, this);
  layout->addWidget(title_);
  layout->addWidget(intro_);

  auto* form = fields_ = new QFormLayout;
  address_ = new QLineEdit(this);
  address_->setObjectName("address");
  address_->setPlaceholderText("name@example.com");
  name_ = new QLineEdit(this);
  name_->setObjectName("displayName");
  name_->setPlaceholderText(ui_text("desktop.accounts.name_placeholder"));
  provider_ = new QComboBox(this);
  provider_->setObjectName("provider");
  for (const auto& brand : mail::EmailProviderCatalog::brands())
    provider_->addItem(provider_name(brand.id), static_cast<int>(brand.id));
  providerHelp_ = new FittingLabel(this);
  providerHelp_->setObjectName("providerHelp");
  providerHelp_->setWordWrap(true);
  providerHelp_->setOpenExternalLinks(true);
  providerHelp_->setTextFormat(Qt::RichText);

  signInChoice_ = new QWidget(this);
  auto* choice = new QHBoxLayout(signInChoice_);
  choice->setContentsMargins(0, 0, 0, 0);
  usePassword_ = new QRadioButton(ui_text("desktop.accounts.use_password"), signInChoice_);
  usePassword_->setObjectName("usePassword");
  useBrowser_ = new QRadioButton(signInChoice_);
  useBrowser_->setObjectName("useBrowser");
  usePassword_->setChecked(true);
  choice->addWidget(usePassword_);
  choice->addWidget(useBrowser_);
  choice->addStretch();

  passwordRow_ = new QWidget(this);
  auto* passwordLine = new QHBoxLayout(passwordRow_);
  passwordLine->setContentsMargins(0, 0, 0, 0);
  password_ = new QLineEdit(passwordRow_);
  password_->setObjectName("password");
  password_->setEchoMode(QLineEdit::Password);
  passwordLine->addWidget(password_);

  browserRow_ = new QWidget(this);
  auto* browserLine = new QVBoxLayout(browserRow_);
  browserLine->setContentsMargins(0, 0, 0, 0);
  signInButton_ = new QPushButton(browserRow_);
  signInButton_->setObjectName("signIn");
  signInState_ = new QLabel(browserRow_);
  signInState_->setObjectName("signInState");
  signInState_->setWordWrap(true);
  signInState_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  browserLine->addWidget(signInButton_, 0, Qt::AlignLeft);
  browserLine->addWidget(signInState_);

  form->addRow(ui_text("desktop.accounts.address"), address_);
  form->addRow(ui_text("desktop.accounts.name"), name_);
  form->addRow(ui_text("desktop.accounts.provider"), provider_);
  form->addRow(QString(), providerHelp_);
  form->addRow(ui_text("desktop.accounts.sign_in"), signInChoice_);
  form->addRow(ui_text("desktop.accounts.password"), passwordRow_);
  form->addRow(QString(), browserRow_);
  layout->addLayout(form);

  servers_ = new QGroupBox(ui_text("desktop.accounts.servers"), this);
  servers_->setObjectName("servers");
  servers_->setCheckable(true);
  servers_->setChecked(false);
  auto* grid = new QFormLayout(servers_);
  auto server_row = [&](QLineEdit*& host, QSpinBox*& port, QComboBox*& encryption,
                        const QString& name) {
    auto* row = new QWidget(servers_);
    auto* line = new QHBoxLayout(row);
    line->setContentsMargins(0, 0, 0, 0);
    host = new QLineEdit(row);
    host->setObjectName(name + "Host");
    port = new QSpinBox(row);
    port->setObjectName(name + "Port");
    port->setRange(1, 65535);
    encryption = encryption_box(row);
    encryption->setObjectName(name + "Encryption");
    line->addWidget(host, 1);
    line->addWidget(port);
    line->addWidget(encryption);
    return row;
  };
  grid->addRow(ui_text("desktop.accounts.imap_server"),
               server_row(imapHost_, imapPort_, imapEncryption_, "imap"));
  grid->addRow(ui_text("desktop.accounts.smtp_server"),
               server_row(smtpHost_, smtpPort_, smtpEncryption_, "smtp"));
  imapCertificate_ = new QLineEdit(servers_);
  imapCertificate_->setObjectName("imapCertificate");
  imapCertificate_->setPlaceholderText(ui_text("desktop.accounts.certificate_placeholder"));
  smtpCertificate_ = new QLineEdit(servers_);
  smtpCertificate_->setObjectName("smtpCertificate");
  smtpCertificate_->setPlaceholderText(ui_text("desktop.accounts.certificate_placeholder"));
  grid->addRow(ui_text("desktop.accounts.imap_certificate"), imapCertificate_);
  grid->addRow(ui_text("desktop.accounts.smtp_certificate"), smtpCertificate_);
  layout->addWidget(servers_);

  stages_ = new ConnectionStagesView(this);
  stages_->onTrust = [this](bool imap, const QString& fingerprint) {
    servers_->setChecked(true);
    (imap ? imapCertificate_ : smtpCertificate_)->setText(fingerprint);
  };
  layout->addWidget(stages_);
  problem_ = wrapped_label({}, this);
  problem_->setObjectName("problem");
  problem_->setStyleSheet("color: #c62828;");
  layout->addWidget(problem_);

  auto* buttons = new QHBoxLayout;
  testButton_ = new QPushButton(ui_text("desktop.accounts.test"), this);
  testButton_->setObjectName("testConnection");
  addButton_ = new QPushButton(ui_text("desktop.accounts.add"), this);
  addButton_->setObjectName("addAccount");
  addButton_->setDefault(true);
  auto* cancel = new QPushButton(ui_text("desktop.accounts.cancel"), this);
  cancel->setObjectName("cancel");
  buttons->addStretch();
  buttons->addWidget(cancel);
  buttons->addWidget(testButton_);
  buttons->addWidget(addButton_);
  layout->addLayout(buttons);
  layout->addStretch();

  connect(address_, &QLineEdit::textEdited, this, [this] { address_edited(); });
  connect(name_, &QLineEdit::textEdited, this, [this](const QString& text) {
    draft_->account().displayName = text.trimmed().toStdString();
  });
  connect(provider_, &QComboBox::activated, this, [this](int index) { provider_chosen(index); });
  connect(password_, &QLineEdit::textChanged, this,
          [this](const QString& text) { draft_->set_password(text); });
  for (QLineEdit* field : {imapHost_, smtpHost_})
    connect(field, &QLineEdit::textChanged, this, [this] { servers_edited(); });
  for (QSpinBox* field : {imapPort_, smtpPort_})
    connect(field, &QSpinBox::valueChanged, this, [this] { servers_edited(); });
  for (QComboBox* field : {imapEncryption_, smtpEncryption_})
    connect(field, &QComboBox::currentIndexChanged, this, [this] { servers_edited(); });
  connect(imapCertificate_, &QLineEdit::textChanged, this,
          [this](const QString& text) { draft_->set_certificate(true, text); });
  connect(smtpCertificate_, &QLineEdit::textChanged, this,
          [this](const QString& text) { draft_->set_certificate(false, text); });
  connect(usePassword_, &QRadioButton::toggled, this, [this] { update_sign_in_choice(); });
  connect(signInButton_, &QPushButton::clicked, this, [this] { sign_in(); });
  connect(testButton_, &QPushButton::clicked, this, [this] { test(false); });
  connect(addButton_, &QPushButton::clicked, this, [this] { test(true); });
  connect(cancel, &QPushButton::clicked, this, [this] {
    draft_->cancel_sign_in();
    if (onCancelled) onCancelled();
  });

  draft_->onStagesChanged = [this] { show_stages(); };
  draft_->onTestFinished = [this](bool) {
    testButton_->setEnabled(true);
    addButton_->setEnabled(true);
    problem_->setText(draft_->problem());
  };
  draft_->onSaved = [this](const QString& id) {
    if (onSaved) onSaved(id);
  };
  draft_->onSignInFinished = [this](bool, const QString& message) {
    signInButton_->setEnabled(true);
    signInState_->setText(message);
  };
  clear();
}

AccountForm::~AccountForm() = default;

void AccountForm::clear() {
  draft_->reset();
  for (QLineEdit* field : {address_, name_, password_, imapCertificate_, smtpCertificate_})
    field->clear();
  servers_->setChecked(false);
  usePassword_->setChecked(true);
  signInState_->clear();
  problem_->clear();
  fill_servers_from_draft();
  show_mode();
  show_stages();
}

void AccountForm::edit(const store::EmailAccount& account) {
  clear();
  draft_->edit(account);
  address_->setText(q(account.emailAddress));
  name_->setText(q(account.displayName));
  for (QLineEdit* field : {address_, name_}) field->setCursorPosition(0);
  servers_->setChecked(true);
  fill_servers_from_draft();
  show_mode();
}

// The texts that differ between adding an account and changing a stored one.
void AccountForm::show_mode() {
  const bool editing = draft_->editing();
  title_->setText(ui_text(editing ? "desktop.accounts.edit_title" : "desktop.accounts.add_title"));
  intro_->setText(ui_text(editing ? "desktop.accounts.edit_intro" : "desktop.accounts.add_intro"));
  addButton_->setText(ui_text(editing ? "desktop.accounts.save" : "desktop.accounts.add"));
  password_->setPlaceholderText(editing ? ui_text("desktop.accounts.password_keep") : QString());
  for (QLineEdit* field : {imapCertificate_, smtpCertificate_})
    field->setPlaceholderText(ui_text(editing ? "desktop.accounts.certificate_keep"
                                              : "desktop.accounts.certificate_placeholder"));
}

void AccountForm::address_edited() {
  draft_->set_address(address_->text());
  // A provider without presets: the servers are the user's to enter.
  if (draft_->account().serviceType == EmailServiceType::custom) servers_->setChecked(true);
  fill_servers_from_draft();
}

void AccountForm::provider_chosen(int index) {
  const auto type = static_cast<EmailServiceType>(provider_->itemData(index).toInt());
  if (draft_->choose_provider(type)) servers_->setChecked(true);
  fill_servers_from_draft();
}

void AccountForm::fill_servers_from_draft() {
  filling_ = true;
  const auto& account = draft_->account();
  provider_->setCurrentIndex(provider_->findData(static_cast<int>(account.serviceType)));
  imapHost_->setText(q(account.imapHost));
  imapPort_->setValue(account.imapPort);
  imapEncryption_->setCurrentIndex(encryption_index(account.imapEncryption));
  smtpHost_->setText(q(account.smtpHost));
  smtpPort_->setValue(account.smtpPort);
  smtpEncryption_->setCurrentIndex(encryption_index(account.smtpEncryption));
  // Long host names show their start, as typed.
  for (QLineEdit* field : {imapHost_, smtpHost_}) field->setCursorPosition(0);
  filling_ = false;
  update_provider_help();
  update_sign_in_choice();
}

void AccountForm::servers_edited() {
  if (filling_) return;
  auto& account = draft_->account();
  account.imapHost = imapHost_->text().trimmed().toStdString();
  account.imapPort = imapPort_->value();
  account.imapEncryption = kEncryptions[std::max(0, imapEncryption_->currentIndex())];
  account.smtpHost = smtpHost_->text().trimmed().toStdString();
  account.smtpPort = smtpPort_->value();
  account.smtpEncryption = kEncryptions[std::max(0, smtpEncryption_->currentIndex())];
}

void AccountForm::update_provider_help() {
  const auto& brand = mail::EmailProviderCatalog::brand(draft_->account().serviceType);
  QString help = q(localized(brand.summary)).toHtmlEscaped();
  if (brand.appPasswordURL)
    help += QString(" <a href=\"%1\">%2</a>")
                .arg(q(*brand.appPasswordURL).toHtmlEscaped(),
                     ui_text("desktop.accounts.app_password_link").toHtmlEscaped());
  providerHelp_->setText(help);
}

void AccountForm::update_sign_in_choice() {
  const auto type = draft_->account().serviceType;
  const bool browser = offers_browser_sign_in(type);
  // Whole rows, so that no label stands beside a hidden field.
  fields_->setRowVisible(signInChoice_, browser);
  const std::string providerName = browser_provider_name(type);
  useBrowser_->setText(q(localized_format("desktop.accounts.use_browser", providerName)));
  signInButton_->setText(q(localized_format("desktop.accounts.sign_in_with", providerName)));
  const bool byBrowser = browser && useBrowser_->isChecked();
  fields_->setRowVisible(passwordRow_, !byBrowser);
  fields_->setRowVisible(browserRow_, byBrowser);
  if (!browser) usePassword_->setChecked(true);
}

void AccountForm::sign_in() {
  problem_->clear();
  try {
    const QString url = draft_->start_sign_in();
    signInButton_->setEnabled(false);
    signInState_->setText(q(localized("desktop.accounts.signing_in")) + "\n" + url);
  } catch (const std::exception& e) {
    problem_->setText(q(e.what()));
  }
}

void AccountForm::test(bool save) {
  servers_edited();
  draft_->account().displayName = name_->text().trimmed().toStdString();
  // Browser sign-in chosen but not finished: a password typed before the choice does not
  // stand in for it.
  if (browserRow_->isVisibleTo(this) && !draft_->signed_in() && !draft_->editing()) {
    problem_->setText(q(localized_format("desktop.accounts.sign_in_first",
                                         browser_provider_name(draft_->account().serviceType))));
    return;
  }
  if (!draft_->start_test(save)) {
    problem_->setText(draft_->problem());
    return;
  }
  problem_->clear();
  testButton_->setEnabled(false);
  addButton_->setEnabled(false);
}

void AccountForm::show_stages() { stages_->show_stages(draft_->stages(), draft_->summary()); }

// ---- AccountsPage ----

AccountsPage::AccountsPage(store::EmailDatabase& database, UserPreferences& preferences,
                           QWidget* parent)
    : QWidget(parent),
      database_(database),
      preferences_(preferences),
      book_(std::make_unique<AccountBook>(database, preferences.defaults())) {
  setObjectName("accountsPage");
  auto* layout = new QHBoxLayout(this);

  auto* left = new QVBoxLayout;
  list_ = new QListWidget(this);
  list_->setObjectName("accountList");
  list_->setMinimumWidth(220);
  list_->setMaximumWidth(320);
  list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  // Long addresses keep their start and their domain.
  list_->setTextElideMode(Qt::ElideMiddle);
  list_->setSpacing(3);
  auto* buttons = new QHBoxLayout;
  auto* add = new QPushButton(ui_text("desktop.accounts.add_button"), this);
  add->setObjectName("showAddForm");
  removeButton_ = new QPushButton(ui_text("desktop.accounts.remove_button"), this);
  removeButton_->setObjectName("removeAccount");
  buttons->addWidget(add);
  buttons->addWidget(removeButton_);
  left->addWidget(list_, 1);
  left->addLayout(buttons);
  layout->addLayout(left);

  stack_ = new QStackedWidget(this);
  layout->addWidget(stack_, 1);

  // The chosen account.
  details_ = new QWidget(stack_);
  auto* detail = new QVBoxLayout(details_);
  title_ = new WrappingText(details_);
  title_->setObjectName("accountTitle");
  title_->setFont(heading_font(title_->font()));
  servers_ = new WrappingText(details_);
  servers_->setObjectName("accountServers");
  privacy_ = new QCheckBox(ui_text("desktop.accounts.privacy"), details_);
  privacy_->setObjectName("privacyMode");
  auto* privacyHelp = wrapped_label(ui_text("desktop.accounts.privacy_help"), details_);
  privacyHelp->setForegroundRole(QPalette::Mid);
  editButton_ = new QPushButton(ui_text("desktop.accounts.edit_button"), details_);
  editButton_->setObjectName("editAccount");
  defaultButton_ = new QPushButton(ui_text("desktop.accounts.make_default"), details_);
  defaultButton_->setObjectName("makeDefault");
  defaultMark_ = new QLabel("★ " + ui_text("desktop.accounts.is_default"), details_);
  defaultMark_->setObjectName("defaultMark");
  defaultMark_->setForegroundRole(QPalette::Mid);
  testButton_ = new QPushButton(ui_text("desktop.accounts.test"), details_);
  testButton_->setObjectName("testStored");
  auto* actions = new QHBoxLayout;
  actions->addWidget(editButton_);
  actions->addWidget(testButton_);
  actions->addWidget(defaultButton_);
  actions->addWidget(defaultMark_);
  actions->addStretch();
  stages_ = new ConnectionStagesView(details_);
  stages_->setObjectName("storedStages");
  auto* certificates = new QGroupBox(ui_text("desktop.accounts.certificates"), details_);
  certificates->setObjectName("certificates");
  auto* certificateLayout = new QVBoxLayout(certificates);
  certificateLayout->addWidget(
      wrapped_label(ui_text("desktop.accounts.certificates_help"), certificates));
  certificates_ = new QListWidget(certificates);
  certificates_->setObjectName("certificateList");
  certificates_->setMaximumHeight(90);
  forgetCertificate_ =
      new QPushButton(ui_text("desktop.accounts.certificate_forget"), certificates);
  forgetCertificate_->setObjectName("forgetCertificate");
  certificateLayout->addWidget(certificates_);
  certificateLayout->addWidget(forgetCertificate_, 0, Qt::AlignLeft);
  detail->addWidget(title_);
  detail->addWidget(servers_);
  detail->addLayout(actions);
  detail->addWidget(stages_);
  detail->addSpacing(8);
  detail->addWidget(privacy_);
  detail->addWidget(privacyHelp);
  detail->addSpacing(8);
  detail->addWidget(certificates);
  detail->addStretch();
  stack_->addWidget(details_);

  // No account yet.
  empty_ = new QWidget(stack_);
  auto* emptyLayout = new QVBoxLayout(empty_);
  emptyLayout->addStretch();
  auto* emptyText = wrapped_label(ui_text("desktop.accounts.none"), empty_);
  emptyText->setAlignment(Qt::AlignCenter);
  emptyLayout->addWidget(emptyText);
  emptyLayout->addStretch();
  stack_->addWidget(empty_);

  form_ = new AccountForm(*book_, preferences_, stack_);
  form_->setObjectName("accountForm");
  stack_->addWidget(form_);

  connect(add, &QPushButton::clicked, this, [this] { show_add_form(); });
  connect(removeButton_, &QPushButton::clicked, this, [this] { ask_remove(); });
  connect(editButton_, &QPushButton::clicked, this, [this] { show_edit_form(); });
  connect(defaultButton_, &QPushButton::clicked, this, [this] { make_default(); });
  connect(list_, &QListWidget::currentRowChanged, this, [this](int row) { show_account(row); });
  connect(privacy_, &QCheckBox::clicked, this, [this](bool on) { privacy_toggled(on); });
  connect(testButton_, &QPushButton::clicked, this, [this] {
    if (const auto* account = current_account()) {
      testButton_->setEnabled(false);
      tester_.start(*account, mail::AccountCertificateTrust::load(
                                  preferences_.defaults(), account->id, account->emailAddress));
    }
  });
  connect(forgetCertificate_, &QPushButton::clicked, this, [this] {
    const int row = certificates_->currentRow();
    const auto* account = current_account();
    if (!account || row < 0 || row >= static_cast<int>(certificateRows_.size())) return;
    forget_trusted_certificate(preferences_.defaults(), *account, certificateRows_[row]);
    fill_certificates();
  });
  tester_.onStagesChanged = [this] { stages_->show_stages(tester_.stages(), tester_.summary()); };
  tester_.onFinished = [this](bool) { testButton_->setEnabled(true); };
  form_->onSaved = [this](const QString& id) {
    book_->reload();
    form_->clear();
    fill_list(id);
  };
  form_->onCancelled = [this] {
    form_->clear();
    show_account(list_->currentRow());
  };
  fill_list();
}

AccountsPage::~AccountsPage() = default;

void AccountsPage::reload() {
  book_->reload();
  const auto* account = current_account();
  fill_list(account ? q(account->id) : QString());
}

void AccountsPage::show_add_form() {
  if (form_->draft().editing()) form_->clear();
  list_->clearSelection();
  stack_->setCurrentWidget(form_);
  removeButton_->setEnabled(false);
}

void AccountsPage::show_edit_form() {
  const auto* account = current_account();
  if (!account || account->isLocalOnly()) return;
  form_->edit(*account);
  stack_->setCurrentWidget(form_);
  removeButton_->setEnabled(false);
}

void AccountsPage::make_default() {
  const auto* account = current_account();
  if (!account) return;
  const QString id = q(account->id);
  book_->makeDefault(account->id);
  book_->reload();
  fill_list(id);
}

void AccountsPage::fill_list(const QString& select) {
  QSignalBlocker blocker(list_);
  list_->clear();
  int selectRow = 0;
  int row = 0;
  for (const auto& account : book_->accounts()) {
    // The default mark first, where eliding a long name never hides it.
    QString text = q(account.displayName.empty() ? account.emailAddress : account.displayName);
    if (account.isDefault) text = "★ " + text;
    // The address under the name, alone on its line so that eliding keeps both of its ends;
    // the provider under an address used as the name, and in the tooltip.
    const QString provider =
        account.isLocalOnly() ? ui_text("local_account.label") : provider_name(account.serviceType);
    const bool named = account.displayName != account.emailAddress && !account.displayName.empty();
    auto* item =
        new QListWidgetItem(text + "\n" + (named ? q(account.emailAddress) : provider), list_);
    item->setToolTip(text + "\n" + (named ? q(account.emailAddress) + "\n" : QString()) + provider);
    item->setData(Qt::UserRole, q(account.id));
    if (q(account.id) == select) selectRow = row;
    ++row;
  }
  blocker.unblock();
  if (book_->accounts().empty()) {
    stack_->setCurrentWidget(empty_);
    removeButton_->setEnabled(false);
    return;
  }
  list_->setCurrentRow(selectRow);
  show_account(selectRow);
}

const store::EmailAccount* AccountsPage::current_account() const {
  const int row = list_->currentRow();
  const auto& accounts = book_->accounts();
  if (row < 0 || row >= static_cast<int>(accounts.size())) return nullptr;
  return &accounts[row];
}

void AccountsPage::show_account(int) {
  const auto* account = current_account();
  if (!account) {
    stack_->setCurrentWidget(book_->accounts().empty() ? empty_ : details_);
    removeButton_->setEnabled(false);
    return;
  }
  removeButton_->setEnabled(true);
  stack_->setCurrentWidget(details_);
  title_->show_text(q(account->displayName.empty() ? account->emailAddress : account->displayName) +
                    (account->displayName != account->emailAddress && !account->displayName.empty()
                         ? "  <" + q(account->emailAddress) + ">"
                         : QString()));
  if (account->isLocalOnly()) {
    servers_->show_text(ui_text("desktop.accounts.local_only"));
  } else {
    servers_->show_text(ui_text("desktop.accounts.provider") + " " +
                        provider_name(account->serviceType) + "\n" +
                        ui_text("desktop.accounts.imap_server") + " " +
                        server_line(account->imapHost, account->imapPort, account->imapEncryption) +
                        "\n" + ui_text("desktop.accounts.smtp_server") + " " +
                        server_line(account->smtpHost, account->smtpPort, account->smtpEncryption));
  }
  privacy_->setChecked(account->isPrivacyModeEnabled);
  testButton_->setVisible(!account->isLocalOnly());
  editButton_->setVisible(!account->isLocalOnly());
  defaultButton_->setVisible(!account->isDefault);
  defaultMark_->setVisible(account->isDefault);
  // An account without servers has no certificates to trust.
  details_->findChild<QGroupBox*>("certificates")->setVisible(!account->isLocalOnly());
  testButton_->setEnabled(!tester_.busy());
  stages_->show_stages({}, {});
  fill_certificates();
}

void AccountsPage::fill_certificates() {
  certificates_->clear();
  const auto* account = current_account();
  certificateRows_ = account ? trusted_certificates(preferences_.defaults(), *account)
                             : std::vector<TrustedCertificateRow>{};
  for (const auto& row : certificateRows_)
    certificates_->addItem((row.imap ? QStringLiteral("IMAP · ") : QStringLiteral("SMTP · ")) +
                           q(localized(row.caFile ? "desktop.accounts.certificate_ca"
                                                  : "desktop.accounts.certificate_fingerprint")) +
                           " " + q(row.value));
  if (certificateRows_.empty()) {
    auto* none = new QListWidgetItem(ui_text("desktop.accounts.certificates_none"), certificates_);
    none->setFlags(Qt::NoItemFlags);
  }
  forgetCertificate_->setEnabled(!certificateRows_.empty());
}

void AccountsPage::privacy_toggled(bool on) {
  const auto* current = current_account();
  if (!current) return;
  store::EmailAccount account = *current;
  account.isPrivacyModeEnabled = on;
  account.updatedAt = now_seconds();
  book_->save(account);
}

void AccountsPage::ask_remove() {
  const auto* account = current_account();
  if (!account) return;
  const std::string id = account->id;
  auto* box = new QMessageBox(QMessageBox::Warning, ui_text("desktop.accounts.remove_title"),
                              removal_question(database_, *account), QMessageBox::NoButton, this);
  box->setObjectName("removeConfirmation");
  box->setAttribute(Qt::WA_DeleteOnClose);
  auto* removeButton =
      box->addButton(ui_text("desktop.accounts.remove_confirm"), QMessageBox::DestructiveRole);
  removeButton->setObjectName("confirmRemove");
  box->addButton(ui_text("desktop.accounts.cancel"), QMessageBox::RejectRole);
  connect(box, &QMessageBox::buttonClicked, this, [this, removeButton, id](QAbstractButton* b) {
    if (b != removeButton) return;
    const auto& accounts = book_->accounts();
    const auto found =
        std::find_if(accounts.begin(), accounts.end(), [&](const auto& a) { return a.id == id; });
    if (found == accounts.end()) return;
    const store::EmailAccount account = *found;
    remove_account_completely(*book_, account, preferences_.defaults());
    fill_list();
  });
  box->open();
}

}  // namespace kestrova::app::desktop
