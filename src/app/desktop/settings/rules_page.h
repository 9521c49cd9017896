#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTimer;
class QTreeWidget;

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::rules {
struct EmailRule;
class EmailRuleService;
}  // namespace kestrova::rules

namespace kestrova::app {
class UserPreferences;
}

namespace kestrova::app::desktop {

// The Rules page of the settings: the rules of one account in the order they run (enable
// and disable, move up and down, delete after a confirmation), an editor for the rule's
// conditions and actions, the preview of the stored messages the edited rule would match
// (read again as the conditions change, at most kPreviewRows listed), and "apply to
// existing mail" after a confirmation that names how many messages it changes. Storage,
// preview and application are the rule service's, as for `kestrova rules`; folder changes
// go to the server as the command line sends them. Main thread only.
class RulesPage : public QWidget {
 public:
  static constexpr int kPreviewRows = 200;
  // The preview waits for the typing to pause this long (it reads up to 5,000 messages).
  static constexpr int kPreviewPauseMilliseconds = 250;

  RulesPage(store::EmailDatabase& database, UserPreferences& preferences, QWidget* parent);
  ~RulesPage() override;

  // Asked before deleting a rule and before applying one; answers whether to go on. The
  // page asks with a message box unless a test sets its own.
  std::function<bool(const QString& question)> confirm;

  // The account whose rules are shown.
  void show_account(const std::string& accountId);
  // Reads the rules again, keeping the one being edited.
  void reload();
  // Starts a new rule in the editor (saved by save()).
  void new_rule();
  // The rule as the editor shows it.
  rules::EmailRule edited_rule() const;
  // Stores the edited rule; false (with the reason shown) when it has no name.
  bool save();
  // Applies the edited rule to the account's stored mail after the confirmation; the number
  // of messages changed, or nothing when cancelled or failed.
  std::optional<size_t> apply_to_existing();
  // Reads the preview now (it otherwise follows the edits after a pause).
  void update_preview();
  // Rows of the list: the account's rules, in the order they run.
  const std::vector<std::string>& rule_ids() const { return ruleIds_; }
  void select_rule(int row);
  void set_enabled(int row, bool enabled);
  // Swaps the rule at `row` with its neighbour above (-1) or below (+1).
  void move_rule(int row, int delta);
  void delete_rule(int row);

  // What the preview lists, newest first (subjects), and the count of matches.
  QStringList preview_subjects() const;
  int preview_count() const { return previewCount_; }
  QString status_text() const;

 private:
  void build();
  void fill_folders();
  void show_rule(const rules::EmailRule& rule);
  void edited();

  store::EmailDatabase& database_;
  std::unique_ptr<rules::EmailRuleService> service_;
  std::unique_ptr<rules::EmailRule> editing_;  // id, account and dates of the edited rule
  std::vector<std::string> ruleIds_;
  std::string accountId_;
  int previewCount_ = 0;
  bool filling_ = false;

  QComboBox* account_ = nullptr;
  QListWidget* list_ = nullptr;
  QPushButton* up_ = nullptr;
  QPushButton* down_ = nullptr;
  QPushButton* remove_ = nullptr;
  QLineEdit* name_ = nullptr;
  QLineEdit* from_ = nullptr;
  QLineEdit* subject_ = nullptr;
  QLineEdit* body_ = nullptr;
  QComboBox* attachments_ = nullptr;
  QComboBox* read_ = nullptr;
  QComboBox* inFolder_ = nullptr;
  QComboBox* markRead_ = nullptr;
  QCheckBox* important_ = nullptr;
  QCheckBox* spam_ = nullptr;
  QComboBox* moveTo_ = nullptr;
  QLineEdit* tags_ = nullptr;
  QCheckBox* delete_ = nullptr;
  QLabel* summary_ = nullptr;
  QLabel* previewTitle_ = nullptr;
  QTreeWidget* preview_ = nullptr;
  QLabel* status_ = nullptr;
  QTimer* previewTimer_ = nullptr;
};

}  // namespace kestrova::app::desktop
