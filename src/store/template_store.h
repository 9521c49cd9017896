#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "store/email_template.h"

namespace kestrova::store {

class EmailDatabase;

// Reply templates (`email_templates`), most used first. An empty table is seeded with four
// defaults (acknowledgement, thanks, follow-up, out of office) in the interface language.
// Database failures are logged and leave the list unchanged. Not thread-safe: call it on
// the main thread.
class TemplateStore {
 public:
  using Clock = std::function<double()>;

  // Borrows `database` for the store's lifetime; loads (and, when empty, seeds) at once.
  explicit TemplateStore(EmailDatabase& database, Clock clock = {});

  // Valid until the next call that changes the list.
  const std::vector<EmailTemplate>& templates() const { return templates_; }

  void load();
  // Writes the template and appends it to the list; a template with the id of an existing
  // one replaces it, in the table and in the list. A blank id gets a new one, zero dates
  // get now.
  std::optional<EmailTemplate> add(EmailTemplate entry);
  // Writes every changeable field with updatedAt = now and replaces the list entry with
  // the same id.
  bool update(EmailTemplate entry);
  bool remove(std::string_view id);
  // usageCount + 1; updatedAt stays, as using a template does not change it.
  bool record_use(std::string_view id);

  // A blank query gives every template; otherwise those whose name, subject or body
  // contains the query, ignoring letter case.
  std::vector<EmailTemplate> search(std::string_view query) const;
  std::vector<EmailTemplate> templates_in(EmailTemplate::Category category) const;

 private:
  double now() const;
  void seed_defaults();
  bool write_update(const EmailTemplate& entry);

  EmailDatabase& database_;
  Clock clock_;
  std::vector<EmailTemplate> templates_;
};

}  // namespace kestrova::store
