#pragma once

#include <QWidget>

namespace kestrova::app::desktop {

class SettingsEditor;

// Appearance and reading: the skin, the interface text size and language, the reading
// theme, body size and line spacing, what the reading pane shows, when an opened message
// counts as read, and the optional features.
class ReadingPage : public QWidget {
 public:
  ReadingPage(SettingsEditor& editor, QWidget* parent);
};

}  // namespace kestrova::app::desktop
