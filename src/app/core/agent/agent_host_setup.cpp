#include "app/core/agent/agent_host_setup.h"

#include "app/core/agent/mcp_cli_installer.h"
#include "platform/paths.h"
#include "util/json.h"

namespace kestrova::app {

std::string agent_host_configuration(std::string_view host) {
  return agent_host_configuration(host, platform::kestrova_home());
}

std::string agent_host_configuration(std::string_view host,
                                     const std::optional<std::filesystem::path>& home) {
  const std::string command = MCPCLIInstaller::link_path().string();
  if (host == "claude-code" || host == "codex") {
    const std::string words = home_option_words(home);
    return (host == "claude-code" ? "claude" : "codex") + std::string(" mcp add kestrova -- ") +
           command + (words.empty() ? "" : " " + words);
  }
  if (!home && host != "vscode") return MCPCLIInstaller::configuration_snippet();
  const std::string args =
      home ? ",\n      \"args\": [\"--home\", " + Json(home->string()).dump() + "]" : "";
  if (host == "vscode")
    return "{\n  \"servers\": {\n    \"kestrova\": {\n      \"type\": \"stdio\",\n"
           "      \"command\": " +
           Json(command).dump() + args + "\n    }\n  }\n}";
  return "{\n  \"mcpServers\": {\n    \"kestrova\": {\n      \"command\": " + Json(command).dump() +
         args + "\n    }\n  }\n}";
}

std::string home_option_words() { return home_option_words(platform::kestrova_home()); }

std::string home_option_words(const std::optional<std::filesystem::path>& home) {
  if (!home) return {};
  const std::string path = home->string();
  const bool plain =
      path.find_first_not_of(
          "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._-+,:@") ==
      std::string::npos;
  if (plain) return "--home " + path;
  std::string quoted = "'";
  for (char c : path) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return "--home " + quoted + "'";
}

}  // namespace kestrova::app
