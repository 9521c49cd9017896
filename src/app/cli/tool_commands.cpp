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
#include "app/core/tool_bridge.h"
#include "platform/main_queue.h"
#include "util/error.h"
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
      std::cerr << e.what() << "\n";
      return kToolFailureStatus;
    }
    platform::MainQueue::drain();
    std::cout << result.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
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
  static void text(const CommandArguments& from, const char* option, Json& to, const char* key) {
    if (auto it = from.find(option); it != from.end()) to[key] = text::trim(it->second);
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

// A command whose arguments map one by one; `map` fills the tool arguments and says
// whether they could be built.
class MappedToolCommand : public KestrovaToolBridgeCommand {
 public:
  using Mapping = bool (*)(const CommandArguments&, Json&);
  MappedToolCommand(std::string tool, Mapping map) : tool_(std::move(tool)), map_(map) {}

 protected:
  std::optional<std::pair<std::string, Json>> build(
      const CommandArguments& arguments) const override {
    Json out = Json::object();
    if (!map_(arguments, out)) return std::nullopt;
    return std::pair{tool_, out};
  }

 private:
  std::string tool_;
  Mapping map_;
};

#define KESTROVA_TOOL_COMMAND(Class, tool, body)                                             \
  class Class : public MappedToolCommand {                                                   \
   public:                                                                                   \
    Class() : MappedToolCommand(tool, [](const CommandArguments& in, Json& out) { body }) {} \
  };

KESTROVA_TOOL_COMMAND(KestrovaListAccountsCommand, "list_accounts", (void)in; (void)out;
                      return true;)
KESTROVA_TOOL_COMMAND(KestrovaSearchMailsCommand, "search_messages",
                      text(in, "query", out, "query");
                      return integer(in, "limit", out, "limit");)
KESTROVA_TOOL_COMMAND(KestrovaGetMailCommand, "get_message",
                      text(in, "messageId", out, "messageId");
                      return true;)
KESTROVA_TOOL_COMMAND(KestrovaMarkReadCommand, "mark_message_read",
                      text(in, "messageId", out, "messageId");
                      return boolean(in, "read", out, "isRead");)
KESTROVA_TOOL_COMMAND(KestrovaAddTagCommand, "add_tag", text(in, "messageId", out, "messageId");
                      text(in, "tag", out, "tag"); return true;)
KESTROVA_TOOL_COMMAND(KestrovaRemoveTagCommand, "remove_tag",
                      text(in, "messageId", out, "messageId");
                      text(in, "tag", out, "tag"); return true;)
KESTROVA_TOOL_COMMAND(KestrovaMoveMailCommand, "move_message",
                      text(in, "messageId", out, "messageId");
                      text(in, "toFolder", out, "targetFolderId"); return true;)
KESTROVA_TOOL_COMMAND(KestrovaDeleteMailCommand, "delete_message",
                      text(in, "messageId", out, "messageId");
                      return true;)
KESTROVA_TOOL_COMMAND(KestrovaCreateDraftCommand, "create_draft",
                      text(in, "subject", out, "subject");
                      text(in, "body", out, "body"); return true;)
#undef KESTROVA_TOOL_COMMAND

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
