#include "store/email_enums.h"

#include <array>

namespace kestrova::store {

namespace {

constexpr std::array kServiceTypes = {
    EmailServiceType::gmail,    EmailServiceType::outlook, EmailServiceType::icloud,
    EmailServiceType::exchange, EmailServiceType::yahoo,   EmailServiceType::aol,
    EmailServiceType::mail163,  EmailServiceType::qq,      EmailServiceType::aliyun,
    EmailServiceType::tencent,  EmailServiceType::custom,
};
constexpr std::array kEncryptions = {EmailEncryption::none, EmailEncryption::ssl,
                                     EmailEncryption::startTLS};
constexpr std::array kConnectionStatuses = {
    ConnectionStatus::connected, ConnectionStatus::connecting, ConnectionStatus::disconnected,
    ConnectionStatus::error};
constexpr std::array kFolderTypes = {EmailFolderType::inbox,  EmailFolderType::sent,
                                     EmailFolderType::drafts, EmailFolderType::trash,
                                     EmailFolderType::spam,   EmailFolderType::archive,
                                     EmailFolderType::custom};
constexpr std::array kPriorities = {EmailPriority::low, EmailPriority::normal, EmailPriority::high,
                                    EmailPriority::urgent};
constexpr std::array kCategories = {EmailCategory::primary, EmailCategory::social,
                                    EmailCategory::promotions, EmailCategory::updates,
                                    EmailCategory::forums};
constexpr std::array kActionItemStates = {EmailActionItemState::open, EmailActionItemState::done,
                                          EmailActionItemState::snoozed};
constexpr std::array kActionItemSources = {EmailActionItemSource::ai,
                                           EmailActionItemSource::manual};
constexpr std::array kVirtualFolderKinds = {EmailVirtualFolderKind::attachments,
                                            EmailVirtualFolderKind::starred};

template <typename E, size_t N>
std::optional<E> find_raw(const std::array<E, N>& cases, std::string_view raw) {
  for (E value : cases)
    if (raw_value(value) == raw) return value;
  return std::nullopt;
}

// Outlook and Exchange accounts live on the same Microsoft 365 servers.
constexpr std::string_view kMicrosoftImap = "outlook.office365.com";
constexpr std::string_view kMicrosoftSmtp = "smtp.office365.com";

}  // namespace

std::string_view raw_value(EmailServiceType value) {
  switch (value) {
    case EmailServiceType::gmail:
      return "Gmail";
    case EmailServiceType::outlook:
      return "Outlook/Hotmail";
    case EmailServiceType::icloud:
      return "iCloud";
    case EmailServiceType::exchange:
      return "Microsoft Exchange";
    case EmailServiceType::yahoo:
      return "Yahoo Mail";
    case EmailServiceType::aol:
      return "AOL";
    case EmailServiceType::mail163:
      return "163 网易邮箱";
    case EmailServiceType::qq:
      return "QQ 邮箱";
    case EmailServiceType::aliyun:
      return "阿里云企业邮箱";
    case EmailServiceType::tencent:
      return "腾讯企业邮箱";
    case EmailServiceType::custom:
      return "自定义";
  }
  return "";
}

std::string_view raw_value(EmailEncryption value) {
  switch (value) {
    case EmailEncryption::none:
      return "none";
    case EmailEncryption::ssl:
      return "ssl";
    case EmailEncryption::startTLS:
      return "startTLS";
  }
  return "";
}

std::string_view raw_value(ConnectionStatus value) {
  switch (value) {
    case ConnectionStatus::connected:
      return "connected";
    case ConnectionStatus::connecting:
      return "connecting";
    case ConnectionStatus::disconnected:
      return "disconnected";
    case ConnectionStatus::error:
      return "error";
  }
  return "";
}

std::string_view raw_value(EmailFolderType value) {
  switch (value) {
    case EmailFolderType::inbox:
      return "inbox";
    case EmailFolderType::sent:
      return "sent";
    case EmailFolderType::drafts:
      return "drafts";
    case EmailFolderType::trash:
      return "trash";
    case EmailFolderType::spam:
      return "spam";
    case EmailFolderType::archive:
      return "archive";
    case EmailFolderType::custom:
      return "custom";
  }
  return "";
}

std::string_view raw_value(EmailPriority value) {
  switch (value) {
    case EmailPriority::low:
      return "low";
    case EmailPriority::normal:
      return "normal";
    case EmailPriority::high:
      return "high";
    case EmailPriority::urgent:
      return "urgent";
  }
  return "";
}

std::string_view raw_value(EmailCategory value) {
  switch (value) {
    case EmailCategory::primary:
      return "primary";
    case EmailCategory::social:
      return "social";
    case EmailCategory::promotions:
      return "promotions";
    case EmailCategory::updates:
      return "updates";
    case EmailCategory::forums:
      return "forums";
  }
  return "";
}

std::string_view raw_value(EmailActionItemState value) {
  switch (value) {
    case EmailActionItemState::open:
      return "open";
    case EmailActionItemState::done:
      return "done";
    case EmailActionItemState::snoozed:
      return "snoozed";
  }
  return "";
}

std::string_view raw_value(EmailActionItemSource value) {
  switch (value) {
    case EmailActionItemSource::ai:
      return "ai";
    case EmailActionItemSource::manual:
      return "manual";
  }
  return "";
}

std::string_view raw_value(EmailVirtualFolderKind value) {
  switch (value) {
    case EmailVirtualFolderKind::attachments:
      return "attachments";
    case EmailVirtualFolderKind::starred:
      return "starred";
  }
  return "";
}

template <>
std::optional<EmailServiceType> from_raw<EmailServiceType>(std::string_view raw) {
  return find_raw(kServiceTypes, raw);
}
template <>
std::optional<EmailEncryption> from_raw<EmailEncryption>(std::string_view raw) {
  return find_raw(kEncryptions, raw);
}
template <>
std::optional<ConnectionStatus> from_raw<ConnectionStatus>(std::string_view raw) {
  return find_raw(kConnectionStatuses, raw);
}
template <>
std::optional<EmailFolderType> from_raw<EmailFolderType>(std::string_view raw) {
  return find_raw(kFolderTypes, raw);
}
template <>
std::optional<EmailPriority> from_raw<EmailPriority>(std::string_view raw) {
  return find_raw(kPriorities, raw);
}
template <>
std::optional<EmailCategory> from_raw<EmailCategory>(std::string_view raw) {
  return find_raw(kCategories, raw);
}
template <>
std::optional<EmailActionItemState> from_raw<EmailActionItemState>(std::string_view raw) {
  return find_raw(kActionItemStates, raw);
}
template <>
std::optional<EmailActionItemSource> from_raw<EmailActionItemSource>(std::string_view raw) {
  return find_raw(kActionItemSources, raw);
}
template <>
std::optional<EmailVirtualFolderKind> from_raw<EmailVirtualFolderKind>(std::string_view raw) {
  return find_raw(kVirtualFolderKinds, raw);
}

template <>
std::span<const EmailServiceType> all_cases<EmailServiceType>() {
  return kServiceTypes;
}
template <>
std::span<const EmailEncryption> all_cases<EmailEncryption>() {
  return kEncryptions;
}
template <>
std::span<const ConnectionStatus> all_cases<ConnectionStatus>() {
  return kConnectionStatuses;
}
template <>
std::span<const EmailFolderType> all_cases<EmailFolderType>() {
  return kFolderTypes;
}
template <>
std::span<const EmailPriority> all_cases<EmailPriority>() {
  return kPriorities;
}
template <>
std::span<const EmailCategory> all_cases<EmailCategory>() {
  return kCategories;
}
template <>
std::span<const EmailActionItemState> all_cases<EmailActionItemState>() {
  return kActionItemStates;
}
template <>
std::span<const EmailActionItemSource> all_cases<EmailActionItemSource>() {
  return kActionItemSources;
}
template <>
std::span<const EmailVirtualFolderKind> all_cases<EmailVirtualFolderKind>() {
  return kVirtualFolderKinds;
}

std::string_view case_name(EmailServiceType value) {
  switch (value) {
    case EmailServiceType::gmail:
      return "gmail";
    case EmailServiceType::outlook:
      return "outlook";
    case EmailServiceType::icloud:
      return "icloud";
    case EmailServiceType::exchange:
      return "exchange";
    case EmailServiceType::yahoo:
      return "yahoo";
    case EmailServiceType::aol:
      return "aol";
    case EmailServiceType::mail163:
      return "mail163";
    case EmailServiceType::qq:
      return "qq";
    case EmailServiceType::aliyun:
      return "aliyun";
    case EmailServiceType::tencent:
      return "tencent";
    case EmailServiceType::custom:
      return "custom";
  }
  return "";
}

std::optional<ServerPreset> imap_preset(EmailServiceType value) {
  auto ssl = [](std::string_view host) { return ServerPreset{host, 993, EmailEncryption::ssl}; };
  switch (value) {
    case EmailServiceType::gmail:
      return ssl("imap.gmail.com");
    case EmailServiceType::outlook:
      return ssl(kMicrosoftImap);
    case EmailServiceType::icloud:
      return ssl("imap.mail.me.com");
    case EmailServiceType::exchange:
      return ssl(kMicrosoftImap);
    case EmailServiceType::yahoo:
      return ssl("imap.mail.yahoo.com");
    case EmailServiceType::aol:
      return ssl("imap.aol.com");
    case EmailServiceType::mail163:
      return ssl("imap.163.com");
    case EmailServiceType::qq:
      return ssl("imap.qq.com");
    case EmailServiceType::aliyun:
      return ssl("imap.qiye.aliyun.com");
    case EmailServiceType::tencent:
      return ssl("imap.exmail.qq.com");
    case EmailServiceType::custom:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<ServerPreset> smtp_preset(EmailServiceType value) {
  auto ssl = [](std::string_view host) { return ServerPreset{host, 465, EmailEncryption::ssl}; };
  auto start_tls = [](std::string_view host) {
    return ServerPreset{host, 587, EmailEncryption::startTLS};
  };
  switch (value) {
    case EmailServiceType::gmail:
      return ssl("smtp.gmail.com");
    case EmailServiceType::outlook:
      return start_tls(kMicrosoftSmtp);
    case EmailServiceType::icloud:
      return start_tls("smtp.mail.me.com");
    case EmailServiceType::exchange:
      return start_tls(kMicrosoftSmtp);
    case EmailServiceType::yahoo:
      return ssl("smtp.mail.yahoo.com");
    case EmailServiceType::aol:
      return ssl("smtp.aol.com");
    case EmailServiceType::mail163:
      return ssl("smtp.163.com");
    case EmailServiceType::qq:
      return ssl("smtp.qq.com");
    case EmailServiceType::aliyun:
      return ssl("smtp.qiye.aliyun.com");
    case EmailServiceType::tencent:
      return ssl("smtp.exmail.qq.com");
    case EmailServiceType::custom:
      return std::nullopt;
  }
  return std::nullopt;
}

std::string_view symbol(EmailFolderType value) {
  switch (value) {
    case EmailFolderType::inbox:
      return "tray.fill";
    case EmailFolderType::sent:
      return "paperplane.fill";
    case EmailFolderType::drafts:
      return "doc.text";
    case EmailFolderType::trash:
      return "trash.fill";
    case EmailFolderType::spam:
      return "exclamationmark.triangle.fill";
    case EmailFolderType::archive:
      return "archivebox.fill";
    case EmailFolderType::custom:
      return "folder.fill";
  }
  return "";
}

std::string_view symbol(EmailCategory value) {
  switch (value) {
    case EmailCategory::primary:
      return "tray.full";
    case EmailCategory::social:
      return "person.2";
    case EmailCategory::promotions:
      return "tag";
    case EmailCategory::updates:
      return "bell";
    case EmailCategory::forums:
      return "bubble.left.and.bubble.right";
  }
  return "";
}

std::string_view symbol(EmailVirtualFolderKind value) {
  switch (value) {
    case EmailVirtualFolderKind::attachments:
      return "paperclip";
    case EmailVirtualFolderKind::starred:
      return "star.fill";
  }
  return "";
}

std::string localization_key(EmailPriority value) {
  return "priority." + std::string(raw_value(value));
}

std::string localization_key(EmailCategory value) {
  return "category." + std::string(raw_value(value));
}

std::string localization_key(EmailVirtualFolderKind value) {
  return "email.virtual_folder." + std::string(raw_value(value));
}

std::string_view color_name(EmailPriority value) {
  switch (value) {
    case EmailPriority::low:
      return "gray";
    case EmailPriority::normal:
      return "blue";
    case EmailPriority::high:
      return "orange";
    case EmailPriority::urgent:
      return "red";
  }
  return "";
}

}  // namespace kestrova::store
