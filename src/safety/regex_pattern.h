#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

struct pcre2_real_code_8;

namespace kestrova::safety {

// A compiled PCRE2 pattern (8-bit, UTF with invalid UTF-8 tolerated: bytes that are not
// UTF-8 simply never match a character). Every match call runs under a match limit and a
// depth limit, so one call costs a bounded amount of work however hostile the subject.
//
// Compiled to machine code by PCRE2's JIT where available. Thread-safe: a compiled pattern
// is immutable; each call uses its own match data and its thread's match context.
class RegexPattern {
 public:
  enum class Case { sensitive, insensitive };
  enum class Anchoring { anywhere, atStart };
  enum class Outcome { matched, noMatch, stopped };  // stopped: a limit was hit, or an error

  // A match: byte offsets of the whole match and of every capture group (an unset group
  // has begin == npos).
  struct Match {
    struct Span {
      size_t begin = std::string_view::npos;
      size_t end = std::string_view::npos;
    };
    std::vector<Span> spans;  // [0] is the whole match

    size_t begin() const { return spans[0].begin; }
    size_t end() const { return spans[0].end; }
    // The text of group `index` in `subject`; empty when unset. Lives as long as `subject`.
    std::string_view group(std::string_view subject, size_t index) const;
  };

  // Match limit (backtracking steps of one call, counted by the interpreter and by JIT
  // code alike) and depth limit (nested backtracking frames; the interpreter only, JIT code
  // is bounded by its stack instead). A normal message needs a few thousand steps per call; an
  // inline image written as a data URI of several megabytes needs about one step per byte, so the
  // match limit leaves room for that. A call that gets this far is treated as hostile and stopped.
  static constexpr uint32_t kMatchLimit = 20'000'000;
  static constexpr uint32_t kDepthLimit = 100'000;

  // Nothing when the pattern does not compile. With Anchoring::atStart every match must
  // begin exactly at the offset a call starts from (compiled in, because JIT code cannot be
  // anchored per call).
  static std::optional<RegexPattern> compile(std::string_view pattern, Case letter_case,
                                             Anchoring anchoring);

  // One match call starting at byte `offset` of `subject`.
  Outcome find(std::string_view subject, size_t offset, Match& match) const;

 private:
  struct CodeFree {
    void operator()(pcre2_real_code_8* code) const noexcept;
  };
  explicit RegexPattern(pcre2_real_code_8* code) : code_(code, CodeFree{}) {}

  std::shared_ptr<pcre2_real_code_8> code_;
};

}  // namespace kestrova::safety
