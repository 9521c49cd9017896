#pragma once

#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/email_account.h"
#include "store/email_signature.h"

namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::app {

// The placeholders a signature may hold, in their fixed order.
enum class SignatureVariable {
  name,
  email,
  company,
  phone,
  title,
  position,
  website,
  address,
  date,
  time,
  datetime
};

struct SignatureVariableInfo {
  SignatureVariable variable;
  std::string_view key;          // "company": the name of the user's value
  std::string_view placeholder;  // "{{company}}"
  std::string_view label;        // shown to the user
};
std::span<const SignatureVariableInfo> signature_variables();

// The user's own values for the placeholders an account does not know (company, phone,
// title, position, website, address), by key.
using SignatureFieldValues = std::map<std::string, std::string>;

// Signatures of the accounts: stored in `email_signatures`, rendered for an account, and
// put into (or found and removed from) a message being composed.
//
// Rendering and the regular expressions it runs are bounded: every match call runs under
// PCRE2's match and depth limits, so a signature of a megabyte or a pattern-hostile shape
// costs a bounded amount of work; a call that hits a limit leaves that text as it is.
// Thread-safe: the storage calls go through the serialised database, the rest is pure.
class EmailSignatureService {
 public:
  using Clock = std::function<double()>;

  explicit EmailSignatureService(store::EmailDatabase& database, Clock clock = {});

  // ---- Storage (failures throw; save fails with the missing-account text) ----
  std::vector<store::EmailSignature> signatures(std::string_view accountId) const;
  std::optional<store::EmailSignature> defaultSignature(std::string_view accountId) const;
  std::optional<store::EmailSignature> signature(std::string_view id) const;
  void save(const store::EmailSignature& signature) const;
  void remove(std::string_view id) const;
  void setDefault(std::string_view accountId, std::string_view id) const;

  // ---- Composition ----
  // The content with {{name}}, {{email}}, {{date}}, {{time}} and {{datetime}} filled in
  // (names and addresses HTML-escaped in an HTML signature), then every table row, cell or
  // division holding a still-unfilled company, phone, title, position, website or address
  // placeholder removed, then any bare one. Other placeholders stay.
  std::string render(const store::EmailSignature& signature,
                     const store::EmailAccount& account) const;
  // Render, and for an HTML signature its plain-text form.
  std::string plainText(const store::EmailSignature& signature,
                        const store::EmailAccount& account) const;

  struct Bodies {
    std::string plain;
    std::optional<std::string> html;
  };
  // Puts the signature into a message: above the quoted text of a reply or forward, else
  // at the end. An HTML signature goes into the HTML body between block markers (making an
  // HTML body from the plain one when there is none) and, with `updatePlain`, its plain
  // form into the plain body too. Applying a signature that is already there changes nothing.
  Bodies apply(const store::EmailSignature& signature, const store::EmailAccount& account,
               std::string plain, std::optional<std::string> html, bool updatePlain) const;

  static bool containsBlock(std::string_view html, std::string_view signatureId);
  static bool containsAnyBlock(std::string_view html);
  static std::optional<std::string> extractBlock(std::string_view html,
                                                 std::string_view signatureId);
  static std::string removeAllBlocks(std::string_view html);

  // Head and tail of a body at its quote: the first marker of a fixed list that occurs
  // (list order, not position), else the first line starting with ">" or "|".
  static std::pair<std::string, std::string> splitAtQuote(std::string_view body);
  // Line breaks for <br>, </p>, </div>, </tr>, a space for </td>, tags dropped, the common
  // entities decoded, lines trimmed, empty lines dropped.
  static std::string htmlToPlainText(std::string_view html);
  // A design's placeholders for the user's own values filled in (escaped for HTML); values
  // left empty keep their placeholder, so rendering drops their line.
  static std::string fillValues(std::string_view content, const SignatureFieldValues& values,
                                bool isHtml);
  // A design with sample values for {{name}} and {{email}} only.
  static std::string preview(std::string_view content);
  static std::string escapeHtml(std::string_view text);

 private:
  double now() const;

  store::SignatureStore store_;
  Clock clock_;
};

}  // namespace kestrova::app
