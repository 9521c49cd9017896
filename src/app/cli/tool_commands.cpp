// `kestrova tool ...`: the scripting commands. Each is a thin adapter over the tool server:
// it turns its options into tool arguments, runs the tool through the same dispatcher an
// agent uses (names, exposure levels and database alike) and prints the result as JSON
// with sorted keys, indented. Exit status 5: the arguments cannot be built ("Missing or
// invalid parameters"); 8: the tool failed (its message). Both messages go to stderr.

#include <CLI/CLI.hpp>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "app/cli/command_line.h"
#include "app/core/agent/tool_bridge.h"
#include "platform/main_queue.h"
#include "util/error.h"
#include "util/terminal_text.h"
#include "util/text.h"

namespace kestrova::app {

namespace {

constexpr int kInvalidParametersStatus = 5;
constexpr int kToolFailureStatus = 8;

// The options a command was given, by option name, as typed.
using CommandArguments = std::map<std::string, std::string>;

// What every scripting command does; a subclass names the tool and maps the arguments.
class KestrovaToolBridgeCommand {
 public:
  virtual ~KestrovaToolBridgeCommand() = default;

  // Runs the command and returns its exit status.
  int execute(const CommandArguments& arguments) const {
    const auto call = build(arguments);
    if (!call) {
      std::cerr << "Missing or invalid parameters\n";
      return kInvalidParametersStatus;
    }
    Json result;
    try {
      result = run(call->first, call->second);
    } catch (const std::exception& e) {
      platform::MainQueue::drain();
      std::cerr << terminal_safe(e.what(), TextShape::block) << "\n";
      return kToolFailureStatus;
    }
    platform::MainQueue::drain();
    std::cout << terminal_safe_json(result.dump(2, ' ', false, Json::error_handler_t::replace))
              << "\n";
    return 0;
  }

 protected:
  // The tool and its arguments; nothing when they cannot be built.
  virtual std::optional<std::pair<std::string, Json>> build(
      const CommandArguments& arguments) const = 0;
  virtual Json run(const std::string& tool, const Json& arguments) const {
    return tool_bridge().callTool(tool, arguments);
  }

  // Mapping helpers. Text is trimmed; a missing option is not passed on (the tool says
  // what it misses); a number or truth value that does not read as one fails the build.
  static bool text(const CommandArguments& from, const char* option, Json& to, const char* key) {
    if (auto it = from.find(option); it != from.end()) to[key] = text::trim(it->second);
    return true;
  }
  static bool integer(const CommandArguments& from, const char* option, Json& to, const char* key) {
    auto it = from.find(option);
    if (it == from.end()) return true;
    const std::string value = text::trim(it->second);
    size_t used = 0;
    try {
      const long long number = std::stoll(value, &used);
      if (used != value.size()) return false;
      to[key] = number;
    } catch (const std::exception&) {
      return false;
    }
    return true;
  }
  static bool boolean(const CommandArguments& from, const char* option, Json& to, const char* key) {
    auto it = from.find(option);
    if (it == from.end()) return true;
    const std::string value = text::lower(text::trim(it->second));
    if (value == "true" || value == "yes" || value == "1")
      to[key] = true;
    else if (value == "false" || value == "no" || value == "0")
      to[key] = false;
    else
      return false;
    return true;
  }
};

class KestrovaListToolsCommand : public KestrovaToolBridgeCommand {
 protected:
  std::optional<std::pair<std::string, Json>> build(const CommandArguments&) const override {
    return std::pair{std::string(), Json::object()};
  }
  Json run(const std::string&, const Json&) const override {
    Json list = Json::array();
    for (const auto& tool : tool_bridge().listTools())
      list.push_back({{"name", tool.name}, {"description", tool.description}});
    return list;
  }
};

class KestrovaCallToolCommand : public KestrovaToolBridgeCommand {
 protected:
  std::optional<std::pair<std::string, Json>> build(
      const CommandArguments& arguments) const override {
    auto name = arguments.find("name");
    if (name == arguments.end() || text::trim(name->second).empty()) return std::nullopt;
    auto parameters = arguments.find("parameters");
    Json value =
        parameters == arguments.end() ? Json() : Json::parse(parameters->second, nullptr, false);
    // Not an object: reported by run() as the tool failure it is to the script.
    return std::pair{text::trim(name->second), value};
  }
  Json run(const std::string& tool, const Json& arguments) const override {
    if (!arguments.is_object()) throw Error("`with parameters` must be a JSON object string");
    return KestrovaToolBridgeCommand::run(tool, arguments);
  }
};

// A command that maps its arguments onto one tool: the subclass names the tool and fills
// its arguments, saying whether they could be built.
class MappedToolCommand : public KestrovaToolBridgeCommand {
 protected:
  virtual std::string tool() const = 0;
  virtual bool map(const CommandArguments& in, Json& out) const = 0;
  std::optional<std::pair<std::string, Json>> build(
      const CommandArguments& arguments) const override {
    Json out = Json::object();
    if (!map(arguments, out)) return std::nullopt;
    return std::pair{tool(), out};
  }
};

class KestrovaListAccountsCommand : public MappedToolCommand {
  std::string tool() const override { return "list_accounts"; }
  bool map(const CommandArguments&, Json&) const override { return true; }
};
class KestrovaSearchMailsCommand : public MappedToolCommand {
  std::string tool() const override { return "search_messages"; }
  bool map(const CommandArguments& in, Json& out) const override {
    return text(in, "query", out, "query") && integer(in, "limit", out, "limit");
  }
};
class KestrovaGetMailCommand : public MappedToolCommand {
  std::string tool() const override { return "get_message"; }
  bool map(const CommandArguments& in, Json& out) const override {
    return text(in, "messageId", out, "messageId");
  }
};
class KestrovaMarkReadCommand : public MappedToolCommand {
  std::string tool() const override { return "mark_message_read"; }
  bool map(const CommandArguments& in, Json& out) const override {
    return text(in, "messageId", out, "messageId") && boolean(in, "read", out, "isRead");
  }
};
class KestrovaAddTagCommand : public MappedToolCommand {
  std::string tool() const override { return "add_tag"; }
  bool map(const CommandArguments& in, Json& out) const override {
    return text(in, "messageId", out, "messageId") && text(in, "tag", out, "tag");
  }
};
class KestrovaRemoveTagCommand : public KestrovaAddTagCommand {
  std::string tool() const override { return "remove_tag"; }
};
class KestrovaMoveMailCommand : public MappedToolCommand {
  std::string tool() const override { return "move_message"; }
  bool map(const CommandArguments& in, Json& out) const override {
    return text(in, "messageId", out, "messageId") && text(in, "toFolder", out, "targetFolderId");
  }
};
class KestrovaDeleteMailCommand : public KestrovaGetMailCommand {
  std::string tool() const override { return "delete_message"; }
};
class KestrovaCreateDraftCommand : public MappedToolCommand {
  std::string tool() const override { return "create_draft"; }
  bool map(const CommandArguments& in, Json& out) const override {
    return text(in, "subject", out, "subject") && text(in, "body", out, "body");
  }
};

// Registers one subcommand; `options` are (option flag, argument key) pairs.
template <typename Command>
void add(CLI::App& tool, const char* name, const char* description,
         std::initializer_list<std::pair<const char*, const char*>> options) {
  auto* sub = tool.add_subcommand(name, description);
  auto given = std::make_shared<CommandArguments>();
  auto values = std::make_shared<std::map<std::string, std::string>>();
  for (const auto& [flag, key] : options) {
    std::string* slot = &(*values)[key];
    if (flag[0] == '-')
      sub->add_option(flag, *slot, std::string("→ ") + key);
    else
      sub->add_option(flag, *slot, "The tool's name");
  }
  sub->callback([sub, values, given, options = std::vector(options)] {
    for (const auto& [flag, key] : options)
      if (sub->count(flag) > 0) (*given)[key] = (*values)[key];
    if (const int status = Command().execute(*given); status != 0) throw CommandFailure{status};
  });
}

}  // namespace

void print_tool_answer(const std::string& tool, const Json& arguments) {
  const Json result = tool_bridge().callTool(tool, arguments);
  std::cout << result.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

void add_tool_commands(CLI::App& root) {
  auto* tool =
      root.add_subcommand("tool", "Run the tool server's tools from scripts (JSON on stdout)");
  tool->require_subcommand(1);
  add<KestrovaListToolsCommand>(*tool, "list", "The tools exposed at the current level", {});
  add<KestrovaCallToolCommand>(*tool, "call", "Run any tool with a JSON object of arguments",
                               {{"name", "name"}, {"--parameters", "parameters"}});
  add<KestrovaListAccountsCommand>(*tool, "list-accounts", "list_accounts", {});
  add<KestrovaSearchMailsCommand>(*tool, "search", "search_messages",
                                  {{"--query", "query"}, {"--limit", "limit"}});
  add<KestrovaGetMailCommand>(*tool, "get", "get_message", {{"--message-id", "messageId"}});
  add<KestrovaMarkReadCommand>(*tool, "mark-read", "mark_message_read",
                               {{"--message-id", "messageId"}, {"--read", "read"}});
  add<KestrovaAddTagCommand>(*tool, "add-tag", "add_tag",
                             {{"--message-id", "messageId"}, {"--tag", "tag"}});
  add<KestrovaRemoveTagCommand>(*tool, "remove-tag", "remove_tag",
                                {{"--message-id", "messageId"}, {"--tag", "tag"}});
  add<KestrovaMoveMailCommand>(*tool, "move", "move_message",
                               {{"--message-id", "messageId"}, {"--to-folder", "toFolder"}});
  add<KestrovaDeleteMailCommand>(*tool, "delete", "delete_message",
                                 {{"--message-id", "messageId"}});
  add<KestrovaCreateDraftCommand>(*tool, "create-draft", "create_draft",
                                  {{"--subject", "subject"}, {"--body", "body"}});
}

}  // namespace kestrova::app
