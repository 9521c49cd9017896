#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace kestrova::platform {

// One folder for all of Kestrova's own files, chosen with `kestrova --home DIR` or the
// KESTROVA_HOME variable: a second mailbox (or the demo) beside the user's own. `--home`
// sets the variable (made absolute) before anything reads a path, so that every program
// Kestrova starts inherits it.
inline constexpr const char* kHomeVariable = "KESTROVA_HOME";
// The chosen folder, absolute; nothing when neither was given.
std::optional<std::filesystem::path> kestrova_home();
// Sets KESTROVA_HOME to `directory` made absolute. Main thread, before other threads exist.
void set_kestrova_home(const std::filesystem::path& directory);

// Kestrova's data, settings and state: under KESTROVA_HOME (its data/, config/ and state/)
// when one is chosen; otherwise the XDG base directories, each the variable when set and
// absolute, else the usual fallback.
std::filesystem::path home_directory();
std::filesystem::path data_home();    // $XDG_DATA_HOME or ~/.local/share
std::filesystem::path config_home();  // $XDG_CONFIG_HOME or ~/.config
std::filesystem::path state_home();   // $XDG_STATE_HOME or ~/.local/state
// What data_home() and config_home() are when KESTROVA_HOME is `home`.
std::filesystem::path data_home_of(const std::filesystem::path& home);
std::filesystem::path config_home_of(const std::filesystem::path& home);
// The desktop's own folders, whatever KESTROVA_HOME says: where the session looks for
// autostart entries, systemd user units and desktop entries.
std::filesystem::path desktop_data_home();
std::filesystem::path desktop_config_home();
// The running program's own file (/proc/self/exe), when it can be determined.
std::optional<std::filesystem::path> executable_path();
// A program that comes with this one (the window, the demo's generator): beside it in a build
// or a home-made install, in ../lib/kestrova when installed from the package; the first one
// that can be run, else nothing.
std::optional<std::filesystem::path> companion_program(const std::string& name);
// The kestrova program itself: `program`, or, for the window (the companion program
// kestrova-window), the kestrova it came with — beside it in a build, ../../bin/kestrova
// when installed under lib/kestrova. What links, services and link handlers start.
std::optional<std::filesystem::path> main_program_of(const std::filesystem::path& program);
// main_program_of() the running program.
std::optional<std::filesystem::path> main_program();

// Private files. The user's mail, rules, settings and credentials are readable by the user
// alone, whatever the umask: folders 0700, files 0600.
//
// Creates `directory` and any missing parent with mode 0700 (what the XDG base directory
// rules ask for), and narrows `directory` itself to 0700 when group or others have any
// access. False when it could not be created or narrowed.
bool ensure_private_directory(const std::filesystem::path& directory);
// Narrows an existing file to 0600 when group or others have any access; a missing file
// is fine. False when the mode could not be changed.
bool restrict_file_to_owner(const std::filesystem::path& file);
// Writes `text` to `file` as a whole (a temporary file renamed over it), 0600, in a private
// folder made when missing. False when it could not be written; the old file then stays.
bool write_private_file(const std::filesystem::path& file, const std::string& text);
// Creates and narrows the folders of the user's data and settings ($XDG_DATA_HOME/tivra
// with Email and Rules, $XDG_DATA_HOME/kestrova, $XDG_CONFIG_HOME/kestrova), with one
// warning for each that cannot be fixed. Called at the top of main, so that whatever the
// program writes later lands in folders only the user can enter.
void secure_private_directories();

}  // namespace kestrova::platform
