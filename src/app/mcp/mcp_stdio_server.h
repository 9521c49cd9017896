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

  // The longest input line read; a longer one is discarded as it arrives (memory stays
  // bounded) and answered -32600 with id null.
  static constexpr size_t kMaxLineBytes = 64 * 1024 * 1024;

  // Answers one input line (without its terminator). A line that is not JSON gets -32700
  // with id null; one that is not a request object (a batch, another JSON value, no method
  // or a method that is not a string, nesting deeper than 512 levels, bytes that are not
  // UTF-8) gets -32600 with its id when that can be read (JSON-RPC 2.0 §5). Nothing for
  // blank lines, "notifications/initialized" and answers to requests (we send none).
  // "ping" answers an empty result (MCP).
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
  static std::string error_line(const Json& id, int code, const std::string& message);
  static std::string oversized_line_answer();

  // Catalogue order: base mail, workflow, tag/link, rule, write.
  std::vector<ToolGroup> catalogue_;
  // The groups by their lookup rank.
  std::vector<const ToolGroup*> dispatch_order_;
};

// Mode decision: tool-server mode when any argument (the program path included) is
// exactly "--mcp-stdio", or the program file's name is exactly "kestrova-mcp".
bool is_tool_server_invocation(const std::vector<std::string>& argv);

}  // namespace kestrova::app
