#include "safety/regex_pattern.h"

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

#include "util/c_free.h"

namespace kestrova::safety {

namespace {

using MatchData = CHandle<pcre2_match_data, &pcre2_match_data_free>;
using MatchContext = CHandle<pcre2_match_context, &pcre2_match_context_free>;
using JitStack = CHandle<pcre2_jit_stack, &pcre2_jit_stack_free>;

// One match context per thread: the limits, and the JIT stack the compiled code runs on
// (32 KiB growing to 8 MiB; a match that needs more stops like one over its limits).
pcre2_match_context* bounded_context() {
  struct PerThread {
    JitStack stack{pcre2_jit_stack_create(32 * 1024, 8 * 1024 * 1024, nullptr)};
    MatchContext context{pcre2_match_context_create(nullptr)};
    PerThread() {
      if (!context) return;
      pcre2_set_match_limit(context.get(), RegexPattern::kMatchLimit);
      pcre2_set_depth_limit(context.get(), RegexPattern::kDepthLimit);
      if (stack) pcre2_jit_stack_assign(context.get(), nullptr, stack.get());
    }
  };
  thread_local PerThread per_thread;
  return per_thread.context.get();
}

}  // namespace

void RegexPattern::CodeFree::operator()(pcre2_real_code_8* code) const noexcept {
  if (code) pcre2_code_free(code);
}

std::string_view RegexPattern::Match::group(std::string_view subject, size_t index) const {
  if (index >= spans.size() || spans[index].begin == std::string_view::npos) return {};
  return subject.substr(spans[index].begin, spans[index].end - spans[index].begin);
}

std::optional<RegexPattern> RegexPattern::compile(std::string_view pattern, Case letter_case,
                                                  Anchoring anchoring) {
  uint32_t options = PCRE2_UTF | PCRE2_MATCH_INVALID_UTF;
  if (anchoring == Anchoring::atStart) options |= PCRE2_ANCHORED;
  if (letter_case == Case::insensitive) options |= PCRE2_CASELESS;
  int error = 0;
  PCRE2_SIZE error_offset = 0;
  pcre2_code* code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(pattern.data()), pattern.size(),
                                   options, &error, &error_offset, nullptr);
  if (!code) return std::nullopt;
  // JIT code handles invalid UTF-8 as it goes. The interpreter, used when JIT is not
  // available, first checks the subject from the start offset up to the next invalid byte
  // on every call, which makes a scan with many calls slower on large bodies.
  pcre2_jit_compile(code, PCRE2_JIT_COMPLETE);
  return RegexPattern(code);
}

RegexPattern::Outcome RegexPattern::find(std::string_view subject, size_t offset,
                                         Match& match) const {
  if (offset > subject.size()) return Outcome::noMatch;
  MatchData data(pcre2_match_data_create_from_pattern(code_.get(), nullptr));
  pcre2_match_context* context = bounded_context();
  if (!data || !context) return Outcome::stopped;
  const int rc = pcre2_match(code_.get(), reinterpret_cast<PCRE2_SPTR>(subject.data()),
                             subject.size(), offset, 0, data.get(), context);
  if (rc == PCRE2_ERROR_NOMATCH) return Outcome::noMatch;
  if (rc <= 0) return Outcome::stopped;  // a limit, or an internal error: treat alike
  const PCRE2_SIZE* vector = pcre2_get_ovector_pointer(data.get());
  const uint32_t pairs = pcre2_get_ovector_count(data.get());
  match.spans.assign(pairs, {});
  for (uint32_t i = 0; i < pairs && i < static_cast<uint32_t>(rc); ++i) {
    if (vector[2 * i] == PCRE2_UNSET) continue;
    match.spans[i] = {vector[2 * i], vector[2 * i + 1]};
  }
  return Outcome::matched;
}

}  // namespace kestrova::safety
