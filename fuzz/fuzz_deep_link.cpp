// libFuzzer target: each input is a URL handed to the program as a deep link.
//
// Beyond sanitizer reports it aborts when a link that parses does not come back from its own
// text (parse(build()) must give the same link whenever its id is UTF-8), when its JSON form
// does not serialise, or when percent-encoding a UTF-8 text and decoding it again does not
// give the text back.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/core/email_deep_link.h"
#include "util/text.h"

using kestrova::app::EmailDeepLink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view url(reinterpret_cast<const char*>(data), size);
  if (kestrova::text::is_valid_utf8(url) &&
      kestrova::app::percent_decode(kestrova::app::percent_encode_path(url)) != std::string(url)) {
    std::fprintf(stderr, "percent-encoding does not come back: %s\n", std::string(url).c_str());
    std::abort();
  }
  const auto link = EmailDeepLink::parse(url);
  if (!link) return 0;
  (void)link->to_json().dump();
  if (!kestrova::text::is_valid_utf8(link->id)) return 0;
  const std::string text = link->build();
  const auto again = EmailDeepLink::parse(text);
  if (!again || !(*again == *link)) {
    std::fprintf(stderr, "link %s (case %s, id \"%s\") built as %s parses %s\n",
                 std::string(url).c_str(),
                 std::string(kestrova::app::case_name(link->kind)).c_str(), link->id.c_str(),
                 text.c_str(), again ? ("to id \"" + again->id + "\"").c_str() : "to nothing");
    std::abort();
  }
  return 0;
}
