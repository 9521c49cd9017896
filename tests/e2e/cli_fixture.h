#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/mail_servers.h"
#include "support/test_support.h"

namespace kestrova::testing {

// The program as a user runs it against the loopback Dovecot, in a temporary home with the
// file credential store, with one fresh mailbox user per test.
class CliTest : public ::testing::Test {
 protected:
  std::vector<std::string> environment() const {
    const std::filesystem::path root = dir_.path();
    return {"HOME=" + (root / "home").string(),
            "XDG_DATA_HOME=" + (root / "data").string(),
            "XDG_CONFIG_HOME=" + (root / "config").string(),
            "XDG_STATE_HOME=" + (root / "state").string(),
            "KESTROVA_CREDENTIAL_STORE=file",
            "TZ=UTC"};  // listings show local time
  }

  // The diagnostic log the program's commands and service write (empty while none).
  std::string log_text() const {
    std::ifstream in(dir_.path() / "state" / "kestrova" / "kestrova.log", std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  ProcessResult run(const std::vector<std::string>& args, const std::string& input = "") {
    return run_process(KESTROVA_BINARY, args, input, environment());
  }

  // `kestrova account add` for the test's user, named "Tester" (on the shared servers, or on
  // `servers`).
  void add_account() { add_account(servers_); }
  void add_account(const MailServers& servers) {
    auto added = run({"account",
                      "add",
                      "--email",
                      user_,
                      "--name",
                      "Tester",
                      "--imap-host",
                      servers.host,
                      "--imap-port",
                      std::to_string(servers.imap_plain),
                      "--imap-encryption",
                      "startTLS",
                      "--smtp-host",
                      servers.host,
                      "--smtp-port",
                      std::to_string(servers.smtp_ssl),
                      "--smtp-encryption",
                      "ssl",
                      "--imap-ca-file",
                      servers.ca_file.string(),
                      "--smtp-ca-file",
                      servers.ca_file.string(),
                      "--password-stdin"},
                     servers.password + "\n");
    ASSERT_EQ(added.exit_code, 0) << added.out << added.err;
  }

  // The short id (first 8 characters) of the listed line that contains `text`.
  std::string id_of(const std::string& listing, const std::string& text) {
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);)
      if (line.find(text) != std::string::npos) return line.substr(0, 8);
    ADD_FAILURE() << "no line with " << text << " in\n" << listing;
    return "";
  }

  // Sends tool calls to a tool server process; none may fail.
  void call_tools(const std::vector<std::string>& calls) {
    ChildProcess tools(KESTROVA_BINARY, {"--mcp-stdio"}, environment());
    for (const auto& call : calls) {
      tools.write(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":)" + call + "}\n");
      const std::string answer = tools.read_line().value_or("(none)");
      ASSERT_EQ(answer.find("rror"), std::string::npos) << call << " -> " << answer;
    }
  }

  // `kestrova run`, without a desktop session.
  std::unique_ptr<ChildProcess> start_service() const {
    auto env = environment();
    env.push_back("DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent");
    env.push_back("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent");
    return std::make_unique<ChildProcess>(KESTROVA_BINARY, std::vector<std::string>{"run"}, env);
  }
  // Waits (bounded) until `done` holds, reading the service's output meanwhile so that its
  // log never fills the pipe.
  static bool until(ChildProcess& service, const std::function<bool()>& done) {
    for (int i = 0; i < 600; ++i) {
      if (done()) return true;
      while (service.read_line(10)) {
      }
    }
    return done();
  }
  static void stop(ChildProcess& service, int signal = SIGTERM) {
    ::kill(service.pid(), signal);
    while (service.read_line(100)) {
    }
    service.wait(30000);
  }

  TempDir dir_;
  ScopedHome home_{dir_.path()};
  const MailServers& servers_ = MailServers::shared();
  const std::string user_ = servers_.fresh_user();
};

}  // namespace kestrova::testing
