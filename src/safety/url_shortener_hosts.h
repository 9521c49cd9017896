#pragma once

#include <string>
#include <unordered_set>

namespace kestrova::safety {

// Host names of public link-shortening services, global and Chinese, lower case. Built on
// first use (thread-safe) and never changed; the reference lives as long as the program.
const std::unordered_set<std::string>& url_shortener_hosts();

}  // namespace kestrova::safety
