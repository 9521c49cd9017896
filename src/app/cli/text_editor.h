#pragma once

#include <optional>
#include <string>

namespace kestrova::app {

// The user's editor ($VISUAL, else $EDITOR) on a file holding `prepared`, as `git commit`
// does; nothing when the editor failed, or the user left the text as it was or blank.
// Throws when no editor is set.
std::optional<std::string> edit_text(const std::string& prepared);

}  // namespace kestrova::app
