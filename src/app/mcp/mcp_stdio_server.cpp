#include "app/mcp/mcp_stdio_server.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/mcp/mcp_catalogue.h"
#include "app/mcp/mcp_error.h"
#include "build_info.h"
#include "util/work_group.h"

namespace kestrova::app {

namespace {

constexpr int kMethodNotFound = -32601;
constexpr int kToolError = -32000;

OrderedJson success(const Json& id, OrderedJson result) {
  OrderedJson response = OrderedJson::object();
  response["jsonrpc"] = "2.0";
  response["id"] = OrderedJson(id);
  response["result"] = std::move(result);
  return response;
}

OrderedJson failure(const Json& id, int code, const std::string& message) {
  OrderedJson error = OrderedJson::object();
  error["code"] = code;
  error["message"] = message;
  OrderedJson response = OrderedJson::object();
  response["jsonrpc"] = "2.0";
  response["id"] = OrderedJson(id);
  response["error"] = std::move(error);
  return response;
}

void write_all(int fd, const std::string& data) {
  size_t written = 0;
  while (written < data.size()) {
    ssize_t n = ::write(fd, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the reader went away; nothing left to tell it
    written += static_cast<size_t>(n);
  }
}

// Copying and serialising a JSON value recurse once per nesting level, so a line of a few
// hundred kilobytes of brackets would overflow the request thread's stack. No request needs
// more than a handful of levels; deeper lines are treated like lines that are not JSON.
constexpr int kMaxNesting = 512;

bool nests_deeper_than(std::string_view text, int limit) {
  int depth = 0;
  bool in_string = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (in_string) {
      if (c == '\\') ++i;
      else if (c == '"') in_string = false;
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

// {"jsonrpc":"2.0","id":…,"result":{"content":[{"type":"text","text":…}]}} for valid UTF-8
// `text` (the serialised tool result).
std::string tool_result_line(const Json& id, const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8 + 96);
  out += R"({"jsonrpc":"2.0","id":)";
  out += id.dump(-1, ' ', false, Json::error_handler_t::replace);
  out += R"(,"result":{"content":[{"type":"text","text":)";
  append_json_string(out, text);
  out += R"(}]}})";
  return out;
}

std::string or_fallback(const char* value, const char* fallback) {
  return (value && *value) ? std::string(value) : std::string(fallback);
}

}  // namespace

MCPStdioServer::MCPStdioServer() : catalogue_(build_tool_catalogue()) {
  // Catalogue order is base, workflow, tag/link, rule, write.
  dispatch_order_ = {&catalogue_[4], &catalogue_[2], &catalogue_[3], &catalogue_[1],
                     &catalogue_[0]};
}

std::string MCPStdioServer::version_text() {
  return "v" + or_fallback(build_info::kShortVersion, "未知版本") + " (" +
         or_fallback(build_info::kBuildNumber, "未知构建") + ") #" +
         or_fallback(build_info::kGitCommitHash, "dev");
}

std::vector<OrderedJson> MCPStdioServer::exposed_descriptors(MCPExposureLevel level) const {
  std::vector<OrderedJson> out;
  for (const auto& group : catalogue_) group.append_exposed(level, out);
  return out;
}

const Tool* MCPStdioServer::find_tool(std::string_view name) const {
  for (const ToolGroup* group : dispatch_order_)
    if (const Tool* tool = group->find(name)) return tool;
  return nullptr;
}

std::string MCPStdioServer::call_tool(const Json& params) {
  std::string name;
  Json arguments = Json::object();
  if (params.is_object()) {
    if (auto it = params.find("name"); it != params.end() && it->is_string())
      name = it->get<std::string>();
    if (auto it = params.find("arguments"); it != params.end() && it->is_object())
      arguments = *it;
  }
  return run_tool(name, arguments);
}

std::string MCPStdioServer::run_tool(const std::string& name, const Json& arguments) const {
  const Tool* tool = find_tool(name);
  if (!tool) throw MCPError("Unknown tool: " + name);
  if (!is_exposed(current_exposure_level(), tool->tier))
    throw MCPError("Tool not exposed at current MCP level");
  if (tool->text_handler) return tool->text_handler(arguments);
  Json value = tool->handler(arguments);
  std::string text;
  try {
    // Text that is not UTF-8 (mail stored by other programs) is shown with U+FFFD.
    text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  } catch (const std::exception&) {
    text = "{}";
  }
  return text;
}

std::optional<std::string> MCPStdioServer::handle_line(std::string_view line) {
  if (nests_deeper_than(line, kMaxNesting)) return std::nullopt;
  Json request = Json::parse(line.begin(), line.end(), nullptr, false);
  if (request.is_discarded() || !request.is_object()) return std::nullopt;
  Json id = nullptr;
  if (auto it = request.find("id"); it != request.end()) id = *it;
  auto method_it = request.find("method");
  if (method_it == request.end() || !method_it->is_string()) return std::nullopt;
  const std::string& method = method_it->get_ref<const std::string&>();
  static const Json kNoParams = Json::object();
  auto params_it = request.find("params");
  const Json& params = params_it == request.end() ? kNoParams : *params_it;

  OrderedJson response;
  if (method == "initialize") {
    OrderedJson server_info = OrderedJson::object();
    server_info["name"] = "kestrova";
    server_info["version"] = version_text();
    OrderedJson capabilities = OrderedJson::object();
    capabilities["tools"] = OrderedJson::object();
    OrderedJson result = OrderedJson::object();
    result["protocolVersion"] = "2024-11-05";
    result["serverInfo"] = std::move(server_info);
    result["capabilities"] = std::move(capabilities);
    response = success(id, std::move(result));
  } else if (method == "notifications/initialized") {
    return std::nullopt;
  } else if (method == "tools/list") {
    OrderedJson result = OrderedJson::object();
    result["tools"] = exposed_descriptors(current_exposure_level());
    response = success(id, std::move(result));
  } else if (method == "tools/call") {
    try {
      // The tool's text is already JSON; it is placed into the envelope by hand so that a
      // long answer is not parsed, copied and checked again.
      return tool_result_line(id, call_tool(params));
    } catch (const std::exception& e) {
      response = failure(id, kToolError, e.what());
    }
  } else {
    response = failure(id, kMethodNotFound, "Method not found: " + method);
  }
  try {
    return response.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
  } catch (const std::exception&) {
    return std::nullopt;  // not serialisable: dropped without output
  }
}

void MCPStdioServer::serve_stdio() {
  std::string pending;
  char chunk[65536];
  auto answer = [this](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (auto response = handle_line(line)) write_all(STDOUT_FILENO, *response + "\n");
  };
  while (true) {
    ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size_t scan_from = pending.size();  // earlier bytes hold no line break
    pending.append(chunk, static_cast<size_t>(n));
    size_t start = 0;
    for (size_t nl; (nl = pending.find('\n', scan_from)) != std::string::npos;
         start = scan_from = nl + 1)
      answer(std::string_view(pending).substr(start, nl - start));
    pending.erase(0, start);
  }
  if (!pending.empty()) answer(pending);
  WorkGroup::shared().wait_for(std::chrono::seconds(60));
  std::fflush(nullptr);
  std::_Exit(0);
}

bool is_tool_server_invocation(const std::vector<std::string>& argv) {
  for (const auto& arg : argv)
    if (arg == "--mcp-stdio") return true;
  const std::string program = argv.empty() ? std::string() : argv.front();
  return std::filesystem::path(program).filename() == "kestrova-mcp";
}

}  // namespace kestrova::app
