#pragma once

#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "store/email_account.h"
#include "store/email_signature.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QTextBrowser;

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {
class EmailSignatureService;
}

namespace kestrova::app::desktop {

class SettingsEditor;

// Signatures: each account's named signatures (the default one starred), edited as plain
// text or HTML with a preview as it renders, new ones started blank or from one of the
// ready-made designs, and whether replies get the default signature.
class SignaturesPage : public QWidget {
 public:
  SignaturesPage(store::EmailDatabase& database, SettingsEditor& editor, QWidget* parent);
  ~SignaturesPage() override;

  void choose_account(int index);
  // A new signature of the chosen account from the design `templateId` (empty: blank),
  // stored and selected; false, with the reason shown, when it is refused.
  bool add_signature(const std::string& templateId);
  // Stores the form over the selected signature; false when refused.
  bool save_signature();
  void remove_signature();
  void make_default();
  std::vector<store::EmailSignature> signatures() const;
  QLineEdit& name_field() { return *name_; }
  QPlainTextEdit& content_field() { return *content_; }

 private:
  void fill();
  void show_signature();
  void show_preview();

  SettingsEditor& editor_;
  std::unique_ptr<EmailSignatureService> service_;
  std::vector<store::EmailAccount> accounts_;
  std::string shown_;
  QComboBox* account_ = nullptr;
  QListWidget* list_ = nullptr;
  QComboBox* design_ = nullptr;
  QLineEdit* name_ = nullptr;
  QCheckBox* html_ = nullptr;
  QPlainTextEdit* content_ = nullptr;
  QTextBrowser* preview_ = nullptr;
};

}  // namespace kestrova::app::desktop
