#include "app/core/blocked_senders.h"

#include "safety/email_junk_filter_service.h"
#include "util/error.h"
#include "util/localization.h"
#include "util/text.h"

namespace kestrova::app {

std::vector<safety::BlockedSender> block_sender(safety::EmailJunkFilterService& junk,
                                                const std::vector<store::EmailAccount>& accounts,
                                                std::string_view address,
                                                const std::optional<std::string>& note) {
  if (accounts.empty()) throw Error(localized("cli.accounts.none"));
  const std::string wanted = text::lower(text::trim(address));
  if (wanted.empty() || wanted == "@") throw Error(localized("cli.block.address_needed"));
  std::vector<safety::BlockedSender> added;
  for (const auto& account : accounts) {
    auto entry = junk.add(account.id, wanted, note);
    if (!entry) throw Error(localized_format("cli.block.add_failed", account.emailAddress, wanted));
    added.push_back(std::move(*entry));
  }
  return added;
}

}  // namespace kestrova::app
