#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "rules/lua_engine.h"
#include "store/email_message.h"
#include "util/error.h"

namespace kestrova::rules {

class EmailRuleEngineError : public Error {
 public:
  enum class Kind { loadFailed, executionFailed };
  EmailRuleEngineError(Kind kind, const std::string& detail);
};

// What a script rule decided for one message.
struct ScriptRuleOutcome {
  std::optional<bool> isImportant;
  std::optional<bool> isSpam;
  std::optional<bool> isSubscription;
  std::optional<std::vector<std::string>> tags;
  Json priority;  // whatever the script returned, null when nothing
};

// Script rules: the .lua files of the rules directory, run per message through the
// function "processEmail". The directory gets the default rules file on start. Without a
// script VM loading is skipped and processing never runs a script.
class EmailRuleEngine {
 public:
  static constexpr std::string_view kDefaultRulesFile = "default_rules.lua";

  // $XDG_DATA_HOME/tivra/Rules
  static std::filesystem::path default_directory();
  // The template of the default rules file.
  static std::string_view rule_template();

  explicit EmailRuleEngine(std::filesystem::path directory = default_directory());

  // Creates the default rules file when missing, then loads the rules.
  void start();
  // Loads every .lua file of the directory; false when nothing could be loaded.
  bool loadRules();
  bool rulesLoaded() const { return loaded_; }
  // The outcome of "processEmail" for the message; nothing when no rules are loaded or the
  // script failed (mail stays unchanged).
  std::optional<ScriptRuleOutcome> process(const store::EmailMessage& message);
  // The argument table handed to "processEmail".
  static Json email_table(const store::EmailMessage& message);

  const std::filesystem::path& directory() const { return directory_; }

 private:
  void createDefaultRulesFile();

  std::filesystem::path directory_;
  LuaEngine engine_;
  bool loaded_ = false;
};

}  // namespace kestrova::rules
