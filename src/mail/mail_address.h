#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kestrova::mail {

// One mailbox as a user writes it: "alice@example.org", "<alice@example.org>" or
// "Alice Smith <alice@example.org>" (RFC 5322 §3.4 name-addr, the name optionally quoted).
struct Mailbox {
  std::string name;     // empty when none was given
  std::string address;  // the addr-spec, as given

  bool operator==(const Mailbox&) const = default;
};

// The longest address we accept (RFC 5321 §4.5.3.1.3 path limit less the brackets).
constexpr size_t kMaxAddressLength = 254;

// RFC 5322 §3.4.1 addr-spec: a dot-atom or quoted-string local part, "@", and a dot-atom
// or domain-literal domain. No comments, no obsolete forms, no white space, no control
// characters, at most kMaxAddressLength bytes; UTF-8 beyond ASCII is allowed in both
// halves (RFC 6531).
bool is_valid_addr_spec(std::string_view address);

// Reads one mailbox; nothing when the address part is not a valid addr-spec or the text
// holds anything besides the name and the bracketed address.
std::optional<Mailbox> parse_mailbox(std::string_view text);

// The mailbox for a header line: the bare address without a name; otherwise the name as
// an RFC 2047 encoded word when it is not ASCII, as a quoted string when it holds RFC 5322
// specials, else as it is, then " <address>". Line breaks in the name become spaces.
std::string format_mailbox(std::string_view name, std::string_view address);

// RFC 5322 §3.6.4 msg-id: "<" id-left "@" id-right ">" without white space or control
// characters, at most kMaxMessageIdLength bytes. Returns the value (angle brackets
// included, surrounding white space trimmed) or nothing for anything else, such as a
// megabyte of text where a Message-ID should be.
constexpr size_t kMaxMessageIdLength = 250;
std::optional<std::string> valid_message_id(std::string_view text);

// The msg-ids of a References or In-Reply-To value, in order; anything between them that
// is not a msg-id is skipped.
std::vector<std::string> message_ids_in(std::string_view text);

}  // namespace kestrova::mail
