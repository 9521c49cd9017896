#include "support/mail_servers.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>
#include "support/test_support.h"

namespace kestrova::testing {

namespace fs = std::filesystem;

namespace {

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

bool process_exists(int pid) {
  return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM);
}

fs::path servers_dir() {
  if (const char* dir = std::getenv("KESTROVA_MAIL_SERVERS_DIR"); dir && *dir) return dir;
  return KESTROVA_MAIL_SERVERS_DIR;
}

MailServers load(const fs::path& dir) {
  const fs::path file = dir / "servers.json";
  const std::string how =
      "; ctest starts them through the mail_servers fixture, by hand: /usr/bin/python3 "
      KESTROVA_SOURCE_DIR "/tests/support/mail_servers/mail_servers.py start " + dir.string();
  if (!fs::exists(file)) throw std::runtime_error("the test mail servers are not running (no " + file.string() + ")" + how);
  const auto json = nlohmann::json::parse(read_file(file));
  for (const auto& [label, pid] : json.at("pids").items()) {
    if (!process_exists(pid.get<int>()))
      throw std::runtime_error("the test mail server " + label + " (pid " + std::to_string(pid.get<int>()) +
                               ") has exited; see the logs in " + dir.string() + how);
  }
  MailServers servers;
  servers.host = json.at("host");
  servers.password = json.at("password");
  servers.imap_plain = json.at("imap_plain");
  servers.imap_ssl = json.at("imap_ssl");
  servers.smtp_starttls = json.at("smtp_starttls");
  servers.smtp_ssl = json.at("smtp_ssl");
  servers.smtp_no_tls = json.at("smtp_no_tls");
  servers.tls_self_signed = json.at("tls_self_signed");
  servers.tls_wrong_host = json.at("tls_wrong_host");
  servers.tls_expired = json.at("tls_expired");
  servers.oauth = json.at("oauth");
  servers.root = json.at("root").get<std::string>();
  servers.ca_file = servers.root / "ca.pem";
  servers.mail_uid = json.at("mail_uid");
  servers.mail_gid = json.at("mail_gid");
  return servers;
}

std::string ascii_lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return s;
}

}  // namespace

const MailServers& MailServers::shared() {
  static const MailServers servers = load(servers_dir());
  return servers;
}

PrivateMailServers::PrivateMailServers(const std::string& extra_dovecot_conf) {
  run_script("start", {"KESTROVA_DOVECOT_EXTRA_CONF=" + extra_dovecot_conf});
  servers_ = load(dir_.path());
}

PrivateMailServers::~PrivateMailServers() {
  try {
    run_script("stop");
  } catch (const std::exception&) {
    // A destructor has nobody to report to; the script stops only the pids it recorded.
  }
}

void PrivateMailServers::stop_imap() { run_script("stop-imap"); }
void PrivateMailServers::start_imap() { run_script("start-imap"); }

void PrivateMailServers::run_script(const std::string& command, const std::vector<std::string>& env) {
  const std::string script = KESTROVA_SOURCE_DIR "/tests/support/mail_servers/mail_servers.py";
  const auto result = run_process("/usr/bin/python3", {script, command, dir_.path().string()}, "", env);
  if (result.exit_code != 0) throw std::runtime_error("mail_servers.py " + command + ": " + result.err);
}

std::string MailServers::fresh_user() const {
  static std::atomic<int> counter{0};
  while (true) {
    std::string user = "t" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "@kestrova.test";
    // A pid can come back within one ctest run: skip names an earlier process used.
    if (!fs::exists(root / "home" / user)) return user;
  }
}

void MailServers::deliver(const std::string& user, const std::string& folder, const std::string& raw,
                          bool seen) const {
  deliver(user, folder, raw, MessageFlags{.seen = seen});
}

void MailServers::deliver(const std::string& user, const std::string& folder, const std::string& raw,
                          MessageFlags flags) const {
  deliver_many(user, folder, {MaildirMessage{raw, flags, std::nullopt}});
}

void MailServers::deliver_many(const std::string& user, const std::string& folder,
                               const std::vector<MaildirMessage>& messages) const {
  // Dovecot refuses root for mail access: with root running the tests, the files go to the
  // mail user.
  MaildirOwner owner;
  if (geteuid() == 0 && mail_uid > 0) owner = {mail_uid, mail_gid};
  write_maildir_messages(maildir_of(user), folder, messages, owner);
}

std::vector<std::string> MailServers::stored_messages(const std::string& user, const std::string& folder) const {
  return read_maildir_messages(maildir_of(user), folder);
}

fs::path MailServers::maildir_of(const std::string& user) const {
  // Dovecot lower-cases user names (auth_username_format %Lu) before it picks the home.
  return root / "home" / ascii_lower(user) / "Maildir";
}

std::vector<MailServers::ReceivedMail> MailServers::received_from(const std::string& mail_from) const {
  const fs::path spool = root / "smtp-spool";
  std::vector<fs::path> records;
  for (const auto& entry : fs::directory_iterator(spool)) {
    if (entry.path().extension() == ".json") records.push_back(entry.path());
  }
  std::sort(records.begin(), records.end());  // numbered in arrival order
  std::vector<ReceivedMail> mails;
  for (const auto& path : records) {
    const auto json = nlohmann::json::parse(read_file(path));
    if (json.at("mail_from") != mail_from) continue;
    ReceivedMail mail;
    mail.mail_from = json.at("mail_from");
    mail.rcpt_to = json.at("rcpt_tos").get<std::vector<std::string>>();
    mail.auth_user = json.at("auth_user");
    mail.data = read_file(spool / json.at("data_file").get<std::string>());
    mail.listener = json.at("listener");
    mail.tls = json.at("tls");
    mails.push_back(std::move(mail));
  }
  return mails;
}

}  // namespace kestrova::testing
