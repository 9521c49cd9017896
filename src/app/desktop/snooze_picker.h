#pragma once

#include <QDialog>
#include <optional>

class QDateTimeEdit;
class QListWidget;
class QPushButton;

namespace kestrova::app::desktop {

// The time picker of snooze and reply later: the presets with the time each means (later
// today, tomorrow morning, next week), a date and time of one's own, and — when the
// message already carries the mark — a button that removes it. Enter takes the current
// preset; the custom entry shows the date and time field.
class SnoozePicker : public QDialog {
 public:
  // `current`: the mark the messages carry now, if any. `now` counts the presets.
  SnoozePicker(QWidget* parent, const QString& title, double now, std::optional<double> current,
               const QString& removeText);

  // After accept(): the chosen time, or nothing when the mark is to be removed.
  std::optional<double> chosen() const { return chosen_; }
  bool removes() const { return removes_; }

  // What a person does with the dialog (also used by tests): take the preset at `row`, a
  // custom time, or the remove button.
  void take_row(int row);
  void take_custom(double at);
  void take_remove();

  QListWidget& choices() { return *list_; }

 private:
  double now_;
  QListWidget* list_;
  QDateTimeEdit* custom_;
  QPushButton* customButton_;
  std::optional<double> chosen_;
  bool removes_ = false;
};

}  // namespace kestrova::app::desktop
