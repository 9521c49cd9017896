#include "app/mcp/mcp_tool.h"

#include <algorithm>

namespace kestrova::app {

bool is_exposed(MCPExposureLevel level, ToolTier tier) {
  switch (level) {
    case MCPExposureLevel::readonly:
      return tier == ToolTier::read;
    case MCPExposureLevel::trainable:
      return tier != ToolTier::full;
    case MCPExposureLevel::full:
      return true;
  }
  return false;
}

ToolGroup& ToolGroup::add(Tool tool) {
  // Keep the tier blocks in order: insert after the last tool of the same or a lower tier.
  auto position = std::find_if(tools_.begin(), tools_.end(),
                               [&](const Tool& t) { return t.tier > tool.tier; });
  tools_.insert(position, std::move(tool));
  return *this;
}

const Tool* ToolGroup::find(std::string_view name) const {
  for (const auto& tool : tools_)
    if (tool.name == name) return &tool;
  return nullptr;
}

void ToolGroup::append_exposed(MCPExposureLevel level, std::vector<OrderedJson>& out) const {
  for (const auto& tool : tools_)
    if (is_exposed(level, tool.tier)) out.push_back(tool.descriptor);
}

OrderedJson string_property(std::string_view description) {
  return OrderedJson{{"type", "string"}, {"description", description}};
}

OrderedJson integer_property(std::string_view description) {
  return OrderedJson{{"type", "integer"}, {"description", description}};
}

OrderedJson boolean_property(std::string_view description) {
  return OrderedJson{{"type", "boolean"}, {"description", description}};
}

OrderedJson object_property(std::string_view description) {
  return OrderedJson{{"type", "object"}, {"description", description}};
}

OrderedJson properties(std::initializer_list<std::pair<std::string, OrderedJson>> entries) {
  OrderedJson object = OrderedJson::object();
  for (const auto& [key, value] : entries) object[key] = value;
  return object;
}

OrderedJson tool_descriptor(std::string_view name, std::string_view description,
                            OrderedJson properties, std::vector<std::string> required) {
  if (properties.is_null()) properties = OrderedJson::object();
  OrderedJson schema = OrderedJson::object();
  schema["type"] = "object";
  schema["properties"] = std::move(properties);
  schema["required"] = required;
  OrderedJson descriptor = OrderedJson::object();
  descriptor["name"] = name;
  descriptor["description"] = description;
  descriptor["inputSchema"] = std::move(schema);
  return descriptor;
}

}  // namespace kestrova::app
