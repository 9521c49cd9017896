#pragma once

#include <string_view>

#include "decoded_view.h"

namespace kestrova::differential {

// An independent reading of a raw message by GMime 3, choosing bodies and attachments by
// the same rules as EmailContentDecoder (see mail/email_content_decoder.h): parts numbered
// as IMAP numbers them, the first text/plain and text/html leaves that are not attachments
// as bodies (those of an inline message/rfc822 only when the outer message has none),
// attachments by disposition or name, and every leaf that is not text. Bodies are converted to
// UTF-8 by g_mime_text_part_get_text, which leaves text without a charset parameter as its
// raw bytes; attachment sizes are the bytes GMime's transfer decoding yields, and for an
// attached message the bytes GMime writes it back as.
//
// Every call fully walks the message, so it also serves as GMime's side of the decoder
// benchmark. g_mime_init() runs once, on the first call.
DecodedView decode_with_gmime(std::string_view raw);

}  // namespace kestrova::differential
