#include "app/desktop/appearance.h"

#include <QApplication>
#include <QFont>
#include <QPalette>
#include <QProcess>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>

#include "app/core/user_preferences.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

namespace {

// Whether the desktop prefers dark: GNOME's colour scheme, a dark GTK theme, or a dark
// window colour of the platform's own palette.
bool desktop_asks_for_dark() {
  const QByteArray gtk = qgetenv("GTK_THEME").toLower();
  if (gtk.contains("dark")) return true;
  QProcess gsettings;
  gsettings.start("gsettings", {"get", "org.gnome.desktop.interface", "color-scheme"});
  if (gsettings.waitForFinished(500) && gsettings.readAllStandardOutput().contains("dark"))
    return true;
  return QApplication::palette().color(QPalette::Window).lightness() < 128;
}

QPalette palette_for(bool dark) {
  QPalette p;
  if (!dark) {
    p.setColor(QPalette::Window, QColor(0xf3, 0xf4, 0xf6));
    p.setColor(QPalette::WindowText, QColor(0x1f, 0x23, 0x28));
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, QColor(0xee, 0xf2, 0xf8));
    p.setColor(QPalette::Text, QColor(0x1f, 0x23, 0x28));
    p.setColor(QPalette::Button, QColor(0xf3, 0xf4, 0xf6));
    p.setColor(QPalette::ButtonText, QColor(0x1f, 0x23, 0x28));
    p.setColor(QPalette::Highlight, QColor(0x2f, 0x6f, 0xd6));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x1a, 0x5f, 0xc8));
    p.setColor(QPalette::Mid, QColor(0x6a, 0x73, 0x7d));
    p.setColor(QPalette::Midlight, QColor(0xe1, 0xe6, 0xee));
    p.setColor(QPalette::ToolTipBase, QColor(0xff, 0xff, 0xe8));
    p.setColor(QPalette::ToolTipText, Qt::black);
    return p;
  }
  p.setColor(QPalette::Window, QColor(0x24, 0x26, 0x2b));
  p.setColor(QPalette::WindowText, QColor(0xe3, 0xe5, 0xe8));
  p.setColor(QPalette::Base, QColor(0x1b, 0x1d, 0x21));
  p.setColor(QPalette::AlternateBase, QColor(0x2a, 0x2e, 0x36));
  p.setColor(QPalette::Text, QColor(0xe3, 0xe5, 0xe8));
  p.setColor(QPalette::Button, QColor(0x2d, 0x30, 0x36));
  p.setColor(QPalette::ButtonText, QColor(0xe3, 0xe5, 0xe8));
  p.setColor(QPalette::Highlight, QColor(0x3d, 0x7b, 0xe0));
  p.setColor(QPalette::HighlightedText, Qt::white);
  p.setColor(QPalette::Link, QColor(0x7a, 0xae, 0xff));
  p.setColor(QPalette::Mid, QColor(0x9a, 0xa0, 0xa8));
  p.setColor(QPalette::PlaceholderText, QColor(0x9a, 0xa0, 0xa8));
  p.setColor(QPalette::Midlight, QColor(0x3a, 0x3f, 0x48));
  p.setColor(QPalette::ToolTipBase, QColor(0x2d, 0x30, 0x36));
  p.setColor(QPalette::ToolTipText, QColor(0xe3, 0xe5, 0xe8));
  p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x84, 0x8a));
  p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x84, 0x8a));
  p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x80, 0x84, 0x8a));
  return p;
}

double font_scale(AppInterfaceFontScale scale) {
  switch (scale) {
    case AppInterfaceFontScale::compact:
      return 0.9;
    case AppInterfaceFontScale::standard:
      return 1.0;
    case AppInterfaceFontScale::comfortable:
      return 1.12;
    case AppInterfaceFontScale::large:
      return 1.25;
  }
  return 1.0;
}

}  // namespace

bool desktop_prefers_dark() {
  static const bool dark = desktop_asks_for_dark();
  return dark;
}

void apply_appearance(const UserPreferences& preferences, std::optional<bool> dark) {
  const bool wantDark = dark.value_or([&] {
    const auto skin = preferences.get(settings::appVisualSkin);
    return skin == AppVisualSkin::midnight || skin == AppVisualSkin::sciFi ||
           desktop_prefers_dark();
  }());
  if (!QApplication::style() ||
      QApplication::style()->name().compare("fusion", Qt::CaseInsensitive))
    QApplication::setStyle(QStyleFactory::create("Fusion"));
  QApplication::setPalette(palette_for(wantDark));
  QFont font = QApplication::font();
  const bool chinese = text_language() == TextLanguage::chinese;
  font.setFamilies(chinese ? QStringList{"Noto Sans CJK SC", "Noto Sans", "DejaVu Sans"}
                           : QStringList{"Noto Sans", "Noto Sans CJK SC", "DejaVu Sans"});
  font.setPointSizeF(10 * font_scale(preferences.get(settings::appInterfaceFontScale)));
  QApplication::setFont(font);
  // Widgets given a font of their own keep it; the others follow the application's.
  for (QWidget* w : QApplication::allWidgets()) w->update();
}

}  // namespace kestrova::app::desktop
