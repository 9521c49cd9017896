#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/http_transport.h"
#include "util/error.h"

namespace kestrova::mail {

struct GmailMessageReference {
  std::string id;
  std::string threadId;
};

struct GmailMessagesResponse {
  std::optional<std::vector<GmailMessageReference>> messages;
  std::optional<std::string> nextPageToken;
  std::optional<long> resultSizeEstimate;
};

struct GmailHeader {
  std::string name;
  std::string value;
};

struct GmailBody {
  std::optional<std::string> attachmentId;
  std::optional<long> size;
  std::optional<std::string> data;  // base64url
};

struct GmailMessagePayload {
  std::optional<std::string> partId;
  std::optional<std::string> mimeType;
  std::optional<std::string> filename;
  std::vector<GmailHeader> headers;
  std::optional<GmailBody> body;
  std::optional<std::vector<GmailMessagePayload>> parts;
};

struct GmailMessage {
  std::string id;
  std::string threadId;
  std::vector<std::string> labelIds;
  std::string snippet;
  GmailMessagePayload payload;
  long sizeEstimate = 0;
  std::string historyId;
  std::string internalDate;
};

struct GmailSendResponse {
  std::string id;
  std::string threadId;
  std::vector<std::string> labelIds;
};

struct GmailLabel {
  std::string id;
  std::string name;
  std::string type;
  std::optional<std::string> messageListVisibility;
  std::optional<std::string> labelListVisibility;
};

struct GmailLabelsResponse {
  std::vector<GmailLabel> labels;
};

class GmailAPIError : public Error {
 public:
  enum class Kind { requestFailed, missingToken, invalidResponse, decodeError };
  static GmailAPIError requestFailed(long status);
  static GmailAPIError missingToken();
  static GmailAPIError invalidResponse();
  static GmailAPIError decodeError();
  Kind kind() const { return kind_; }
  std::optional<long> status() const { return status_; }

 private:
  GmailAPIError(Kind kind, const std::string& description, std::optional<long> status = {})
      : Error(description), kind_(kind), status_(status) {}
  Kind kind_;
  std::optional<long> status_;
};

// A small client of the Gmail REST interface. Every request carries "Authorization:
// Bearer <token>" and gives up after 60 seconds; without a token a call fails with
// missingToken before anything is sent. Blocking: call from a background thread.
class GmailAPIService {
 public:
  static constexpr std::string_view kDefaultBaseURL = "https://gmail.googleapis.com/gmail/v1";
  static constexpr double kTimeoutSeconds = 60;

  std::string baseURL = std::string(kDefaultBaseURL);
  std::optional<std::string> accessToken;
  platform::HttpTransport transport;

  // GET /users/USER/messages?maxResults=N[&pageToken=T]
  GmailMessagesResponse listMessages(const std::string& user, int maxResults,
                                     const std::optional<std::string>& pageToken = {}) const;
  // GET /users/USER/messages/ID?format=full
  GmailMessage getMessage(const std::string& user, const std::string& id) const;
  // POST /users/USER/messages/send with {"raw": raw}; `raw` is the caller's base64url
  // RFC 5322 message. Only 200 counts as success.
  GmailSendResponse sendMessage(const std::string& user, const std::string& raw) const;
  // GET /users/USER/labels
  GmailLabelsResponse listLabels(const std::string& user) const;

 private:
  std::string call(const std::string& method, const std::string& path,
                   const std::string& body = {}) const;
};

}  // namespace kestrova::mail
