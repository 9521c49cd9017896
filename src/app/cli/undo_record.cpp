#include "app/cli/undo_record.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/core/mailbox/journalled_message_change.h"
#include "platform/paths.h"
#include "store/database.h"
#include "util/json.h"

namespace kestrova::app {

namespace {

std::filesystem::path record_path() {
  return platform::state_home() / "kestrova" / "last-change.json";
}

// The account of the stored message `id`, if it is still stored.
std::optional<std::string> account_of(store::Connection& c, const std::string& id) {
  auto s = c.prepare("SELECT account_id FROM email_messages WHERE id = ?");
  s.bind(1, id);
  return s.step() ? s.text(0) : std::nullopt;
}

}  // namespace

void UndoRecord::flag(const std::string& message_id, const std::string& subject, Flag flag,
                      bool was_set) {
  Step step;
  step.messageId = message_id;
  step.subject = subject;
  step.flag = flag;
  step.wasSet = was_set;
  steps_.push_back(std::move(step));
}

void UndoRecord::placement(const MessagePlacement& was, const std::string& subject) {
  Step step;
  step.messageId = was.messageId;
  step.subject = subject;
  step.placement = was;
  steps_.push_back(std::move(step));
}

void UndoRecord::save() const {
  if (steps_.empty() && !irreversible_) return;
  Json steps = Json::array();
  for (const auto& step : steps_) {
    Json entry{{"messageId", step.messageId}, {"subject", step.subject}};
    if (step.flag) {
      entry["flag"] = *step.flag == Flag::read ? "read" : "starred";
      entry["wasSet"] = step.wasSet;
    } else {
      entry["folderId"] = step.placement.folderId ? Json(*step.placement.folderId) : Json();
      entry["wasSpam"] = step.placement.isSpam;
    }
    steps.push_back(std::move(entry));
  }
  const Json record{{"irreversible", irreversible_}, {"steps", std::move(steps)}};
  platform::write_private_file(record_path(), record.dump() + "\n");
}

std::optional<UndoRecord> UndoRecord::take() {
  const auto path = record_path();
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::stringstream text;
  text << in.rdbuf();
  in.close();
  std::error_code ignored;
  std::filesystem::remove(path, ignored);
  const Json record = Json::parse(text.str(), nullptr, false);
  if (!record.is_object()) return std::nullopt;
  UndoRecord out;
  out.irreversible_ = record.value("irreversible", false);
  for (const auto& entry : record.value("steps", Json::array())) {
    if (!entry.is_object() || !entry.contains("messageId")) continue;
    Step step;
    step.messageId = entry.value("messageId", "");
    step.subject = entry.value("subject", "");
    if (entry.contains("flag")) {
      step.flag = entry.value("flag", "") == "read" ? Flag::read : Flag::starred;
      step.wasSet = entry.value("wasSet", false);
    } else {
      step.placement.messageId = step.messageId;
      if (entry.contains("folderId") && entry["folderId"].is_string())
        step.placement.folderId = entry["folderId"].get<std::string>();
      step.placement.isSpam = entry.value("wasSpam", false);
    }
    out.steps_.push_back(std::move(step));
  }
  return out;
}

std::optional<std::string> UndoRecord::undo(store::Connection& c, const Step& step) {
  auto account = account_of(c, step.messageId);
  if (!account) return std::nullopt;
  if (step.flag == Flag::read)
    set_read_journalled(c, step.messageId, step.wasSet);
  else if (step.flag == Flag::starred)
    set_starred_journalled(c, step.messageId, step.wasSet);
  else
    restore_placement(c, step.placement);
  return account;
}

}  // namespace kestrova::app
