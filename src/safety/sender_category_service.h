#pragma once

#include <functional>
#include <vector>

#include "store/email_message.h"
#include "store/stored_contact.h"

namespace kestrova::platform {
class SettingsStore;
}
namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::safety {

// Applies the sender categories the user trained to new mail before it is stored:
// newsletters and paper trail arrive read and tagged, low-priority mail arrives read, mail
// from VIP senders arrives important (and the sender joins the VIP list setting).
class SenderCategoryService {
 public:
  using Clock = std::function<double()>;
  // Borrows `database` and `settings` (the VIP list, emailVIPSenders) for the service's
  // lifetime.
  explicit SenderCategoryService(store::EmailDatabase& database, platform::SettingsStore& settings,
                                Clock clock = {});

  // Returns true when the message was changed (its updatedAt is then now).
  bool apply(store::EmailMessage& message);
  // Every message of a batch; the contacts are read once per distinct sender.
  void apply(std::vector<store::EmailMessage>& batch);

 private:
  double now() const;
  void apply_category(store::EmailMessage& message, const std::string& address, store::SenderCategory category);

  store::EmailDatabase& database_;
  platform::SettingsStore& settings_;
  Clock clock_;
};

}  // namespace kestrova::safety
