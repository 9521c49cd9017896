#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/core/message_translation.h"

namespace kestrova::app::desktop {

// The translation of the open message, asked for by the user, as a small state machine:
// original → working → translated or failed; show_original() goes back, and asking again
// for the same message shows the translation at once. The work (the body, the cache, the
// profile and the provider, app/core's translate_message) runs on a thread of the pool; its
// answer comes back to the main thread, and one for a message no longer asked about is
// dropped. Main thread only.
class MessageTranslator {
 public:
  enum class State { original, working, translated, failed };
  using Failure = MessageTranslationError::Kind;

  MessageTranslator();
  ~MessageTranslator();
  MessageTranslator(const MessageTranslator&) = delete;
  MessageTranslator& operator=(const MessageTranslator&) = delete;

  // Translates the message `id` (into the interface language, or, for mail written in it,
  // the other of English and Chinese).
  void translate(const std::string& id);
  // Shows the original again; the translation is kept for the next translate().
  void show_original();
  // Another message is shown: whatever was asked or answered is forgotten.
  void forget();

  State state() const { return state_; }
  const std::string& message_id() const { return id_; }
  // The translation made safe for the reading pane (translated state).
  const QString& html() const { return html_; }
  // The language it is in, as the model was asked ("English", "简体中文").
  const QString& language() const { return language_; }
  bool cached() const { return cached_; }
  // Why it failed (failed state): the kind and the text to show.
  std::optional<Failure> failure() const { return failure_; }
  const QString& error() const { return error_; }

  // Called on the main thread after every change of state.
  std::function<void()> onChanged;

 private:
  void finish(State state);

  State state_ = State::original;
  std::string id_;
  QString html_, language_, error_;
  bool cached_ = false;
  std::optional<Failure> failure_;
  // Answers of the pool carry the ask they answer; only the latest is taken.
  std::shared_ptr<int> asked_;
};

}  // namespace kestrova::app::desktop
