#pragma once

#include <QWidget>

class QLineEdit;
class QListWidget;

namespace kestrova::app::desktop {

class SettingsEditor;

// New-mail notifications: the switches, the VIP senders, the quiet hours, and the
// follow-up reminders.
class NotificationsPage : public QWidget {
 public:
  NotificationsPage(SettingsEditor& editor, QWidget* parent);

  // Adds the address typed in the VIP field (trimmed, lower case); false when it is empty
  // or already there.
  bool add_vip();
  void remove_vip(int row);
  QListWidget& vip_list() { return *vips_; }
  QLineEdit& vip_field() { return *vipField_; }

 private:
  void store_vips(std::vector<std::string> addresses);
  void fill_vips();

  SettingsEditor& editor_;
  QListWidget* vips_ = nullptr;
  QLineEdit* vipField_ = nullptr;
};

}  // namespace kestrova::app::desktop
