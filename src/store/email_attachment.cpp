#include "store/email_attachment.h"

#include "store/json_reader.h"
#include "store/row_reader.h"

namespace kestrova::store {

std::optional<EmailAttachment> EmailAttachment::from_row(const Statement& row) {
  RowReader r(row);
  auto id = r.uuid("id");
  if (!id) return std::nullopt;
  EmailAttachment a;
  a.id = std::move(*id);
  a.filename = r.text("filename");
  a.mimeType = r.text("mime_type");
  a.size = r.integer("size");
  a.contentId = r.optional_text("content_id");
  a.isInline = r.flag("is_inline");
  a.localPath = r.optional_text("local_path");
  a.partPath = r.optional_text("part_path");
  a.encoding = r.optional_text("encoding");
  a.charset = r.optional_text("charset");
  return a;
}

OrderedJson EmailAttachment::to_json() const {
  OrderedJson j = OrderedJson::object();
  j["id"] = id;
  j["filename"] = filename;
  j["mimeType"] = mimeType;
  j["size"] = size;
  if (contentId) j["contentId"] = *contentId;
  j["isInline"] = isInline;
  if (localPath) j["localPath"] = *localPath;
  if (partPath) j["partPath"] = *partPath;
  if (encoding) j["encoding"] = *encoding;
  if (charset) j["charset"] = *charset;
  return j;
}

std::optional<EmailAttachment> EmailAttachment::from_json(const OrderedJson& json) {
  JsonReader r(json);
  EmailAttachment a;
  a.id = r.uuid("id");
  a.filename = r.text("filename");
  a.mimeType = r.text("mimeType");
  a.size = r.integer("size");
  a.contentId = r.optional_text("contentId");
  a.isInline = r.flag("isInline");
  a.localPath = r.optional_text("localPath");
  a.partPath = r.optional_text("partPath");
  a.encoding = r.optional_text("encoding");
  a.charset = r.optional_text("charset");
  if (!r.ok()) return std::nullopt;
  return a;
}

}  // namespace kestrova::store
