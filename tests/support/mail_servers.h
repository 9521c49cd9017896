#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/maildir.h"
#include "support/test_support.h"

namespace kestrova::testing {

// The loopback Dovecot (IMAP) and SMTP servers that the CTest fixture `mail_servers` starts
// once per ctest run (tests/support/mail_servers/mail_servers.py). Any user name logs in to
// both with `password`; any other password fails. The object is read-only after loading,
// so it may be shared between threads.
struct MailServers {
  std::string host;                 // "127.0.0.1"
  std::string password;             // the one password every test user has
  int imap_plain = 0;               // IMAP, plain text, STARTTLS offered, plaintext LOGIN allowed
  int imap_ssl = 0;                 // IMAP over implicit TLS
  int smtp_starttls = 0;            // SMTP, plain text, STARTTLS offered, AUTH PLAIN+LOGIN
  int smtp_ssl = 0;                 // SMTP over implicit TLS, AUTH PLAIN+LOGIN
  int smtp_no_tls = 0;              // SMTP, plain text, NO STARTTLS offered, AUTH PLAIN+LOGIN
  // TLS ports that greet like an IMAP server with a certificate that must be refused:
  // self-signed, from the test CA for another host name, from the test CA but expired.
  int tls_self_signed = 0, tls_wrong_host = 0, tls_expired = 0;
  // The OAuth 2.0 server (oauth_server.py): /authorize, /token, /introspect (which Dovecot's
  // and the SMTP server's XOAUTH2 ask), /control and the Gmail REST stand-in /gmail/v1.
  int oauth = 0;
  std::filesystem::path root;       // the fixture directory
  // The test CA that issued the servers' certificate (for localhost and 127.0.0.1); a
  // session trusts the servers through it (CertificateTrust::caFile).
  std::filesystem::path ca_file;

  // Reads root/servers.json, root being $KESTROVA_MAIL_SERVERS_DIR or else the build's
  // mail-servers directory. Throws std::runtime_error saying how to start the servers when
  // they are not running. The object lives until the program ends.
  static const MailServers& shared();

  // A user name nobody else uses ("t<pid>-<n>@kestrova.test"): every test gets its own
  // empty mailbox, so parallel tests never see each other's mail.
  std::string fresh_user() const;

  // Puts a raw RFC 5322 message into `user`'s folder ("INBOX" or a folder name, created
  // when missing; a hierarchy is written with Dovecot's separator ".", as in "Work.2024"),
  // directly in the Maildir; Dovecot sees it at the next command (an IDLE client at once).
  // `seen` stores it with the \Seen flag.
  void deliver(const std::string& user, const std::string& folder, const std::string& raw,
               bool seen = false) const;
  // The same with any flags (\Seen, \Flagged).
  void deliver(const std::string& user, const std::string& folder, const std::string& raw,
               MessageFlags flags) const;
  // Many messages into one folder at once, in order (UIDs follow it): the folder is set up
  // once and every file written straight into place, fast enough for tens of thousands.
  void deliver_many(const std::string& user, const std::string& folder,
                    const std::vector<MaildirMessage>& messages) const;
  // The raw messages the Maildir holds in `user`'s folder right now, sorted by file name:
  // what the server really has, seen without IMAP.
  std::vector<std::string> stored_messages(const std::string& user, const std::string& folder) const;
  // `user`'s Maildir ("root/home/<user>/Maildir", the user name lower-cased as Dovecot does).
  std::filesystem::path maildir_of(const std::string& user) const;

  // Messages the SMTP server received for the given envelope sender, oldest first.
  struct ReceivedMail {
    std::string mail_from;
    std::vector<std::string> rcpt_to;
    std::string auth_user;          // the AUTH user name ("" without AUTH; never accepted)
    std::string data;               // the DATA bytes as received, dot-unstuffed, CRLF kept
    std::string listener;           // "starttls", "ssl" or "no_tls": the port it came in on
    bool tls = false;               // sent over implicit TLS or after a completed STARTTLS
  };
  std::vector<ReceivedMail> received_from(const std::string& mail_from) const;

  // Owner of the Maildirs (Dovecot refuses root for mail access; with root as the user
  // running the tests, deliver() hands its files to this user).
  int mail_uid = -1;
  int mail_gid = -1;
};

// A set of servers of the test's own, like the shared ones but with `extra_dovecot_conf`
// appended to Dovecot's configuration; stopped (by pid) on destruction.
class PrivateMailServers {
 public:
  explicit PrivateMailServers(const std::string& extra_dovecot_conf);
  ~PrivateMailServers();
  const MailServers& servers() const { return servers_; }
  // Stops Dovecot alone, and starts it again on the same ports.
  void stop_imap();
  void start_imap();

 private:
  void run_script(const std::string& command, const std::vector<std::string>& env = {});

  TempDir dir_;
  MailServers servers_;
};

}  // namespace kestrova::testing
