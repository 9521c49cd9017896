#include "app/desktop/settings/setting_controls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QSpinBox>
#include <algorithm>
#include <limits>

#include "app/core/user_preferences.h"
#include "app/desktop/ui_text.h"
#include "util/error.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

Json SettingsEditor::value(std::string_view key) const { return preferences_.value(key); }

std::string SettingsEditor::text(std::string_view key) const {
  const Json v = value(key);
  if (v.is_string()) return v.get<std::string>();
  if (v.is_array() &&
      std::all_of(v.begin(), v.end(), [](const Json& e) { return e.is_string(); })) {
    std::string joined;
    for (const Json& e : v) joined += (joined.empty() ? "" : ", ") + e.get<std::string>();
    return joined;
  }
  return dump_compact(v);
}

std::optional<std::string> SettingsEditor::change(std::string_view key, std::string_view text) {
  const SettingDescriptor* setting = find_setting(key);
  if (!setting) return report(key, localized_format("cli.settings.unknown", std::string(key)));
  try {
    Json parsed = parse_setting_input(*setting, text);
    preferences_.set_value(key, std::move(parsed));
  } catch (const std::exception& e) {
    return report(key, std::string(e.what()));
  }
  return report(key, std::nullopt);
}

std::optional<std::string> SettingsEditor::set(std::string_view key, Json v) {
  try {
    preferences_.set_value(key, std::move(v));
  } catch (const std::exception& e) {
    return report(key, std::string(e.what()));
  }
  return report(key, std::nullopt);
}

std::optional<std::string> SettingsEditor::report(std::string_view key,
                                                  std::optional<std::string> refusal) {
  refuse(refusal.value_or(std::string()));
  if (!refusal && onChanged) onChanged(key);
  return refusal;
}

QCheckBox* setting_check(SettingsEditor& editor, std::string_view key, std::string_view textKey,
                         QWidget* parent) {
  auto* box = new QCheckBox(ui_text(textKey), parent);
  box->setObjectName(QString::fromUtf8(key.data(), static_cast<int>(key.size())));
  box->setChecked(editor.value(key).get<bool>());
  const std::string k(key);
  QObject::connect(box, &QCheckBox::toggled, box, [&editor, k](bool on) { editor.set(k, on); });
  return box;
}

QComboBox* setting_choice(SettingsEditor& editor, std::string_view key,
                          const std::vector<std::pair<Json, QString>>& choices, QWidget* parent) {
  auto* box = new QComboBox(parent);
  box->setObjectName(QString::fromUtf8(key.data(), static_cast<int>(key.size())));
  const Json current = editor.value(key);
  for (size_t i = 0; i < choices.size(); ++i) {
    box->addItem(choices[i].second, QString::fromStdString(choices[i].first.dump()));
    if (choices[i].first == current) box->setCurrentIndex(static_cast<int>(i));
  }
  const std::string k(key);
  QObject::connect(box, &QComboBox::currentIndexChanged, box, [&editor, k, box](int index) {
    if (index >= 0) editor.set(k, Json::parse(box->itemData(index).toString().toStdString()));
  });
  return box;
}

QSpinBox* setting_number(SettingsEditor& editor, std::string_view key, QWidget* parent) {
  auto* box = new QSpinBox(parent);
  box->setObjectName(QString::fromUtf8(key.data(), static_cast<int>(key.size())));
  const SettingDescriptor* setting = find_setting(key);
  constexpr int64_t kLow = std::numeric_limits<int>::min(), kHigh = std::numeric_limits<int>::max();
  box->setRange(static_cast<int>(std::clamp(setting ? setting->minimum : 0, kLow, kHigh)),
                static_cast<int>(std::clamp(setting ? setting->maximum : kHigh, kLow, kHigh)));
  box->setValue(static_cast<int>(editor.value(key).get<int64_t>()));
  box->setKeyboardTracking(false);  // stored when the number is complete, not per digit
  const std::string k(key);
  QObject::connect(box, &QSpinBox::valueChanged, box,
                   [&editor, k](int v) { editor.set(k, static_cast<int64_t>(v)); });
  return box;
}

QLineEdit* setting_text(SettingsEditor& editor, std::string_view key, QWidget* parent) {
  auto* field = new QLineEdit(QString::fromStdString(editor.text(key)), parent);
  field->setObjectName(QString::fromUtf8(key.data(), static_cast<int>(key.size())));
  const std::string k(key);
  QObject::connect(field, &QLineEdit::editingFinished, field, [&editor, k, field] {
    const std::string typed = field->text().toStdString();
    if (typed == editor.text(k)) return;
    if (editor.change(k, typed)) field->setText(QString::fromStdString(editor.text(k)));
  });
  return field;
}

QLabel* section_title(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  QFont font = label->font();
  font.setBold(true);
  font.setPointSizeF(font.pointSizeF() * 1.1);
  label->setFont(font);
  label->setContentsMargins(0, 10, 0, 2);
  return label;
}

QLabel* hint_label(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  QPalette p = label->palette();
  p.setColor(QPalette::WindowText, p.color(QPalette::Mid));
  label->setPalette(p);
  return label;
}

}  // namespace kestrova::app::desktop
