// `kestrova export`, `kestrova scheduled list|cancel` and `kestrova autoreply on|off|status`.

#include <CLI/CLI.hpp>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string>

#include "app/cli/command_line.h"
#include "app/cli/terminal_output.h"
#include "app/core/mailbox/account_book.h"
#include "app/core/service/email_auto_reply_service.h"
#include "app/core/mailbox/email_export_service.h"
#include "app/core/service/email_scheduled_send_service.h"
#include "app/core/mailbox/folder_lookup.h"
#include "app/core/mailbox/id_prefix.h"
#include "app/core/mailbox/message_context.h"
#include "app/core/user_preferences.h"
#include "store/database.h"
#include "store/email_store.h"
#include "store/scheduled_message.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/log.h"
#include "util/terminal_text.h"
#include "util/time.h"

namespace kestrova::app {

namespace {

struct ExportOptions {
  std::string id;
  std::string format = "eml";
  std::string output;
  bool force = false;
};

// The .eml is the message's original source, read from the server (left unread) when it
// is not kept here; when that cannot be had the export fails and writes nothing.
void export_message(const ExportOptions& o) {
  auto context = context_for(o.id);
  const auto& message = context->message;
  const ExportFormat format = o.format == "text" ? ExportFormat::text : ExportFormat::eml;
  std::filesystem::path target =
      o.output.empty()
          ? std::filesystem::path(EmailExportService::suggestedFileName(message, format))
          : std::filesystem::path(o.output);
  std::error_code ec;
  if (std::filesystem::is_directory(target, ec))
    target /= EmailExportService::suggestedFileName(message, format);
  EmailExportService::exportTo(*context, format, target, o.force);
  std::cout << localized_format("cli.export.done", target.string()) << "\n";
}

std::string recipients_text(const std::vector<store::EmailContact>& contacts) {
  std::string out;
  for (const auto& c : contacts) out += (out.empty() ? "" : ", ") + c.email;
  return out;
}

Json addresses_json(const std::vector<store::EmailContact>& contacts) {
  Json out = Json::array();
  for (const auto& c : contacts) out.push_back(c.email);
  return out;
}

void list_scheduled(bool json) {
  const auto all = store::ScheduledMessageStore(store::EmailDatabase::shared()).all();
  if (json) {
    Json array = Json::array();
    for (const auto& m : all)
      array.push_back(Json{{"id", m.id},
                           {"accountId", m.accountId},
                           {"to", addresses_json(m.to)},
                           {"cc", addresses_json(m.cc)},
                           {"subject", m.subject},
                           {"scheduledAt", iso8601_utc(m.scheduledAt)},
                           {"status", store::raw_value(m.status)},
                           {"errorMessage", m.errorMessage ? Json(*m.errorMessage) : Json()}});
    std::cout << array.dump(2) << "\n";
    return;
  }
  if (all.empty()) std::cout << localized("cli.scheduled.none") << "\n";
  for (const auto& m : all) {
    std::cout << m.id << "  " << local_date_text(m.scheduledAt) << "  "
              << store::raw_value(m.status) << "  " << recipients_text(m.to) << "  "
              << terminal_safe(m.subject);
    if (m.errorMessage) std::cout << "  (" << terminal_safe(*m.errorMessage) << ")";
    std::cout << "\n";
  }
}

void cancel_scheduled(const std::string& typed) {
  auto& database = store::EmailDatabase::shared();
  const std::string id = database.read([&](store::Connection& c) {
    return resolve_id(c, "scheduled_messages", typed, "cli.noun.scheduled");
  });
  if (!EmailScheduledSendService::cancel(database, id))
    throw Error(localized_format("cli.scheduled.not_found", id));
  std::cout << localized_format("cli.scheduled.cancelled", id) << "\n";
}

void autoreply_status() {
  auto& p = UserPreferences::shared();
  std::cout << localized(p.get(settings::emailAutoReplyEnabled) ? "cli.autoreply.on"
                                                                : "cli.autoreply.off")
            << "\n";
  if (p.get(settings::emailSuperPrivacyMode))
    std::cout << localized("cli.autoreply.super_privacy") << "\n";
  std::cout << localized_format("cli.autoreply.text", p.get(settings::emailAutoReplyTemplate))
            << "\n";
}

}  // namespace

void add_writing_commands(CLI::App& root) {
  auto e = std::make_shared<ExportOptions>();
  auto* exporter =
      root.add_subcommand("export", "Save a message as an .eml (its original source) or .txt file");
  exporter->add_option("id", e->id, "Message id")->required();
  exporter->add_option("--format", e->format, "eml (default) or text")
      ->check(CLI::IsMember({"eml", "text"}));
  exporter->add_option("-o,--output", e->output,
                       "File or directory (default: the suggested name here)");
  exporter->add_flag("--force", e->force, "Replace an existing file");
  exporter->callback([e] { export_message(*e); });

  auto* scheduled = root.add_subcommand("scheduled", "Messages scheduled to be sent later");
  scheduled->require_subcommand(1);
  auto* list = scheduled->add_subcommand("list", "List scheduled messages with their status");
  auto json = add_json_flag(
      list, "Print the scheduled messages as JSON",
      "[{\"id\", \"accountId\", \"to\": [...], \"cc\": [...], \"subject\",\n"
      "\"scheduledAt\", \"status\", \"errorMessage\"}].\n"
      "Example: kestrova scheduled list --json | jq '.[] | select(.status == \"failed\")'");
  list->callback([json] { list_scheduled(*json); });
  auto id = std::make_shared<std::string>();
  auto* cancel =
      scheduled->add_subcommand("cancel", "Cancel a scheduled message (nothing is sent)");
  cancel->add_option("id", *id, "Scheduled message id (or a unique prefix)")->required();
  cancel->callback([id] { cancel_scheduled(*id); });

  auto* autoreply =
      root.add_subcommand("autoreply", "Automatic replies while away (sent by kestrova run)");
  autoreply->require_subcommand(1);
  auto text = std::make_shared<std::string>();
  auto* on = autoreply->add_subcommand("on", "Answer mail that arrives from now on");
  on->add_option("--template", *text, "Text of the automatic reply");
  on->callback([text] {
    auto& p = UserPreferences::shared();
    if (!text->empty()) p.set(settings::emailAutoReplyTemplate, *text);
    EmailAutoReplyService::setEnabled(p, true, now_seconds());
    autoreply_status();
  });
  autoreply->add_subcommand("off", "Stop answering automatically")->callback([] {
    EmailAutoReplyService::setEnabled(UserPreferences::shared(), false, now_seconds());
    autoreply_status();
  });
  auto* status =
      autoreply->add_subcommand("status", "Show whether automatic replies are on, and their text");
  status->add_option("--template", *text, "Set the text of the automatic reply");
  status->callback([text] {
    if (!text->empty()) UserPreferences::shared().set(settings::emailAutoReplyTemplate, *text);
    autoreply_status();
  });
}

}  // namespace kestrova::app
