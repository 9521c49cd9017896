#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/mcp/mcp_tool.h"
#include "util/json.h"

namespace kestrova::app {

// The Model Context Protocol server over standard input and output: JSON-RPC 2.0, one
// message per line. Stateless between requests; the exposure level is read at every
// tools/list and tools/call. handle_line is not thread-safe: the request loop calls it from
// one thread, one request at a time.
class MCPStdioServer {
 public:
  MCPStdioServer();

  // Answers one input line (without its terminator). Nothing for lines that get no answer:
  // non-JSON, non-objects, a missing method, "notifications/initialized".
  std::optional<std::string> handle_line(std::string_view line);

  // Reads standard input until it ends, answering each line on standard output in one
  // write; then waits at most 60 seconds for background work and ends the process with 0.
  [[noreturn]] void serve_stdio();

  // The descriptors exposed at `level`, in catalogue order.
  std::vector<OrderedJson> exposed_descriptors(MCPExposureLevel level) const;

  // Runs one tool as tools/call does (unknown name and exposure level checked first) and
  // returns the result value serialised with sorted keys; throws with the tool's message.
  std::string run_tool(const std::string& name, const Json& arguments) const;

  // "v" + short version + " (" + build + ") #" + revision.
  static std::string version_text();

 private:
  // Runs a tools/call and returns the result value serialised with sorted keys.
  std::string call_tool(const Json& params);
  const Tool* find_tool(std::string_view name) const;

  // Catalogue order: base mail, workflow, tag/link, rule, write.
  std::vector<ToolGroup> catalogue_;
  // Lookup order: write, tag/link, rule, workflow, base mail.
  std::vector<const ToolGroup*> dispatch_order_;
};

// Mode decision: tool-server mode when any argument (the program path included) is
// exactly "--mcp-stdio", or the program file's name is exactly "kestrova-mcp".
bool is_tool_server_invocation(const std::vector<std::string>& argv);

}  // namespace kestrova::app
