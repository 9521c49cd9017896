#include "app/desktop/conversation_list.h"

#include <algorithm>

namespace kestrova::app::desktop {

ConversationList::ConversationList(store::EmailDatabase& database, MailboxSelection selection,
                                   bool grouped, double now)
    : database_(database),
      grouped_(grouped),
      pager_(std::make_unique<MessagePager>(database, std::move(selection), grouped, now)) {}

int64_t ConversationList::count() {
  int64_t rows = pager_->count();
  for (const auto& [conversation, messages] : open_) rows += static_cast<int64_t>(messages.size());
  return rows;
}

ConversationList::Row ConversationList::at(int64_t row) {
  Row r;
  if (row < 0) return r;
  int64_t rest = row;
  for (const auto& [conversation, messages] : open_) {
    if (rest <= conversation) break;
    const auto size = static_cast<int64_t>(messages.size());
    if (rest <= conversation + size) {
      r.conversation = conversation;
      r.child = static_cast<int>(rest - conversation - 1);
      r.message = &messages[static_cast<size_t>(r.child)];
      r.open = true;
      return r;
    }
    rest -= size;
  }
  r.conversation = rest;
  r.message = pager_->at(rest);
  r.opens = grouped_ && r.message && r.message->threadSize > 1;
  r.open = open_.contains(rest);
  return r;
}

int64_t ConversationList::row_of_conversation(int64_t conversation) const {
  int64_t row = conversation;
  for (const auto& [above, messages] : open_) {
    if (above >= conversation) break;
    row += static_cast<int64_t>(messages.size());
  }
  return row;
}

std::optional<ConversationList::Opening> ConversationList::prepare_open(int64_t row) {
  const Row r = at(row);
  if (!r.message || r.child >= 0 || !r.opens || r.open) return std::nullopt;
  Opening opening{row, r.conversation, pager_->conversation_of(*r.message)};
  std::erase_if(opening.messages, [&](const MessageSummary& m) { return m.id == r.message->id; });
  if (opening.messages.empty()) return std::nullopt;
  return opening;
}

void ConversationList::open(Opening opening) {
  open_[opening.conversation] = std::move(opening.messages);
}

std::optional<ConversationList::Closing> ConversationList::prepare_close(int64_t row) {
  const Row r = at(row);
  if (!r.message || !r.open) return std::nullopt;
  return Closing{row_of_conversation(r.conversation), r.conversation,
                 static_cast<int>(open_[r.conversation].size())};
}

void ConversationList::close(const Closing& closing) { open_.erase(closing.conversation); }

std::vector<std::string> ConversationList::messages_of(int64_t row) {
  const Row r = at(row);
  if (!r.message) return {};
  if (!r.opens || r.open) return {r.message->id};
  std::vector<std::string> ids;
  for (const auto& m : pager_->conversation_of(*r.message)) ids.push_back(m.id);
  return ids;
}

std::optional<int64_t> ConversationList::row_of(const std::string& id) {
  const auto conversation = pager_->index_of(id);
  if (!conversation) return std::nullopt;
  const int64_t row = row_of_conversation(*conversation);
  if (auto it = open_.find(*conversation); it != open_.end()) {
    for (size_t i = 0; i < it->second.size(); ++i)
      if (it->second[i].id == id) return row + 1 + static_cast<int64_t>(i);
  }
  return row;
}

void ConversationList::refresh(double now) {
  // Each open conversation is known by its messages: any of them still listed finds it.
  std::vector<std::vector<std::string>> wereOpen;
  for (const auto& [conversation, messages] : open_) {
    std::vector<std::string> ids;
    if (const MessageSummary* head = pager_->at(conversation)) ids.push_back(head->id);
    for (const auto& m : messages) ids.push_back(m.id);
    wereOpen.push_back(std::move(ids));
  }
  open_.clear();
  pager_ = std::make_unique<MessagePager>(database_, pager_->selection(), grouped_, now);
  for (const auto& ids : wereOpen) {
    for (const auto& id : ids) {
      const auto conversation = pager_->index_of(id);
      if (!conversation) continue;
      if (const MessageSummary* head = pager_->at(*conversation); head && head->threadSize > 1) {
        auto messages = pager_->conversation_of(*head);
        std::erase_if(messages, [&](const MessageSummary& m) { return m.id == head->id; });
        if (!messages.empty()) open_[*conversation] = std::move(messages);
      }
      break;
    }
  }
}

}  // namespace kestrova::app::desktop
