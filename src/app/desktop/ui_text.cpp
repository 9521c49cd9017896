#include "app/desktop/ui_text.h"

#include <QLabel>

#include "util/localization.h"

namespace kestrova::app::desktop {

QString ui_text(std::string_view key) { return QString::fromStdString(localized(key)); }

QLabel* wrapped_label(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  return label;
}

}  // namespace kestrova::app::desktop
