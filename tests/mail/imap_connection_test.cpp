// Connecting and logging in with LibEtPanIMAPSession: the real Dovecot for what a server
// normally does, and tiny scripted servers on loopback for what it will not do (refuse
// STARTTLS, greet pre-authenticated, speak another protocol, hang up mid-greeting, fail an
// EXPUNGE).
#include <gtest/gtest.h>
#include <libetpan/libetpan.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "mail/libetpan_imap_session.h"
#include "mail/libetpan_smtp_session.h"
#include "mail/mail_proxy_settings.h"
#include "platform/settings_store.h"
#include "support/loopback.h"
#include "support/mail_servers.h"
#include "support/scripted_imap_server.h"
#include "support/session_bus.h"
#include "support/test_support.h"

namespace kestrova::mail {
namespace {

using testing::MailServers;
using testing::ScopedEnvironment;
using testing::ScopedHome;
using testing::TempDir;

using testing::kHangUp;
using testing::ScriptedServer;

class ImapConnectionTest : public ::testing::Test {
 protected:
  std::unique_ptr<LibEtPanIMAPSession> session(int port, const std::string& encryption = "none",
                                               const std::string& password = "") {
    const std::string user = servers_.fresh_user();
    auto imap = LibEtPanIMAPSession::initWithHost(servers_.host, port, encryption, user,
                                                  password.empty() ? servers_.password : password);
    imap->setCertificateTrust({.caFile = servers_.ca_file.string()});
    return imap;
  }
  std::unique_ptr<LibEtPanIMAPSession> scripted_session(const ScriptedServer& server,
                                                        const std::string& encryption = "none") {
    return LibEtPanIMAPSession::initWithHost("127.0.0.1", server.port(), encryption, "u", "p");
  }

  // A scripted server that accepts LOGIN and SELECT (one message, UIDNEXT 2) and leaves
  // every other command to `respond`.
  static ScriptedServer::Responder selecting(ScriptedServer::Responder respond) {
    return [respond](const std::string& tag, const std::string& command) -> std::string {
      if (command == "LOGIN") return tag + " OK logged in\r\n";
      if (command == "SELECT")
        return "* 1 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\n* OK [UIDNEXT 2] n\r\n" + tag +
               " OK [READ-WRITE] selected\r\n";
      return respond(tag, command);
    };
  }
  // Connected, logged in and INBOX selected on a scripted server.
  std::unique_ptr<LibEtPanIMAPSession> selected_session(const ScriptedServer& server) {
    auto imap = scripted_session(server);
    EXPECT_TRUE(imap->connectWithError());
    EXPECT_TRUE(imap->loginWithError());
    EXPECT_TRUE(imap->selectFolder("INBOX"));
    return imap;
  }

  // A failed connect carries the library's code, and its description says why: in words
  // when the connection itself failed (refused, TLS, time limit), else "连接失败: " + code.
  static LibEtPanError expect_connect_failure(LibEtPanIMAPSession& session) {
    LibEtPanError error;
    EXPECT_FALSE(session.connectWithError(&error));
    EXPECT_NE(error.code, MAILIMAP_NO_ERROR);
    EXPECT_NE(error.code, MAILIMAP_NO_ERROR_NON_AUTHENTICATED);
    EXPECT_FALSE(error.localizedDescription.empty());
    EXPECT_EQ(error.domain(), "LibEtPanError");
    return error;
  }

  TempDir dir_;
  ScopedHome home_{dir_.path()};
  const MailServers& servers_ = MailServers::shared();
};

TEST_F(ImapConnectionTest, ConnectsAndLogsInWithEveryEncryption) {
  const std::pair<std::string, int> variants[] = {
      {"none", servers_.imap_plain}, {"startTLS", servers_.imap_plain}, {"ssl", servers_.imap_ssl}};
  for (const auto& [encryption, port] : variants) {
    SCOPED_TRACE(encryption);
    auto imap = session(port, encryption);
    ASSERT_TRUE(imap);
    EXPECT_EQ(imap->encryption(), encryption);
    LibEtPanError error;
    ASSERT_TRUE(imap->connectWithError(&error)) << error.localizedDescription;
    ASSERT_TRUE(imap->loginWithError(&error)) << error.localizedDescription;
    EXPECT_TRUE(imap->hasIdleCapability());
    EXPECT_TRUE(imap->noopWithError(&error));
    EXPECT_GE(imap->idleFd(), 0);
    auto folders = imap->fetchFoldersWithError(&error);
    ASSERT_TRUE(folders);
    EXPECT_EQ(*folders, std::vector<std::string>{"INBOX"});
  }
}

TEST_F(ImapConnectionTest, WrongPasswordFailsLoginWithTheLibraryCode) {
  auto imap = session(servers_.imap_plain, "none", "not-the-password");
  ASSERT_TRUE(imap->connectWithError());
  LibEtPanError error;
  EXPECT_FALSE(imap->loginWithError(&error));
  EXPECT_EQ(error.code, MAILIMAP_ERROR_LOGIN);
  // The server's own words follow the code.
  EXPECT_EQ(error.localizedDescription,
            "登录失败: " + std::to_string(MAILIMAP_ERROR_LOGIN) +
                "（服务器: [AUTHENTICATIONFAILED] Authentication failed.）");
  // Without an out-parameter the failure is only the return value.
  EXPECT_FALSE(imap->loginWithError());
}

TEST_F(ImapConnectionTest, BrokenOrForeignServersFailWithoutHanging) {
  {
    SCOPED_TRACE("closed port");
    const int port = testing::closed_loopback_port();
    auto imap = session(port);
    EXPECT_EQ(expect_connect_failure(*imap).localizedDescription,
              "无法连接 127.0.0.1:" + std::to_string(port) +
                  ": 连接被拒绝（该端口上没有服务在监听，请检查服务器地址和端口）");
  }
  {
    SCOPED_TRACE("TLS handshake against a plain-text greeting");
    auto imap = session(servers_.imap_plain, "ssl");
    const LibEtPanError error = expect_connect_failure(*imap);
    EXPECT_EQ(error.code, MAILIMAP_ERROR_SSL);
    EXPECT_NE(error.localizedDescription.find("请检查端口与加密方式是否匹配"), std::string::npos);
  }
  {
    SCOPED_TRACE("another protocol");
    ScriptedServer http("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n", nullptr);
    auto imap = scripted_session(http);
    expect_connect_failure(*imap);
    imap.reset();
  }
  {
    SCOPED_TRACE("hang-up in the middle of the greeting");
    ScriptedServer cut("* OK Dove", nullptr);
    auto imap = scripted_session(cut, "startTLS");
    expect_connect_failure(*imap);
    imap->disconnect();
    EXPECT_EQ(imap->idleFd(), -1);
  }
}

TEST_F(ImapConnectionTest, RefusedStartTlsFailsBeforeAnyLogin) {
  ScriptedServer server("* OK [CAPABILITY IMAP4rev1 STARTTLS] ready\r\n",
                        [](const std::string& tag, const std::string& command) {
                          if (command == "STARTTLS") return tag + " NO TLS is not available\r\n";
                          return tag + " BAD unexpected\r\n";
                        });
  auto imap = scripted_session(server, "startTLS");
  expect_connect_failure(*imap);
  imap->disconnect();
  server.finish();
  ASSERT_FALSE(server.commands().empty());
  EXPECT_EQ(server.commands().front(), "STARTTLS");
  for (const std::string& command : server.commands()) EXPECT_NE(command, "LOGIN");
}

TEST_F(ImapConnectionTest, PreAuthenticatedGreetingIsAFailure) {
  ScriptedServer server(
      "* PREAUTH welcome back\r\n",
      [](const std::string& tag, const std::string&) { return tag + " BAD no\r\n"; });
  auto imap = scripted_session(server);
  LibEtPanError error;
  EXPECT_FALSE(imap->connectWithError(&error));
  EXPECT_EQ(error.code, 1);
  EXPECT_EQ(error.localizedDescription, "连接失败: 1");
}

TEST_F(ImapConnectionTest, ConnectionCutInTheMiddleOfAnAnswerIsAnError) {
  ScriptedServer server("* OK ready\r\n",
                        selecting([](const std::string& tag, const std::string& command) {
                          // The envelope's subject announced as a 40-byte literal, of which 9
                          // arrive.
                          if (command == "UID FETCH")
                            return "* 1 FETCH (UID 1 FLAGS (\\Seen) ENVELOPE (\"Tue, 2 Jan 2024 "
                                   "10:00:00 +0000\" {40}\r\nQuarterly" +
                                   std::string(kHangUp);
                          return tag + " BAD unexpected\r\n";
                        }));
  auto imap = selected_session(server);
  LibEtPanError error;
  EXPECT_FALSE(imap->fetchBatchMessageHeadersWithUIDs({1}, &error));
  EXPECT_EQ(error.code, MAILIMAP_ERROR_STREAM);
  EXPECT_EQ(error.localizedDescription,
            "批量获取邮件头失败: " + std::to_string(MAILIMAP_ERROR_STREAM));
  // The dead connection keeps failing the same way instead of hanging or crashing.
  EXPECT_FALSE(imap->noopWithError(&error));
  EXPECT_EQ(error.code, MAILIMAP_ERROR_STREAM);
  imap->disconnect();
}

TEST_F(ImapConnectionTest, FetchLatestAsksForTheRangeBelowUidNext) {
  ScriptedServer server(
      "* OK ready\r\n", [](const std::string& tag, const std::string& command) -> std::string {
        if (command == "LOGIN") return tag + " OK logged in\r\n";
        if (command == "SELECT")
          return "* 10 EXISTS\r\n* OK [UIDVALIDITY 7] v\r\n* OK [UIDNEXT 1000] n\r\n" + tag +
                 " OK [READ-WRITE] selected\r\n";
        if (command == "UID FETCH")
          return "* 1 FETCH (UID 960)\r\n* 2 FETCH (UID 998)\r\n* 3 FETCH (UID 951)\r\n" + tag +
                 " OK done\r\n";
        return tag + " BAD unexpected\r\n";
      });
  auto imap = selected_session(server);
  const auto latest = imap->fetchLatestMessagesWithLimit(50);
  ASSERT_TRUE(latest);
  EXPECT_EQ(*latest, (std::vector<ImapUidEntry>{{998}, {960}, {951}}));
  imap->disconnect();
  server.finish();
  ASSERT_GE(server.lines().size(), 3u);
  EXPECT_EQ(server.lines()[2], "UID FETCH 950:999 (UID)");
}

// Which commands take a message out of its folder, by what the server offers: only a plain
// EXPUNGE can hit other messages, so it runs only when UID SEARCH DELETED finds none but ours.
TEST_F(ImapConnectionTest, DeleteAndMoveExpungeOnlyTheirOwnUid) {
  struct Case {
    std::string capabilities, deleted, expunge;  // answers to CAPABILITY, UID SEARCH, EXPUNGE
    bool move;
    std::string sent;  // the commands after SELECT
    ImapSourceRemoval removal;
  };
  using R = ImapSourceRemoval;
  const std::vector<Case> cases = {
      {"MOVE UIDPLUS", "", "", true, "CAPABILITY|UID MOVE", R::removed},
      {"UIDPLUS", "", "", true, "CAPABILITY|UID COPY|UID STORE|UID EXPUNGE", R::removed},
      {"", "1", "OK", false, "UID STORE|CAPABILITY|UID SEARCH|EXPUNGE", R::removed},
      {"", "1 5", "OK", false, "UID STORE|CAPABILITY|UID SEARCH", R::flaggedOnly},
      {"", "1 5", "OK", true, "CAPABILITY|UID COPY|UID STORE|UID SEARCH", R::flaggedOnly},
      // A failed EXPUNGE after a successful COPY leaves two copies and reports the EXPUNGE.
      {"", "1", "NO", true, "CAPABILITY|UID COPY|UID STORE|UID SEARCH|EXPUNGE", R::removed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    ScriptedServer server(
        "* OK ready\r\n", selecting([&c](const std::string& tag, const std::string& command) {
          if (command == "CAPABILITY")
            return "* CAPABILITY IMAP4rev1 " + c.capabilities + "\r\n" + tag + " OK done\r\n";
          if (command == "UID STORE")
            return "* 1 FETCH (UID 1 FLAGS (\\Deleted))\r\n" + tag + " OK stored\r\n";
          if (command == "UID SEARCH")
            return "* SEARCH " + c.deleted + "\r\n" + tag + " OK searched\r\n";
          if (command == "EXPUNGE") return tag + " " + c.expunge + " expunge\r\n";
          return tag + " OK done\r\n";
        }));
    auto imap = selected_session(server);
    LibEtPanError error;
    ImapSourceRemoval removal = R::removed;
    const bool done = c.move ? imap->moveMessageWithUID(1, "Archive", &error, &removal)
                             : imap->deleteAndExpungeWithUID(1, &error, &removal);
    const int code = c.expunge == "NO" ? MAILIMAP_ERROR_EXPUNGE : 0;
    EXPECT_EQ(done, code == 0);
    EXPECT_EQ(error.localizedDescription,
              code ? "EXPUNGE 失败: " + std::to_string(code) + "（服务器: expunge）" : "");
    EXPECT_EQ(removal, c.removal);
    imap->disconnect();
    server.finish();
    std::string sent;
    for (size_t i = 2; i + 1 < server.commands().size(); ++i)
      sent += (sent.empty() ? "" : "|") + server.commands()[i];
    EXPECT_EQ(sent, c.sent);
  }
}

TEST_F(ImapConnectionTest, EveryOperationFailsAfterDisconnect) {
  auto imap = session(servers_.imap_plain);
  ASSERT_TRUE(imap->connectWithError());
  ASSERT_TRUE(imap->loginWithError());
  imap->disconnect();
  EXPECT_EQ(imap->imapSession(), nullptr);
  EXPECT_EQ(imap->idleFd(), -1);
  EXPECT_FALSE(imap->hasIdleCapability());

  std::vector<LibEtPanError> errors(20);
  size_t n = 0;
  EXPECT_FALSE(imap->connectWithError(&errors[n++]));
  EXPECT_FALSE(imap->loginWithError(&errors[n++]));
  EXPECT_FALSE(imap->selectFolder("INBOX", &errors[n++]));
  EXPECT_FALSE(imap->createFolder("X", &errors[n++]));
  EXPECT_FALSE(imap->fetchFoldersWithError(&errors[n++]));
  EXPECT_FALSE(imap->fetchMessagesFromUID(1, 0, &errors[n++]));
  EXPECT_FALSE(imap->fetchMessagesSinceDate(std::nullopt, 0, &errors[n++]));
  EXPECT_FALSE(imap->searchMessagesWithQuery("x", 0, &errors[n++]));
  EXPECT_FALSE(imap->fetchLatestMessagesWithLimit(5, &errors[n++]));
  EXPECT_FALSE(imap->fetchMessageHeadersWithUID(1, &errors[n++]));
  EXPECT_FALSE(imap->fetchBatchMessageHeadersWithUIDs({1}, &errors[n++]));
  EXPECT_FALSE(imap->fetchMessageBodyWithUID(1, &errors[n++]));
  EXPECT_FALSE(imap->fetchMessagePartWithUID(1, "1", &errors[n++]));
  EXPECT_FALSE(imap->markAsReadWithUID(1, &errors[n++]));
  EXPECT_FALSE(imap->removeFlaggedWithUID(1, &errors[n++]));
  EXPECT_FALSE(imap->deleteAndExpungeWithUID(1, &errors[n++]));
  EXPECT_FALSE(imap->moveMessageWithUID(1, "X", &errors[n++]));
  EXPECT_FALSE(imap->idleWithError(&errors[n++]));
  EXPECT_FALSE(imap->idleDoneWithError(&errors[n++]));
  EXPECT_FALSE(imap->noopWithError(&errors[n++]));
  for (size_t i = 0; i < n; ++i) {
    EXPECT_EQ(errors[i].code, -1) << i;
    EXPECT_EQ(errors[i].localizedDescription, "IMAP 会话未初始化") << i;
  }
  imap->disconnect();  // a second release is harmless
}

// Every answer a hostile (or confused) server can give ends in a clear error, without a
// crash, a hang or a large amount of memory; a short time limit keeps the silent ones quick.
TEST_F(ImapConnectionTest, HostileAnswersEndInAClearError) {
  const std::string select = "* 1 EXISTS\r\n* OK [UIDNEXT 2] n\r\nTAG OK [READ-WRITE] selected\r\n";
  struct Hostile {
    const char* name;
    std::string greeting, encryption, login, fetch;  // "TAG" stands for the command's tag
    int code;                                        // 0: everything works
    const char* says;
  };
  const Hostile rows[] = {
      {"ALERT and PARSE without text; the same bytes inside a message stay as they are",
       "* OK [ALERT]\r\n", "none", "* OK [ALERT]\r\nTAG OK [ALERT]\r\n",
       "* 1 FETCH (UID 1 RFC822 {14}\r\n* OK [ALERT]\r\n)\r\n* NO [PARSE]\r\nTAG OK [ALERT]   \r\n",
       0, ""},
      {"the same codes after runs of spaces and tabs, also before the tag; PERMANENTFLAGS lists "
       "broken at the first flag",
       "*  OK \t [ALERT]\t\r\n", "none",
       "*   OK [PERMANENTFLAGS   (%]\r\n* OK [\t\tPERMANENTFLAGS (%]\r\n* OK [PERMANENTFLAGS "
       "(\\\\Seen)]\r\n* OK   [ALERT]\r\n"
       " * OK [PERMANENTFLAGS (\\\\Seen)]\r\n\t * OK [ALERT]\r\n* NO [ ALERT\t]\r\nTAG OK [PARSE "
       "]\r\n",
       "* 1 FETCH (UID 1 RFC822 {14}\r\n* OK [ALERT]\r\n)\r\nTAG OK done\r\n", 0, ""},
      {"PERMANENTFLAGS in the greeting, lists broken after their first flag, and one in a "
       "continuation",
       "* OK [PERMANENTFLAGS (\\Seen)] hi\r\n", "none",
       "* OK [PERMANENTFLAGS (T]\r\n* OK [PERMANENTFLAGS (a  b)]\r\n+[PERMANENTFLAGS (\r\nTAG OK "
       "in\r\n",
       "* 1 FETCH (UID 1 RFC822 {14}\r\n* OK [ALERT]\r\n)\r\nTAG OK done\r\n", 0, ""},
      {"\"{n}\" ending a status answer's text is text, not a literal: the lines after it are "
       "checked as lines",
       "* OK ready {500}\r\n", "none", "* OK [ALERT]\r\nTAG OK in {9}\r\n",
       "* 1 FETCH (UID 1 RFC822 {14}\r\n* OK [ALERT]\r\n)\r\nTAG OK done\r\n", 0, ""},
      {"a NUL in a status line after ALERT is a parse error, not a crash", "* OK ready\r\n", "none",
       std::string("* OK [ALERT] \0 x\r\nTAG OK in\r\n", 29), "", MAILIMAP_ERROR_PARSE, "登录失败"},
      {"a NUL right after PARSE in a refusal: the refusal, not a crash", "* OK ready\r\n", "none",
       std::string("TAG NO\t [PARSE]\0\0\r\n", 20), "", MAILIMAP_ERROR_LOGIN, "登录失败"},
      {"an answer libetpan cannot parse ends the connection: the rest of it (here a PARSE code "
       "without text) is not read as the answer to LOGOUT",
       "* OK ready\r\n", "none", "\x01{0}\r\nTAG \tNO\t [PARSE]\r\n", "", MAILIMAP_ERROR_PARSE,
       "服务器的应答无法解析，连接已断开"},
      {"\"+\" without a space after it is a continuation to libetpan, and \"{n}\" ending it "
       "text: the line after it is checked as a line",
       "* OK ready\r\n", "none", "+x{9}\r\nTAG NO [PARSE]\r\n", "", MAILIMAP_ERROR_LOGIN,
       "登录失败"},
      {"a literal announced before a bare LF is no literal to libetpan: the lines after it "
       "are checked as lines, and the broken answer is a parse error, not a crash",
       "* OK ready\r\n", "none",
       "* OK [PE\x12MANENTF*44{9696}\nE7296ttow\xb7x\n* OK [PERMANENTFLAGS (\x01]\r\nTAG OK in\r\n",
       "", MAILIMAP_ERROR_PARSE, "登录失败"},
      {"nested 200,000 deep", "* OK ready\r\n", "none", "TAG OK in\r\n",
       "* 1 FETCH (UID 1 BODYSTRUCTURE " + std::string(200000, '(') + std::string(200000, ')') +
           ")\r\nTAG OK\r\n",
       MAILIMAP_ERROR_STREAM, "嵌套超过 256 层"},
      {"a line that never ends", "* OK ready\r\n", "none", "* OK " + std::string(17 << 20, 'x'), "",
       MAILIMAP_ERROR_STREAM, "一行超过 16 MiB"},
      {"a huge literal", "* OK ready\r\n", "none", "TAG OK in\r\n",
       "* 1 FETCH (UID 1 RFC822 {5000000000}\r\n", MAILIMAP_ERROR_STREAM,
       "数据块（5000000000 字节）超过 64 MiB"},
      {"a huge literal announced at the end of a line broken inside a quoted string",
       "* OK ready\r\n", "none", "TAG OK in\r\n", "* 1 FETCH (UID 1 RFC822 \"x {5000000000}\r\n",
       MAILIMAP_ERROR_STREAM, "数据块（5000000000 字节）超过 64 MiB"},
      {"silent after the greeting", "* OK ready\r\n", "none", "", "", MAILIMAP_ERROR_STREAM,
       "等待服务器应答超时（0.25 秒"},
      {"never greets (plain text against a TLS port)", "", "none", "", "", MAILIMAP_ERROR_STREAM,
       "问候超时（0.25 秒内没有收到任何数据）；该端口可能要求 SSL/TLS"},
      {"TLS against a plain-text port", "* OK ready\r\n", "ssl", "", "", MAILIMAP_ERROR_SSL,
       "TLS 握手失败"},
  };
  auto tagged = [](std::string text, const std::string& tag) {
    for (size_t at = text.find("TAG"); at != std::string::npos;
         at = text.find("TAG", at + tag.size()))
      text.replace(at, 3, tag);
    return text;
  };
  for (const Hostile& row : rows) {
    SCOPED_TRACE(row.name);
    ScriptedServer server(row.greeting, [&](const std::string& tag, const std::string& command) {
      if (command == "LOGIN") return tagged(row.login, tag);
      if (command == "SELECT") return tagged(select, tag);
      return tagged(row.fetch, tag);
    });
    auto imap = scripted_session(server, row.encryption);
    // Short for the silent servers; ample for the others, so that a busy machine cannot turn
    // their error into a timeout.
    const bool silent = std::string_view(row.says).find("超时") != std::string_view::npos;
    imap->setTimeout(std::chrono::milliseconds(silent ? 250 : 10000));
    LibEtPanError error;
    std::optional<std::string> body;
    const bool worked = imap->connectWithError(&error) && imap->loginWithError(&error) &&
                        imap->selectFolder("INBOX", &error) &&
                        (body = imap->fetchMessageBodyWithUID(1, &error));
    if (row.code == 0) {
      ASSERT_TRUE(worked) << error.localizedDescription;
      EXPECT_EQ(body, "* OK [ALERT]\r\n");
    } else {
      EXPECT_FALSE(worked);
      EXPECT_EQ(error.code, row.code);
      EXPECT_NE(error.localizedDescription.find(row.says), std::string::npos)
          << error.localizedDescription;
    }
    imap->disconnect();
  }
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  EXPECT_LT(usage.ru_maxrss, 200 * 1024) << "kilobytes";
}

// A CAPABILITY answer without a list, or with an empty one, crashes libetpan; the session
// sees the least list there is instead.
TEST_F(ImapConnectionTest, CapabilityAnswersWithoutAListGiveTheLeastList) {
  const std::string answers[] = {
      "TAG OK done\r\n", "* CAPABILITY\r\nTAG OK done\r\n",
      "* CAPABILITY IMAP4rev1 MOVE\r\nTAG OK [CAPABILITY] done\r\n",
      std::string("* CAPABILITY \0 MOVE\r\nTAG OK [ CAPABILITY\t]\r\n", 44)};
  for (const std::string& answer : answers) {
    SCOPED_TRACE(answer);
    ScriptedServer server("* OK ready\r\n",
                          [&](const std::string& tag, const std::string& command) {
                            std::string reply = command == "LOGIN" ? "TAG OK in\r\n" : answer;
                            return reply.replace(reply.find("TAG"), 3, tag);
                          });
    auto imap = scripted_session(server, "none");
    LibEtPanError error;
    ASSERT_TRUE(imap->connectWithError(&error) && imap->loginWithError(&error))
        << error.localizedDescription;
    EXPECT_TRUE(imap->hasCapability("IMAP4rev1"));
    EXPECT_EQ(imap->hasCapability("MOVE"), answer.find("MOVE") < answer.find('\0'));
    imap->disconnect();
  }
}

// libetpan reads the greeting and the continuations it waits for (APPEND's literal, IDLE, an
// XOAUTH2 challenge) without its parser state, and crashed on the lists of some codes there.
TEST_F(ImapConnectionTest, CodesInTheGreetingAndInContinuationsAreHarmless) {
  std::string append_tag, idle_tag;
  ScriptedServer server(
      "* OK [BADCHARSET \t(UTF-8 \"x\")] hi\r\n",
      selecting([&](const std::string& tag, const std::string& command) -> std::string {
        if (command == "CAPABILITY")
          return "* CAPABILITY IMAP4rev1 UIDPLUS IDLE\r\n" + tag + " OK done\r\n";
        if (command == "APPEND") {
          append_tag = tag;
          return "+ [BADCHARSET (UTF-8)] go ahead\r\n";
        }
        if (command == "IDLE") {
          idle_tag = tag;
          return "+ [PERMANENTFLAGS (\\Seen)] idling\r\n";
        }
        // The message's one line, then DONE.
        if (tag == "DONE") return idle_tag + " OK done\r\n";
        return append_tag + " OK [APPENDUID 7 5] in\r\n";
      }));
  auto imap = selected_session(server);
  LibEtPanError error;
  EXPECT_EQ(imap->appendMessage("INBOX", "x", {"\\Seen"}, &error), 5u)
      << error.localizedDescription;
  EXPECT_TRUE(imap->idleWithError(&error) && imap->idleDoneWithError(&error))
      << error.localizedDescription;
  imap->disconnect();

  std::string authenticate_tag;
  ScriptedServer refusing("* OK hi\r\n", [&](const std::string& tag, const std::string& command) {
    if (command == "AUTHENTICATE") {
      authenticate_tag = tag;
      return std::string("+ [BADCHARSET (a)] eyJzdGF0dXMiOiI0MDAifQ==\r\n");
    }
    return authenticate_tag + " NO [AUTHENTICATIONFAILED] invalid\r\n";  // after the empty line
  });
  auto oauth = scripted_session(refusing);
  oauth->setOAuth2AccessToken("token");
  ASSERT_TRUE(oauth->connectWithError(&error)) << error.localizedDescription;
  EXPECT_FALSE(oauth->loginWithError(&error));
  EXPECT_EQ(error.code, MAILIMAP_ERROR_LOGIN) << error.localizedDescription;
}

// The servers' certificate is checked before anything is said over TLS: the system's
// authorities and the host name, or what the user trusts for this server.
TEST_F(ImapConnectionTest, CertificatesAreVerifiedAndTrustedPerServer) {
  const std::string fingerprint_label = "SHA-256 指纹 ";
  auto refusal = [&](int port, const std::string& encryption, const CertificateTrust& trust) {
    auto imap = LibEtPanIMAPSession::initWithHost(servers_.host, port, encryption, "u", "p");
    imap->setCertificateTrust(trust);
    LibEtPanError error;
    EXPECT_FALSE(imap->connectWithError(&error));
    EXPECT_EQ(error.code, MAILIMAP_ERROR_SSL);
    return error.localizedDescription;
  };
  const CertificateTrust test_ca{.caFile = servers_.ca_file.string()};
  const struct {
    const char* name;
    int port;
    std::string encryption;
    CertificateTrust trust;
    const char* reason;
  } refused[] = {
      {"Dovecot over TLS, its CA not trusted", servers_.imap_ssl, "ssl", {}, "颁发者不受信任"},
      {"Dovecot after STARTTLS, its CA not trusted",
       servers_.imap_plain,
       "startTLS",
       {},
       "颁发者不受信任"},
      {"self-signed", servers_.tls_self_signed, "ssl", test_ca, "颁发者不受信任"},
      {"issued for another host", servers_.tls_wrong_host, "ssl", test_ca,
       "证书上的名称与主机名不符"},
      {"expired", servers_.tls_expired, "ssl", test_ca, "证书已过期"},
  };
  std::string self_signed;
  for (const auto& row : refused) {
    SCOPED_TRACE(row.name);
    const std::string text = refusal(row.port, row.encryption, row.trust);
    EXPECT_NE(text.find("127.0.0.1 的证书未通过验证: "), std::string::npos) << text;
    EXPECT_NE(text.find(row.reason), std::string::npos) << text;
    const size_t at = text.find(fingerprint_label);
    ASSERT_NE(at, std::string::npos) << text;
    const std::string fingerprint = text.substr(at + fingerprint_label.size(), 95);
    EXPECT_TRUE(normalized_fingerprint(fingerprint)) << fingerprint;
    EXPECT_NE(text.find("kestrova account trust-cert ACCOUNT --imap " + fingerprint),
              std::string::npos)
        << text;
    if (row.port == servers_.tls_self_signed) self_signed = fingerprint;
  }
  // Trusted by its fingerprint, the self-signed certificate is accepted; another one is not.
  auto imap =
      LibEtPanIMAPSession::initWithHost(servers_.host, servers_.tls_self_signed, "ssl", "u", "p");
  imap->setCertificateTrust({.fingerprint = self_signed});
  LibEtPanError error;
  EXPECT_TRUE(imap->connectWithError(&error)) << error.localizedDescription;
  imap->disconnect();
  CertificateTrust other{.fingerprint = normalized_fingerprint(std::string(64, 'A'))};
  EXPECT_NE(refusal(servers_.tls_self_signed, "ssl", other).find("颁发者不受信任"),
            std::string::npos);
}

// Only main exports the proxy (before threads start, or from the main queue); a session
// connecting on a worker thread must leave the environment alone, as setenv there races
// with every getenv. Exported variables are never removed.
TEST_F(ImapConnectionTest, ProxyIsExportedOnRequestAndNeverWrittenByAConnect) {
  const char* names[] = {"all_proxy",   "ALL_PROXY",  "http_proxy",
                         "https_proxy", "HTTP_PROXY", "HTTPS_PROXY"};
  std::vector<std::unique_ptr<ScopedEnvironment>> restore;
  for (const char* name : names)
    restore.push_back(std::make_unique<ScopedEnvironment>(name, std::nullopt));
  auto environment = [&] {
    std::string out;
    for (const char* name : names)
      out += std::string(name) + "=" + (std::getenv(name) ? std::getenv(name) : "") + " ";
    return out;
  };
  auto& settings = platform::SettingsStore::shared();
  EXPECT_FALSE(MailProxySettings::load().enabled);  // off unless turned on
  settings.set("emailProxyEnabled", true);
  settings.set("emailProxyPort", 0);  // counts as absent: socks5://localhost:7856
  export_proxy_environment(MailProxySettings::load());
  settings.set("emailProxyType", "http");
  settings.set("emailProxyHost", "proxy.example");
  settings.set("emailProxyPort", 3128);
  export_proxy_environment(MailProxySettings::load());
  settings.set("emailProxyEnabled", false);
  export_proxy_environment(MailProxySettings::load());  // switching off removes nothing
  const std::string exported = environment(), http = "http://proxy.example:3128 ";
  EXPECT_EQ(exported,
            "all_proxy=socks5://localhost:7856 ALL_PROXY=socks5://localhost:7856 http_proxy=" +
                http + "https_proxy=" + http + "HTTP_PROXY=" + http + "HTTPS_PROXY=" + http);

  settings.set("emailProxyEnabled", true);
  settings.set("emailProxyType", "socks5");
  const int port = testing::closed_loopback_port();  // the connect fails at once
  LibEtPanIMAPSession::initWithHost("127.0.0.1", port, "none", "u", "p")->connectWithError();
  LibEtPanSMTPSession::initWithHost("127.0.0.1", port, "none", "u", "p")->connectWithError();
  EXPECT_EQ(environment(), exported);
  for (const char* key :
       {"emailProxyEnabled", "emailProxyHost", "emailProxyPort", "emailProxyType"})
    settings.remove(key);
}

// A proxy for one connection on loopback, SOCKS5 without authentication or HTTP CONNECT:
// it notes the address asked for, then joins the client to that port of this machine, or
// refuses.
class OneConnectionProxy {
 public:
  OneConnectionProxy(std::string type, bool refuse)
      : type_(std::move(type)), refuse_(refuse), thread_([this] { serve(); }) {}
  ~OneConnectionProxy() {
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return listener_.port(); }
  // What the client asked for ("host:port"), once the client is done.
  std::string asked() {
    if (thread_.joinable()) thread_.join();
    return asked_;
  }

 private:
  static bool read_exactly(int fd, std::string& into, size_t count) {
    while (count > 0) {
      char buffer[256];
      const ssize_t n = ::recv(fd, buffer, std::min(count, sizeof buffer), 0);
      if (n <= 0) return false;
      into.append(buffer, static_cast<size_t>(n));
      count -= static_cast<size_t>(n);
    }
    return true;
  }

  // Returns the target port, or 0 after refusing.
  int handshake(int fd) {
    std::string in;
    if (type_ == "http") {
      std::string buffer;
      const auto request = testing::read_crlf_line(fd, buffer);
      while (auto line = testing::read_crlf_line(fd, buffer))
        if (line->empty()) break;
      if (!request) return 0;
      asked_ = request->substr(8, request->find(' ', 8) - 8);
      testing::send_all(fd, refuse_ ? "HTTP/1.1 403 Forbidden\r\n\r\n"
                                    : "HTTP/1.1 200 Connection established\r\n\r\n");
    } else {
      if (!read_exactly(fd, in, 3)) return 0;
      testing::send_all(fd, std::string("\x05\x00", 2));
      in.clear();
      if (!read_exactly(fd, in, 5)) return 0;
      const size_t length = static_cast<unsigned char>(in[4]);
      in.clear();
      if (!read_exactly(fd, in, length + 2)) return 0;
      asked_ = in.substr(0, length) + ":" +
               std::to_string(static_cast<unsigned char>(in[length]) * 256 +
                              static_cast<unsigned char>(in[length + 1]));
      testing::send_all(fd, std::string(refuse_ ? "\x05\x05\x00\x01" : "\x05\x00\x00\x01", 4) +
                                std::string(6, '\0'));
    }
    return refuse_ ? 0 : std::stoi(asked_.substr(asked_.rfind(':') + 1));
  }

  void serve() {
    const int client = listener_.accept();
    if (client < 0) return;
    if (const int port = handshake(client)) relay(client, port);
    ::close(client);
  }

  static void relay(int client, int port) {
    const int server = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      pollfd ends[] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
      char buffer[16384];
      while (::poll(ends, 2, 10000) > 0) {
        const int from = (ends[0].revents & (POLLIN | POLLHUP)) ? client : server;
        const ssize_t n = ::recv(from, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        testing::send_all(from == client ? server : client,
                          std::string(buffer, static_cast<size_t>(n)));
      }
    }
    ::close(server);
  }

  testing::LoopbackListener listener_;
  std::string type_;
  bool refuse_;
  std::string asked_;
  std::thread thread_;
};

// With the proxy on, the session goes through it or fails saying the proxy failed; it never
// connects directly.
TEST_F(ImapConnectionTest, TheProxyCarriesTheConnectionOrFailsIt) {
  auto& settings = platform::SettingsStore::shared();
  settings.set("emailProxyEnabled", true);
  settings.set("emailProxyHost", "127.0.0.1");
  const struct {
    const char* type;
    bool refuse;
    const char* failure;  // empty: the login works
  } cases[] = {
      {"socks5", false, ""},
      {"http", false, ""},
      {"socks5", true, "连接失败: 连接被拒绝"},
      {"http", true, "连接失败: 代理拒绝: HTTP/1.1 403 Forbidden"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.type) + (c.refuse ? " refusing" : ""));
    OneConnectionProxy proxy(c.type, c.refuse);
    settings.set("emailProxyType", c.type);
    settings.set("emailProxyPort", proxy.port());
    auto imap = session(servers_.imap_plain, "startTLS");
    LibEtPanError error;
    const bool worked = imap->connectWithError(&error) && imap->loginWithError(&error);
    imap->disconnect();
    EXPECT_EQ(proxy.asked(), servers_.host + ":" + std::to_string(servers_.imap_plain));
    EXPECT_EQ(worked, std::string(c.failure).empty()) << error.localizedDescription;
    if (!worked) {
      EXPECT_NE(error.localizedDescription.find(std::string("代理 ") + c.type + "://127.0.0.1:" +
                                                std::to_string(proxy.port()) + " " + c.failure),
                std::string::npos)
          << error.localizedDescription;
    }
  }
  // Nothing listening where the proxy should be: no direct connection instead.
  const int closed_port = testing::closed_loopback_port();
  settings.set("emailProxyPort", closed_port);
  const std::string closed = "127.0.0.1:" + std::to_string(closed_port);
  auto imap = session(servers_.imap_plain);
  LibEtPanError error;
  EXPECT_FALSE(imap->connectWithError(&error));
  EXPECT_NE(error.localizedDescription.find("连接失败: 无法连接 " + closed + ": 连接被拒绝"),
            std::string::npos)
      << error.localizedDescription;
  for (const char* key :
       {"emailProxyEnabled", "emailProxyHost", "emailProxyPort", "emailProxyType"})
    settings.remove(key);
}

}  // namespace
}  // namespace kestrova::mail
