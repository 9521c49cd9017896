#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <string_view>

class QLabel;
class QListWidget;
class QStackedWidget;

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {
class UserPreferences;
}

namespace kestrova::app::desktop {

class SettingsEditor;

// The settings window: the pages listed on the left, the chosen one on the right. Every
// change is stored at once (there is no OK/Apply); a refused value shows its reason at the
// bottom. Page ids: "accounts", "ai", "rules", "notifications", "signatures", "safety",
// "reading", "agent"; the dialog builds its own pages and takes the others through
// add_page, each in the place its id has in that order.
class SettingsDialog : public QDialog {
 public:
  SettingsDialog(store::EmailDatabase& database, UserPreferences& preferences,
                 QWidget* parent = nullptr);
  ~SettingsDialog() override;

  // Adds `page` under `id` (a page already there with that id is replaced).
  void add_page(const QString& id, const QString& title, QWidget* page);
  // Shows the page `id`; false when there is none.
  bool show_page(const QString& id);
  QString current_page() const;
  QWidget* page(const QString& id) const;
  // The reason the last refused value was refused; empty after a stored change.
  QString refusal_text() const;

  // Called after every stored change with its key, so the window can follow it.
  std::function<void(std::string_view key)> onSettingChanged;

 private:
  std::unique_ptr<SettingsEditor> editor_;
  QListWidget* list_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  QLabel* refusal_ = nullptr;
};

}  // namespace kestrova::app::desktop
