// The AI panel's first streamed piece against a loopback provider that answers at once:
// from the moment the piece reaches the process (the provider's thread) to the moment the
// panel has drawn it, and, as the reference of the same run, question → first piece on
// screen in the panel beside `kestrova ai ask --folder` question → first byte of the answer
// on a pipe (a new process each time, as a user runs it). Rounds alternate between the two.
// Run with HOME and the XDG folders pointing at a fresh directory (bench/run_ai_panel.sh).
//
//   kestrova-bench-ai-panel --kestrova PATH [--rounds N]

#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <QApplication>
#include <QComboBox>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "app/core/user_preferences.h"
#include "app/desktop/ai_panel.h"
#include "loopback_http_server.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/log.h"
#include "util/uuid.h"

extern char** environ;

namespace {

using namespace kestrova;
using Clock = std::chrono::steady_clock;

// The first event at once, the rest 2 ms later: an answer that starts without delay.
void answer(int fd, const std::string&) {
  LoopbackHttpServer::send_all(
      fd,
      "HTTP/1.0 200 OK\r\nContent-Type: text/event-stream\r\n\r\n"
      "data: {\"choices\":[{\"delta\":{\"content\":\"Two invoices\"}}]}\n\n");
  std::this_thread::sleep_for(std::chrono::milliseconds(2));
  LoopbackHttpServer::send_all(
      fd, "data: {\"choices\":[{\"delta\":{\"content\":\" are **open**.\"}}]}\n\ndata: [DONE]\n\n");
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double percentile90(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[std::min(v.size() - 1, v.size() * 9 / 10)];
}

int run(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Question → first byte of the answer on standard output, a pipe.
double cli_first_byte(const std::string& kestrova) {
  int out[2];
  if (pipe(out) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::vector<std::string> args{kestrova,
                                      "ai",
                                      "ask",
                                      "--folder",
                                      "INBOX",
                                      "--account",
                                      "me@example.com",
                                      "Which invoices are open?"};
  std::vector<char*> argv;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const auto start = Clock::now();
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  if (spawned != 0) return -1;
  char buffer[4096];
  double first = -1;
  ssize_t n = 0;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0)
    if (first < 0) first = ms(Clock::now() - start);
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? first : -1;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App cli("The AI panel's first streamed piece against a loopback provider");
  std::string kestrova;
  int rounds = 30;
  cli.add_option("--kestrova", kestrova, "The kestrova program (the reference)")->required();
  cli.add_option("--rounds", rounds, "Questions asked by each side");
  CLI11_PARSE(cli, argc, argv);
  set_log_target(LogTarget::File);
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qputenv("QT_NO_GLIB", "1");
  QApplication application(argc, argv);

  LoopbackHttpServer server(answer);
  auto& database = store::EmailDatabase::shared();
  store::EmailStore mail(database, platform::SettingsStore::shared());
  store::EmailAccount account;
  account.id = new_uuid();
  account.emailAddress = "me@example.com";
  account.isDefault = true;
  mail.saveAccount(account);
  const auto inbox = store::EmailFolder::make({.id = new_uuid(),
                                               .accountId = account.id,
                                               .name = "INBOX",
                                               .type = store::EmailFolderType::inbox});
  mail.saveFolder(inbox);
  std::string first;
  for (int i = 0; i < 50; ++i) {
    store::EmailMessage m;
    m.id = new_uuid();
    m.accountId = account.id;
    m.folderId = inbox.id;
    m.subject = "Invoice " + std::to_string(i);
    m.from = {"Ann", "ann@example.com"};
    m.textBody = m.preview = "Please pay invoice " + std::to_string(i) + " by Friday.";
    m.isBodyLoaded = true;
    m.date = m.updatedAt = 1700000000 + i;
    if (first.empty()) first = m.id;
    mail.saveMessage(store::EmailMessage::make(std::move(m)));
  }
  if (run({kestrova, "ai", "profile", "add", "--protocol", "openai", "--name", "Bench",
           "--endpoint", "http://127.0.0.1:" + std::to_string(server.port()) + "/v1", "--model",
           "bench", "--default"}) != 0) {
    std::fprintf(stderr, "kestrova ai profile add failed\n");
    return 1;
  }

  app::desktop::AiPanel panel(database, app::UserPreferences::shared());
  panel.resize(420, 700);
  panel.show();
  panel.show_message(first);
  panel.findChild<QComboBox*>("aiScope")->setCurrentIndex(2);  // the folder
  std::vector<double> drawn, panelFirst, cliFirst;
  for (int round = 0; round < rounds; ++round) {
    panel.model().clear_conversation();
    QApplication::processEvents();
    const auto start = Clock::now();
    panel.ask("Which invoices are open?");
    const auto until = start + std::chrono::seconds(30);
    while ((panel.model().answering() || !panel.first_piece_shown() ||
            *panel.first_piece_shown() < start) &&
           Clock::now() < until)
      QApplication::processEvents(QEventLoop::AllEvents, 5);
    const auto arrived = panel.model().first_piece_arrived();
    const auto shown = panel.first_piece_shown();
    if (!arrived || !shown || *shown < start) {
      std::fprintf(stderr, "round %d: no answer in the panel\n", round);
      return 1;
    }
    drawn.push_back(ms(*shown - *arrived));
    panelFirst.push_back(ms(*shown - start));
    const double cli = cli_first_byte(kestrova);
    if (cli < 0) {
      std::fprintf(stderr, "round %d: kestrova ai ask failed\n", round);
      return 1;
    }
    cliFirst.push_back(cli);
  }
  std::printf("rounds: %d\n", rounds);
  std::printf(
      "panel, piece arrived -> drawn:       median %.2f ms, p90 %.2f ms (goal: under 50 ms)\n",
      median(drawn), percentile90(drawn));
  std::printf("panel, question -> first piece drawn: median %.2f ms\n", median(panelFirst));
  std::printf("kestrova ai ask, start -> first byte: median %.2f ms\n", median(cliFirst));
  std::printf("ratio panel / command line (question -> first piece): %.2f\n",
              median(panelFirst) / median(cliFirst));
  return 0;
}
