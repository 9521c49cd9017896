#include "app/desktop/settings/agent_page.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/core/agent/agent_host_setup.h"
#include "app/core/agent/mcp_cli_installer.h"
#include "app/core/user_preferences.h"
#include "app/desktop/settings/setting_controls.h"
#include "app/desktop/ui_text.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

AgentPage::AgentPage(SettingsEditor& editor, QWidget* parent) : QWidget(parent) {
  auto* page = new QVBoxLayout(this);
  page->addWidget(section_title(ui_text("desktop.settings.agent.exposure"), this));
  std::vector<std::pair<Json, QString>> levels;
  for (const auto& [level, raw] : EnumRawValues<MCPExposureLevel>::cases)
    levels.emplace_back(Json(std::string(raw)),
                        ui_text("desktop.settings.agent.level." + std::string(raw)));
  auto* level = setting_choice(editor, settings::mcpExposureLevel.key, levels, this);
  auto* explained = hint_label({}, this);
  auto explain = [level, explained] {
    const std::string raw = Json::parse(level->currentData().toString().toStdString());
    explained->setText(ui_text("desktop.settings.agent.level." + raw + ".description"));
  };
  connect(level, &QComboBox::currentIndexChanged, this, explain);
  explain();
  auto* form = new QFormLayout();
  form->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
  form->addRow(ui_text("desktop.settings.agent.level"), level);
  page->addLayout(form);
  page->addWidget(explained);

  page->addWidget(section_title(ui_text("desktop.settings.agent.link"), this));
  auto* linkRow = new QHBoxLayout();
  linkState_ = new QLabel(this);
  linkState_->setWordWrap(true);
  linkState_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* install = new QPushButton(ui_text("desktop.settings.agent.install"), this);
  install->setObjectName("installLink");
  linkRow->addWidget(linkState_, 1);
  linkRow->addWidget(install);
  page->addLayout(linkRow);
  connect(install, &QPushButton::clicked, this, [this, &editor] {
    try {
      MCPCLIInstaller::install();
    } catch (const std::exception& e) {
      editor.refuse(e.what());
    }
    show_link_state();
  });
  show_link_state();

  page->addWidget(section_title(ui_text("desktop.settings.agent.hosts"), this));
  page->addWidget(hint_label(ui_text("desktop.settings.agent.hosts_hint"), this));
  const QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  for (std::string_view host : kAgentHosts) {
    const QString name = QString::fromUtf8(host.data(), static_cast<int>(host.size()));
    auto* header = new QHBoxLayout();
    auto* title = new QLabel(ui_text("desktop.settings.agent.host." + std::string(host)), this);
    auto* copy = new QPushButton(ui_text("desktop.settings.agent.copy"), this);
    copy->setObjectName("copy_" + name);
    header->addWidget(title, 1);
    header->addWidget(copy);
    page->addLayout(header);
    auto* text = new QPlainTextEdit(QString::fromStdString(agent_host_configuration(host)), this);
    text->setObjectName("snippet_" + name);
    text->setReadOnly(true);
    text->setFont(mono);
    text->setLineWrapMode(QPlainTextEdit::NoWrap);
    const int lines = static_cast<int>(text->toPlainText().count('\n')) + 1;
    text->setFixedHeight(text->fontMetrics().lineSpacing() * lines + 14);
    page->addWidget(text);
    connect(copy, &QPushButton::clicked, this, [text, copy] {
      QApplication::clipboard()->setText(text->toPlainText());
      copy->setText(ui_text("desktop.settings.agent.copied"));
    });
  }
  page->addStretch(1);
}

QString AgentPage::snippet(const QString& host) const {
  auto* text = findChild<QPlainTextEdit*>("snippet_" + host);
  return text ? text->toPlainText() : QString();
}

void AgentPage::show_link_state() {
  const std::string path = MCPCLIInstaller::link_path().string();
  linkState_->setText(QString::fromStdString(localized_format(
      MCPCLIInstaller::is_installed() ? "cli.mcp.installed" : "cli.mcp.not_installed", path)));
}

}  // namespace kestrova::app::desktop
