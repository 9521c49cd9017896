// libFuzzer target: each input is the body of a non-streamed AI reply, read by the adapter
// for one profile of every wire dialect: OpenAI chat completions (and the compatible
// endpoints of the other providers), MiniMax, DashScope's native and compatible forms,
// Ollama, Anthropic messages, Gemini's generateContent and its compatible form, and a
// custom endpoint (chat completions, else Ollama's form).
//
// Beyond sanitizer reports it aborts when anything but AIServiceError is thrown, or when a
// text comes back that is not valid UTF-8 or not trimmed.

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ai/ai_service_adapter.h"
#include "ai/ai_service_error.h"
#include "ai/ai_service_profile.h"
#include "util/text.h"

namespace {

using kestrova::ai::AIProtocolType;
using kestrova::ai::AIServiceProfile;

// Whether the first or the last character is white space (ICU's White_Space).
bool untrimmed(std::string_view s) {
  if (s.empty()) return false;
  const auto* bytes = reinterpret_cast<const uint8_t*>(s.data());
  const auto length = static_cast<int32_t>(s.size());
  UChar32 first, last;
  int32_t i = 0;
  U8_NEXT(bytes, i, length, first);
  i = length;
  U8_PREV(bytes, 0, i, last);
  auto space = [](UChar32 c) { return u_isUWhiteSpace(c) || c == 0x85; };
  return space(first) || space(last);
}

std::vector<AIServiceProfile> profiles() {
  auto with = [](AIProtocolType type, const char* endpoint) {
    AIServiceProfile p = AIServiceProfile::forProtocol(type);
    if (*endpoint) p.endpoint = endpoint;
    return p;
  };
  return {
      with(AIProtocolType::openAI, ""),
      with(AIProtocolType::miniMaxCN, ""),
      with(AIProtocolType::dashScope, "https://dashscope.aliyuncs.com/api/v1"),
      with(AIProtocolType::dashScope, "https://dashscope.aliyuncs.com/compatible-mode/v1"),
      with(AIProtocolType::ollama, "http://127.0.0.1:11434"),
      with(AIProtocolType::claude, ""),
      with(AIProtocolType::gemini, "https://generativelanguage.googleapis.com/v1beta"),
      with(AIProtocolType::gemini, "https://generativelanguage.googleapis.com/v1beta/openai"),
      with(AIProtocolType::custom, "http://127.0.0.1:8080/v1"),
  };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::vector<AIServiceProfile> all = profiles();
  static const kestrova::ai::AIServiceAdapter adapter;
  const std::string_view body(reinterpret_cast<const char*>(data), size);
  for (const auto& profile : all) {
    std::string text;
    try {
      text = adapter.parseResponse(body, profile);
    } catch (const kestrova::ai::AIServiceError&) {
      continue;
    }
    if (!kestrova::text::is_valid_utf8(text) || untrimmed(text)) {
      std::fprintf(stderr, "reply text for %s is %s: %s\n", profile.endpoint.c_str(),
                   kestrova::text::is_valid_utf8(text) ? "not trimmed" : "not UTF-8", text.c_str());
      std::abort();
    }
  }
  return 0;
}
