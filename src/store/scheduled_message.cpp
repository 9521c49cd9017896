#include "store/scheduled_message.h"

#include <array>

#include "store/database.h"
#include "store/row_reader.h"
#include "util/json.h"

namespace kestrova::store {

namespace {

using Status = ScheduledMessage::Status;

constexpr std::string_view kInsert =
    "INSERT INTO scheduled_messages (id, account_id, to_contacts, cc_contacts, bcc_contacts, "
    "subject, body, html_body, attachments_json, scheduled_at, created_at, status) VALUES (?, ?, "
    "?, ?, ?, ?, ?, ?, ?, ?, ?, ?)";
constexpr std::string_view kLoadPending =
    "SELECT * FROM scheduled_messages WHERE status IN ('pending', 'sending') ORDER BY scheduled_at "
    "ASC";
constexpr std::string_view kAll = "SELECT * FROM scheduled_messages ORDER BY scheduled_at ASC";
constexpr std::string_view kGet = "SELECT * FROM scheduled_messages WHERE id = ?";
constexpr std::string_view kSetStatus =
    "UPDATE scheduled_messages SET status = ?, error_message = ? WHERE id = ?";
constexpr std::string_view kDelete = "DELETE FROM scheduled_messages WHERE id = ?";

constexpr std::array<Status, 4> kStatuses = {Status::pending, Status::sending, Status::sent,
                                             Status::failed};

std::string encode_extras(const ScheduledMessage& m) {
  Json attachments = Json::array();
  for (const auto& a : m.attachments)
    attachments.push_back({{"path", a.path}, {"filename", a.filename}, {"mimeType", a.mimeType}});
  if (!m.inReplyTo && m.references.empty()) return attachments.dump();
  Json object = {{"attachments", attachments}, {"references", m.references}};
  if (m.inReplyTo) object["inReplyTo"] = *m.inReplyTo;
  return object.dump();
}

std::string string_field(const Json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_string() ? it->get<std::string>() : "";
}

void decode_extras(const std::optional<std::string>& stored, ScheduledMessage& m) {
  if (!stored) return;
  Json json = Json::parse(*stored, nullptr, false);
  Json list = json;
  if (json.is_object()) {
    list = json.value("attachments", Json::array());
    if (auto it = json.find("inReplyTo"); it != json.end() && it->is_string())
      m.inReplyTo = it->get<std::string>();
    if (auto it = json.find("references"); it != json.end() && it->is_array())
      for (const auto& r : *it)
        if (r.is_string()) m.references.push_back(r.get<std::string>());
  }
  if (!list.is_array()) return;
  for (const auto& a : list)
    if (a.is_object())
      m.attachments.push_back(
          {string_field(a, "path"), string_field(a, "filename"), string_field(a, "mimeType")});
}

std::vector<ScheduledMessage> read_all(Statement& s) {
  std::vector<ScheduledMessage> out;
  while (s.step())
    if (auto m = ScheduledMessage::from_row(s)) out.push_back(std::move(*m));
  return out;
}

}  // namespace

std::string_view raw_value(Status status) {
  switch (status) {
    case Status::pending:
      return "pending";
    case Status::sending:
      return "sending";
    case Status::sent:
      return "sent";
    case Status::failed:
      return "failed";
  }
  return "pending";
}

std::optional<ScheduledMessage> ScheduledMessage::from_row(const Statement& row) {
  RowReader r(row);
  auto id = r.uuid("id");
  auto account = r.uuid("account_id");
  if (!id || !account) return std::nullopt;
  ScheduledMessage m;
  m.id = std::move(*id);
  m.accountId = std::move(*account);
  m.to = r.contact_list("to_contacts");
  m.cc = r.contact_list("cc_contacts");
  m.bcc = r.contact_list("bcc_contacts");
  m.subject = r.text("subject");
  m.body = r.text("body");
  m.htmlBody = r.optional_text("html_body");
  decode_extras(r.optional_text("attachments_json"), m);
  m.scheduledAt = r.date("scheduled_at");
  m.createdAt = r.date("created_at");
  const std::string status = r.text("status", "pending");
  for (Status s : kStatuses)
    if (raw_value(s) == status) m.status = s;
  m.errorMessage = r.optional_text("error_message");
  return m;
}

void ScheduledMessageStore::insert(const ScheduledMessage& m) const {
  database_.write([&](Connection& c) {
    c.prepare(kInsert)
        .bind_all(m.id, m.accountId, encode_contact_list(m.to), encode_contact_list(m.cc),
                  encode_contact_list(m.bcc), m.subject, m.body, m.htmlBody, encode_extras(m),
                  m.scheduledAt, m.createdAt, raw_value(m.status))
        .run();
  });
}

std::vector<ScheduledMessage> ScheduledMessageStore::loadPending() const {
  return database_.read([](Connection& c) {
    auto s = c.prepare(kLoadPending);
    return read_all(s);
  });
}

std::vector<ScheduledMessage> ScheduledMessageStore::all() const {
  return database_.read([](Connection& c) {
    auto s = c.prepare(kAll);
    return read_all(s);
  });
}

std::optional<ScheduledMessage> ScheduledMessageStore::get(std::string_view id) const {
  return database_.read([&](Connection& c) -> std::optional<ScheduledMessage> {
    auto s = c.prepare(kGet);
    s.bind(1, id);
    auto all = read_all(s);
    if (all.empty()) return std::nullopt;
    return std::move(all.front());
  });
}

void ScheduledMessageStore::setStatus(std::string_view id, Status status,
                                      const std::optional<std::string>& errorMessage) const {
  database_.write([&](Connection& c) {
    c.prepare(kSetStatus).bind_all(raw_value(status), errorMessage, id).run();
  });
}

bool ScheduledMessageStore::remove(std::string_view id) const {
  return database_.write([&](Connection& c) {
    c.prepare(kDelete).bind(1, id).run();
    return c.changes() > 0;
  });
}

}  // namespace kestrova::store
