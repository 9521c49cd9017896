#include <string>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/mcp_stdio_server.h"
#include "platform/launch_environment.h"
#include "platform/main_queue.h"
#include "util/log.h"

int main(int argc, char** argv) {
  using namespace kestrova;
  // Before anything can change the process environment.
  platform::captureLaunchEnvironment();
  // The mode is decided before anything else.
  std::vector<std::string> arguments(argv, argv + argc);
  if (app::is_tool_server_invocation(arguments)) {
    // Standard output carries protocol lines only; diagnostics go to standard error.
    set_log_target(LogTarget::StandardError);
    std::thread([] {
      app::MCPStdioServer server;
      server.serve_stdio();  // ends the process when standard input ends
    }).detach();
    platform::MainQueue::run();  // the main thread only services the main queue
    return 0;
  }
  return app::run_command_line(argc, argv);
}
