#include "app/desktop/message_actions.h"

#include <QTimer>

#include "store/database.h"
#include "util/error.h"
#include "util/localization.h"

namespace kestrova::app::desktop {

void MessageActions::set_read(const std::vector<std::string>& ids, bool isRead) {
  database_.write([&](store::Connection& c) {
    for (const auto& id : ids) set_read_on_all_copies(c, id, isRead);
  });
}

void MessageActions::set_starred(const std::vector<std::string>& ids, bool isStarred) {
  database_.write([&](store::Connection& c) {
    for (const auto& id : ids) set_starred_on_all_copies(c, id, isStarred);
  });
}

MessageActions::Undo MessageActions::archive(const std::vector<std::string>& ids) {
  return move_to_type(Kind::archive, ids);
}
MessageActions::Undo MessageActions::trash(const std::vector<std::string>& ids) {
  return move_to_type(Kind::trash, ids);
}
MessageActions::Undo MessageActions::spam(const std::vector<std::string>& ids) {
  return move_to_type(Kind::spam, ids);
}

MessageActions::Undo MessageActions::move(const std::vector<std::string>& ids,
                                          const std::string& folderId) {
  Undo undo{Kind::move, {}};
  database_.write([&](store::Connection& c) {
    for (const auto& id : ids)
      if (auto before = move_message_locally(c, id, folderId))
        if (before->folderId != folderId) undo.placements.push_back(std::move(*before));
  });
  return undo;
}

MessageActions::Undo MessageActions::move_to_type(Kind kind, const std::vector<std::string>& ids) {
  const store::EmailFolderType type = kind == Kind::archive ? store::EmailFolderType::archive
                                      : kind == Kind::trash ? store::EmailFolderType::trash
                                                            : store::EmailFolderType::spam;
  Undo undo{kind, {}};
  database_.write([&](store::Connection& c) {
    for (const auto& id : ids) {
      auto s = c.prepare(
          "SELECT m.account_id, a.email_address FROM email_messages m "
          "JOIN email_accounts a ON a.id = m.account_id WHERE m.id = ?");
      s.bind(1, id);
      if (!s.step()) continue;
      const std::string accountId = s.text(0).value_or("");
      const auto folder = folder_of_type(c, accountId, type);
      if (!folder) {
        const std::string key = kind == Kind::archive ? "desktop.error.no_archive"
                                : kind == Kind::trash ? "desktop.error.no_trash"
                                                      : "desktop.error.no_spam";
        throw Error(localized_format(key, s.text(1).value_or("")));
      }
      auto before = move_message_locally(c, id, *folder, kind == Kind::spam);
      if (before && (before->folderId != *folder || before->isSpam != (kind == Kind::spam)))
        undo.placements.push_back(std::move(*before));
    }
  });
  return undo;
}

void MessageActions::undo(const Undo& undo) {
  database_.write([&](store::Connection& c) {
    for (const auto& placement : undo.placements) restore_placement(c, placement);
  });
}

ReadAfterDelay::ReadAfterDelay(std::chrono::milliseconds delay, Mark mark)
    : delay_(delay), mark_(std::move(mark)), timer_(std::make_unique<QTimer>()) {
  timer_->setSingleShot(true);
  QObject::connect(timer_.get(), &QTimer::timeout, [this] {
    if (!pending_) return;
    const std::string id = std::move(*pending_);
    pending_.reset();
    mark_(id);
  });
}

ReadAfterDelay::~ReadAfterDelay() = default;

void ReadAfterDelay::opened(const std::string& messageId, bool isRead) {
  cancel();
  if (isRead) return;
  if (delay_.count() <= 0) {
    mark_(messageId);
    return;
  }
  pending_ = messageId;
  timer_->start(delay_);
}

void ReadAfterDelay::cancel() {
  timer_->stop();
  pending_.reset();
}

}  // namespace kestrova::app::desktop
