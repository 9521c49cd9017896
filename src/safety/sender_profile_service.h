#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "safety/sender_profile.h"

namespace kestrova::platform {
class SettingsStore;
}
namespace kestrova::store {
class EmailDatabase;
}

namespace kestrova::safety {

// Computes sender profiles from the stored mail, the contacts and the VIP list setting.
class SenderProfileService {
 public:
  // How many co-recipients a profile lists.
  static constexpr size_t kCoRecipientLimit = 5;

  using Clock = std::function<double()>;
  // Borrows `database` and `settings` (the VIP list, emailVIPSenders) for the service's
  // lifetime.
  explicit SenderProfileService(store::EmailDatabase& database, platform::SettingsStore& settings,
                                Clock clock = {});

  // The profile of an address (trimmed and lower-cased first), optionally limited to one
  // account. A query failure is logged and leaves the figures of that query at zero/empty.
  SenderProfile profile(std::string_view email, const std::optional<std::string>& accountId = std::nullopt);

 private:
  double now() const;

  store::EmailDatabase& database_;
  platform::SettingsStore& settings_;
  Clock clock_;
};

}  // namespace kestrova::safety
