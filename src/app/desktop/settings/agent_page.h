#pragma once

#include <QWidget>

class QLabel;
class QPlainTextEdit;

namespace kestrova::app::desktop {

class SettingsEditor;

// Agent access: what the tool server and the scripting commands may do, the command-line
// link agent hosts start, and what each host needs in its configuration, with copy buttons.
class AgentPage : public QWidget {
 public:
  AgentPage(SettingsEditor& editor, QWidget* parent);

  // The snippet shown for `host` ("claude-desktop", "vscode", ...); empty for another host.
  QString snippet(const QString& host) const;

 private:
  void show_link_state();

  QLabel* linkState_ = nullptr;
};

}  // namespace kestrova::app::desktop
