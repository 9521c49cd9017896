// libFuzzer target: each input (after its first byte) is a streamed AI reply as the server
// sends it: server-sent events of every dialect or Ollama's JSON lines. The stream parser
// takes it twice: in one piece, and cut into reads of a size chosen by the first byte (1 to
// 256 bytes), as a slow connection delivers it.
//
// Beyond sanitizer reports it aborts when the two runs deliver other text, end differently
// or fail differently, when a delta is not valid UTF-8, or when anything but the adapter's
// own error is thrown.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ai/ai_service_adapter.h"
#include "ai/ai_service_error.h"
#include "util/text.h"

namespace {

using kestrova::ai::AIServiceError;
using kestrova::ai::AIStreamParser;

struct Outcome {
  std::string text;
  size_t deltas = 0;
  bool ended = false, delivered = false, failed = false;
  std::string error;

  bool operator==(const Outcome&) const = default;
};

Outcome run(std::string_view stream, size_t read_size) {
  Outcome outcome;
  AIStreamParser parser([&](std::string_view delta) {
    if (!kestrova::text::is_valid_utf8(delta)) {
      std::fprintf(stderr, "delta is not UTF-8\n");
      std::abort();
    }
    outcome.text += delta;
  });
  try {
    for (size_t at = 0; at < stream.size() && !parser.ended(); at += read_size)
      parser.feed(stream.substr(at, read_size));
    parser.finish();
  } catch (const AIServiceError& e) {
    outcome.failed = true;
    outcome.error = e.what();
  }
  outcome.ended = parser.ended();
  outcome.delivered = parser.deliveredText();
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const size_t read_size = size_t{data[0]} + 1;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
  const Outcome whole = run(stream, stream.size() + 1);
  const Outcome pieces = run(stream, read_size);
  if (!(whole == pieces)) {
    std::fprintf(stderr,
                 "reads of %zu bytes changed the outcome:\n  whole: %zu bytes of text, ended %d, "
                 "failed %d (%s)\n  reads: %zu bytes of text, ended %d, failed %d (%s)\n",
                 read_size, whole.text.size(), whole.ended, whole.failed, whole.error.c_str(),
                 pieces.text.size(), pieces.ended, pieces.failed, pieces.error.c_str());
    std::abort();
  }
  return 0;
}
