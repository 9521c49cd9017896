#pragma once

#include <optional>
#include <string>
#include <utility>

#include "util/error.h"

namespace kestrova::app {

struct MessageContext;

// Why a message could not be translated; what() is the text shown to the user.
class MessageTranslationError : public Error {
 public:
  enum class Kind {
    privacy,        // super-privacy mode or the account's privacy mode: nothing was sent
    configuration,  // no usable profile for the translation scenario: nothing was sent
    empty,          // an empty body, or a blank answer
    provider,       // the provider failed; the text names the profile and what to do
  };
  MessageTranslationError(Kind kind, const std::string& description, std::string brief = {})
      : Error(description), kind_(kind), brief_(std::move(brief)) {}
  Kind kind() const { return kind_; }
  // The text for a window: what() but for a provider's refusal, whose body it leaves out.
  const char* brief() const { return brief_.empty() ? what() : brief_.c_str(); }

 private:
  Kind kind_;
  std::string brief_;
};

struct MessageTranslation {
  std::string language;  // the target language as the model was asked ("English", "简体中文")
  std::string html;      // the translation as the model wrote it: untrusted HTML
  std::optional<std::string> sourceLanguage;  // the detected language's raw value ("en")
  bool cached = false;                        // answered from the translation cache
};

// Translates the message of `c` into `to`; an empty `to` means the interface language, or,
// for mail written in it, the other of English and Chinese. Refuses before anything is
// downloaded or sent when the privacy settings forbid it. The body comes from the kept
// original or the server when it can, else the stored text stands in. A translation of the
// same body into the same language is answered from the translation cache without a
// profile; otherwise the translation scenario's profile, as the settings hold it now (a
// profile added by another process counts), is asked. Blocks on the network: call it off
// any interface thread. Throws MessageTranslationError.
MessageTranslation translate_message(MessageContext& c, const std::string& to);

}  // namespace kestrova::app
