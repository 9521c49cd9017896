#pragma once

#include <QPixmap>
#include <QString>

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {
class UserPreferences;
}

namespace kestrova::app::desktop {

class MainWindow;

// Pictures of the follow-up views, the snooze picker and the Rules page for the window's
// --screenshot option (tools/screenshots.sh).

// Chooses the view named `name` ("starred", "reply-later", "waiting-on", "snoozed",
// "action-items"); false for another name.
bool show_view_named(MainWindow& window, const QString& name);
// Makes the action item at `row` current and opens its message.
void open_action_item(MainWindow& window, int row);
// The window with the snooze picker of its current message drawn over it.
QPixmap grab_with_snooze_picker(MainWindow& window);
// Saves a picture of the Rules page, standing alone, on its first rule with its preview.
// Returns the program's exit status.
int capture_rules_page(store::EmailDatabase& database, UserPreferences& preferences,
                       const QString& size, const QString& file);

}  // namespace kestrova::app::desktop
