#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/desktop/settings/accounts_page_model.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFormLayout;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QRadioButton;
class QSpinBox;
class QStackedWidget;
class QVBoxLayout;

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {
class AccountBook;
class UserPreferences;
}  // namespace kestrova::app

namespace kestrova::app::desktop {

class WrappingText;

// The stages of a connection test, one row each: a mark (waiting, testing, passed, failed),
// the server's name and what happened; a refused certificate gets a "Trust this
// certificate" button that calls `onTrust(imap, fingerprint)`.
class ConnectionStagesView : public QWidget {
 public:
  explicit ConnectionStagesView(QWidget* parent = nullptr);
  void show_stages(const std::vector<StageView>& stages, const QString& summary);
  std::function<void(bool imap, const QString& fingerprint)> onTrust;

 private:
  QVBoxLayout* rows_ = nullptr;
};

// The form that adds one account: address (the provider guessed from it, its servers
// filled in and editable), password or browser sign-in with the provider's app-password
// advice, the connection test shown stage by stage, and Add, which saves only after both
// servers passed. Used by the account page and by the first run; the page also edits a
// stored account with it (edit()), saved the same way only after both servers passed.
class AccountForm : public QWidget {
 public:
  AccountForm(AccountBook& book, UserPreferences& preferences, QWidget* parent = nullptr);
  ~AccountForm() override;

  // Called with the account's id once it is saved (added, or changed when editing).
  std::function<void(const QString& accountId)> onSaved;
  // Called when the user gives up (Cancel).
  std::function<void()> onCancelled;

  // Empties the form for the next account.
  void clear();
  // Fills the form with a stored account to change it; the password field stays empty
  // (the stored credential is kept unless one is typed).
  void edit(const store::EmailAccount& account);
  AccountDraft& draft() { return *draft_; }

 private:
  void address_edited();
  void provider_chosen(int index);
  void fill_servers_from_draft();
  void servers_edited();
  void update_provider_help();
  void update_sign_in_choice();
  void sign_in();
  void test(bool save);
  void show_stages();

  void show_mode();

  std::unique_ptr<AccountDraft> draft_;
  QLabel* title_ = nullptr;
  QLabel* intro_ = nullptr;
  QFormLayout* fields_ = nullptr;
  QLineEdit* address_ = nullptr;
  QLineEdit* name_ = nullptr;
  QComboBox* provider_ = nullptr;
  QLabel* providerHelp_ = nullptr;
  QWidget* signInChoice_ = nullptr;
  QRadioButton* usePassword_ = nullptr;
  QRadioButton* useBrowser_ = nullptr;
  QLineEdit* password_ = nullptr;
  QWidget* passwordRow_ = nullptr;
  QWidget* browserRow_ = nullptr;
  QPushButton* signInButton_ = nullptr;
  QLabel* signInState_ = nullptr;
  QGroupBox* servers_ = nullptr;
  QLineEdit* imapHost_ = nullptr;
  QSpinBox* imapPort_ = nullptr;
  QComboBox* imapEncryption_ = nullptr;
  QLineEdit* smtpHost_ = nullptr;
  QSpinBox* smtpPort_ = nullptr;
  QComboBox* smtpEncryption_ = nullptr;
  QLineEdit* imapCertificate_ = nullptr;
  QLineEdit* smtpCertificate_ = nullptr;
  ConnectionStagesView* stages_ = nullptr;
  QLabel* problem_ = nullptr;
  QPushButton* testButton_ = nullptr;
  QPushButton* addButton_ = nullptr;
  bool filling_ = false;  // servers being filled from the draft, not edited by the user
};

// Settings → Accounts: the accounts listed (long names elided in the middle, whole in the
// tooltip); for the chosen one its servers, Edit (the account form over its values), Make
// default, a connection test with the stored password, its privacy mode and its trusted
// certificates; Add opens the account form, Remove asks first and says what goes.
class AccountsPage : public QWidget {
 public:
  AccountsPage(store::EmailDatabase& database, UserPreferences& preferences,
               QWidget* parent = nullptr);
  ~AccountsPage() override;

  // Shows the add form (the page's Add button does the same).
  void show_add_form();
  // Shows the form over the chosen account's values (the page's Edit button).
  void show_edit_form();
  // The list again from the database (another process may have changed it).
  void reload();
  AccountForm& form() { return *form_; }
  AccountBook& book() { return *book_; }

 private:
  void fill_list(const QString& select = {});
  void show_account(int row);
  const store::EmailAccount* current_account() const;
  void ask_remove();
  void make_default();
  void privacy_toggled(bool on);
  void fill_certificates();

  store::EmailDatabase& database_;
  UserPreferences& preferences_;
  std::unique_ptr<AccountBook> book_;
  AccountTester tester_;
  QListWidget* list_ = nullptr;
  QPushButton* removeButton_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  QWidget* details_ = nullptr;
  QWidget* empty_ = nullptr;
  WrappingText* title_ = nullptr;
  WrappingText* servers_ = nullptr;
  QPushButton* editButton_ = nullptr;
  QPushButton* defaultButton_ = nullptr;
  QLabel* defaultMark_ = nullptr;
  QCheckBox* privacy_ = nullptr;
  QPushButton* testButton_ = nullptr;
  ConnectionStagesView* stages_ = nullptr;
  QListWidget* certificates_ = nullptr;
  QPushButton* forgetCertificate_ = nullptr;
  AccountForm* form_ = nullptr;
  std::vector<TrustedCertificateRow> certificateRows_;
};

}  // namespace kestrova::app::desktop
