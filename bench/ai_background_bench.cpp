// Background AI analysis of stored messages against a loopback provider that answers every
// request after a fixed delay (50 ms): the real service class with the real analysis (chat
// request, reply parser) and the real write into a SQLite store. Prints messages per second,
// the ideal time (batches × delay, plus the pauses), and the pipeline's own time per message.
//
//   kestrova-bench-ai-background [--messages 1000] [--delay-ms 50] [--pause-ms 0]
//                                [--directory DIR]

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "ai/ai_service_profile.h"
#include "ai/email_ai_background_service.h"
#include "loopback_http_server.h"
#include "platform/settings_store.h"
#include "store/database.h"
#include "store/email_store.h"
#include "util/log.h"
#include "util/time.h"
#include "util/uuid.h"

namespace {

using Clock = std::chrono::steady_clock;
namespace ai = kestrova::ai;
namespace store = kestrova::store;

const std::string kReply =
    R"({"choices":[{"index":0,"message":{"role":"assistant","content":"{\"tags\":[\"invoice\",\"finance\"],\"priority\":\"high\"}"}}]})";

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Background AI analysis against a loopback provider with a fixed delay"};
  size_t count = 1000;
  int delayMs = 50, pauseMs = 0;
  app.add_option("--messages", count, "Stored messages to analyse");
  app.add_option("--delay-ms", delayMs, "The provider's answer time");
  app.add_option("--pause-ms", pauseMs, "Pause between batches (the application uses 2000)");
  std::filesystem::path directory = std::filesystem::temp_directory_path();
  app.add_option("--directory", directory,
                 "Where the database is made (/dev/shm leaves the disk's syncs out)");
  CLI11_PARSE(app, argc, argv);
  kestrova::set_log_target(kestrova::LogTarget::Silent);

  const auto root = directory / ("kestrova-bench-ai-" + kestrova::new_uuid());
  std::filesystem::create_directories(root);
  int status = 0;
  {
    const auto opened = store::EmailDatabase::open(root / "mail.sqlite");
    store::EmailDatabase& database = *opened;
    kestrova::platform::SettingsStore settings(root / "settings.json");
    store::EmailStore mailStore(database, settings);
    store::EmailAccount account;
    account.id = kestrova::new_uuid();
    account.emailAddress = "bench@kestrova.test";
    mailStore.saveAccount(account);
    std::vector<store::EmailMessage> messages;
    for (size_t i = 0; i < count; ++i) {
      store::EmailMessage m;
      m.id = kestrova::new_uuid();
      m.accountId = account.id;
      m.subject = "Invoice " + std::to_string(i);
      m.from = {std::string("Alice"), "alice@example.org"};
      m.preview = "Please pay invoice " + std::to_string(i) + " by Friday.";
      m.textBody = m.preview;
      m.date = kestrova::now_seconds() - static_cast<double>(i);
      messages.push_back(std::move(m));
    }
    mailStore.saveMessagesInBackground(messages).get();

    // Answers every request with kReply after the provider's delay.
    LoopbackHttpServer server(
        [delay = std::chrono::milliseconds(delayMs)](int fd, const std::string&) {
          std::this_thread::sleep_for(delay);
          LoopbackHttpServer::send_json(fd, kReply);
        });
    ai::ResolvedAIProfile target{ai::AIServiceProfile::forProtocol(ai::AIProtocolType::openAI),
                                 "bench-model", 30};
    target.profile.endpoint = "http://127.0.0.1:" + std::to_string(server.port()) + "/v1";
    ai::EmailAIBackgroundService::Environment environment;
    // Each side timed per message (summed over the batch's threads).
    std::atomic<int64_t> analyzeMicros = 0, saveMicros = 0;
    auto timed = [](std::atomic<int64_t>& total, auto&& work) {
      const auto started = Clock::now();
      work();
      total +=
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count();
    };
    environment.analyze = [&, analyze = ai::EmailAIBackgroundService::chatAnalyzer(
                                  [target] { return target; })](const store::EmailMessage& m) {
      ai::EmailMetadataAnalysis result;
      timed(analyzeMicros, [&] { result = analyze(m); });
      return result;
    };
    environment.save = [&, save = ai::EmailAIBackgroundService::storeWriter(mailStore)](
                           const std::vector<ai::EmailAIBackgroundService::Result>& results) {
      timed(saveMicros, [&] { save(results); });
    };
    std::atomic<size_t> written = 0, failed = 0;
    environment.finished = [&](const store::EmailMessage&,
                               ai::EmailAIBackgroundService::Outcome o) {
      if (o == ai::EmailAIBackgroundService::Outcome::written) ++written;
      if (o == ai::EmailAIBackgroundService::Outcome::failed) ++failed;
    };
    ai::EmailAIBackgroundService service(std::move(environment),
                                         std::chrono::milliseconds(pauseMs));
    service.start();
    const auto started = Clock::now();
    service.enqueue(messages);
    service.waitUntilIdle();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    const size_t batches = (count + 2) / 3;
    const double provider = static_cast<double>(batches) * delayMs / 1000.0;
    const double pauses = static_cast<double>(batches - 1) * pauseMs / 1000.0;
    const double outside = seconds - provider - pauses;
    std::printf("messages            %zu (written %zu, failed %zu)\n", count, written.load(),
                failed.load());
    std::printf("provider delay      %d ms, pause between batches %d ms\n", delayMs, pauseMs);
    std::printf("total               %.2f s\n", seconds);
    std::printf("throughput          %.1f messages/s (ideal %.1f)\n", count / seconds,
                count / (provider + pauses));
    std::printf("time in provider    %.2f s (%zu batches × %d ms)\n", provider, batches, delayMs);
    std::printf("time in pauses      %.2f s\n", pauses);
    std::printf("outside both        %.2f s = %.1f %% of the total, %.2f ms per message\n", outside,
                100.0 * outside / seconds, 1000.0 * outside / count);
    std::printf(
        "per message         request %.2f ms (of which %d ms provider), write %.2f ms (one "
        "transaction per batch)\n",
        analyzeMicros / 1000.0 / count, delayMs, saveMicros / 1000.0 / count);
    status = written == count ? 0 : 1;
  }
  std::filesystem::remove_all(root);
  return status;
}
