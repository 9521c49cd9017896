// Checks that the loopback mail servers every mail test relies on behave as their interface
// promises; the IMAP and SMTP session tests exercise them in depth.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/mail_servers.h"
#include "support/test_support.h"
#include "util/base64.h"

namespace kestrova::testing {
namespace {

// A plain-text protocol conversation over one loopback connection.
class Conversation {
 public:
  Conversation(const std::string& host, int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    timeval timeout{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
      throw std::runtime_error("cannot connect to port " + std::to_string(port));
  }
  ~Conversation() { close(fd_); }

  // Sends `command` plus CRLF, then returns every line up to and including the first one
  // that starts with `last` ("" just reads one line).
  std::string exchange(const std::string& command, const std::string& last) {
    if (!command.empty()) {
      const std::string line = command + "\r\n";
      if (send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        throw std::runtime_error("send failed");
    }
    std::string reply;
    while (true) {
      const size_t end = buffer_.find("\r\n");
      if (end == std::string::npos) {
        char chunk[4096];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return reply + buffer_;
        buffer_.append(chunk, static_cast<size_t>(n));
        continue;
      }
      const std::string line = buffer_.substr(0, end + 2);
      buffer_.erase(0, end + 2);
      reply += line;
      if (line.rfind(last, 0) == 0) return reply;
    }
  }

 private:
  int fd_;
  std::string buffer_;
};

// One session through `openssl s_client` (implicit TLS, or STARTTLS for `starttls`), with
// `input` sent as is; returns what the server said.
std::string over_tls(int port, const std::string& input, const std::string& starttls = "") {
  std::vector<std::string> args{"20", "openssl", "s_client", "-quiet", "-nocommands",
                                "-connect", "127.0.0.1:" + std::to_string(port)};
  if (!starttls.empty()) args.insert(args.end(), {"-starttls", starttls});
  return run_process("/usr/bin/timeout", args, input).out;
}

TEST(MailServersFixture, ImapLoginAndDeliveredMail) {
  const auto& servers = MailServers::shared();
  const std::string user = servers.fresh_user();
  EXPECT_NE(user, servers.fresh_user());

  Conversation imap(servers.host, servers.imap_plain);
  EXPECT_EQ(imap.exchange("", "").rfind("* OK", 0), 0u);
  const std::string capabilities = imap.exchange("c CAPABILITY", "c ");
  EXPECT_NE(capabilities.find("STARTTLS"), std::string::npos) << capabilities;
  EXPECT_NE(capabilities.find("IDLE"), std::string::npos) << capabilities;
  EXPECT_NE(imap.exchange("a LOGIN \"" + user + "\" wrong-password", "a ").find("a NO"), std::string::npos);
  EXPECT_NE(imap.exchange("b LOGIN \"" + user + "\" \"" + servers.password + "\"", "b ").find("b OK"),
            std::string::npos);
  EXPECT_NE(imap.exchange("s SELECT INBOX", "s ").find("* 0 EXISTS"), std::string::npos);

  const std::string message = "From: a@kestrova.test\r\nSubject: hello\r\n\r\nbody\r\n";
  servers.deliver(user, "INBOX", message);
  servers.deliver(user, "INBOX", message, /*seen=*/true);
  EXPECT_NE(imap.exchange("n NOOP", "n ").find("* 2 EXISTS"), std::string::npos);
  const std::string fetched = imap.exchange("f FETCH 1:2 (FLAGS RFC822.SIZE)", "f ");
  // Dovecot adds \Recent to messages this session is the first to see.
  EXPECT_NE(fetched.find("* 1 FETCH (FLAGS (\\Recent) RFC822.SIZE " + std::to_string(message.size())),
            std::string::npos)
      << fetched;
  EXPECT_NE(fetched.find("* 2 FETCH (FLAGS (\\Seen \\Recent) RFC822.SIZE " + std::to_string(message.size())),
            std::string::npos)
      << fetched;

  // A folder that does not exist yet, with a name that is not ASCII.
  servers.deliver(user, "Entwürfe", message);
  const std::string listed = imap.exchange("l LIST \"\" *", "l ");
  EXPECT_NE(listed.find(" \".\" Entw&APw-rfe\r\n"), std::string::npos) << listed;
  EXPECT_NE(imap.exchange("t SELECT \"Entw&APw-rfe\"", "t ").find("* 1 EXISTS"), std::string::npos);
}

TEST(MailServersFixture, ImapOverTls) {
  const auto& servers = MailServers::shared();
  const std::string login = "a LOGIN " + servers.fresh_user() + " " + servers.password + "\r\nb LOGOUT\r\n";
  EXPECT_NE(over_tls(servers.imap_ssl, login).find("a OK"), std::string::npos);
  EXPECT_NE(over_tls(servers.imap_plain, login, "imap").find("a OK"), std::string::npos);
}

TEST(MailServersFixture, SmtpPortsAndSpool) {
  const auto& servers = MailServers::shared();
  Conversation plain(servers.host, servers.smtp_no_tls);
  EXPECT_EQ(plain.exchange("", "").rfind("220", 0), 0u);
  const std::string ehlo = plain.exchange("EHLO test", "250 ");
  EXPECT_EQ(ehlo.find("STARTTLS"), std::string::npos) << ehlo;
  EXPECT_NE(ehlo.find("AUTH LOGIN PLAIN"), std::string::npos) << ehlo;

  Conversation starttls(servers.host, servers.smtp_starttls);
  starttls.exchange("", "");
  EXPECT_NE(starttls.exchange("EHLO test", "250 ").find("STARTTLS"), std::string::npos);

  const std::string sender = servers.fresh_user();
  EXPECT_EQ(plain.exchange("MAIL FROM:<" + sender + ">", "").rfind("530", 0), 0u);  // AUTH first
  // AUTH PLAIN "\0user\0password", once wrong and once right.
  auto plain_auth = [&](const std::string& password) {
    const std::string credentials = std::string(1, '\0') + sender + '\0' + password;
    return plain.exchange("AUTH PLAIN " + base64::encode(credentials), "");
  };
  EXPECT_EQ(plain_auth("wrong").rfind("535", 0), 0u);
  EXPECT_EQ(plain_auth(servers.password).rfind("235", 0), 0u);
  EXPECT_EQ(plain.exchange("MAIL FROM:<" + sender + ">", "").rfind("250", 0), 0u);
  EXPECT_EQ(plain.exchange("RCPT TO:<to@kestrova.test>", "").rfind("250", 0), 0u);
  EXPECT_EQ(plain.exchange("DATA", "").rfind("354", 0), 0u);
  EXPECT_EQ(plain.exchange("Subject: x\r\n\r\n..leading dot\r\nend\r\n.", "").rfind("250", 0), 0u);

  const auto received = servers.received_from(sender);
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].data, "Subject: x\r\n\r\n.leading dot\r\nend\r\n");
  EXPECT_EQ(received[0].rcpt_to, std::vector<std::string>{"to@kestrova.test"});
  EXPECT_EQ(received[0].auth_user, sender);
  EXPECT_EQ(received[0].listener, "no_tls");
  EXPECT_FALSE(received[0].tls);

  const std::string over_ssl = over_tls(servers.smtp_ssl, "EHLO test\r\nQUIT\r\n");
  EXPECT_EQ(over_ssl.rfind("220", 0), 0u) << over_ssl;
  EXPECT_NE(over_ssl.find("AUTH LOGIN PLAIN"), std::string::npos) << over_ssl;
}

}  // namespace
}  // namespace kestrova::testing
