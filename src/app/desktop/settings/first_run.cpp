#include "app/desktop/settings/first_run.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "app/core/agent/agent_host_setup.h"
#include "app/core/agent/mcp_cli_installer.h"
#include "app/core/demo_mailbox.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/service/service_files.h"
#include "app/core/user_preferences.h"
#include "app/desktop/settings/accounts_page.h"
#include "app/desktop/ui_text.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

namespace {

QLabel* title_label(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setPointSizeF(font.pointSizeF() * 1.6);
  font.setBold(true);
  label->setFont(font);
  return label;
}

// A large choice button: a bold first line and an explanation under it.
QPushButton* choice_button(const QString& title, const QString& text, QWidget* parent) {
  auto* button = new QPushButton(parent);
  auto* layout = new QVBoxLayout(button);
  layout->setContentsMargins(16, 12, 16, 12);
  auto* first = new QLabel(title, button);
  QFont font = first->font();
  font.setBold(true);
  font.setPointSizeF(font.pointSizeF() * 1.1);
  first->setFont(font);
  auto* second = wrapped_label(text, button);
  second->setForegroundRole(QPalette::Mid);
  for (QLabel* label : {first, second}) label->setAttribute(Qt::WA_TransparentForMouseEvents);
  layout->addWidget(first);
  layout->addWidget(second);
  button->setMinimumHeight(84);
  return button;
}

}  // namespace

FirstRunDialog::FirstRunDialog(store::EmailDatabase& database, UserPreferences& preferences,
                               QWidget* parent)
    : QDialog(parent),
      preferences_(preferences),
      demoHomeChoice_(DemoMailbox::default_home()),
      book_(std::make_unique<AccountBook>(database, preferences.defaults())) {
  setObjectName("firstRun");
  setWindowTitle(ui_text("desktop.first_run.window_title"));
  resize(720, 620);
  auto* layout = new QVBoxLayout(this);
  stack_ = new QStackedWidget(this);
  layout->addWidget(stack_);

  // Welcome: an account of one's own, or the demo.
  welcome_ = new QWidget(stack_);
  auto* welcome = new QVBoxLayout(welcome_);
  welcome->setContentsMargins(24, 24, 24, 24);
  welcome->setSpacing(12);
  // The language first, each name in its own language: someone who reads only one of them
  // finds it before any other text.
  auto* languageLine = new QHBoxLayout;
  language_ = new QComboBox(welcome_);
  language_->setObjectName("welcomeLanguage");
  language_->addItem("中文", "zh-Hans");
  language_->addItem("English", "en");
  language_->setCurrentIndex(text_language() == TextLanguage::chinese ? 0 : 1);
  languageLine->addStretch();
  languageLine->addWidget(language_);
  welcome->addLayout(languageLine);
  welcome->addWidget(title_label(ui_text("desktop.first_run.title"), welcome_));
  welcome->addWidget(wrapped_label(ui_text("desktop.first_run.intro"), welcome_));
  welcome->addSpacing(8);
  auto* addAccount = choice_button(ui_text("desktop.first_run.add_account"),
                                   ui_text("desktop.first_run.add_account_text"), welcome_);
  addAccount->setObjectName("chooseAccount");
  demoButton_ = choice_button(ui_text("desktop.first_run.demo"),
                              ui_text("desktop.first_run.demo_text"), welcome_);
  demoButton_->setObjectName("chooseDemo");
  welcome->addWidget(addAccount);
  welcome->addWidget(demoButton_);
  demoState_ = wrapped_label({}, welcome_);
  demoState_->setObjectName("demoState");
  welcome->addWidget(demoState_);
  welcome->addStretch();
  auto* skipLine = new QHBoxLayout;
  auto* skip = new QPushButton(ui_text("desktop.first_run.skip"), welcome_);
  skip->setObjectName("skip");
  skipLine->addStretch();
  skipLine->addWidget(skip);
  welcome->addLayout(skipLine);
  stack_->addWidget(welcome_);

  // The first account, with the account page's form.
  form_ = new AccountForm(*book_, preferences_, stack_);
  form_->setObjectName("accountForm");
  stack_->addWidget(form_);

  // Last: the service at login and an agent host.
  finish_ = new QWidget(stack_);
  auto* finish = new QVBoxLayout(finish_);
  finish->setContentsMargins(24, 24, 24, 24);
  finish->setSpacing(10);
  finishTitle_ = title_label({}, finish_);
  finish->addWidget(finishTitle_);
  launchAtLogin_ = new QCheckBox(ui_text("desktop.first_run.launch_at_login"), finish_);
  launchAtLogin_->setObjectName("launchAtLogin");
  launchAtLogin_->setChecked(preferences_.get(settings::launchAtLogin));
  finish->addWidget(launchAtLogin_);
  auto* launchHelp = wrapped_label(ui_text("desktop.first_run.launch_at_login_help"), finish_);
  launchHelp->setForegroundRole(QPalette::Mid);
  finish->addWidget(launchHelp);
  finish->addSpacing(8);
  auto* agentTitle = new QLabel(ui_text("desktop.first_run.agent_title"), finish_);
  QFont bold = agentTitle->font();
  bold.setBold(true);
  agentTitle->setFont(bold);
  finish->addWidget(agentTitle);
  finish->addWidget(wrapped_label(ui_text("desktop.first_run.agent_text"), finish_));
  auto* hostLine = new QHBoxLayout;
  host_ = new QComboBox(finish_);
  host_->setObjectName("agentHost");
  for (std::string_view host : kAgentHosts)
    host_->addItem(QString::fromUtf8(host.data(), static_cast<int>(host.size())));
  auto* copy = new QPushButton(ui_text("desktop.first_run.copy"), finish_);
  copy->setObjectName("copySnippet");
  hostLine->addWidget(host_);
  hostLine->addStretch();
  hostLine->addWidget(copy);
  finish->addLayout(hostLine);
  snippet_ = new QPlainTextEdit(finish_);
  snippet_->setObjectName("agentSnippet");
  snippet_->setReadOnly(true);
  QFont mono("Monospace");
  mono.setStyleHint(QFont::Monospace);
  snippet_->setFont(mono);
  snippet_->setMaximumHeight(150);
  finish->addWidget(snippet_);
  auto* linkLine = new QHBoxLayout;
  linkNote_ = wrapped_label({}, finish_);
  linkNote_->setForegroundRole(QPalette::Mid);
  installLink_ = new QPushButton(ui_text("desktop.settings.agent.install"), finish_);
  installLink_->setObjectName("installLink");
  linkLine->addWidget(linkNote_, 1);
  linkLine->addWidget(installLink_, 0, Qt::AlignTop);
  finish->addLayout(linkLine);
  finish->addStretch();
  auto* doneLine = new QHBoxLayout;
  auto* done = new QPushButton(ui_text("desktop.first_run.finish"), finish_);
  done->setObjectName("finish");
  done->setDefault(true);
  doneLine->addStretch();
  doneLine->addWidget(done);
  finish->addLayout(doneLine);
  stack_->addWidget(finish_);

  connect(installLink_, &QPushButton::clicked, this, [this] {
    try {
      MCPCLIInstaller::install();
    } catch (const std::exception& e) {
      QMessageBox::warning(this, windowTitle(), QString::fromStdString(e.what()));
    }
    show_snippet();
  });
  connect(addAccount, &QPushButton::clicked, this, [this] { stack_->setCurrentWidget(form_); });
  connect(demoButton_, &QPushButton::clicked, this, [this] { start_demo(); });
  connect(language_, &QComboBox::currentIndexChanged, this, [this](int index) {
    const std::string tag = language_->itemData(index).toString().toStdString();
    preferences_.set(settings::defaultLanguage, tag);
    set_text_language(tag);
    languageChanged_ = true;
    reject();
  });
  connect(skip, &QPushButton::clicked, this, [this] { reject(); });
  form_->onCancelled = [this] {
    form_->clear();
    stack_->setCurrentWidget(welcome_);
  };
  form_->onSaved = [this](const QString&) {
    outcome_ = Outcome::accountAdded;
    show_finish();
  };
  connect(host_, &QComboBox::currentIndexChanged, this, [this] { show_snippet(); });
  connect(copy, &QPushButton::clicked, this,
          [this] { QApplication::clipboard()->setText(snippet_->toPlainText()); });
  connect(done, &QPushButton::clicked, this, [this] { accept(); });
  stack_->setCurrentWidget(welcome_);
}

FirstRunDialog::~FirstRunDialog() {
  if (demoWorker_.joinable()) demoWorker_.join();
}

void FirstRunDialog::start_demo() {
  if (demoWorker_.joinable()) return;  // being prepared
  demoButton_->setEnabled(false);
  language_->setEnabled(false);  // the demo is made in the language chosen
  demoState_->setText(ui_text("desktop.first_run.demo_preparing"));
  DemoMailbox demo = DemoMailbox::at(demoHomeChoice_);
  demo.generator = demoGenerator_;
  const std::string language = preferences_.get(settings::defaultLanguage);
  demoWorker_ = std::thread([this, demo, language] {
    std::string problem;
    try {
      demo.prepare(language);
    } catch (const std::exception& e) {
      problem = e.what();
    }
    QMetaObject::invokeMethod(
        this,
        [this, demo, problem] {
          demoWorker_.join();
          if (!problem.empty()) {
            demoButton_->setEnabled(true);
            demoState_->setText(QString::fromStdString(problem));
            return;
          }
          demoHome_ = demo.home;
          outcome_ = Outcome::demo;
          show_finish();
        },
        Qt::QueuedConnection);
  });
}

void FirstRunDialog::show_finish() {
  finishTitle_->setText(ui_text(outcome_ == Outcome::demo ? "desktop.first_run.demo_ready"
                                                          : "desktop.first_run.account_ready"));
  show_snippet();
  stack_->setCurrentWidget(finish_);
}

void FirstRunDialog::show_snippet() {
  const std::string host = host_->currentText().toStdString();
  snippet_->setPlainText(QString::fromStdString(agent_host_configuration(host, demoHome_)));
  const bool installed = MCPCLIInstaller::is_installed();
  linkNote_->setText(
      installed ? QString()
                : QString::fromStdString(localized_format("desktop.first_run.link_missing",
                                                          MCPCLIInstaller::link_path().string())));
  installLink_->setVisible(!installed);
}

void FirstRunDialog::done(int result) {
  if (demoWorker_.joinable()) return;  // the demo is being written: wait for it
  if (!finished_ && !languageChanged_) {
    finished_ = true;
    if (result == QDialog::Accepted) {
      const bool atLogin = launchAtLogin_->isChecked();
      if (atLogin != preferences_.get(settings::launchAtLogin)) {
        preferences_.set(settings::launchAtLogin, atLogin);
        apply_launch_at_login(atLogin);
      }
    }
    preferences_.set(settings::hasCompletedOnboarding, true);
  }
  QDialog::done(result);
}

}  // namespace kestrova::app::desktop
