#pragma once

#include <optional>

namespace kestrova::app {
class UserPreferences;
}

namespace kestrova::app::desktop {

// Whether the desktop prefers dark: GNOME's colour scheme, a dark GTK theme, or a dark
// window colour of the platform's own palette. Asked once, at the first call: later the
// application's palette is Kestrova's own.
bool desktop_prefers_dark();

// Sets the application's style, palette and interface font from the skin
// (`appVisualSkin`: midnight and sciFi are dark, the others follow the desktop) and the
// text size (`appInterfaceFontScale`); `dark` overrides the choice of light or dark.
// Called at start and again whenever one of the two settings changes.
void apply_appearance(const UserPreferences& preferences, std::optional<bool> dark = std::nullopt);

}  // namespace kestrova::app::desktop
