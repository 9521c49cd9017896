#include "app/desktop/settings/reading_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QSpinBox>
#include <QVBoxLayout>
#include <string>

#include "app/core/user_preferences.h"
#include "app/desktop/settings/setting_controls.h"
#include "app/desktop/ui_text.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

namespace {

// Every case of a string enumeration, each shown with the text under `prefix` + raw value.
template <class E>
std::vector<std::pair<Json, QString>> enum_choices(const std::string& prefix) {
  std::vector<std::pair<Json, QString>> choices;
  for (const auto& [value, raw] : EnumRawValues<E>::cases)
    choices.emplace_back(Json(std::string(raw)), ui_text(prefix + std::string(raw)));
  return choices;
}

}  // namespace

ReadingPage::ReadingPage(SettingsEditor& editor, QWidget* parent) : QWidget(parent) {
  auto* page = new QVBoxLayout(this);
  auto form = [&](const QString& title) {
    page->addWidget(section_title(title, this));
    auto* f = new QFormLayout();
    f->setFieldGrowthPolicy(QFormLayout::FieldsStayAtSizeHint);
    page->addLayout(f);
    return f;
  };

  QFormLayout* look = form(ui_text("desktop.settings.reading.appearance"));
  std::vector<std::pair<Json, QString>> skins;
  for (const auto& [skin, raw] : EnumRawValues<AppVisualSkin>::cases)
    skins.emplace_back(Json(std::string(raw)), ui_text(title_key(skin)));
  auto* skin = setting_choice(editor, settings::appVisualSkin.key, skins, this);
  for (int i = 0; i < skin->count(); ++i)
    skin->setItemData(i, ui_text(description_key(EnumRawValues<AppVisualSkin>::cases[i].first)),
                      Qt::ToolTipRole);
  look->addRow(ui_text("desktop.settings.reading.skin"), skin);
  std::vector<std::pair<Json, QString>> scales;
  for (const auto& [scale, raw] : EnumRawValues<AppInterfaceFontScale>::cases)
    scales.emplace_back(Json(std::string(raw)), ui_text(title_key(scale)));
  look->addRow(ui_text("desktop.settings.reading.font_scale"),
               setting_choice(editor, settings::appInterfaceFontScale.key, scales, this));
  look->addRow(ui_text("desktop.settings.reading.language"),
               setting_choice(editor, settings::defaultLanguage.key,
                              {{Json("zh-Hans"), QStringLiteral("简体中文")},
                               {Json("en"), QStringLiteral("English")}},
                              this));
  look->addRow(QString(), hint_label(ui_text("desktop.settings.reading.language_hint"), this));

  QFormLayout* reading = form(ui_text("desktop.settings.reading.reading"));
  reading->addRow(
      ui_text("desktop.settings.reading.theme"),
      setting_choice(editor, settings::emailReadingThemeMode.key,
                     enum_choices<EmailReadingThemeMode>("desktop.settings.theme."), this));
  std::vector<std::pair<Json, QString>> sizes;
  for (EmailFontSize size : {EmailFontSize::small, EmailFontSize::medium, EmailFontSize::large,
                             EmailFontSize::extraLarge})
    sizes.emplace_back(Json(points(size)),
                       QString::fromStdString(localized_format(
                           "desktop.settings.reading.points", static_cast<int64_t>(points(size)))));
  reading->addRow(ui_text("desktop.settings.reading.font_size"),
                  setting_choice(editor, settings::emailReadingFontSize.key, sizes, this));
  reading->addRow(
      ui_text("desktop.settings.reading.line_spacing"),
      setting_choice(editor, settings::emailReadingLineSpacing.key,
                     enum_choices<EmailLineSpacing>("desktop.settings.spacing."), this));
  auto* delay = setting_number(editor, settings::emailMarkAsReadDelaySeconds.key, this);
  delay->setSuffix(ui_text("desktop.settings.seconds_suffix"));
  reading->addRow(ui_text("desktop.settings.reading.read_delay"), delay);
  for (auto [key, text] :
       {std::pair{settings::emailShowImages.key, "desktop.settings.reading.images"},
        {settings::emailShowAttachments.key, "desktop.settings.reading.attachments"},
        {settings::emailCompactBlankLines.key, "desktop.settings.reading.compact"}})
    reading->addRow(QString(), setting_check(editor, key, text, this));

  QFormLayout* features = form(ui_text("desktop.settings.reading.features"));
  for (auto [key, text] :
       {std::pair{settings::featureActionItemsEnabled.key, "desktop.settings.feature.actions"},
        {settings::featureInternalNotesEnabled.key, "desktop.settings.feature.notes"},
        {settings::featureTagSystemEnabled.key, "desktop.settings.feature.tags"}})
    features->addRow(QString(), setting_check(editor, key, text, this));
  page->addStretch(1);
}

}  // namespace kestrova::app::desktop
