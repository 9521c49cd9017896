#include "mail/imap_header_record.h"

#include <libetpan/libetpan.h>

namespace kestrova::mail {

namespace {

// Iterates a libetpan list whose cells hold `T*` (a null list or cell data is skipped).
template <typename T, typename F>
void for_each_in(const clist* list, F&& visit) {
  if (!list) return;
  for (clistiter* cell = clist_begin(const_cast<clist*>(list)); cell; cell = clist_next(cell)) {
    if (auto* item = static_cast<const T*>(clist_content(cell))) visit(item);
  }
}

std::optional<std::string> text_of(const char* text) {
  if (!text) return std::nullopt;
  return std::string(text);
}

std::optional<std::string> first_from(const mailimap_envelope* envelope, ImapAddressStyle style) {
  if (!envelope->env_from || !envelope->env_from->frm_list) return std::nullopt;
  clistiter* first = clist_begin(envelope->env_from->frm_list);
  if (!first) return std::nullopt;
  std::string text =
      format_imap_address(static_cast<const mailimap_address*>(clist_content(first)), style);
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<std::string> joined_to(const mailimap_envelope* envelope) {
  if (!envelope->env_to) return std::nullopt;
  std::string joined;
  for_each_in<mailimap_address>(envelope->env_to->to_list, [&](const mailimap_address* address) {
    std::string text = format_imap_address(address, ImapAddressStyle::Bare);
    if (text.empty()) return;
    if (!joined.empty()) joined += ", ";
    joined += text;
  });
  if (joined.empty()) return std::nullopt;
  return joined;
}

// Writes the present envelope fields over `record`, leaving the others as they were.
void apply_envelope(ImapHeaderRecord& record, const mailimap_envelope* envelope,
                    ImapAddressStyle from_style) {
  if (!envelope) return;
  auto overwrite = [](std::optional<std::string>& field, std::optional<std::string> value) {
    if (value) field = std::move(value);
  };
  overwrite(record.subject, text_of(envelope->env_subject));
  overwrite(record.from, first_from(envelope, from_style));
  overwrite(record.to, joined_to(envelope));
  overwrite(record.date, text_of(envelope->env_date));
  overwrite(record.messageId, text_of(envelope->env_message_id));
  overwrite(record.inReplyTo, text_of(envelope->env_in_reply_to));
}

void apply_flags(ImapHeaderRecord& record, const mailimap_msg_att_dynamic* flags) {
  const ImapFlagState state = imap_flag_state(flags);
  record.seen = state.seen;
  record.flagged = state.flagged;
}

// Visits the items of one message: `on_static` for ENVELOPE, UID and the other fixed
// items, `on_flags` for FLAGS.
template <typename S, typename D>
void for_each_item(const mailimap_msg_att* message, S&& on_static, D&& on_flags) {
  if (!message) return;
  for_each_in<mailimap_msg_att_item>(message->att_list, [&](const mailimap_msg_att_item* item) {
    if (item->att_type == MAILIMAP_MSG_ATT_ITEM_STATIC && item->att_data.att_static) {
      on_static(item->att_data.att_static);
    } else if (item->att_type == MAILIMAP_MSG_ATT_ITEM_DYNAMIC) {
      on_flags(item->att_data.att_dyn);
    }
  });
}

}  // namespace

std::string format_imap_address(const mailimap_address* address, ImapAddressStyle style) {
  if (!address) return {};
  std::string text;
  const bool with_name = style == ImapAddressStyle::WithDisplayName && address->ad_personal_name;
  if (with_name) text.append(address->ad_personal_name).append(" <");
  if (address->ad_mailbox_name) text.append(address->ad_mailbox_name);
  if (address->ad_host_name) {
    if (style == ImapAddressStyle::WithDisplayName || !text.empty()) text.push_back('@');
    text.append(address->ad_host_name);
  }
  if (with_name) text.push_back('>');
  return text;
}

ImapFlagState imap_flag_state(const mailimap_msg_att_dynamic* flags) {
  ImapFlagState state;
  if (!flags) return state;
  for_each_in<mailimap_flag_fetch>(flags->att_list, [&](const mailimap_flag_fetch* fetched) {
    if (fetched->fl_type != MAILIMAP_FLAG_FETCH_OTHER || !fetched->fl_flag) return;
    if (fetched->fl_flag->fl_type == MAILIMAP_FLAG_SEEN) state.seen = true;
    if (fetched->fl_flag->fl_type == MAILIMAP_FLAG_FLAGGED) state.flagged = true;
  });
  return state;
}

void merge_into_header_record(ImapHeaderRecord& record, const mailimap_msg_att* message) {
  for_each_item(
      message,
      [&](const mailimap_msg_att_static* item) {
        if (item->att_type == MAILIMAP_MSG_ATT_ENVELOPE) {
          apply_envelope(record, item->att_data.att_env, ImapAddressStyle::Bare);
        }
        if (item->att_type == MAILIMAP_MSG_ATT_RFC822_SIZE)
          record.size = item->att_data.att_rfc822_size;
      },
      [&](const mailimap_msg_att_dynamic* flags) { apply_flags(record, flags); });
}

std::optional<ImapHeaderRecord> batch_header_record(const mailimap_msg_att* message) {
  ImapHeaderRecord record;
  const mailimap_envelope* envelope = nullptr;
  for_each_item(
      message,
      [&](const mailimap_msg_att_static* item) {
        if (item->att_type == MAILIMAP_MSG_ATT_UID) record.uid = item->att_data.att_uid;
        if (item->att_type == MAILIMAP_MSG_ATT_RFC822_SIZE)
          record.size = item->att_data.att_rfc822_size;
        if (item->att_type == MAILIMAP_MSG_ATT_ENVELOPE && item->att_data.att_env) {
          envelope = item->att_data.att_env;
        }
      },
      [&](const mailimap_msg_att_dynamic* flags) { apply_flags(record, flags); });
  if (record.uid == 0 || !envelope) return std::nullopt;
  apply_envelope(record, envelope, ImapAddressStyle::WithDisplayName);
  return record;
}

}  // namespace kestrova::mail
