#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "store/email_account.h"

class QComboBox;
class QLineEdit;
class QTreeWidget;

namespace kestrova::store {
class EmailDatabase;
}
namespace kestrova::safety {
class EmailJunkFilterService;
}

namespace kestrova::app::desktop {

class SettingsEditor;

// Safety: the junk filter and the blocked senders (their switches and actions, and the
// list itself, kept in the mail database as `kestrova block` keeps it).
class SafetyPage : public QWidget {
 public:
  SafetyPage(store::EmailDatabase& database, SettingsEditor& editor, QWidget* parent);
  ~SafetyPage() override;

  // Blocks the address typed for the account chosen (or every account); false, with the
  // reason shown, when it is refused.
  bool block();
  // Removes the entry at `row` of the list.
  void unblock(int row);
  QTreeWidget& blocked_list() { return *list_; }
  QLineEdit& address_field() { return *address_; }
  QComboBox& account_choice() { return *account_; }

 private:
  void fill();

  SettingsEditor& editor_;
  std::unique_ptr<safety::EmailJunkFilterService> junk_;
  std::vector<store::EmailAccount> accounts_;
  std::vector<std::string> shownIds_;
  QTreeWidget* list_ = nullptr;
  QLineEdit* address_ = nullptr;
  QLineEdit* note_ = nullptr;
  QComboBox* account_ = nullptr;
};

}  // namespace kestrova::app::desktop
