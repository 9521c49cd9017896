#include "util/json.h"

namespace kestrova {

std::string dump_compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string dump_compact(const OrderedJson& value) {
  return value.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

}  // namespace kestrova
