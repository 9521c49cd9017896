#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "store/email_enums.h"
#include "util/json.h"

namespace kestrova::store {

class Statement;

// One folder of an account (a row of email_folders).
struct EmailFolder {
  // Paths of the folders that exist only locally and are never synchronised.
  static constexpr std::string_view kLocalSentPath = "__LocalSent__";
  static constexpr std::string_view kLocalDraftsPath = "__LocalDrafts__";

  std::string id{};         // canonical UUID; not changed after creation
  std::string accountId{};  // canonical UUID; not changed after creation
  std::string name{};
  EmailFolderType type = EmailFolderType::custom;
  std::string path{};  // the server's folder path
  int64_t unreadCount = 0;
  int64_t totalCount = 0;
  std::optional<double> lastSyncDate{};

  bool operator==(const EmailFolder&) const = default;

  // The record as created: an empty path becomes the name.
  static EmailFolder make(EmailFolder fields);

  // One of the two local-only folders (exact path comparison).
  bool isLocalPseudoFolder() const;
  // A folder the user made on the server: type custom, and not a local-only folder.
  bool isCustomUserFolder() const;
  // The last non-empty "/"-separated component of the name, or the name itself.
  std::string displayName() const;
  // The name still looks encoded (blank, an RFC 2047 marker, or an IMAP modified-UTF-7
  // run), so the folder list should not show it as it is.
  bool hasUndecodedName() const;

  // Nothing when `id` or `account_id` is NULL or not a UUID; a NULL or unknown type reads
  // as custom; built through make().
  static std::optional<EmailFolder> from_row(const Statement& row);

  // Keys are the field names; absent optionals are left out. The decoder needs valid `id`
  // and `accountId` and builds through make().
  OrderedJson to_json() const;
  static std::optional<EmailFolder> from_json(const OrderedJson& json);
};

}  // namespace kestrova::store
