#pragma once

#include <QAbstractListModel>
#include <QListView>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrova::store {
class EmailDatabase;
class EmailActionStore;
}  // namespace kestrova::store

namespace kestrova::app::desktop {

// One line of the action-items view: the item with what its message shows.
struct ActionItemRow {
  std::string id;
  std::string messageId;
  std::string title;
  std::string subject;
  std::string from;
  std::optional<double> dueAt;
  std::optional<double> snoozedUntil;  // snoozed items only
  bool done = false;
};

// The action items of every account, those still to do first, then the done ones, each
// group newest first, each item with its message's subject and
// sender, as a checkable list: checking an item marks it done, unchecking opens it again,
// through the action-item store the command line and the service use. Items of deleted
// messages are left out; at most kMaxItems are listed. Main thread only.
class ActionItemsModel : public QAbstractListModel {
 public:
  static constexpr int kMaxItems = 1000;
  static constexpr int kMessageIdRole = Qt::UserRole + 1;
  static constexpr int kDetailRole = Qt::UserRole + 2;  // the message's line under the title

  ActionItemsModel(store::EmailDatabase& database, QObject* parent);
  ~ActionItemsModel() override;

  // Reads the items again (after a change elsewhere).
  void refresh();
  const ActionItemRow* row_at(int row) const;
  std::optional<int> row_of(const std::string& itemId) const;
  // Done (true) or open again (false); false when the store refused the change.
  bool set_done(int row, bool done);

  int rowCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  store::EmailDatabase& database_;
  std::unique_ptr<store::EmailActionStore> store_;
  std::vector<ActionItemRow> rows_;
};

// The list of the action-items view. Space checks or unchecks the current item; Enter (and
// a double click) opens its message; j and k move as in the message list.
class ActionItemsView : public QListView {
 public:
  ActionItemsView(store::EmailDatabase& database, QWidget* parent);

  ActionItemsModel& items() { return *model_; }
  // Reads the items again, keeping the current one.
  void refresh();
  std::function<void(const std::string& messageId)> onOpen;
  // Opens the current item's message (onOpen); Enter and a double click do this.
  void open_current();

 protected:
  bool event(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  ActionItemsModel* model_;
};

}  // namespace kestrova::app::desktop
