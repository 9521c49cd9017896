#pragma once

#include <string>
#include <string_view>

namespace kestrova::mail {

// IMAP's modified UTF-7 for mailbox names (RFC 3501 §5.1.3). Both directions take and
// return UTF-8; invalid UTF-8 input is read as U+FFFD.

// Printable ASCII (0x20..0x7E) stays as it is, "&" becomes "&-", and every run of other
// UTF-16 code units becomes "&" + Base64 of their big-endian bytes ("," for "/", no "=")
// + "-". An empty string is returned as it is.
std::string encode_modified_utf7(std::string_view text);

// The inverse, lenient towards what servers send: "&-" is "&"; a run "&...-" that does not
// decode to UTF-16 is dropped; an "&" with no "-" after it ends the text (the rest is
// dropped); everything else is copied. Text without "&" is returned as it is.
std::string decode_modified_utf7(std::string_view text);

// The form in which a folder name the user sees is sent to the server. ASCII names, and
// names that already look encoded (holding "&-", or an "&" with a later "-" and something
// in between), go out unchanged; everything else is encoded. An ASCII "&" is therefore not
// escaped, which servers accept for the names users type in practice.
std::string imap_wire_folder_name(std::string_view name);

}  // namespace kestrova::mail
