#include "app/mcp/mcp_arguments.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "app/mcp/mcp_error.h"
#include "util/uuid.h"

namespace kestrova::app::args {

namespace {

const Json* find(const Json& arguments, std::string_view key) {
  if (!arguments.is_object()) return nullptr;
  auto it = arguments.find(key);
  return it == arguments.end() ? nullptr : &*it;
}

}  // namespace

std::string required_string(const Json& arguments, std::string_view key) {
  const Json* v = find(arguments, key);
  if (!v || !v->is_string() || v->get_ref<const std::string&>().empty())
    throw MCPError("Missing required argument: " + std::string(key));
  return v->get<std::string>();
}

std::optional<std::string> optional_string(const Json& arguments, std::string_view key) {
  const Json* v = find(arguments, key);
  if (!v || !v->is_string()) return std::nullopt;
  return v->get<std::string>();
}

std::optional<std::string> uuid(const Json& arguments, std::string_view key) {
  auto text = optional_string(arguments, key);
  if (!text || text->empty()) return std::nullopt;
  auto parsed = parse_uuid(*text);
  if (!parsed) throw MCPError("Invalid UUID: " + *text);
  return parsed;
}

std::optional<int64_t> integer(const Json& arguments, std::string_view key) {
  const Json* v = find(arguments, key);
  if (!v || !v->is_number()) return std::nullopt;
  if (v->is_number_unsigned()) {
    const uint64_t u = v->get<uint64_t>();
    if (u > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
      return std::numeric_limits<int64_t>::max();
    return static_cast<int64_t>(u);
  }
  if (v->is_number_integer()) return v->get<int64_t>();
  const double d = v->get<double>();
  if (!std::isfinite(d) || std::floor(d) != d) return std::nullopt;
  if (d >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (d <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(d);
}

std::optional<bool> boolean(const Json& arguments, std::string_view key) {
  const Json* v = find(arguments, key);
  if (!v) return std::nullopt;
  if (v->is_boolean()) return v->get<bool>();
  if (v->is_number()) {
    const double d = v->get<double>();
    if (d == 0) return false;
    if (d == 1) return true;
  }
  return std::nullopt;
}

int64_t clamped(std::optional<int64_t> value, int64_t fallback, int64_t low, int64_t high) {
  return std::clamp(value.value_or(fallback), low, high);
}

}  // namespace kestrova::app::args
