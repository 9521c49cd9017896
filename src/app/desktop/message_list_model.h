#pragma once

#include <QAbstractListModel>
#include <QStyledItemDelegate>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/desktop/conversation_list.h"

namespace kestrova::app::desktop {

// The message list of the middle pane over a ConversationList: rows are read from the
// database only when the view paints them. Conversations are on by default, each closed on
// its newest message; open() and close() show and hide a conversation's older messages.
// Main thread only.
class MessageListModel : public QAbstractListModel {
 public:
  MessageListModel(store::EmailDatabase& database, QObject* parent = nullptr);

  // Shows another selection (the list starts again at its top).
  void show(const MailboxSelection& selection);
  const MailboxSelection& selection() const { return list_->selection(); }
  void set_group_conversations(bool group);
  bool group_conversations() const { return group_; }
  // Reads the list again (after a change in the database); rows keep their place when
  // their messages do.
  void refresh();

  // The row's message, read on demand; nothing for an invalid row.
  const MessageSummary* summary(int row) const;
  // The row's place among the conversations (a conversation or one of its messages).
  ConversationList::Row row_info(int row) const;
  // Row of the message in the whole list (its conversation's row when that is closed).
  std::optional<int> row_of(const std::string& messageId) const;
  // Opens the closed conversation at `row` (its older messages appear below it); false when
  // the row is not one.
  bool open(int row);
  // Closes the conversation `row` belongs to; answers the conversation's row, or nothing
  // when it is not open.
  std::optional<int> close(int row);
  // The messages an action on `row` means (a closed conversation: all of them).
  std::vector<std::string> messages_of(int row) const;
  ConversationList& list() const { return *list_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  // Search results grow a page at a time as the view reaches their end.
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;
  QVariant data(const QModelIndex& index, int role) const override;

 private:
  store::EmailDatabase& database_;
  bool group_ = true;
  std::unique_ptr<ConversationList> list_;
};

// Draws one message on three lines: sender and date; subject with the conversation size
// and the AI priority; tag chips and the preview. Unread messages are bold with a dot.
class MessageListDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  bool showTags = true;  // the setting `featureTagSystemEnabled`
  // The left margin (unread dot, the open mark of a conversation); a click there opens or
  // closes the conversation.
  static constexpr int kMarginWidth = 22;
  // How far a conversation's older messages stand in from its row.
  static constexpr int kChildIndent = 18;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  // The local date as the list shows it: the time today, the day this year, else the date.
  static QString list_date(double seconds);
};

}  // namespace kestrova::app::desktop
