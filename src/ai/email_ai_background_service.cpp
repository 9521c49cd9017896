#include "ai/email_ai_background_service.h"

#include <algorithm>
#include <optional>

#include "store/database.h"
#include "store/email_store.h"
#include "store/message_lookup.h"
#include "util/log.h"

namespace kestrova::ai {

namespace {
constexpr std::string_view kComponent = "AIBackground";
}  // namespace

EmailAIBackgroundService::EmailAIBackgroundService(Environment environment,
                                                   std::chrono::nanoseconds batchDelay)
    : environment_(std::move(environment)), batchDelay_(batchDelay) {}

EmailAIBackgroundService::~EmailAIBackgroundService() {
  stop();
  std::thread worker;
  {
    std::lock_guard lock(lock_);
    worker = std::move(worker_);
  }
  if (worker.joinable()) worker.join();
}

void EmailAIBackgroundService::start() {
  std::lock_guard lock(lock_);
  isRunning_ = true;
}

void EmailAIBackgroundService::stop() {
  std::lock_guard lock(lock_);
  isRunning_ = false;
  changed_.notify_all();  // ends the pause between batches at once
}

size_t EmailAIBackgroundService::enqueue(const std::vector<store::EmailMessage>& messages) {
  std::unique_lock lock(lock_);
  if (!isRunning_ || (environment_.admitsWork && !environment_.admitsWork())) return 0;
  size_t accepted = 0;
  for (const auto& message : messages) {
    if (message.isSpam || message.isDeleted || message.aiPriority ||
        processingIds_.contains(message.id))
      continue;
    if (auto failed = failedCounts_.find(message.id);
        failed != failedCounts_.end() && failed->second >= kMaxRetries)
      continue;
    if (environment_.admitsMessage && !environment_.admitsMessage(message)) continue;
    analysisQueue_.push_back(message);
    processingIds_.insert(message.id);
    ++accepted;
  }
  if (accepted > 0 && !isProcessing_) {
    isProcessing_ = true;
    // The previous loop has cleared isProcessing_ as its last step: joining is immediate.
    if (worker_.joinable()) worker_.join();
    worker_ = std::thread([this] { processQueue(); });
  }
  return accepted;
}

void EmailAIBackgroundService::processQueue() {
  std::unique_lock lock(lock_);
  while (isRunning_ && !analysisQueue_.empty()) {
    std::vector<store::EmailMessage> batch;
    while (batch.size() < kMaxConcurrent && !analysisQueue_.empty()) {
      batch.push_back(std::move(analysisQueue_.front()));
      analysisQueue_.pop_front();
    }
    processingCount_ = batch.size();
    lock.unlock();
    log_line(log_kind::kAI, kComponent, "分析 " + std::to_string(batch.size()) + " 封邮件");
    analyseBatch(batch);
    lock.lock();
    processingCount_ = 0;
    changed_.notify_all();
    if (isRunning_ && !analysisQueue_.empty() && batchDelay_.count() > 0)
      changed_.wait_for(lock, batchDelay_, [this] { return !isRunning_; });
  }
  isProcessing_ = false;
  changed_.notify_all();
}

void EmailAIBackgroundService::analyseBatch(const std::vector<store::EmailMessage>& batch) {
  std::vector<std::optional<EmailMetadataAnalysis>> results(batch.size());
  std::vector<std::string> errors(batch.size());
  {
    std::vector<std::jthread> tasks;
    for (size_t i = 0; i < batch.size(); ++i)
      tasks.emplace_back([&, i] {
        try {
          results[i] = environment_.analyze(batch[i]);
        } catch (const std::exception& error) {
          errors[i] = error.what();
        }
      });
  }
  // Nothing learned (no tags, normal priority): the message keeps no AI priority and may be
  // offered again later.
  std::vector<Result> learned;
  for (size_t i = 0; i < batch.size(); ++i)
    if (results[i] &&
        (!results[i]->tags.empty() || results[i]->priority != store::EmailPriority::normal))
      learned.push_back({batch[i], *results[i]});
  std::string saveError;
  if (!learned.empty()) {
    try {
      environment_.save(learned);
    } catch (const std::exception& error) {
      saveError = error.what();
    }
  }
  for (size_t i = 0; i < batch.size(); ++i) {
    const auto& message = batch[i];
    const bool wasLearned = std::any_of(learned.begin(), learned.end(), [&](const Result& r) {
      return r.message.id == message.id;
    });
    Outcome outcome = wasLearned ? Outcome::written : Outcome::unchanged;
    const std::string& error = results[i] ? saveError : errors[i];
    {
      std::lock_guard lock(lock_);
      processingIds_.erase(message.id);
      if (!results[i] || (wasLearned && !saveError.empty())) {
        outcome = Outcome::failed;
        const int count = ++failedCounts_[message.id];
        log_line(log_kind::kWarning, kComponent,
                 "分析失败 (" + std::to_string(count) + "/" + std::to_string(kMaxRetries) +
                     "): " + error);
      }
    }
    if (environment_.finished) environment_.finished(message, outcome);
  }
}

void EmailAIBackgroundService::waitUntilIdle() {
  std::unique_lock lock(lock_);
  changed_.wait(lock, [this] { return !isProcessing_; });
}

bool EmailAIBackgroundService::isRunning() const {
  std::lock_guard lock(lock_);
  return isRunning_;
}
bool EmailAIBackgroundService::isProcessing() const {
  std::lock_guard lock(lock_);
  return isProcessing_;
}
size_t EmailAIBackgroundService::processingCount() const {
  std::lock_guard lock(lock_);
  return processingCount_;
}
size_t EmailAIBackgroundService::queuedCount() const {
  std::lock_guard lock(lock_);
  return analysisQueue_.size();
}

std::function<EmailMetadataAnalysis(const store::EmailMessage&)>
EmailAIBackgroundService::chatAnalyzer(std::function<ResolvedAIProfile()> resolve,
                                       EmailAIService analysis) {
  return [resolve = std::move(resolve), analysis = std::move(analysis)](
             const store::EmailMessage& m) { return analysis.analyzeMetadata(m, resolve()); };
}

std::function<void(const std::vector<EmailAIBackgroundService::Result>&)>
EmailAIBackgroundService::storeWriter(store::EmailStore& store) {
  return [&store](const std::vector<Result>& results) {
    store.database().write([&](store::Connection& c) {
      for (const auto& [message, analysis] : results) {
        auto stored = store::read_stored_message(c, message.id);
        if (!stored) continue;  // deleted meanwhile
        if (!analysis.tags.empty()) stored->aiTags = analysis.tags;
        stored->aiPriority = analysis.priority;
        store.updateMessage(*stored);  // joins this transaction
      }
    });
  };
}

}  // namespace kestrova::ai
