#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "util/json.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QWidget;

namespace kestrova::app {
class UserPreferences;
}

namespace kestrova::app::desktop {

// The settings screens' road to the settings file: every change is read the way
// `kestrova settings set` reads it and written through UserPreferences at once, so the
// command line, the service and the tool server see it on their next read. A refused value
// leaves the file as it was and is reported with the command line's own text.
class SettingsEditor {
 public:
  explicit SettingsEditor(UserPreferences& preferences) : preferences_(preferences) {}

  UserPreferences& preferences() const { return preferences_; }
  Json value(std::string_view key) const;
  // The value as a text field shows it: strings as they are, string lists comma-separated,
  // other values in JSON.
  std::string text(std::string_view key) const;
  // Stores `text` read according to the key's type; the refusal text when it is not a value
  // of the key (nothing is written then).
  std::optional<std::string> change(std::string_view key, std::string_view text);
  // Stores a value the screen already holds typed (a check box, a choice); the refusal text
  // when the store cannot be written.
  std::optional<std::string> set(std::string_view key, Json value);

  // Reports a refusal of a page's own (a blocked address, a signature without a name), or
  // with an empty text that the last one no longer applies.
  void refuse(const std::string& text) {
    if (onRefused) onRefused(text);
  }

  // After every stored change, with the key (the window follows what it shows).
  std::function<void(std::string_view key)> onChanged;
  // After every refusal, with its text; an empty text clears the last one.
  std::function<void(const std::string& text)> onRefused;

 private:
  std::optional<std::string> report(std::string_view key, std::optional<std::string> refusal);

  UserPreferences& preferences_;
};

// Controls bound to one key: each shows the stored value and writes every change through
// the editor at once.
QCheckBox* setting_check(SettingsEditor& editor, std::string_view key, std::string_view textKey,
                         QWidget* parent);
// A choice among stored values, each with the text shown for it.
QComboBox* setting_choice(SettingsEditor& editor, std::string_view key,
                          const std::vector<std::pair<Json, QString>>& choices, QWidget* parent);
// A whole number in the key's accepted range.
QSpinBox* setting_number(SettingsEditor& editor, std::string_view key, QWidget* parent);
// Free text, stored when editing ends; a refused text is put back to the stored value.
QLineEdit* setting_text(SettingsEditor& editor, std::string_view key, QWidget* parent);
// A bold heading between groups of a page.
QLabel* section_title(const QString& text, QWidget* parent);
// A smaller grey explanation under a control.
QLabel* hint_label(const QString& text, QWidget* parent);

}  // namespace kestrova::app::desktop
