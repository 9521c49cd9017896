#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mail/certificate_trust.h"
#include "mail/email_connection_test.h"
#include "store/email_account.h"

namespace kestrova::platform {
class CancellationToken;
class SettingsStore;
}  // namespace kestrova::platform

namespace kestrova::mail {
class OAuthSignIn;
}

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {
class AccountBook;
class UserPreferences;
}  // namespace kestrova::app

namespace kestrova::app::desktop {

// One stage of a connection test as the page shows it: waiting, being tested, or over.
struct StageView {
  enum class State { waiting, testing, passed, failed };
  QString name;
  State state = State::waiting;
  QString detail;
  // The SHA-256 fingerprint a refused certificate showed, for "Trust this certificate".
  std::optional<std::string> refusedFingerprint;
};

// The account editor behind the page's form: the new account's address, provider and
// servers (the provider's presets, guessed from the address), its password or browser
// sign-in, and the connection test, stage by stage, on a worker thread so that the window
// never waits. An account is saved only after both of its servers accepted the credential,
// through the same code as `kestrova account add`. The same editor changes a stored
// account (edit()): nothing of it is written unless the test with the changed values
// passes. Interface thread only; the worker hands its results back through queued calls.
class AccountDraft : public QObject {
 public:
  // Told on the interface thread.
  std::function<void()> onStagesChanged;
  std::function<void(bool passed)> onTestFinished;
  std::function<void(const QString& accountId)> onSaved;
  std::function<void(bool success, const QString& message)> onSignInFinished;

  AccountDraft(AccountBook& book, UserPreferences& preferences, QObject* parent = nullptr);
  // Gives up a sign-in that waits and waits for the worker (bounded by the test's own time
  // limits).
  ~AccountDraft() override;

  // The account being made. Servers may be edited directly between the calls below.
  store::EmailAccount& account() { return account_; }
  // A typed address: recognises the provider (until the user chose one) and applies its
  // presets.
  void set_address(const QString& address);
  // The user's choice of provider: its presets replace the servers (a new account).
  // Returns whether the advanced server settings should be shown (custom).
  bool choose_provider(store::EmailServiceType type);
  bool provider_chosen_by_user() const { return providerChosen_; }
  void set_password(const QString& password) { password_ = password.toStdString(); }
  // "SHA-256 fingerprint or CA file" for one server; empty for none. Checked when testing.
  void set_certificate(bool imap, const QString& text);

  // The browser sign-in (Gmail, Outlook, Exchange): the sign-in page's address, opened on
  // the desktop when there is one. Throws kestrova::Error when no OAuth client is set up.
  // onSignInFinished(true) once the tokens arrived; they then stand in for the password.
  QString start_sign_in();
  bool signed_in() const { return token_.has_value(); }
  void cancel_sign_in();

  // Runs the connection test with the form's values; `saveWhenPassed` then saves the
  // account. False (with problem() set) when the form is not complete: nothing runs then.
  bool start_test(bool saveWhenPassed);
  bool busy() const { return worker_.joinable() && running_; }
  const std::vector<StageView>& stages() const { return stages_; }
  // The summary after a test ("IMAP 与 SMTP 均已通过" or the failure message), a form
  // problem, or a save error.
  const QString& problem() const { return problem_; }
  const QString& summary() const { return summary_; }
  // Starts over: a new account id, empty fields, no stages.
  void reset();
  // Edits the stored `account` instead: its values as they are stored, its provider's
  // presets never overwriting its servers. The test and the save use a newly typed password
  // or a new sign-in when there is one, else the stored credential; what is trusted stays
  // unless a certificate is typed for a server.
  void edit(const store::EmailAccount& account);
  bool editing() const { return editing_; }

 private:
  void join_worker();
  void stage_done(int generation, const mail::EmailConnectionStageResult& stage);
  // `tested` is the account as the servers saw it, `fresh` a credential given in the form
  // (typed or signed in), `trust` what the test trusted: all three are what is saved.
  void test_done(int generation, const store::EmailAccount& tested,
                 const mail::EmailConnectionTestReport& report, bool save,
                 const std::optional<std::string>& fresh,
                 const mail::AccountCertificateTrust& trust);
  std::optional<mail::AccountCertificateTrust> trust_from_form();

  AccountBook& book_;
  UserPreferences& preferences_;
  store::EmailAccount account_;
  bool providerChosen_ = false;
  bool editing_ = false;
  std::string password_;
  std::optional<std::string> token_;  // a signed-in token set, serialized
  QString imapCertificate_, smtpCertificate_;
  std::vector<StageView> stages_;
  QString problem_, summary_;
  std::thread worker_;
  bool running_ = false;
  int generation_ = 0;
  std::unique_ptr<mail::OAuthSignIn> signIn_;
  std::shared_ptr<platform::CancellationToken> signInStop_;
};

// A stored account's connection test, with its stored credential, on a worker thread.
class AccountTester : public QObject {
 public:
  std::function<void()> onStagesChanged;
  std::function<void(bool passed)> onFinished;

  explicit AccountTester(QObject* parent = nullptr) : QObject(parent) {}
  ~AccountTester() override;
  // Tests with the stored credential, trusting what `trust` says for the account.
  void start(const store::EmailAccount& account, const mail::AccountCertificateTrust& trust);
  bool busy() const { return running_; }
  const std::vector<StageView>& stages() const { return stages_; }
  const QString& summary() const { return summary_; }

 private:
  std::vector<StageView> stages_;
  QString summary_;
  std::thread worker_;
  bool running_ = false;
};

// The trusted certificates of one account as rows: server ("IMAP"/"SMTP"), what is trusted
// (a fingerprint or a CA file), and removal of one row.
struct TrustedCertificateRow {
  bool imap = true;
  bool caFile = false;
  std::string value;
};
std::vector<TrustedCertificateRow> trusted_certificates(platform::SettingsStore& settings,
                                                        const store::EmailAccount& account);
void forget_trusted_certificate(platform::SettingsStore& settings,
                                const store::EmailAccount& account,
                                const TrustedCertificateRow& row);

// What removing the account deletes from this computer, for the confirmation.
QString removal_question(store::EmailDatabase& database, const store::EmailAccount& account);

}  // namespace kestrova::app::desktop
