#pragma once

#include <QString>
#include <string_view>

class QLabel;
class QWidget;

namespace kestrova::app::desktop {

// A text of the localisation tables, in the interface's language.
QString ui_text(std::string_view key);

// A label that wraps its text to the width it is given.
QLabel* wrapped_label(const QString& text, QWidget* parent);

// Qt's own texts (the standard buttons of dialogs, the context menus of text fields) in the
// interface's language, from Debian's Qt translations when they are installed. Once, after
// the application object exists.
void load_toolkit_translations();

}  // namespace kestrova::app::desktop
