#include "store/email_label.h"

#include "store/json_reader.h"
#include "store/row_reader.h"

namespace kestrova::store {

std::optional<EmailLabel> EmailLabel::from_row(const Statement& row) {
  RowReader r(row);
  auto id = r.uuid("id");
  if (!id) return std::nullopt;
  const EmailLabel defaults;
  EmailLabel l;
  l.id = std::move(*id);
  l.name = r.text("name");
  l.colorHex = r.text("color_hex", defaults.colorHex);
  l.systemImage = r.text("system_image", defaults.systemImage);
  l.usageCount = r.integer("usage_count");
  l.createdAt = r.date("created_at");
  return l;
}

OrderedJson EmailLabel::to_json() const {
  OrderedJson j = OrderedJson::object();
  j["id"] = id;
  j["name"] = name;
  j["colorHex"] = colorHex;
  j["systemImage"] = systemImage;
  j["usageCount"] = usageCount;
  j["createdAt"] = createdAt;
  return j;
}

std::optional<EmailLabel> EmailLabel::from_json(const OrderedJson& json) {
  JsonReader r(json);
  const EmailLabel defaults;
  EmailLabel l;
  l.id = r.uuid("id");
  l.name = r.text("name");
  l.colorHex = r.text("colorHex", defaults.colorHex);
  l.systemImage = r.text("systemImage", defaults.systemImage);
  l.usageCount = r.integer("usageCount");
  l.createdAt = r.date("createdAt");
  if (!r.ok()) return std::nullopt;
  return l;
}

}  // namespace kestrova::store
