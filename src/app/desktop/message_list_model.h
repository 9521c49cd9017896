#pragma once

#include <QAbstractListModel>
#include <QStyledItemDelegate>
#include <memory>

#include "app/desktop/mailbox_view.h"

namespace kestrova::app::desktop {

// The message list of the middle pane over a MessagePager: rows are read from the database
// only when the view paints them. Main thread only.
class MessageListModel : public QAbstractListModel {
 public:
  MessageListModel(store::EmailDatabase& database, QObject* parent = nullptr);

  // Shows another selection (the list starts again at its top).
  void show(const MailboxSelection& selection);
  const MailboxSelection& selection() const { return pager_->selection(); }
  void set_group_conversations(bool group);
  bool group_conversations() const { return group_; }
  // Reads the list again (after a change in the database); rows keep their place when
  // their messages do.
  void refresh();

  // The row's message, read on demand; nothing for an invalid row.
  const MessageSummary* summary(int row) const;
  // Row of the message among the pages read, or -1.
  int row_of(const std::string& messageId) const;
  MessagePager& pager() const { return *pager_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  // Search results grow a page at a time as the view reaches their end.
  bool canFetchMore(const QModelIndex& parent) const override;
  void fetchMore(const QModelIndex& parent) override;
  QVariant data(const QModelIndex& index, int role) const override;

 private:
  store::EmailDatabase& database_;
  bool group_ = false;
  std::unique_ptr<MessagePager> pager_;
};

// Draws one message on three lines: sender and date; subject with the conversation size
// and the AI priority; tag chips and the preview. Unread messages are bold with a dot.
class MessageListDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  bool showTags = true;  // the setting `featureTagSystemEnabled`
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override;
  QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
  // The local date as the list shows it: the time today, the day this year, else the date.
  static QString list_date(double seconds);
};

}  // namespace kestrova::app::desktop
