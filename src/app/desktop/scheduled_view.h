#pragma once

#include <QDialog>
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

// The view: When, To, Subject, Status; Edit opens a row in the composer (through
// onEdit), Cancel takes it out of the queue after asking.
class ScheduledDialog : public QDialog {
 public:
  ScheduledDialog(store::EmailDatabase& database, QWidget* parent = nullptr);
  void refresh();
  QTreeWidget& table() { return *table_; }
  // Cancels the selected row; `confirmed` skips the question (tests).
  void cancel_selected(bool confirmed = false);

  std::function<void(const std::string& id)> onEdit;

 private:
  ScheduledList list_;
  QTreeWidget* table_ = nullptr;
  QLabel* empty_ = nullptr;
};

}  // namespace kestrova::app::desktop
