#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "store/stored_contact.h"
#include "util/json.h"

namespace kestrova::safety {

// A summary of one correspondent, computed on demand from the local database.
struct SenderProfile {
  struct RecentMessage {
    std::string id;
    std::string subject;
    double date = 0;
    bool isSent = false;  // the user sent it
    std::optional<std::string> folderId;
    bool operator==(const RecentMessage&) const = default;
  };
  struct RecentAttachment {
    std::string id;
    std::string filename;
    int64_t size = 0;
    double messageDate = 0;
    std::string messageSubject;
    bool operator==(const RecentAttachment&) const = default;
  };
  struct CoRecipient {
    std::string id;  // generated
    std::string email;
    std::optional<std::string> name;
    int count = 0;
    bool operator==(const CoRecipient&) const = default;
  };

  std::string email;  // lower-cased and trimmed
  std::optional<std::string> displayName;
  int totalReceived = 0;
  int totalSent = 0;
  int receivedLast30Days = 0;
  std::optional<double> firstSeen;
  std::optional<double> lastReceived;
  std::optional<double> lastSent;
  std::optional<int> frequencyRank;
  std::vector<RecentMessage> recentMessages;        // newest first, at most 10
  std::vector<RecentAttachment> recentAttachments;  // newest first, at most 5
  std::vector<CoRecipient> commonCoRecipients;      // highest count first
  std::optional<store::SenderCategory> category;
  std::optional<std::string> note;
  bool isVIP = false;

  // Field names as keys, dates as "yyyy-MM-ddTHH:mm:ssZ", absent optionals as null.
  OrderedJson to_json() const;
};

}  // namespace kestrova::safety
