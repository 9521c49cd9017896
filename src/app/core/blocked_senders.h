#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "safety/blocked_sender.h"
#include "store/email_account.h"

namespace kestrova::safety {
class EmailJunkFilterService;
}

namespace kestrova::app {

// Blocks `address` (trimmed, lower case) for each of `accounts`, with an optional note;
// returns the entries as stored. Throws an Error with the user-facing text when there is no
// account, the address is blank, or an entry cannot be stored (the entries of the accounts
// before it stay).
std::vector<safety::BlockedSender> block_sender(safety::EmailJunkFilterService& junk,
                                                const std::vector<store::EmailAccount>& accounts,
                                                std::string_view address,
                                                const std::optional<std::string>& note);

}  // namespace kestrova::app
