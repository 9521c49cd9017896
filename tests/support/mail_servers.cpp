#include "support/mail_servers.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

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

MailServers load() {
  const fs::path dir = servers_dir();
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
  servers.root = json.at("root").get<std::string>();
  servers.mail_uid = json.at("mail_uid");
  servers.mail_gid = json.at("mail_gid");
  return servers;
}

// RFC 3501 §5.1.3 modified UTF-7: Dovecot's on-disk name of a Maildir++ folder. The input
// is taken to be valid UTF-8 (test code passes literals).
std::string encode_modified_utf7(const std::string& utf8) {
  std::u16string units;
  for (size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    char32_t cp = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length && i + k < utf8.size(); ++k) cp = (cp << 6) | (utf8[i + k] & 0x3F);
    i += length;
    if (cp < 0x10000) {
      units.push_back(static_cast<char16_t>(cp));
    } else {
      units.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      units.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
  }
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
  std::string out;
  std::string bytes;  // pending UTF-16BE bytes of the current non-ASCII run
  auto flush = [&] {
    if (bytes.empty()) return;
    out += '&';
    uint32_t bits = 0;
    int count = 0;
    for (unsigned char b : bytes) {
      bits = (bits << 8) | b;
      count += 8;
      while (count >= 6) out += kAlphabet[(bits >> (count -= 6)) & 0x3F];
    }
    if (count > 0) out += kAlphabet[(bits << (6 - count)) & 0x3F];
    out += '-';
    bytes.clear();
  };
  for (char16_t u : units) {
    if (u >= 0x20 && u <= 0x7E) {
      flush();
      out += u == '&' ? std::string("&-") : std::string(1, static_cast<char>(u));
    } else {
      bytes += static_cast<char>(u >> 8);
      bytes += static_cast<char>(u & 0xFF);
    }
  }
  flush();
  return out;
}

std::string ascii_lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(), [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return s;
}

}  // namespace

const MailServers& MailServers::shared() {
  static const MailServers servers = load();
  return servers;
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
  // Dovecot lower-cases user names (auth_username_format %Lu) before it picks the home.
  const fs::path home = root / "home" / ascii_lower(user);
  const fs::path maildir = home / "Maildir";
  const bool inbox = ascii_lower(folder) == "inbox";
  const fs::path box = inbox ? maildir : maildir / ("." + encode_modified_utf7(folder));

  const bool give_away = geteuid() == 0 && mail_uid >= 0 && static_cast<uid_t>(mail_uid) != 0;
  auto own = [&](const fs::path& path) {
    if (give_away && chown(path.c_str(), mail_uid, mail_gid) != 0)
      throw std::runtime_error("cannot hand " + path.string() + " to the mail user");
  };
  for (const fs::path& dir : {home, maildir, maildir / "cur", maildir / "new", maildir / "tmp", box,
                              box / "cur", box / "new", box / "tmp"}) {
    if (fs::create_directory(dir)) own(dir);
  }

  static std::atomic<int> counter{0};
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const std::string name = std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now).count()) + ".M" +
                           std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(now).count() % 1000000) +
                           "P" + std::to_string(getpid()) + "Q" + std::to_string(++counter) + ".kestrova-test";
  const fs::path staged = box / "tmp" / name;
  {
    std::ofstream out(staged, std::ios::binary);
    out << raw;
    if (!out.flush()) throw std::runtime_error("cannot write " + staged.string());
  }
  own(staged);
  // Maildir delivery: a message appears in new/ (or cur/ with its flags) in one rename.
  fs::rename(staged, seen ? box / "cur" / (name + ":2,S") : box / "new" / name);
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
