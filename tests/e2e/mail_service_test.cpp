// `kestrova run` as a real process against the loopback Dovecot, with its own session bus
// (notifications, badge) and a logind stand-in on a private bus used as the system bus.

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <functional>
#include <thread>

#include "e2e/cli_fixture.h"
#include "mail/libetpan_imap_session.h"
#include "support/fake_logind.h"
#include "support/fake_notification_server.h"
#include "support/session_bus.h"
#include "util/json.h"

namespace kestrova::testing {
namespace {

// Waits (bounded) until `done` holds.
bool eventually(const std::function<bool()>& done) {
  for (int i = 0; i < 300; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

std::string message(const std::string& from, const std::string& subject, const std::string& id) {
  return "From: " + from + "\r\nTo: t@kestrova.test\r\nSubject: " + subject + "\r\nMessage-ID: <" +
         id + "@kestrova.test>\r\nDate: Mon, 7 Dec 2026 09:00:00 +0000\r\n\r\nbody\r\n";
}

class MailServiceTest : public CliTest {
 protected:
  // Starts `kestrova run`; `buses` adds the bus addresses to its environment.
  std::unique_ptr<ChildProcess> start_service(const std::vector<std::string>& buses) {
    auto env = environment();
    env.insert(env.end(), buses.begin(), buses.end());
    return std::make_unique<ChildProcess>(KESTROVA_BINARY, std::vector<std::string>{"run"}, env);
  }

  // Waits until the diagnostic log, after what earlier waits consumed, holds a line with
  // `text`; the service's own output (its event lines) is kept in output_.
  bool wait_for_line(ChildProcess& service, const std::string& text) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
      const std::string log = log_text();
      if (const size_t at = log.find(text, consumed_); at != std::string::npos) {
        consumed_ = log.find('\n', at);
        return true;
      }
      if (auto line = service.read_line(200)) output_ += *line + "\n";
    }
    output_ += log_text().substr(consumed_);
    return false;
  }

  const std::vector<std::string> no_bus_{"DBUS_SESSION_BUS_ADDRESS=unix:path=/nonexistent",
                                         "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent"};
  std::string output_;
  size_t consumed_ = 0;  // of the log, by wait_for_line
};

TEST_F(MailServiceTest, NewMailIsStoredRuledAnnouncedAndSurvivesSleep) {
  add_account();
  ASSERT_EQ(run({"rules", "add", "--account", "Tester", "--name", "boss", "--from", "boss@corp",
                 "--spam"})
                .exit_code,
            0);
  ASSERT_EQ(run({"sync"}).exit_code, 0);  // what was there before is not news
  PrivateSessionBus session, system;
  FakeNotificationServer notifications(session.address());
  LauncherEntryListener badge(session.address());
  FakeLogind logind(system.address());
  auto service = start_service({"DBUS_SESSION_BUS_ADDRESS=" + session.address(),
                                "DBUS_SYSTEM_BUS_ADDRESS=" + system.address()});
  ASSERT_TRUE(wait_for_line(*service, "IDLE 状态: idle")) << output_;

  // Delivered while it runs: stored, ruled (the boss's mail is spam: neither announced nor
  // counted), announced, counted on the badge.
  servers_.deliver(user_, "INBOX", message("Boss <boss@corp>", "Budget", "boss-1"));
  servers_.deliver(user_, "INBOX", message("Alice <alice@example.org>", "Lunch?", "alice-1"));
  ASSERT_TRUE(eventually([&] { return !notifications.calls().empty(); })) << output_;
  auto badge_is = [&](int64_t count, bool visible) {
    auto updates = badge.updates();
    return !updates.empty() && updates.back().count_visible == visible &&
           (!visible || updates.back().count == count);
  };
  ASSERT_TRUE(eventually([&] { return badge_is(1, true); }));
  const auto call = notifications.calls().front();
  EXPECT_EQ(notifications.calls().size(), 1u);
  EXPECT_EQ(call.summary, "Alice");
  EXPECT_EQ(call.body, "Lunch?");
  EXPECT_EQ(call.hints.at("category"), "email.arrived");
  EXPECT_EQ(call.actions, (std::vector<std::string>{"default", "打开", "MARK_AS_READ", "标记为已读",
                                                    "REPLY", "回复"}));
  EXPECT_EQ(badge.updates().back().app_uri, "application://kestrova.desktop");
  const auto listed = run({"list"}).out;
  // The new message is listed unread ("N") under its sender's name.
  const size_t line = listed.find("Lunch?");
  ASSERT_NE(line, std::string::npos) << listed;
  const std::string row = listed.substr(listed.rfind('\n', line) + 1, line - listed.rfind('\n', line));
  EXPECT_NE(row.find("  N  "), std::string::npos) << row;
  EXPECT_NE(row.find("Alice"), std::string::npos) << row;
  EXPECT_EQ(listed.find("Budget"), std::string::npos) << listed;

  // One service per user; the status names it and the account's IDLE state.
  auto second = run({"run"});
  EXPECT_NE(second.exit_code, 0);
  EXPECT_NE(second.err.find("已在运行 (pid " + std::to_string(service->pid()) + ")"),
            std::string::npos)
      << second.err;
  const auto status = run({"status"}).out;
  EXPECT_NE(status.find("运行中 (pid " + std::to_string(service->pid()) + ")"), std::string::npos)
      << status;
  EXPECT_NE(status.find(user_ + "  IDLE: idle"), std::string::npos) << status;

  // Marking read from the notification clears the badge.
  notifications.emit_action_invoked(1, "MARK_AS_READ");
  EXPECT_TRUE(eventually([&] { return badge_is(0, false); })) << output_;

  // Suspend: the watcher stops and the delay lock is let go; resume: watching again, and
  // mail delivered meanwhile arrives.
  ASSERT_EQ(logind.inhibitors().size(), 1u);
  EXPECT_EQ(logind.inhibitors()[0].what, "sleep");
  EXPECT_EQ(logind.inhibitors()[0].mode, "delay");
  logind.emit_prepare_for_sleep(true);
  ASSERT_TRUE(wait_for_line(*service, "IDLE 状态: stopped")) << output_;
  EXPECT_TRUE(eventually([&] { return logind.held_locks() == 0; }));
  servers_.deliver(user_, "INBOX", message("Carol <carol@example.org>", "While asleep", "carol-1"));
  logind.emit_prepare_for_sleep(false);
  ASSERT_TRUE(wait_for_line(*service, "IDLE 状态: idle")) << output_;
  EXPECT_TRUE(eventually([&] { return notifications.calls().size() == 2; })) << output_;
  EXPECT_EQ(logind.held_locks(), 1);

  ::kill(service->pid(), SIGTERM);
  EXPECT_EQ(service->wait(5000), 0);
  EXPECT_NE(run({"status"}).out.find("服务: 未运行"), std::string::npos);

  // Standard output (the journal) has one short line per event and nothing of the mail:
  // no subject, no sender, not even the account's address.
  while (auto line = service->read_line(1000)) output_ += *line + "\n";
  for (const std::string event :
       {"Kestrova 服务已启动 (pid ", "已连接", "封新邮件", "Kestrova 服务已停止"})
    EXPECT_NE(output_.find(event), std::string::npos) << event << "\n" << output_;
  for (const std::string& secret :
       {user_, std::string("Lunch?"), std::string("alice"), std::string("[EmailService]")})
    EXPECT_EQ(output_.find(secret), std::string::npos) << secret << "\n" << output_;
}

// A server without IDLE, with a namespace prefix it lists as \Noselect.
TEST_F(MailServiceTest, ServerWithoutIdleIsUnsupportedAndUnselectableFoldersAreSkipped) {
  PrivateMailServers plain(
      "imap_capability = IMAP4rev1 UIDPLUS MOVE\n"
      "namespace inbox {\n  inbox = yes\n  separator = .\n  prefix =\n}\n"
      "namespace archive {\n  separator = .\n  prefix = Archive.\n  location = maildir:~/Archive\n"
      "  list = yes\n  subscriptions = no\n}\n");
  add_account(plain.servers());

  const auto synced = run({"sync"});
  EXPECT_EQ(synced.exit_code, 0) << synced.out << synced.err;
  EXPECT_NE(run({"folders"}).out.find("  Archive  "), std::string::npos);

  // No bus at all: the desktop services warn once and the service carries on.
  auto service = start_service(no_bus_);
  ASSERT_TRUE(wait_for_line(*service, "IDLE 状态: unsupported")) << output_;
  EXPECT_NE(run({"status"}).out.find("IDLE: unsupported"), std::string::npos);
  ::kill(service->pid(), SIGINT);
  EXPECT_EQ(service->wait(5000), 0);
  while (auto line = service->read_line(1000)) output_ += *line + "\n";
  const std::string log = log_text();
  EXPECT_EQ(log.find("后重连"), std::string::npos) << log;
  EXPECT_NE(log.find("无法监听系统睡眠/唤醒"), std::string::npos) << log;
}

TEST_F(MailServiceTest, ServerRestartMidIdleReconnectsAndFetchesWhatCameMeanwhile) {
  PrivateMailServers own("");
  add_account(own.servers());
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  auto service = start_service(no_bus_);
  ASSERT_TRUE(wait_for_line(*service, "IDLE 状态: idle")) << output_;
  own.stop_imap();
  ASSERT_TRUE(wait_for_line(*service, "IDLE 状态: reconnecting")) << output_;
  own.servers().deliver(user_, "INBOX", message("Dan <dan@example.org>", "While down", "dan-1"));
  own.start_imap();
  ASSERT_TRUE(wait_for_line(*service, "IDLE 状态: idle")) << output_;
  EXPECT_TRUE(
      eventually([&] { return run({"list"}).out.find("While down") != std::string::npos; }));
}

TEST_F(MailServiceTest, NewMailBodiesArePrefetchedUnreadAndShownToTheAgent) {
  add_account();
  ASSERT_EQ(run({"settings", "set", "emailBodyPrefetchDays", "3650"}).exit_code, 0);
  // Older than the prefetch window: its body stays on the server until it is opened.
  servers_.deliver(
      user_, "INBOX",
      "From: old@example.org\r\nSubject: Old news\r\nMessage-ID: <old-1@example.org>\r\n"
      "Date: Mon, 1 Jan 1990 09:00:00 +0000\r\n\r\nancient text\r\n");
  ASSERT_EQ(run({"sync"}).exit_code, 0);
  auto service = start_service(no_bus_);
  ASSERT_TRUE(wait_for_line(*service, "IDLE 状态: idle")) << output_;
  servers_.deliver(user_, "INBOX", message("Ann <ann@example.org>", "Figures", "ann-1"));
  ASSERT_TRUE(wait_for_line(*service, "已预取正文 1/1 封")) << output_;

  // Nothing was marked read on the server.
  auto imap = mail::LibEtPanIMAPSession::initWithHost(servers_.host, servers_.imap_plain, "none",
                                                      user_, servers_.password);
  ASSERT_TRUE(imap->connectWithError() && imap->loginWithError() && imap->selectFolder("INBOX"));
  auto headers = imap->fetchBatchMessageHeadersWithUIDs({1, 2});
  ASSERT_TRUE(headers && headers->size() == 2u);
  for (const auto& record : *headers) EXPECT_FALSE(record.seen) << record.uid;
  imap->disconnect();

  // The agent finds the new message by its body and reads it; the old one says where its
  // body is.
  auto call = [&](const std::string& name, const Json& arguments) {
    const Json request{{"jsonrpc", "2.0"},
                       {"id", 1},
                       {"method", "tools/call"},
                       {"params", {{"name", name}, {"arguments", arguments}}}};
    auto answer =
        run_process(KESTROVA_BINARY, {"--mcp-stdio"}, request.dump() + "\n", environment());
    return Json::parse(Json::parse(answer.out)["result"]["content"][0]["text"].get<std::string>());
  };
  const Json found = call("search_messages", {{"query", "body"}});
  ASSERT_EQ(found.size(), 1u) << found.dump();
  EXPECT_EQ(found[0]["subject"], "Figures");
  EXPECT_EQ(call("get_message", {{"messageId", found[0]["id"]}})["textBody"], "body\r\n");
  const Json old = call("search_messages", {{"query", "Old news"}});
  ASSERT_EQ(old.size(), 1u) << old.dump();
  EXPECT_NE(call("get_message", {{"messageId", old[0]["id"]}})["textBody"].get<std::string>().find(
                "kestrova sync --bodies"),
            std::string::npos);
  ::kill(service->pid(), SIGTERM);
  EXPECT_EQ(service->wait(5000), 0);
}

}  // namespace
}  // namespace kestrova::testing
