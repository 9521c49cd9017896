#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/database.h"

namespace kestrova::app {

// The statement of the search_messages tool, bound and ready to step: the rows and order of
// sql::kSearchAccount / sql::kSearchAll for "%" + query + "%" ("%" and "_" in the query are
// wildcards), found through the substring index where it can narrow the rows.
store::Statement prepare_message_search(store::Connection& c, std::string_view query,
                                        const std::optional<std::string>& account_id,
                                        int64_t limit);

}  // namespace kestrova::app
