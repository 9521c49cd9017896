#include "safety/sender_profile.h"

#include "util/time.h"

namespace kestrova::safety {

namespace {

Json date_or_null(const std::optional<double>& date) { return date ? Json(iso8601_utc(*date)) : Json(nullptr); }

template <class T>
Json value_or_null(const std::optional<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace

OrderedJson SenderProfile::to_json() const {
  OrderedJson out = OrderedJson::object();
  out["email"] = email;
  out["displayName"] = value_or_null(displayName);
  out["totalReceived"] = totalReceived;
  out["totalSent"] = totalSent;
  out["receivedLast30Days"] = receivedLast30Days;
  out["firstSeen"] = date_or_null(firstSeen);
  out["lastReceived"] = date_or_null(lastReceived);
  out["lastSent"] = date_or_null(lastSent);
  out["frequencyRank"] = value_or_null(frequencyRank);
  OrderedJson messages = OrderedJson::array();
  for (const auto& m : recentMessages) {
    OrderedJson item = OrderedJson::object();
    item["id"] = m.id;
    item["subject"] = m.subject;
    item["date"] = iso8601_utc(m.date);
    item["isSent"] = m.isSent;
    item["folderId"] = value_or_null(m.folderId);
    messages.push_back(std::move(item));
  }
  out["recentMessages"] = std::move(messages);
  OrderedJson attachments = OrderedJson::array();
  for (const auto& a : recentAttachments) {
    OrderedJson item = OrderedJson::object();
    item["id"] = a.id;
    item["filename"] = a.filename;
    item["size"] = a.size;
    item["messageDate"] = iso8601_utc(a.messageDate);
    item["messageSubject"] = a.messageSubject;
    attachments.push_back(std::move(item));
  }
  out["recentAttachments"] = std::move(attachments);
  OrderedJson co = OrderedJson::array();
  for (const auto& r : commonCoRecipients) {
    OrderedJson item = OrderedJson::object();
    item["id"] = r.id;
    item["email"] = r.email;
    item["name"] = value_or_null(r.name);
    item["count"] = r.count;
    co.push_back(std::move(item));
  }
  out["commonCoRecipients"] = std::move(co);
  out["category"] = category ? Json(std::string(store::raw_value(*category))) : Json(nullptr);
  out["note"] = value_or_null(note);
  out["isVIP"] = isVIP;
  return out;
}

}  // namespace kestrova::safety
