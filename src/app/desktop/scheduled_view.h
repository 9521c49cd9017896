#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "store/scheduled_message.h"

class QTreeWidget;
class QLabel;

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app::desktop {

// The messages waiting in the scheduled queue (the rows `kestrova scheduled` lists), as
// the window's "Scheduled" view shows them: those still to go and those that failed,
// earliest first. Sent rows are history and stay out. Main thread only.
class ScheduledList {
 public:
  explicit ScheduledList(store::EmailDatabase& database) : database_(database) {}
  // Reads the table again.
  void refresh();
  const std::vector<store::ScheduledMessage>& rows() const { return rows_; }
  // Takes the message out of the queue (row and attachment copies); false when it was gone.
  bool cancel(const std::string& id);

 private:
  store::EmailDatabase& database_;
  std::vector<store::ScheduledMessage> rows_;
};

// The "Scheduled" view, in the window's middle when the mailbox tree's Scheduled entry is
// chosen: When, To, Subject, Status; Edit (or Return, or a double click) opens a row in the
// composer through onEdit, Cancel sending takes it out of the queue after asking.
class ScheduledView : public QWidget {
 public:
  explicit ScheduledView(store::EmailDatabase& database, QWidget* parent = nullptr);
  // Reads the queue again, keeping the current row when it is still there.
  void refresh();
  QTreeWidget& table() { return *table_; }
  // Cancels the selected row; `confirmed` skips the question (tests).
  void cancel_selected(bool confirmed = false);

  std::function<void(const std::string& id)> onEdit;
  // A row was cancelled.
  std::function<void()> onCancelled;

 private:
  ScheduledList list_;
  QTreeWidget* table_ = nullptr;
  QLabel* empty_ = nullptr;
  QWidget* buttons_ = nullptr;
};

}  // namespace kestrova::app::desktop
