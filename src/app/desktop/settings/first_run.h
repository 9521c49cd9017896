#pragma once

#include <QDialog>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>

class QCheckBox;
class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {
class AccountBook;
class UserPreferences;
}  // namespace kestrova::app

namespace kestrova::app::desktop {

class AccountForm;

// The first run (`hasCompletedOnboarding` false when the window starts): a short welcome
// that adds the first account with the account page's own form, or prepares the demo
// mailbox in a home of its own; then offers to start the mail service at login
// (`launchAtLogin`, the autostart entry) and shows what an agent host needs to reach the
// tool server, with Copy. Finishing, skipping or closing it sets `hasCompletedOnboarding`
// (the window still offers it again while the mailbox has no account). Its language choice
// stores `defaultLanguage` and ends it, so that it can be shown again in that language.
class FirstRunDialog : public QDialog {
 public:
  enum class Outcome { skipped, accountAdded, demo };

  FirstRunDialog(store::EmailDatabase& database, UserPreferences& preferences,
                 QWidget* parent = nullptr);
  ~FirstRunDialog() override;

  Outcome outcome() const { return outcome_; }
  // Whether it ended because another interface language was chosen.
  bool language_changed() const { return languageChanged_; }
  // The demo's home once it is ready (Outcome::demo).
  const std::optional<std::filesystem::path>& demo_home() const { return demoHome_; }
  // Where the demo is prepared (default: DemoMailbox::default_home()) and, when not empty,
  // the generator that makes it.
  void set_demo_home(const std::filesystem::path& home,
                     const std::filesystem::path& generator = {}) {
    demoHomeChoice_ = home;
    demoGenerator_ = generator;
  }

  AccountForm& account_form() { return *form_; }

  void done(int result) override;

 private:
  void start_demo();
  void show_finish();
  void show_snippet();

  UserPreferences& preferences_;
  Outcome outcome_ = Outcome::skipped;
  std::optional<std::filesystem::path> demoHome_;
  std::filesystem::path demoHomeChoice_;
  std::filesystem::path demoGenerator_;
  std::thread demoWorker_;
  bool finished_ = false;
  bool languageChanged_ = false;
  QComboBox* language_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  QWidget* welcome_ = nullptr;
  QWidget* finish_ = nullptr;
  std::unique_ptr<AccountBook> book_;
  AccountForm* form_ = nullptr;
  QPushButton* demoButton_ = nullptr;
  QLabel* demoState_ = nullptr;
  QLabel* finishTitle_ = nullptr;
  QCheckBox* launchAtLogin_ = nullptr;
  QComboBox* host_ = nullptr;
  QPlainTextEdit* snippet_ = nullptr;
  QLabel* linkNote_ = nullptr;
  QPushButton* installLink_ = nullptr;
};

}  // namespace kestrova::app::desktop
