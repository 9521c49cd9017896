#include "app/desktop/ui_text.h"

#include <QCoreApplication>
#include <QLabel>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

#include "util/localization.h"

namespace kestrova::app::desktop {

QString ui_text(std::string_view key) { return QString::fromStdString(localized(key)); }

QLabel* wrapped_label(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

void load_toolkit_translations() {
  // Called again after the language changed: the earlier translation goes first.
  for (QTranslator* old : QCoreApplication::instance()->findChildren<QTranslator*>(
           "toolkitTranslation", Qt::FindDirectChildrenOnly)) {
    QCoreApplication::removeTranslator(old);
    delete old;
  }
  // Qt's texts are English already.
  if (text_language() != TextLanguage::chinese) return;
  auto* translator = new QTranslator(QCoreApplication::instance());
  translator->setObjectName("toolkitTranslation");
  if (translator->load(QLocale(QLocale::Chinese, QLocale::China), "qtbase", "_",
                       QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QCoreApplication::installTranslator(translator);
  else
    delete translator;
}

}  // namespace kestrova::app::desktop
