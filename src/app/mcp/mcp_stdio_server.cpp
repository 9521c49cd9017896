#include "app/mcp/mcp_stdio_server.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/mcp/mcp_catalogue.h"
#include "app/mcp/mcp_error.h"
#include "build_info.h"
#include "util/text.h"
#include "util/work_group.h"

namespace kestrova::app {

namespace {

// JSON-RPC 2.0 §5.1 error codes.
constexpr int kParseError = -32700;
constexpr int kInvalidRequest = -32600;
constexpr int kMethodNotFound = -32601;
constexpr int kToolError = -32000;
// Names echoed in error messages (methods, tools) are cut to this many characters.
constexpr size_t kEchoedNameCharacters = 200;

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
// more than a handful of levels; deeper lines are refused as invalid requests.
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

// `text` with every byte that does not belong to a well-formed UTF-8 sequence replaced by
// U+FFFD, so that a request's id can still be read.
std::string repaired_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80                   ? 1
                    : lead >= 0xC2 && lead < 0xE0 ? 2
                    : lead >= 0xE0 && lead < 0xF0 ? 3
                    : lead >= 0xF0 && lead < 0xF5 ? 4
                                                  : 0;
    bool ok = length != 0 && i + length <= text.size();
    for (size_t k = 1; ok && k < length; ++k)
      ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (ok && length > 1)
      ok = text::is_valid_utf8(text.substr(i, length));  // overlongs, surrogates
    if (!ok) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

// The request's id when it can be read from a line refused as invalid: the top-level
// "id" member of an object when it is a string, a number or null (as JSON-RPC ids are),
// parsed with every nested object or array left out (so depth costs nothing). Null
// otherwise.
Json readable_id(std::string_view line) {
  const Json::parser_callback_t shallow = [](int depth, Json::parse_event_t event, Json&) {
    return !(depth > 0 && (event == Json::parse_event_t::object_start ||
                           event == Json::parse_event_t::array_start));
  };
  const Json request = Json::parse(line.begin(), line.end(), shallow, false);
  if (request.is_discarded() || !request.is_object()) return nullptr;
  auto it = request.find("id");
  return it == request.end() || it->is_discarded() ? Json(nullptr) : *it;
}

std::string cut_name(std::string_view name) {
  // Bounded before the character count, which would otherwise walk a 10 MB name.
  const std::string head =
      text::prefix_characters(name.substr(0, 4 * kEchoedNameCharacters + 4), kEchoedNameCharacters);
  return head.size() < name.size() ? head + "…" : head;
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
  for (const ToolGroup& group : catalogue_) dispatch_order_.push_back(&group);
  std::ranges::sort(dispatch_order_, {}, &ToolGroup::lookup_rank);
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
  if (!tool) throw MCPError("Unknown tool: " + cut_name(name));
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

std::string MCPStdioServer::error_line(const Json& id, int code, const std::string& message) {
  return failure(id, code, message).dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

std::string MCPStdioServer::oversized_line_answer() {
  return error_line(
      nullptr, kInvalidRequest,
      "Invalid Request: line longer than " + std::to_string(kMaxLineBytes) + " bytes");
}

std::optional<std::string> MCPStdioServer::handle_line(std::string_view line) {
  // Blank lines (a host's keep-alive) get no answer.
  if (line.find_first_not_of(" \t\r") == std::string_view::npos) return std::nullopt;
  const auto invalid = [](const Json& id, std::string_view why) {
    return error_line(id, kInvalidRequest, "Invalid Request: " + std::string(why));
  };
  if (nests_deeper_than(line, kMaxNesting)) {
    // A deep line that is no JSON at all is a parse error like any other; the check walks it
    // without building it, and so without recursing.
    if (text::is_valid_utf8(line) && !Json::accept(line.begin(), line.end()))
      return error_line(nullptr, kParseError, "Parse error");
    return invalid(readable_id(line),
                   "nested deeper than " + std::to_string(kMaxNesting) + " levels");
  }
  Json request = Json::parse(line.begin(), line.end(), nullptr, false);
  if (request.is_discarded()) {
    if (!text::is_valid_utf8(line)) return invalid(readable_id(repaired_utf8(line)), "not UTF-8");
    return error_line(nullptr, kParseError, "Parse error");
  }
  if (request.is_array()) return invalid(nullptr, "batches are not supported");
  if (!request.is_object()) return invalid(nullptr, "not a JSON object");
  Json id = nullptr;
  if (auto it = request.find("id"); it != request.end()) id = *it;
  auto method_it = request.find("method");
  if (method_it == request.end()) {
    // An answer to a request of ours (we send none): nothing to say back.
    if (request.contains("result") || request.contains("error")) return std::nullopt;
    return invalid(id, "no method");
  }
  if (!method_it->is_string()) return invalid(id, "method is not a string");
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
  } else if (method == "ping") {
    response = success(id, OrderedJson::object());  // MCP: hosts check that we are alive
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
    response = failure(id, kMethodNotFound, "Method not found: " + cut_name(method));
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
  // Set while the rest of a line over kMaxLineBytes is read and thrown away.
  bool discarding = false;
  auto answer = [this](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (auto response = handle_line(line)) write_all(STDOUT_FILENO, *response + "\n");
  };
  while (true) {
    ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::string_view incoming(chunk, static_cast<size_t>(n));
    if (discarding) {
      const size_t nl = incoming.find('\n');
      if (nl == std::string_view::npos) continue;
      discarding = false;
      write_all(STDOUT_FILENO, oversized_line_answer() + "\n");
      incoming.remove_prefix(nl + 1);
    }
    size_t scan_from = pending.size();  // earlier bytes hold no line break
    pending.append(incoming);
    size_t start = 0;
    for (size_t nl; (nl = pending.find('\n', scan_from)) != std::string::npos;
         start = scan_from = nl + 1) {
      if (nl - start > kMaxLineBytes)
        write_all(STDOUT_FILENO, oversized_line_answer() + "\n");
      else
        answer(std::string_view(pending).substr(start, nl - start));
    }
    pending.erase(0, start);
    if (pending.size() > kMaxLineBytes) {
      pending.clear();
      pending.shrink_to_fit();
      discarding = true;
    }
  }
  if (discarding)
    write_all(STDOUT_FILENO, oversized_line_answer() + "\n");
  else if (!pending.empty())
    answer(pending);
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
