#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ai/ai_configuration.h"
#include "ai/email_ai_service.h"
#include "store/email_message.h"

namespace kestrova::store {
class EmailStore;
}

namespace kestrova::ai {

// Analyses newly arrived messages in the background so that lists can show AI tags and an
// AI priority without the user asking: a queue without doubles, worked through in batches
// of `kMaxConcurrent` requests at a time on a worker thread, with a pause between batches
// so that interactive AI requests are not starved and provider rate limits are respected.
// A message whose analysis failed `kMaxRetries` times is not queued again while this object
// lives. Thread-safe.
class EmailAIBackgroundService {
 public:
  static constexpr size_t kMaxConcurrent = 3;
  static constexpr int kMaxRetries = 2;
  static constexpr std::chrono::nanoseconds kBatchDelay{2'000'000'000};

  // What happened to one analysed message.
  enum class Outcome { written, unchanged, failed };

  struct Result {
    store::EmailMessage message;
    EmailMetadataAnalysis analysis;
  };

  struct Environment {
    // Whether background work is allowed at all now (the background-analysis switch is on
    // and super-privacy mode is off). Empty: always.
    std::function<bool()> admitsWork;
    // Whether this message's content may leave the machine (its account's privacy mode).
    // Empty: always.
    std::function<bool(const store::EmailMessage&)> admitsMessage;
    // The analysis of one message; throws on failure. Called from the batch's threads.
    std::function<EmailMetadataAnalysis(const store::EmailMessage&)> analyze;
    // Writes the results of one batch that have tags or a priority other than normal, on
    // the worker thread once the whole batch is in; a throw fails each of them.
    std::function<void(const std::vector<Result>&)> save;
    // After each message, on the worker thread (progress of `kestrova ai analyze`).
    std::function<void(const store::EmailMessage&, Outcome)> finished;
  };

  explicit EmailAIBackgroundService(Environment environment,
                                    std::chrono::nanoseconds batchDelay = kBatchDelay);
  // Stops and waits for the running batch.
  ~EmailAIBackgroundService();
  EmailAIBackgroundService(const EmailAIBackgroundService&) = delete;
  EmailAIBackgroundService& operator=(const EmailAIBackgroundService&) = delete;

  void start();
  // The running batch finishes; no further batch starts. Does not wait.
  void stop();

  // Offers messages for analysis; returns how many were queued. Queues nothing unless the
  // service runs and the environment admits work; skips spam, deleted, already prioritised,
  // already queued or running, and given-up messages. Starts the worker when none runs.
  size_t enqueue(const std::vector<store::EmailMessage>& messages);

  // Blocks until the queue is empty and no batch runs (or the service stopped).
  void waitUntilIdle();

  bool isRunning() const;
  bool isProcessing() const;
  size_t processingCount() const;
  size_t queuedCount() const;

  // The analysis through the chat service with what `resolve` gives for the email-analysis
  // scenario, and the write of a batch's results into the stored rows through the mail
  // store's message update, in one write transaction (one disk sync per batch); each row is
  // read afresh, so that marks set since the message was queued survive.
  static std::function<EmailMetadataAnalysis(const store::EmailMessage&)> chatAnalyzer(
      std::function<ResolvedAIProfile()> resolve, EmailAIService analysis = EmailAIService());
  static std::function<void(const std::vector<Result>&)> storeWriter(store::EmailStore& store);

 private:
  void processQueue();
  // The batch's analyses at the same time, then its results saved together.
  void analyseBatch(const std::vector<store::EmailMessage>& batch);

  const Environment environment_;
  const std::chrono::nanoseconds batchDelay_;

  mutable std::mutex lock_;  // guards everything below
  std::condition_variable changed_;
  bool isRunning_ = false;
  bool isProcessing_ = false;
  size_t processingCount_ = 0;
  std::deque<store::EmailMessage> analysisQueue_;
  std::set<std::string> processingIds_;
  std::map<std::string, int> failedCounts_;
  std::thread worker_;
};

}  // namespace kestrova::ai
