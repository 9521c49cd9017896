#include "mail/gmail_api_service.h"

#include "util/json.h"

namespace kestrova::mail {

namespace {

template <typename T>
std::optional<T> optional_member(const Json& json, const char* key) {
  if (!json.contains(key) || json[key].is_null()) return std::nullopt;
  return json[key].get<T>();
}

GmailMessagePayload payload_from(const Json& json) {
  GmailMessagePayload payload;
  payload.partId = optional_member<std::string>(json, "partId");
  payload.mimeType = optional_member<std::string>(json, "mimeType");
  payload.filename = optional_member<std::string>(json, "filename");
  for (const Json& header : json.value("headers", Json::array()))
    payload.headers.push_back(
        {header.at("name").get<std::string>(), header.at("value").get<std::string>()});
  if (json.contains("body") && json["body"].is_object()) {
    const Json& body = json["body"];
    payload.body =
        GmailBody{optional_member<std::string>(body, "attachmentId"),
                  optional_member<long>(body, "size"), optional_member<std::string>(body, "data")};
  }
  if (json.contains("parts") && json["parts"].is_array()) {
    payload.parts.emplace();
    for (const Json& part : json["parts"]) payload.parts->push_back(payload_from(part));
  }
  return payload;
}

std::vector<std::string> strings(const Json& json, const char* key) {
  return json.at(key).get<std::vector<std::string>>();
}

// Decodes `body` with `read`; any mismatch of the JSON against the record is a decodeError.
template <typename Read>
auto decode(const std::string& body, Read read) {
  try {
    return read(Json::parse(body));
  } catch (const Json::exception&) {
    throw GmailAPIError::decodeError();
  }
}

}  // namespace

GmailAPIError GmailAPIError::requestFailed(long status) {
  return GmailAPIError(Kind::requestFailed, "请求失败，状态码: " + std::to_string(status), status);
}
GmailAPIError GmailAPIError::missingToken() {
  return GmailAPIError(Kind::missingToken, "缺少访问令牌");
}
GmailAPIError GmailAPIError::invalidResponse() {
  return GmailAPIError(Kind::invalidResponse, "无效的响应");
}
GmailAPIError GmailAPIError::decodeError() {
  return GmailAPIError(Kind::decodeError, "数据解析失败");
}

std::string GmailAPIService::call(const std::string& method, const std::string& path,
                                  const std::string& body) const {
  if (!accessToken || accessToken->empty()) throw GmailAPIError::missingToken();
  platform::HttpRequest request;
  request.method = method;
  request.url = baseURL + path;
  request.headers = {{"Authorization", "Bearer " + *accessToken}};
  if (method == "POST") request.headers.emplace_back("Content-Type", "application/json");
  request.body = body;
  request.timeout = kTimeoutSeconds;
  platform::HttpResponse response;
  try {
    response = transport.perform(request);
  } catch (const platform::HttpError&) {
    throw GmailAPIError::invalidResponse();
  }
  const bool ok =
      method == "POST" ? response.status == 200 : response.status >= 200 && response.status < 300;
  if (!ok) throw GmailAPIError::requestFailed(response.status);
  return response.body;
}

GmailMessagesResponse GmailAPIService::listMessages(
    const std::string& user, int maxResults, const std::optional<std::string>& pageToken) const {
  std::string path = "/users/" + user + "/messages?maxResults=" + std::to_string(maxResults);
  if (pageToken) path += "&pageToken=" + *pageToken;
  return decode(call("GET", path), [](const Json& json) {
    GmailMessagesResponse response;
    if (json.contains("messages")) {
      response.messages.emplace();
      for (const Json& reference : json.at("messages"))
        response.messages->push_back(
            {reference.at("id").get<std::string>(), reference.at("threadId").get<std::string>()});
    }
    response.nextPageToken = optional_member<std::string>(json, "nextPageToken");
    response.resultSizeEstimate = optional_member<long>(json, "resultSizeEstimate");
    return response;
  });
}

GmailMessage GmailAPIService::getMessage(const std::string& user, const std::string& id) const {
  return decode(call("GET", "/users/" + user + "/messages/" + id + "?format=full"),
                [](const Json& json) {
                  GmailMessage message;
                  message.id = json.at("id").get<std::string>();
                  message.threadId = json.at("threadId").get<std::string>();
                  message.labelIds = strings(json, "labelIds");
                  message.snippet = json.at("snippet").get<std::string>();
                  message.payload = payload_from(json.at("payload"));
                  message.sizeEstimate = json.at("sizeEstimate").get<long>();
                  message.historyId = json.at("historyId").get<std::string>();
                  message.internalDate = json.at("internalDate").get<std::string>();
                  return message;
                });
}

GmailSendResponse GmailAPIService::sendMessage(const std::string& user,
                                               const std::string& raw) const {
  const std::string body = Json{{"raw", raw}}.dump();
  return decode(call("POST", "/users/" + user + "/messages/send", body), [](const Json& json) {
    return GmailSendResponse{json.at("id").get<std::string>(),
                             json.at("threadId").get<std::string>(), strings(json, "labelIds")};
  });
}

GmailLabelsResponse GmailAPIService::listLabels(const std::string& user) const {
  return decode(call("GET", "/users/" + user + "/labels"), [](const Json& json) {
    GmailLabelsResponse response;
    for (const Json& label : json.at("labels"))
      response.labels.push_back({label.at("id").get<std::string>(),
                                 label.at("name").get<std::string>(),
                                 label.at("type").get<std::string>(),
                                 optional_member<std::string>(label, "messageListVisibility"),
                                 optional_member<std::string>(label, "labelListVisibility")});
    return response;
  });
}

}  // namespace kestrova::mail
