#pragma once

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kestrova::app {

// The agent hosts whose configuration `kestrova mcp config --host` and the window's first
// run print, in the order they are offered.
inline constexpr std::array<std::string_view, 5> kAgentHosts = {"claude-desktop", "cursor",
                                                                "vscode", "claude-code", "codex"};

// What `host` (one of kAgentHosts) needs to start the tool server: the "mcpServers" JSON
// object (claude-desktop, cursor), VS Code's "servers" object, or the command that registers
// it (claude-code, codex). The command is the kestrova-mcp link; a chosen home (`--home`)
// goes with it as arguments.
std::string agent_host_configuration(std::string_view host);
// The same for the home `home` (none: the user's own).
std::string agent_host_configuration(std::string_view host,
                                     const std::optional<std::filesystem::path>& home);

// The words that select the current home for a command shown to the user: "--home DIR" (DIR
// quoted for a shell when needed), or nothing when no home was chosen.
std::string home_option_words();
std::string home_option_words(const std::optional<std::filesystem::path>& home);

}  // namespace kestrova::app
