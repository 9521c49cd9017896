#include "app/desktop/message_translator.h"

#include <QCoreApplication>
#include <QThreadPool>

#include "app/core/mailbox/message_context.h"
#include "app/desktop/html_sanitizer.h"

namespace kestrova::app::desktop {

namespace {

// What the pool's thread hands back.
struct Answer {
  std::optional<MessageTranslation> translation;
  std::optional<MessageTranslationError::Kind> failure;
  std::string error;
};

Answer translate_on_this_thread(const std::string& id) {
  Answer answer;
  try {
    auto context = context_for(id);
    answer.translation = translate_message(*context, {});
  } catch (const MessageTranslationError& e) {
    answer.failure = e.kind();
    answer.error = e.brief();  // a refusal's status and short words, never its body
  } catch (const std::exception& e) {
    // The message is gone, the database cannot be read: said as the provider's failures are.
    answer.failure = MessageTranslationError::Kind::provider;
    answer.error = e.what();
  }
  return answer;
}

}  // namespace

MessageTranslator::MessageTranslator() : asked_(std::make_shared<int>(0)) {}

MessageTranslator::~MessageTranslator() = default;

void MessageTranslator::translate(const std::string& id) {
  if (id == id_ && !html_.isEmpty()) return finish(State::translated);
  if (id == id_ && state_ == State::working) return;
  id_ = id;
  html_.clear();
  failure_.reset();
  error_.clear();
  const int ask = ++*asked_;
  finish(State::working);
  std::weak_ptr<int> asked = asked_;
  QThreadPool::globalInstance()->start([this, asked, ask, id] {
    auto answer = std::make_shared<Answer>(translate_on_this_thread(id));
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [this, asked, ask, answer] {
          // The translator is gone, or another message was asked about since.
          auto alive = asked.lock();
          if (!alive || *alive != ask) return;
          if (answer->failure) {
            failure_ = answer->failure;
            error_ = QString::fromStdString(answer->error);
            return finish(State::failed);
          }
          const auto& t = *answer->translation;
          html_ = QString::fromStdString(HtmlSanitizer::sanitize(t.html).html);
          language_ = QString::fromStdString(t.language);
          cached_ = t.cached;
          finish(State::translated);
        },
        Qt::QueuedConnection);
  });
}

void MessageTranslator::show_original() {
  if (state_ == State::original) return;
  if (state_ == State::working) ++*asked_;  // its answer is no longer wanted
  finish(State::original);
}

void MessageTranslator::forget() {
  ++*asked_;
  id_.clear();
  html_.clear();
  language_.clear();
  error_.clear();
  failure_.reset();
  cached_ = false;
  state_ = State::original;
}

void MessageTranslator::finish(State state) {
  state_ = state;
  if (onChanged) onChanged();
}

}  // namespace kestrova::app::desktop
