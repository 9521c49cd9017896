// `kestrova account …` as a user runs it, against the loopback Dovecot
// and SMTP servers, in a temporary home with the file credential store.

#include <gtest/gtest.h>

#include <iterator>
#include <regex>
#include <sstream>

#include "cli_fixture.h"
#include "support/loopback.h"
#include "util/file.h"

namespace kestrova {
namespace {

using testing::MailServers;

class AccountCliTest : public testing::CliTest {
 protected:
  // `account add` for `address` on the loopback servers (IMAP with STARTTLS, SMTP over TLS).
  // The servers' certificates come from the fixture's CA, trusted unless `trustTestCA` is off.
  testing::ProcessResult add(const std::string& address, const std::string& password,
                             std::vector<std::string> extra = {}, bool trustTestCA = true) {
    std::vector<std::string> args = {"account", "add", "--email", address,
                                     "--imap-host", servers_.host, "--imap-port", std::to_string(servers_.imap_plain),
                                     "--imap-encryption", "startTLS",
                                     "--smtp-host", servers_.host, "--smtp-port", std::to_string(servers_.smtp_ssl),
                                     "--smtp-encryption", "ssl", "--password-stdin"};
    if (trustTestCA)
      args.insert(args.end(), {"--imap-ca-file", servers_.ca_file.string(), "--smtp-ca-file", servers_.ca_file.string()});
    args.insert(args.end(), extra.begin(), extra.end());
    return run(args, password + "\n");
  }

  std::filesystem::path credentials() const {
    return dir_.path() / "data" / "kestrova" / "credentials.json";
  }
};

constexpr std::string_view kBothPassed =
    "✓ 接收服务器 (IMAP): 连接和登录成功\n"
    "✓ 发送服务器 (SMTP): 连接和登录成功\n"
    "IMAP 与 SMTP 均已通过\n";

TEST_F(AccountCliTest, AddTestsBothServersAndKeepsThePasswordOnlyInTheCredentialStore) {
  auto result = add(user_, servers_.password);
  ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_TRUE(result.out.starts_with(kBothPassed)) << result.out;
  EXPECT_NE(result.out.find("已添加账户: " + user_), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("默认账户"), std::string::npos) << result.out;  // the first one

  EXPECT_NE(read_file(credentials()).value_or("").find(servers_.password), std::string::npos);
  for (const auto& entry : std::filesystem::recursive_directory_iterator(dir_.path())) {
    if (!entry.is_regular_file() || entry.path() == credentials()) continue;
    EXPECT_EQ(read_file(entry.path()).value_or("").find(servers_.password), std::string::npos)
        << entry.path();
  }
  EXPECT_EQ(result.err.find(servers_.password), std::string::npos);
  EXPECT_EQ(std::filesystem::status(credentials()).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

  // The stored password serves the later test.
  result = run({"account", "test", user_});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, kBothPassed);

  result = run({"account", "list"});
  EXPECT_NE(result.out.find("* "), std::string::npos) << result.out;
  EXPECT_NE(result.out.find(user_), std::string::npos) << result.out;

  // The same address twice is refused before any network work.
  result = add(user_, servers_.password);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("账户已存在"), std::string::npos) << result.err;
}

// A server whose certificate nothing trusts gets no password: each stage fails with the
// certificate's fingerprint and the command that trusts it, which then works as shown.
TEST_F(AccountCliTest, UntrustedCertificateIsRefusedAndTrustedWithTheCommandItShows) {
  auto result = add(user_, servers_.password, {}, false);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_TRUE(
      std::regex_search(result.out, std::regex("✗ 接收服务器 \\(IMAP\\): IMAP 连接失败: "
                                               "127\\.0\\.0\\.1 的证书未通过验证: 颁发者不受信任")))
      << result.out;
  EXPECT_NE(result.out.find("kestrova account add（其余参数不变）--smtp-cert "), std::string::npos) << result.out;

  ASSERT_EQ(add(user_, servers_.password, {"--skip-test"}, false).exit_code, 0);
  result = run({"account", "test", user_});
  EXPECT_EQ(result.exit_code, 1);
  const std::string marker = "可运行: kestrova ";
  size_t commands = 0;
  for (size_t at = result.out.find(marker); at != std::string::npos; at = result.out.find(marker, at + 1)) {
    const size_t start = at + marker.size();
    std::istringstream words(result.out.substr(start, result.out.find('\n', start) - start));
    std::vector<std::string> args{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    ASSERT_EQ(args.size(), 5u) << result.out;  // account trust-cert ADDRESS --imap|--smtp FINGERPRINT
    EXPECT_EQ(args[2], user_);
    const auto trusted = run(args);
    EXPECT_EQ(trusted.exit_code, 0) << trusted.err;
    ++commands;
  }
  EXPECT_EQ(commands, 2u) << result.out;
  result = run({"account", "test", user_});
  EXPECT_EQ(result.exit_code, 0) << result.out;
  EXPECT_EQ(result.out, kBothPassed);
}

// A server that cannot be reached, or a port spoken to with the wrong encryption, is told in
// words (in the interface language) rather than as a library code; the mismatch, where each
// side waits for the other to speak, is told after the test's short greeting wait with a
// hint at the usual ports.
TEST_F(AccountCliTest, ConnectionErrorsSayWhatHappened) {
  const int closed = testing::closed_loopback_port();
  struct Row {
    const char* what;
    std::string language, port, encryption, says;
  };
  const Row rows[] = {
      {"closed port", "zh", std::to_string(closed), "none",
       "✗ 接收服务器 (IMAP): IMAP 连接失败: 无法连接 127.0.0.1:" + std::to_string(closed) +
           ": 连接被拒绝"},
      {"closed port, in English", "en", std::to_string(closed), "none",
       "✗ Incoming server (IMAP): IMAP connection failed: Cannot connect to 127.0.0.1:" +
           std::to_string(closed) + ": connection refused"},
      {"plain text against a TLS port", "zh", std::to_string(servers_.imap_ssl), "none",
       "IMAP 连接失败: 等待服务器问候超时（6 秒内没有收到任何数据）；该端口可能要求 SSL/TLS"},
      {"TLS against a plain-text port", "en", std::to_string(servers_.imap_plain), "ssl",
       "IMAP connection failed: TLS handshake failed: "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(run({"settings", "set", "defaultLanguage", row.language}).exit_code, 0);
    auto result = run({"account",
                       "add",
                       "--email",
                       user_,
                       "--imap-host",
                       servers_.host,
                       "--imap-port",
                       row.port,
                       "--imap-encryption",
                       row.encryption,
                       "--smtp-host",
                       servers_.host,
                       "--smtp-port",
                       std::to_string(servers_.smtp_ssl),
                       "--smtp-encryption",
                       "ssl",
                       "--password-stdin",
                       "--imap-ca-file",
                       servers_.ca_file.string(),
                       "--smtp-ca-file",
                       servers_.ca_file.string()},
                      servers_.password + "\n");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.out.find(row.says), std::string::npos) << result.out;
    // The SMTP stage is still tried, and passes.
    EXPECT_NE(
        result.out.find(row.language == "en" ? "✓ Outgoing server (SMTP): Connected and logged in"
                                             : "✓ 发送服务器 (SMTP): 连接和登录成功"),
        std::string::npos)
        << result.out;
  }
}

TEST_F(AccountCliTest, FailedStageShowsItsTextAndSavesNothing) {
  auto result = add(user_, "not-the-password");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.out.find("✗ 接收服务器 (IMAP): IMAP 登录失败: 登录失败: "), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("✗ 发送服务器 (SMTP): SMTP 登录失败: 认证失败: "), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("连接失败，请查看详细阶段信息"), std::string::npos) << result.out;
  EXPECT_NE(result.err.find("连接测试未通过，账户未保存"), std::string::npos) << result.err;
  EXPECT_EQ(read_file(credentials()).value_or("").find("not-the-password"), std::string::npos);
  EXPECT_NE(run({"account", "list"}).out.find("还没有账户"), std::string::npos);

  // An empty password is refused before any network work.
  result = add(user_, "");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("密码不能为空"), std::string::npos) << result.err;
  EXPECT_EQ(result.out, "");

  // Without --password-stdin and without a terminal there is nobody to ask.
  result = run({"account", "add", "--email", user_, "--provider", "gmail"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("--password-stdin"), std::string::npos) << result.err;
}

TEST_F(AccountCliTest, EditSavesOnlyWhatBothServersAccepted) {
  ASSERT_EQ(add(user_, servers_.password).exit_code, 0);
  // IMAP moved to the implicit-TLS port: refused with a wrong password, then accepted with
  // the stored one, which stays.
  const std::vector<std::string> edit = {"account",
                                         "edit",
                                         user_,
                                         "--name",
                                         "Edited",
                                         "--imap-port",
                                         std::to_string(servers_.imap_ssl),
                                         "--imap-encryption",
                                         "ssl"};
  auto withPassword = edit;
  withPassword.push_back("--password-stdin");
  auto result = run(withPassword, "not-the-password\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("连接测试未通过，账户未更改"), std::string::npos) << result.err;
  EXPECT_EQ(read_file(credentials()).value_or("").find("not-the-password"), std::string::npos);
  EXPECT_EQ(run({"account", "list"}).out.find("Edited"), std::string::npos);

  result = run(edit);
  EXPECT_EQ(result.exit_code, 0) << result.out << result.err;
  EXPECT_NE(result.out.find(kBothPassed), std::string::npos) << result.out;
  const std::string listing = run({"account", "list"}).out;
  EXPECT_NE(listing.find("(Edited)"), std::string::npos) << listing;
  EXPECT_NE(
      listing.find("IMAP " + servers_.host + ":" + std::to_string(servers_.imap_ssl) + " ssl"),
      std::string::npos)
      << listing;
  EXPECT_EQ(run({"account", "test", user_}).exit_code, 0);
}

TEST_F(AccountCliTest, PresetsDefaultAndRemoval) {
  // The provider is recognised from the address; --skip-test saves without the network.
  auto result = run({"account", "add", "--email", "someone@gmail.com", "--password-stdin", "--skip-test"}, "pw\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  result = run({"account", "add", "--email", "work@corp.example", "--provider", "outlook", "--password-stdin",
                "--skip-test", "--default"},
               "pw2\n");
  ASSERT_EQ(result.exit_code, 0) << result.err;
  result = run({"account", "list"});
  EXPECT_TRUE(std::regex_search(result.out, std::regex("\\* \\S+  work@corp\\.example  Outlook/Hotmail  IMAP \\S+:993 ssl  SMTP \\S+:587 startTLS")))
      << result.out;
  EXPECT_TRUE(std::regex_search(result.out, std::regex("\n  \\S+  someone@gmail\\.com  Gmail  IMAP imap\\.gmail\\.com:993 ssl  SMTP smtp\\.gmail\\.com:465 ssl")))
      << result.out;

  result = run({"account", "set-default", "SOMEONE@gmail.com"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(run({"account", "list"}).out.find("* "), std::string::npos);
  EXPECT_TRUE(std::regex_search(run({"account", "list"}).out, std::regex("\\* \\S+  someone@gmail\\.com")));

  // A custom account needs both servers; an unknown domain needs a provider or servers.
  result = run({"account", "add", "--email", "x@unknown.example", "--password-stdin", "--skip-test"}, "pw\n");
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("--provider"), std::string::npos) << result.err;

  EXPECT_EQ(run({"account", "remove", "someone@gmail.com"}).exit_code, 2);  // needs --yes
  result = run({"account", "remove", "--yes", "someone@gmail.com"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  const std::string listing = run({"account", "list"}).out;
  EXPECT_EQ(listing.find("someone@gmail.com"), std::string::npos);
  EXPECT_TRUE(std::regex_search(listing, std::regex("\\* \\S+  work@corp\\.example"))) << listing;
  EXPECT_EQ(read_file(credentials()).value_or("").find("\"pw\""), std::string::npos);
  EXPECT_NE(read_file(credentials()).value_or("").find("\"pw2\""), std::string::npos);
  EXPECT_EQ(run({"account", "remove", "nobody@example.org"}).exit_code, 1);
}

}  // namespace
}  // namespace kestrova
