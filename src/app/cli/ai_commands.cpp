// `kestrova ai ...`: the AI endpoints from the command line. Profiles and scenario
// bindings (ai::AIConfiguration over the settings file), their status in the words the
// settings screen uses, model lists, a chat that streams to the terminal, and the local
// Ollama manager. API keys are read without echo or from standard input and never printed.

#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "ai/ai_configuration.h"
#include "ai/ai_service_error.h"
#include "ai/chat_ai_service.h"
#include "ai/endpoint_probe.h"
#include "ai/http_transport.h"
#include "ai/ollama_service.h"
#include "app/cli/command_line.h"
#include "app/cli/secret_input.h"
#include "app/core/ai_mail_services.h"
#include "app/core/mail_ai.h"
#include "platform/settings_store.h"
#include "util/display_width.h"
#include "util/error.h"
#include "util/json.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/terminal_text.h"
#include "util/text.h"
#include "util/time.h"

namespace kestrova::app {

namespace {

using ai::AIConfiguration;
using ai::AIProtocolType;
using ai::AIScenario;
using ai::AIServiceProfile;

// The settings object's AI part, with the start-up migration and defaults applied.
AIConfiguration& configuration() { return ai_configuration(); }

void set_verbosity(bool verbose) {
  if (verbose) use_command_log(true);
}

// The case whose raw value is `raw`; the error lists the raw values there are.
template <class E>
E case_named(const std::string& raw, std::span<const E> cases, std::string_view what) {
  std::string known;
  for (E candidate : cases) {
    if (raw_value(candidate) == raw) return candidate;
    known += (known.empty() ? "" : ", ") + std::string(raw_value(candidate));
  }
  throw Error(localized_format("cli.ai.unknown", localized(what), raw, known));
}

AIProtocolType protocol_named(const std::string& raw) {
  return case_named(raw, ai::all_protocol_types(), "cli.noun.protocol");
}
AIScenario scenario_named(const std::string& raw) {
  return case_named(raw, ai::all_scenarios(), "cli.noun.scenario");
}

// A profile by id, or by name (letter case ignored) when exactly one has it.
AIServiceProfile profile_named(const std::string& reference) {
  if (auto byId = configuration().profile(reference)) return *byId;
  std::vector<AIServiceProfile> matches;
  for (const auto& p : configuration().profiles())
    if (text::equals_ci(p.name, reference) || text::equals_ci(ai::shown_name(p), reference))
      matches.push_back(p);
  if (matches.size() == 1) return matches.front();
  if (matches.empty()) throw Error(localized_format("cli.ai.profile_not_found", reference));
  throw Error(localized_format("cli.ai.profile_ambiguous", reference));
}

// The default profile; without any profile the error is the status hint.
AIServiceProfile default_profile() {
  if (auto p = configuration().defaultProfile()) return *p;
  throw Error(configuration().aiServiceStatusHint().value_or(""));
}

std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// ---- profiles ----

Json public_json(const AIServiceProfile& p) {
  Json object = ai::to_json(p);
  object.erase("apiKey");
  object["hasAPIKey"] = !text::trim(p.apiKey).empty();
  // ISO-8601 like every other date the command line prints (the stored form counts seconds
  // from 2001).
  object["createdAt"] = iso8601_utc(p.createdAt);
  object["updatedAt"] = iso8601_utc(p.updatedAt);
  return object;
}

void list_profiles(bool asJson) {
  const auto& profiles = configuration().profiles();
  if (asJson) {
    Json array = Json::array();
    for (const auto& p : profiles) array.push_back(public_json(p));
    std::cout << array.dump(2) << "\n";
    return;
  }
  for (const auto& p : profiles) {
    std::cout << (p.isDefault ? "* " : "  ") << ai::shown_name(p) << "  ["
              << raw_value(p.protocolType) << "]  " << p.id << "\n"
              << localized_format("cli.ai.profile_endpoint",
                                  p.endpoint.empty() ? localized("cli.ai.not_set") : p.endpoint)
              << "\n"
              << localized_format(
                     "cli.ai.profile_model",
                     p.defaultModel.empty() ? localized("cli.ai.not_set") : p.defaultModel,
                     seconds_text(p.timeout),
                     localized(text::trim(p.apiKey).empty() ? "cli.ai.key_unset"
                                                            : "cli.ai.key_set"))
              << "\n";
  }
  std::cout << localized("cli.ai.legend") << "\n";
}

struct ProfileOptions {
  std::string reference;  // edit: the profile
  std::string protocol, name, endpoint, model;
  double timeout = 0;
  bool keyPrompt = false, keyFromStandardInput = false, clearKey = false, makeDefault = false,
       verbose = false;
  CLI::Option *protocolOption = nullptr, *nameOption = nullptr, *endpointOption = nullptr,
              *modelOption = nullptr, *timeoutOption = nullptr;
};

std::string read_api_key(bool fromStandardInput) {
  return text::trim(
      read_secret("API Key: ", fromStandardInput, localized("cli.ai.key_not_terminal")));
}

void add_profile(const ProfileOptions& o) {
  set_verbosity(o.verbose);
  AIServiceProfile p = AIServiceProfile::forProtocol(protocol_named(o.protocol));
  if (o.nameOption->count()) p.name = o.name;
  if (o.endpointOption->count()) p.endpoint = text::trim(o.endpoint);
  if (o.modelOption->count()) p.defaultModel = text::trim(o.model);
  if (o.timeoutOption->count()) p.timeout = o.timeout;
  // A key is asked for when the protocol needs one, unless it comes from standard input.
  if (o.keyFromStandardInput || o.keyPrompt || (ai::needs_api_key(p) && isatty(STDIN_FILENO)))
    p.apiKey = read_api_key(o.keyFromStandardInput);
  configuration().saveProfile(p);
  if (o.makeDefault) configuration().setDefaultProfile(p.id);
  std::cout << localized_format("cli.ai.profile_saved", ai::shown_name(p), p.id) << "\n";
  if (ai::needs_api_key(p) && p.apiKey.empty())
    std::cout << localized_format("cli.ai.key_hint", p.id) << "\n";
}

void edit_profile(const ProfileOptions& o) {
  set_verbosity(o.verbose);
  const AIServiceProfile current = profile_named(o.reference);
  AIConfiguration::Changes changes;
  if (o.protocolOption->count()) changes.protocolType = protocol_named(o.protocol);
  if (o.nameOption->count()) changes.name = o.name;
  if (o.endpointOption->count()) changes.endpoint = text::trim(o.endpoint);
  if (o.modelOption->count()) changes.defaultModel = text::trim(o.model);
  if (o.timeoutOption->count()) changes.timeout = o.timeout;
  if (o.clearKey) changes.apiKey = "";
  if (o.keyPrompt || o.keyFromStandardInput) changes.apiKey = read_api_key(o.keyFromStandardInput);
  const AIServiceProfile edited = AIConfiguration::updated(current, changes);
  configuration().saveProfile(edited);
  if (o.makeDefault) configuration().setDefaultProfile(edited.id);
  std::cout << localized_format("cli.ai.profile_updated", ai::shown_name(edited)) << "\n";
}

void add_profile_options(CLI::App* command, ProfileOptions& o, bool editing) {
  o.protocolOption = command->add_option("--protocol", o.protocol,
                                         "Protocol raw value (openai, claude, ollama, ...)");
  if (!editing) o.protocolOption->required();
  o.nameOption = command->add_option("--name", o.name, "Name shown for the profile");
  o.endpointOption =
      command->add_option("--endpoint", o.endpoint, "Base address or full request URL");
  o.modelOption = command->add_option("--model", o.model, "Default model");
  o.timeoutOption = command->add_option("--timeout", o.timeout, "Request time-out in seconds")
                        ->check(CLI::Range(0.1, 3600.0));
  auto* prompt =
      command->add_flag("--api-key", o.keyPrompt, "Ask for the API key (typed without echo)");
  auto* fromStdin = command->add_flag("--api-key-stdin", o.keyFromStandardInput,
                                      "Read the API key from the first line of standard input");
  prompt->excludes(fromStdin);
  if (editing)
    command->add_flag("--clear-api-key", o.clearKey, "Remove the stored API key")
        ->excludes(prompt, fromStdin);
  command->add_flag("--default", o.makeDefault, "Make it the default profile");
  command->add_flag("-v,--verbose", o.verbose, "Print the diagnostic log on standard error");
}

// ---- bindings and status ----

void bind_scenario(const std::string& scenarioName, const std::string& profileName,
                   const std::string& model, bool hasModel, double timeout, bool hasTimeout) {
  ai::AIScenarioBinding binding{scenario_named(scenarioName), profile_named(profileName).id,
                                std::nullopt, std::nullopt};
  if (hasModel) binding.modelOverride = model;
  if (hasTimeout) binding.timeoutOverride = timeout;
  configuration().setBinding(binding);
  std::cout << localized_format("cli.ai.bound", ai::display_name(binding.scenario), profileName)
            << "\n";
}

void print_status() {
  const auto hint = configuration().aiServiceStatusHint();
  std::cout << (hint ? *hint : localized("cli.ai.ready")) << "\n\n";
  std::vector<AIServiceProfile> used;
  for (AIScenario scenario : ai::all_scenarios()) {
    const ai::ResolvedAIProfile r = configuration().resolveProfile(scenario);
    std::cout << localized_format("cli.ai.scenario_line", ai::display_name(scenario),
                                  raw_value(scenario), ai::shown_name(r.profile),
                                  r.model.empty() ? localized("cli.ai.no_model") : r.model,
                                  seconds_text(r.timeout))
              << "\n";
    const auto issue = configuration().configurationIssue(scenario);
    if (issue)
      std::cout << "  ✗ " << *issue << "\n";
    else
      std::cout << localized("cli.ai.complete") << "\n";
    // Complete profiles are asked whether they answer; the others are told what is missing.
    if (!issue && std::none_of(used.begin(), used.end(),
                               [&](const AIServiceProfile& p) { return p.id == r.profile.id; }))
      used.push_back(r.profile);
  }
  if (!used.empty()) std::cout << "\n";
  for (const auto& profile : used) {
    const auto probe = ai::probe_endpoint(profile);
    std::cout << localized_format(
                     probe.answers ? "cli.ai.endpoint_answers" : "cli.ai.endpoint_silent",
                     ai::shown_name(profile), text::trim(profile.endpoint), probe.detail)
              << "\n";
  }
}

// ---- models and chat ----

ai::OllamaService ollama_for(const AIServiceProfile& profile) {
  return ai::OllamaService(profile.endpoint, profile.apiKey, profile.timeout);
}

void list_models(const std::string& reference, bool verbose) {
  set_verbosity(verbose);
  const AIServiceProfile profile = reference.empty() ? default_profile() : profile_named(reference);
  std::vector<std::string> names;
  if (profile.protocolType == AIProtocolType::ollama) {
    for (const auto& model : ollama_for(profile).installedModels()) names.push_back(model.name);
  } else if (!ai::supports_model_listing(profile.protocolType)) {
    std::cout << localized_format("cli.ai.no_model_list", ai::shown_name(profile)) << "\n";
    for (std::string_view model : ai::suggested_models(profile.protocolType))
      std::cout << "  " << model << "\n";
    return;
  } else {
    names = ai::AIServiceAdapter().fetchModels(profile, ai::HttpTransport());
  }
  for (const auto& name : names) std::cout << terminal_safe(name) << "\n";
}

struct ChatCommand {
  std::string profile, model, scenario, system, prompt;
  bool noStream = false, verbose = false;
};

void chat(const ChatCommand& o) {
  set_verbosity(o.verbose);
  // The profile, model and time-out: a named profile with its own, else a scenario's
  // resolution, else the default profile.
  ai::ResolvedAIProfile target;
  if (!o.profile.empty()) {
    AIServiceProfile p = profile_named(o.profile);
    target = {p, p.defaultModel, p.timeout};
  } else if (!o.scenario.empty()) {
    const AIScenario scenario = scenario_named(o.scenario);
    if (auto issue = configuration().configurationIssue(scenario)) throw Error(*issue);
    target = configuration().resolveProfile(scenario);
  } else {
    AIServiceProfile p = default_profile();
    target = {p, p.defaultModel, p.timeout};
  }
  if (!o.model.empty()) target.model = o.model;

  Json messages = Json::array();
  ai::ChatOptions options;
  options.model = target.model;
  if (!o.system.empty()) {
    messages.push_back({{"role", "system"}, {"content", o.system}});
    options.systemPrompt = o.system;
  }
  messages.push_back({{"role", "user"}, {"content", o.prompt}});

  const ai::ChatAIService service;
  try {
    if (o.noStream) {
      std::cout << terminal_safe(service.send(target.profile, messages, options, target.timeout),
                                 TextShape::block)
                << "\n";
      return;
    }
    service.stream(target.profile, messages, options, target.timeout, [](std::string_view delta) {
      std::cout << terminal_safe(delta, TextShape::block) << std::flush;
    });
    std::cout << "\n";
  } catch (const ai::AIServiceError& error) {
    std::cout << std::flush;
    std::cerr << "\n"
              << terminal_safe(AIConfiguration::userFacingAIErrorMessage(
                                   localized("ai.action.chat"), error, target),
                               TextShape::block)
              << "\n";
    throw CommandFailure{1};
  }
}

// ---- Ollama ----

AIServiceProfile ollama_profile(const std::string& reference) {
  if (!reference.empty()) return profile_named(reference);
  for (const auto& p : configuration().profiles())
    if (p.protocolType == AIProtocolType::ollama) return p;
  return AIServiceProfile::forProtocol(AIProtocolType::ollama);
}

std::string byte_size(double bytes) {
  static constexpr const char* kUnits[] = {"B", "KB", "MB", "GB", "TB"};
  size_t unit = 0;
  while (bytes >= 1000 && unit + 1 < std::size(kUnits)) {
    bytes /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, kUnits[unit]);
  return text;
}

// One line of download progress, redrawn in place on a terminal: status, bar, sizes, rate.
class PullProgressBar {
 public:
  void update(const ai::OllamaPullProgress& p) {
    const auto now = std::chrono::steady_clock::now();
    if (p.status != status_) {
      end_line();
      status_ = p.status;
      started_ = now;
      if (!terminal_ || p.total <= 0) std::cerr << terminal_safe(p.status) << "\n";
    }
    if (!terminal_ || p.total <= 0) return;
    constexpr int kWidth = 30;
    const double fraction = std::min(1.0, p.fraction());
    const int filled = static_cast<int>(std::lround(fraction * kWidth));
    const double seconds = std::chrono::duration<double>(now - started_).count();
    const double rate = seconds > 0 ? static_cast<double>(p.completed) / seconds : 0;
    std::cerr << "\r" << fit_to_width(terminal_safe(p.status), 40) << " ["
              << std::string(filled, '#') << std::string(kWidth - filled, ' ') << "] "
              << static_cast<int>(fraction * 100) << "% "
              << byte_size(static_cast<double>(p.completed)) << "/"
              << byte_size(static_cast<double>(p.total)) << " " << byte_size(rate) << "/s   "
              << std::flush;
    drawn_ = true;
  }
  ~PullProgressBar() { end_line(); }

 private:
  void end_line() {
    if (drawn_) std::cerr << "\n";
    drawn_ = false;
  }

  bool terminal_ = isatty(STDERR_FILENO) != 0;
  bool drawn_ = false;
  std::string status_;
  std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
};

void ollama_list(const std::string& reference, bool verbose) {
  set_verbosity(verbose);
  for (const auto& model : ollama_for(ollama_profile(reference)).installedModels())
    std::cout << terminal_safe(model.name) << "  " << byte_size(static_cast<double>(model.size))
              << (model.parameterSize.empty() ? "" : "  " + terminal_safe(model.parameterSize))
              << "\n";
}

void ollama_library() {
  for (const auto& model : ai::ollamaLibrary())
    std::cout << model.name << "  ~" << byte_size(static_cast<double>(model.size)) << "  "
              << model.parameters << "\n";
}

void ollama_pull(const std::string& reference, const std::string& model, bool verbose) {
  set_verbosity(verbose);
  {
    PullProgressBar bar;
    ollama_for(ollama_profile(reference)).pullModel(model, [&](const ai::OllamaPullProgress& p) {
      bar.update(p);
    });
  }
  std::cout << localized_format("cli.ai.pulled", model) << "\n";
}

void ollama_test(const std::string& reference, const std::string& modelOverride, bool verbose) {
  set_verbosity(verbose);
  const AIServiceProfile profile = ollama_profile(reference);
  const std::string model = modelOverride.empty() ? profile.defaultModel : modelOverride;
  const ai::OllamaService service = ollama_for(profile);
  std::cout << localized_format("cli.ai.ollama_target", service.endpoint(), model) << "\n";
  bool passed = true;
  auto run = [&](const char* label, auto test) {
    try {
      const long status = test();
      passed = passed && status >= 200 && status < 300;
      std::cout << (status >= 200 && status < 300 ? "✓ " : "✗ ") << label << ": " << status << "\n";
    } catch (const std::exception& error) {
      passed = false;
      std::cout << "✗ " << label << ": " << terminal_safe(error.what()) << "\n";
    }
  };
  run("/api/tags", [&] { return service.testTags(); });
  run("/v1/chat/completions", [&] { return service.testOpenAIFormat(model); });
  run("/api/generate", [&] { return service.testGenerate(model); });
  if (!passed) throw CommandFailure{1};
}

}  // namespace

void add_ai_commands(CLI::App& root) {
  auto* aiCommand = root.add_subcommand(
      "ai", "AI services: profiles, scenario bindings, models, chat, local Ollama");
  aiCommand->require_subcommand(1);

  {
    auto* command = aiCommand->add_subcommand(
        "profiles", "List the AI service profiles (keys are never shown)");
    auto asJson = std::make_shared<bool>(false);
    command->add_flag("--json", *asJson, "Print JSON");
    command->callback([asJson] {
      set_verbosity(false);
      list_profiles(*asJson);
    });
  }
  {
    auto* profile =
        aiCommand->add_subcommand("profile", "Add, edit, remove a profile or make it the default");
    profile->require_subcommand(1);
    {
      auto o = std::make_shared<ProfileOptions>();
      auto* command = profile->add_subcommand("add", "Add a profile with the protocol's presets");
      add_profile_options(command, *o, false);
      command->callback([o] { add_profile(*o); });
    }
    {
      auto o = std::make_shared<ProfileOptions>();
      auto* command = profile->add_subcommand("edit", "Change a profile");
      command->add_option("PROFILE", o->reference, "Profile id or name")->required();
      add_profile_options(command, *o, true);
      command->callback([o] { edit_profile(*o); });
    }
    {
      auto reference = std::make_shared<std::string>();
      auto* command = profile->add_subcommand("remove", "Remove a profile");
      command->add_option("PROFILE", *reference, "Profile id or name")->required();
      command->callback([reference] {
        set_verbosity(false);
        const AIServiceProfile p = profile_named(*reference);
        configuration().deleteProfile(p);
        std::cout << localized_format("cli.ai.profile_removed", ai::shown_name(p)) << "\n";
      });
    }
    {
      auto reference = std::make_shared<std::string>();
      auto* command = profile->add_subcommand("default", "Make a profile the default");
      command->add_option("PROFILE", *reference, "Profile id or name")->required();
      command->callback([reference] {
        set_verbosity(false);
        const AIServiceProfile p = profile_named(*reference);
        configuration().setDefaultProfile(p.id);
        std::cout << localized_format("cli.ai.default_profile", ai::shown_name(p)) << "\n";
      });
    }
    {
      auto reference = std::make_shared<std::string>();
      auto verbose = std::make_shared<bool>(false);
      auto* command = profile->add_subcommand(
          "test", "Ask a profile for a short answer with its own model and time-out");
      command->add_option("PROFILE", *reference, "Profile id or name")->required();
      command->add_flag("-v,--verbose", *verbose, "Print the diagnostic log on standard error");
      command->callback([reference, verbose] {
        set_verbosity(*verbose);
        const AIServiceProfile p = profile_named(*reference);
        const std::string answer = test_ai_profile(p);
        std::cout << localized_format("ai.test.passed", ai::shown_name(p),
                                      terminal_safe(answer, TextShape::block))
                  << "\n";
      });
    }
  }
  {
    struct BindOptions {
      std::string scenario, profile, model;
      double timeout = 0;
      CLI::Option *modelOption = nullptr, *timeoutOption = nullptr;
    };
    auto o = std::make_shared<BindOptions>();
    auto* command = aiCommand->add_subcommand("bind", "Serve a scenario with a profile");
    command
        ->add_option("SCENARIO", o->scenario,
                     "email_translate, email_compose, email_summary, email_reply, email_analysis")
        ->required();
    command->add_option("PROFILE", o->profile, "Profile id or name")->required();
    o->modelOption = command->add_option("--model", o->model, "Model for this scenario");
    o->timeoutOption =
        command->add_option("--timeout", o->timeout, "Time-out in seconds for this scenario")
            ->check(CLI::Range(0.1, 3600.0));
    command->callback([o] {
      set_verbosity(false);
      bind_scenario(o->scenario, o->profile, o->model, o->modelOption->count() > 0, o->timeout,
                    o->timeoutOption->count() > 0);
    });
  }
  {
    auto scenario = std::make_shared<std::string>();
    auto* command =
        aiCommand->add_subcommand("unbind", "Let the default profile serve a scenario again");
    command->add_option("SCENARIO", *scenario, "Scenario raw value")->required();
    command->callback([scenario] {
      set_verbosity(false);
      const AIScenario s = scenario_named(*scenario);
      configuration().removeBinding(s);
      std::cout << localized_format("cli.ai.unbound", ai::display_name(s)) << "\n";
    });
  }
  {
    auto verbose = std::make_shared<bool>(false);
    auto* command = aiCommand->add_subcommand(
        "status", "Explain what each AI scenario uses and what is missing");
    command->add_flag("-v,--verbose", *verbose, "Print the diagnostic log on standard error");
    command->callback([verbose] {
      set_verbosity(*verbose);
      print_status();
    });
  }
  {
    auto reference = std::make_shared<std::string>();
    auto verbose = std::make_shared<bool>(false);
    auto* command = aiCommand->add_subcommand(
        "models", "List a profile's models (default: the default profile)");
    command->add_option("PROFILE", *reference, "Profile id or name");
    command->add_flag("-v,--verbose", *verbose, "Print the diagnostic log on standard error");
    command->callback([reference, verbose] { list_models(*reference, *verbose); });
  }
  {
    auto o = std::make_shared<ChatCommand>();
    auto* command =
        aiCommand->add_subcommand("chat", "Ask a model; the reply streams to the terminal");
    command->add_option("PROMPT", o->prompt, "What to ask")->required();
    command->add_option("--profile", o->profile,
                        "Profile id or name (default: the default profile)");
    command->add_option("--scenario", o->scenario,
                        "Use the profile and model bound to this scenario");
    command->add_option("--model", o->model, "Model (default: the profile's)");
    command->add_option("--system", o->system, "System prompt");
    command->add_flag("--no-stream", o->noStream, "Wait for the whole reply");
    command->add_flag("-v,--verbose", o->verbose, "Print the diagnostic log on standard error");
    command->callback([o] { chat(*o); });
  }
  {
    auto* ollama = aiCommand->add_subcommand(
        "ollama", "The local Ollama server: installed models, downloads, tests");
    ollama->require_subcommand(1);
    auto reference = std::make_shared<std::string>();
    auto verbose = std::make_shared<bool>(false);
    auto common = [&](CLI::App* command) {
      command->add_option("--profile", *reference,
                          "Ollama profile (default: the first Ollama profile)");
      command->add_flag("-v,--verbose", *verbose, "Print the diagnostic log on standard error");
    };
    auto* list = ollama->add_subcommand("list", "List the installed models");
    common(list);
    list->callback([reference, verbose] { ollama_list(*reference, *verbose); });
    ollama->add_subcommand("library", "List the recommended models")->callback([] {
      ollama_library();
    });
    auto model = std::make_shared<std::string>();
    auto* pull = ollama->add_subcommand("pull", "Download a model, with progress");
    pull->add_option("MODEL", *model, "Model name, for example gemma2:2b")->required();
    common(pull);
    pull->callback([reference, model, verbose] { ollama_pull(*reference, *model, *verbose); });
    auto testModel = std::make_shared<std::string>();
    auto* test =
        ollama->add_subcommand("test", "Test /api/tags, the OpenAI format and /api/generate");
    test->add_option("--model", *testModel, "Model for the request tests (default: the profile's)");
    common(test);
    test->callback(
        [reference, testModel, verbose] { ollama_test(*reference, *testModel, *verbose); });
  }
  add_ai_mail_commands(*aiCommand);
  add_ai_question_commands(*aiCommand);
}

}  // namespace kestrova::app
