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

}  // namespace kestrova::app::desktop
