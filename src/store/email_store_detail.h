#pragma once

// Helpers shared by the source files of the mail store; not for use outside it.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "store/email_folder.h"
#include "store/email_message.h"

namespace kestrova::store {
class Connection;
class Statement;
}

namespace kestrova::store::detail {

inline constexpr std::string_view kComponent = "EmailStore";

// A record "has a body" when one was downloaded or any body text is present.
bool hasBody(const EmailMessage& message);
// Whether the message belongs in the folder's list (the conditions of the folder query).
bool belongsInFolderList(const EmailFolder& folder, const EmailMessage& message);
// The attachment rows of one message.
std::vector<EmailAttachment> readAttachments(Connection& c, const std::string& messageId);
// Every account row, in the store's load order; invalid rows are skipped.
std::vector<EmailAccount> readAccounts(Connection& c);
// Decodes every remaining row of `s` into messages (rows without valid ids skipped), with
// their attachments when `withAttachments`.
std::vector<EmailMessage> readMessages(Connection& c, Statement& s, bool withAttachments);

// What a duplicate clean-up changed, for the in-memory lists once its transaction has
// committed.
struct CleanupResult {
  struct MergedFlags {
    bool isRead = false, isStarred = false, hasBeenReplied = false;
  };
  int64_t removed = 0;
  std::set<std::string, std::less<>> removedIds;
  std::map<std::string, MergedFlags> keptFlags;  // kept row id -> flags of its group
};

}  // namespace kestrova::store::detail
