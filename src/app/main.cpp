#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/cli/command_line.h"
#include "app/core/agent/mcp_exposure_level.h"
#include "app/core/agent/tool_bridge.h"
#include "app/core/user_preferences.h"
#include "app/mcp/mcp_stdio_server.h"
#include "mail/mail_proxy_settings.h"
#include "platform/launch_environment.h"
#include "platform/main_queue.h"
#include "platform/paths.h"
#include "util/localization.h"
#include "util/log.h"

namespace {

// What every mode does first, on the main thread before any other thread exists: the
// user's folders made private, and the mail proxy exported (the only time besides a change
// of its setting that the process environment is written). Warnings of this phase, such
// as a damaged settings file set aside, go to standard error, away from command output.
void prepare_process() {
  using namespace kestrova;
  set_log_target(LogTarget::StandardError);
  platform::secure_private_directories();
  mail::export_proxy_environment_and_follow_changes();
}

// The scripting commands run the tool server's own dispatcher, built on first use.
kestrova::app::MCPStdioServer& tool_dispatcher() {
  static kestrova::app::MCPStdioServer server;
  return server;
}

void install_tool_bridge() {
  using namespace kestrova;
  app::install_tool_bridge({[] {
                              std::vector<app::ToolBridge::Entry> entries;
                              for (const auto& tool : tool_dispatcher().exposed_descriptors(
                                       app::current_exposure_level()))
                                entries.push_back({tool.at("name").get<std::string>(),
                                                   tool.at("description").get<std::string>()});
                              return entries;
                            },
                            [](const std::string& name, const Json& arguments) {
                              return Json::parse(tool_dispatcher().run_tool(name, arguments));
                            }});
}

}  // namespace

int main(int argc, char** argv) {
  using namespace kestrova;
  // Every path depends on it, and the programs this one starts inherit it (it joins the
  // launch environment captured next).
  app::apply_home_option(argc, argv);
  // Before anything else can change the process environment.
  platform::captureLaunchEnvironment();
  // The mode is decided before anything else.
  std::vector<std::string> arguments(argv, argv + argc);
  const bool tool_server = app::is_tool_server_invocation(arguments);
  prepare_process();
  set_text_language(app::UserPreferences::shared().get(app::settings::defaultLanguage));
  if (tool_server) {
    // Standard output carries protocol lines only; diagnostics go to standard error.
    set_log_target(LogTarget::StandardError);
    // Someone typed it by hand: say what it is waiting for instead of a silent screen.
    if (isatty(STDIN_FILENO) == 1)
      std::fputs((localized("cli.mcp.waiting") + "\n").c_str(), stderr);
    std::thread([] {
      app::MCPStdioServer server;
      server.serve_stdio();  // ends the process when standard input ends
    }).detach();
    platform::MainQueue::run();  // the main thread only services the main queue
    return 0;
  }
  set_log_target(LogTarget::StandardOutput);
  install_tool_bridge();
  return app::run_command_line(argc, argv);
}
