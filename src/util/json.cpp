#include "util/json.h"

#include <unicode/utf8.h>

namespace kestrova {

std::string dump_compact(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string dump_compact(const OrderedJson& value) {
  return value.dump(-1, ' ', false, OrderedJson::error_handler_t::replace);
}

void append_json_string(std::string& out, std::string_view value) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const auto* bytes = reinterpret_cast<const uint8_t*>(value.data());
  const int32_t length = static_cast<int32_t>(value.size());
  // Bytes that need no escaping are copied in runs, not one by one: answers carry whole
  // pages of text.
  int32_t run = 0;
  auto copy_run = [&](int32_t end) {
    out.append(value.data() + run, static_cast<size_t>(end - run));
  };
  int32_t i = 0;
  while (i < length) {
    const uint8_t c = bytes[i];
    if (c >= 0x80) {
      const int32_t start = i;
      UChar32 code_point;
      U8_NEXT(bytes, i, length, code_point);
      if (code_point < 0) {
        copy_run(start);
        out.append("\xEF\xBF\xBD");
        run = i;
      }
      continue;
    }
    if (c >= 0x20 && c != '"' && c != '\\') {
      ++i;
      continue;
    }
    copy_run(i);
    run = ++i;
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\f': out.append("\\f"); break;
      case '\n': out.append("\\n"); break;
      case '\r': out.append("\\r"); break;
      case '\t': out.append("\\t"); break;
      default:
        out.append("\\u00");
        out.push_back(kHex[c >> 4]);
        out.push_back(kHex[c & 0x0F]);
    }
  }
  copy_run(length);
  out.push_back('"');
}

}  // namespace kestrova
