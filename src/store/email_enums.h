#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kestrova::store {

// The enumerations of the mail records. Each case has a raw value, which is what rows and
// JSON hold; from_raw<E>() turns a raw value back into a case (exact, case-sensitive match)
// and gives nothing for anything else, so readers can fall back to their own default.

// The provider of an account. Raw values are the display strings.
enum class EmailServiceType {
  gmail,
  outlook,
  icloud,
  exchange,
  yahoo,
  aol,
  mail163,
  qq,
  aliyun,
  tencent,
  custom,
};

enum class EmailEncryption { none, ssl, startTLS };

enum class ConnectionStatus { connected, connecting, disconnected, error };

enum class EmailFolderType { inbox, sent, drafts, trash, spam, archive, custom };

enum class EmailPriority { low, normal, high, urgent };

enum class EmailCategory { primary, social, promotions, updates, forums };

enum class EmailActionItemState { open, done, snoozed };

enum class EmailActionItemSource { ai, manual };

// Folders that exist only as queries across an account. Identified by the raw value.
enum class EmailVirtualFolderKind { attachments, starred };

// Raw values. The returned views point at static storage.
std::string_view raw_value(EmailServiceType value);
std::string_view raw_value(EmailEncryption value);
std::string_view raw_value(ConnectionStatus value);
std::string_view raw_value(EmailFolderType value);
std::string_view raw_value(EmailPriority value);
std::string_view raw_value(EmailCategory value);
std::string_view raw_value(EmailActionItemState value);
std::string_view raw_value(EmailActionItemSource value);
std::string_view raw_value(EmailVirtualFolderKind value);

// The case for a raw value, or nothing when `raw` is not one of E's raw values.
template <typename E>
std::optional<E> from_raw(std::string_view raw);

// Every case of E in declaration order. The span points at static storage.
template <typename E>
std::span<const E> all_cases();

template <>
std::optional<EmailServiceType> from_raw<EmailServiceType>(std::string_view raw);
template <>
std::optional<EmailEncryption> from_raw<EmailEncryption>(std::string_view raw);
template <>
std::optional<ConnectionStatus> from_raw<ConnectionStatus>(std::string_view raw);
template <>
std::optional<EmailFolderType> from_raw<EmailFolderType>(std::string_view raw);
template <>
std::optional<EmailPriority> from_raw<EmailPriority>(std::string_view raw);
template <>
std::optional<EmailCategory> from_raw<EmailCategory>(std::string_view raw);
template <>
std::optional<EmailActionItemState> from_raw<EmailActionItemState>(std::string_view raw);
template <>
std::optional<EmailActionItemSource> from_raw<EmailActionItemSource>(std::string_view raw);
template <>
std::optional<EmailVirtualFolderKind> from_raw<EmailVirtualFolderKind>(std::string_view raw);

template <>
std::span<const EmailServiceType> all_cases<EmailServiceType>();
template <>
std::span<const EmailEncryption> all_cases<EmailEncryption>();
template <>
std::span<const ConnectionStatus> all_cases<ConnectionStatus>();
template <>
std::span<const EmailFolderType> all_cases<EmailFolderType>();
template <>
std::span<const EmailPriority> all_cases<EmailPriority>();
template <>
std::span<const EmailCategory> all_cases<EmailCategory>();
template <>
std::span<const EmailActionItemState> all_cases<EmailActionItemState>();
template <>
std::span<const EmailActionItemSource> all_cases<EmailActionItemSource>();
template <>
std::span<const EmailVirtualFolderKind> all_cases<EmailVirtualFolderKind>();

// The case name of a provider ("gmail", "mail163"), used to build its localisation keys
// such as "provider.gmail.summary".
std::string_view case_name(EmailServiceType value);

// Host, port and encryption of one server of a provider.
struct ServerPreset {
  std::string_view host;  // static storage
  int port = 0;
  EmailEncryption encryption = EmailEncryption::ssl;

  bool operator==(const ServerPreset&) const = default;
};

// The servers offered when an account of a known provider is created; nothing for custom.
std::optional<ServerPreset> imap_preset(EmailServiceType value);
std::optional<ServerPreset> smtp_preset(EmailServiceType value);

// Symbol (icon) names.
std::string_view symbol(EmailFolderType value);
std::string_view symbol(EmailCategory value);
std::string_view symbol(EmailVirtualFolderKind value);

// Localisation keys of the display titles: "priority.low", "category.social",
// "email.virtual_folder.starred", ...
std::string localization_key(EmailPriority value);
std::string localization_key(EmailCategory value);
std::string localization_key(EmailVirtualFolderKind value);

// Colour name of a priority badge: "gray", "blue", "orange", "red".
std::string_view color_name(EmailPriority value);

}  // namespace kestrova::store
