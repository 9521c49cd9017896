#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/agent/mcp_exposure_level.h"
#include "util/json.h"

namespace kestrova::app {

// How much a tool may change.
enum class ToolTier { read = 0, trainable = 1, full = 2 };

bool is_exposed(MCPExposureLevel level, ToolTier tier);

// A tool: its descriptor ({name, description, inputSchema}, served exactly as declared),
// its tier and the function that runs it. The handler returns the result value, which the
// server serialises with sorted keys, and reports failures by throwing kestrova::Error.
struct Tool {
  std::string name;
  ToolTier tier;
  OrderedJson descriptor;
  std::function<Json(const Json& arguments)> handler;
  // Tools with long answers write their result text directly (compact JSON with sorted
  // keys, exactly what serialising the value would give); when set it is used instead of
  // `handler`.
  std::function<std::string(const Json& arguments)> text_handler = nullptr;
};

// One group of the catalogue. Tools are kept with the read tools first, then the trainable,
// then the full tools, each block in the order added. A tools/call looks the name up in the
// groups by ascending `lookup_rank` (the group's own place in the dispatch order).
class ToolGroup {
 public:
  explicit ToolGroup(int lookup_rank) : lookup_rank_(lookup_rank) {}
  int lookup_rank() const { return lookup_rank_; }
  ToolGroup& add(Tool tool);
  const Tool* find(std::string_view name) const;
  // The descriptors exposed at `level`, in group order.
  void append_exposed(MCPExposureLevel level, std::vector<OrderedJson>& out) const;

 private:
  int lookup_rank_;
  std::vector<Tool> tools_;
};

// Helpers for writing descriptors.
OrderedJson string_property(std::string_view description);
OrderedJson integer_property(std::string_view description);
OrderedJson boolean_property(std::string_view description);
OrderedJson object_property(std::string_view description);
// A properties object with the entries in the order given.
OrderedJson properties(std::initializer_list<std::pair<std::string, OrderedJson>> entries);
// {name, description, inputSchema: {type: "object", properties, required}}.
OrderedJson tool_descriptor(std::string_view name, std::string_view description,
                            OrderedJson properties, std::vector<std::string> required);

}  // namespace kestrova::app
